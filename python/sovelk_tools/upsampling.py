"""``sovelk upsample``: a low-resolution image file brought to the size of its guidance file."""

from __future__ import annotations

import argparse
import time
from typing import Any, List, Union

import numpy as np

from .errors import PROG, UserError
from .formats import is_npy
from .npyfile import NpyError, NpyReader
from .tiled import filter_tiled, tile_count
from .upsample import joint_bilateral_upsample, upsampling_factor


def _whole(pixels: Union[np.ndarray, NpyReader]) -> np.ndarray:
    """An .npy input read whole (the low image is small; the guidance is held like an image
    file's)."""
    if isinstance(pixels, NpyReader):
        try:
            with pixels:
                return pixels[0:pixels.shape[0]]
        except NpyError as exc:
            raise UserError(str(exc)) from None
    return pixels


def cmd_upsample(args: argparse.Namespace) -> int:
    # OpenCV from here on only: the parser (add_parser) and --help work without it.
    from .filtering import _print_notes, _progress_bar
    from .imagefiles import load_guidance, load_image
    from .outputs import atomic_output, check_output, check_writable, write_image, write_npy

    start = time.perf_counter()
    low_path, guidance_path = args.low, args.guidance
    check_output(args.output, args.overwrite)
    notes: List[str] = []
    image = load_image(low_path, args.max_pixels)
    low = _whole(image.pixels)
    guidance = _whole(load_guidance(guidance_path, args.gray_guidance, args.max_pixels))
    try:
        factor = upsampling_factor(low.shape, guidance.shape)
    except ValueError:
        raise UserError(
            f"guidance '{guidance_path}' is {guidance.shape[1]}x{guidance.shape[0]} but '{low_path}' is "
            f"{low.shape[1]}x{low.shape[0]} (width x height): the guidance must be an integer factor times "
            "its size in both directions"
        ) from None
    height, width = guidance.shape[:2]
    options: dict[str, Any] = dict(sigma_s=args.sigma_s, sigma_r=args.sigma_r, mode=args.mode, cval=args.cval or 0.0,
                                   rounding=args.rounding, hole=args.hole)
    check_writable(args.output, low.dtype, image.channels)
    bar = _progress_bar(tile_count(height, width, args.tile) if args.tile else 1, "tile", args.quiet)
    try:
        with atomic_output(args.output, overwrite=args.overwrite) as tmp:
            try:
                if args.tile:
                    result = filter_tiled(joint_bilateral_upsample, low, guidance, tile=args.tile,
                                          progress=bar.update, **options)
                else:
                    result = joint_bilateral_upsample(low, guidance, **options)
            except ValueError as exc:  # NaN in a float image, a hole value its dtype cannot hold
                raise UserError(f"'{low_path}' cannot be upsampled: {exc}") from None
            if image.alpha is not None:  # not image content: each pixel's repeated, unfiltered
                result = np.dstack([result, np.kron(image.alpha, np.ones((factor, factor), image.alpha.dtype))])
            if is_npy(args.output):
                write_npy(tmp, args.output, result)
            else:
                write_image(tmp, args.output, result, notes)
    finally:
        bar.close()
    _print_notes(notes, args.quiet)
    if not args.quiet:
        seconds = time.perf_counter() - start
        print(f"{PROG}: upsampled '{low_path}' {factor} times to {width}x{height}, {height * width / 1e6:.3g} "
              f"megapixels in {seconds:.2f} s -> {args.output}")
    return 0


def add_parser(sub: Any, sigma_s: Any, sigma_r: Any, cval: Any, tile: Any, max_pixels: Any,
               modes: List[str], roundings: List[str], default_tile: int, default_max_pixels: int) -> None:
    u = sub.add_parser(
        "upsample",
        help="bring a low-resolution image (a depth map) to the size of a guidance image",
        description=(
            "Upsample LOW to the size of GUIDANCE into OUT:  sovelk upsample LOW GUIDANCE -o OUT.  Each output "
            "pixel is the weighted mean of LOW's pixels around its place, weighed by their distance there and by "
            "how alike GUIDANCE is at the output pixel and at theirs (sovelk_tools.joint_bilateral_upsample), so "
            "that the result follows GUIDANCE's edges.  GUIDANCE must be an integer factor times LOW's size.  "
            "LOW keeps its depth (8-bit, 16-bit, int16, int32, float32, float64) and channels; an alpha channel "
            "of LOW is brought up by repeating its pixels, unfiltered.  GUIDANCE keeps its depth too.  .npy "
            "files are read and written too."
        ),
    )
    u.add_argument("low", metavar="LOW", help="the low-resolution image")
    u.add_argument("guidance", metavar="GUIDANCE", help="the full-resolution guidance image")
    u.add_argument("-o", "--output", required=True, metavar="OUT", help="output file")
    u.add_argument("--sigma-s", type=sigma_s, default=1, metavar="S",
                   help="spatial sigma in LOW's pixels, e.g. 1 or 1.5 (default 1); the window reaches "
                   "int(3 * S + 0.5) of them")
    u.add_argument("--sigma-r", type=sigma_r, default=0.1, metavar="X",
                   help="range sigma in the guidance's units (default 0.1): a fraction of 255 for 8-bit guidance, "
                   "of 65535 for 16-bit (of the type's largest value for other integers), the values' own units "
                   "for floating-point guidance")
    u.add_argument("--hole", type=cval, metavar="V",
                   help="a value of LOW meaning 'no reading' (e.g. 0 for depth): such pixels take no part, "
                   "and output pixels with none around them get V")
    u.add_argument("--gray-guidance", action="store_true", help="read the guidance as gray (one range weight per pixel)")
    u.add_argument("--mode", choices=modes, default="reflect",
                   help="what the window reads beyond LOW's border: reflect (cba|abcd|dcb, the default), "
                   "mirror (dcb|abcd|cba), nearest (aaa|abcd|ddd), wrap (bcd|abcd|abc) or constant (--cval)")
    u.add_argument("--cval", type=cval, metavar="X", help="with --mode constant: LOW's value beyond the border")
    u.add_argument("--rounding", choices=roundings, default="nearest",
                   help="integer results: nearest (half to even, the default) or truncate (toward zero)")
    u.add_argument("--tile", type=tile, default=default_tile, metavar="N",
                   help=f"compute the output in N x N tiles (default {default_tile}; 0 = in one call); the "
                   "result is identical either way")
    u.add_argument("--max-pixels", type=max_pixels, default=default_max_pixels, metavar="N",
                   help="refuse an input larger than N pixels before it is decoded (0 = no limit of our own)")
    u.add_argument("--overwrite", action="store_true", help="replace an existing output file")
    u.add_argument("-q", "--quiet", action="store_true", help="no progress bar, notes or summary")
