"""``sovelk filter``: one pair of files, or a batch, filtered into outputs that are whole or absent."""

from __future__ import annotations

import argparse
import os
import sys
import time
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Optional, Sequence

import numpy as np

from .batch import plan_batch
from .function import joint_bilateral
from .errors import PROG, InputOutOfMemory, UserError, cannot_write, os_line
from .formats import is_npy
from .imagefiles import check_sizes, load_guidance, load_image
from .npyfile import NpyError, NpyReader
from .outputs import atomic_output, check_output, check_writable, open_npy_output, output_directory, write_image, write_npy
from .tiled import filter_in_bands, filter_tiled, tile_count


@dataclass(frozen=True)
class FilterOptions:
    """The filter's options as the command line gives them."""

    sigma_s: float  # an int where the command line was given a whole number
    sigma_r: float
    mode: str = "reflect"
    cval: float = 0.0
    rounding: Optional[str] = None  # None: by the image's depth (rounding_for)

    def rounding_for(self, dtype: np.dtype) -> str:
        # 8-bit results are the class's bytes (truncated), so that the command line and the class
        # agree; deeper integers, which the class does not take, are rounded without bias.
        if self.rounding is not None:
            return self.rounding
        return "truncate" if dtype == np.uint8 else "nearest"

    def arguments(self, dtype: np.dtype) -> Dict[str, Any]:
        """joint_bilateral's keyword arguments for an image of ``dtype``."""
        return dict(sigma_s=self.sigma_s, sigma_r=self.sigma_r, mode=self.mode, cval=self.cval,
                    rounding=self.rounding_for(dtype))


def check_options(options: FilterOptions) -> None:
    """Build the weights before any file is read: a window larger than memory fails here, once."""
    pixel = np.zeros((1, 1), np.uint8)
    try:
        joint_bilateral(pixel, pixel, **options.arguments(pixel.dtype))
    except MemoryError as exc:
        raise InputOutOfMemory(f"--sigma-s {options.sigma_s}: {exc}") from None


# Weighted samples (output pixels x window area) above which a run is worth a
# warning before it starts: long enough that a user would rather know, and
# far above any everyday image and window (docs/performance.md has the rate).
_LONG_RUN = 3e10


def window_warning(sigma_s: float, h: int, w: int, path: str) -> Optional[str]:
    """A warning, before the filter call, for a window so large for the image that the run takes very long."""
    # joint_bilateral's reach: 3 * sigma_s pixels, rounded to nearest where sigma_s is no whole number.
    side = 2 * (3 * sigma_s if isinstance(sigma_s, int) else int(3 * sigma_s + 0.5)) + 1
    work = h * w * side * side
    if work < _LONG_RUN:
        return None
    where = "larger than" if side > max(h, w) else "large for"
    return (
        f"the filter window ({side}x{side} pixels for --sigma-s {sigma_s}) is {where} '{path}' "
        f"({w}x{h}): about {work:.1e} weighted samples to sum, so this may run for a very long time"
    )


def filter_file(
    options: FilterOptions,
    image_path: str,
    guidance_path: Optional[str],
    out_path: str,
    *,
    gray_guidance: bool,
    tile: int,
    overwrite: bool,
    max_pixels: int,
    notes: List[str],
    make_progress: Optional[Callable[[int], Callable[[int], Any]]] = None,
    warn: Optional[Callable[[str], Any]] = None,
) -> int:
    """Filter one pair of files into ``out_path`` at the image's depth; return the number of pixels.
    Without ``guidance_path`` the image is guided by itself, at its own depth.

    ``make_progress(total_tiles)`` may return a callable that is told of each
    finished tile; ``warn`` is given warnings before the filter call starts.
    """
    check_output(out_path, overwrite)
    image = load_image(image_path, max_pixels)
    guidance = None
    if guidance_path is not None:
        guidance = load_guidance(guidance_path, gray_guidance, max_pixels)
        check_sizes(image, guidance, image_path, guidance_path)
    pixels = image.pixels
    h, w = image.height, image.width
    check_writable(out_path, pixels.dtype, image.channels)
    warning = window_warning(options.sigma_s, h, w, image_path)
    if warning and warn:
        warn(warning)
    progress = make_progress(tile_count(h, w, tile)) if make_progress and tile else None
    arguments = options.arguments(pixels.dtype)

    def run(dest: Optional[np.ndarray]) -> np.ndarray:
        try:
            if isinstance(pixels, NpyReader) or isinstance(guidance, NpyReader):
                # .npy inputs are read a band of rows at a time (a whole image for --tile 0).
                out = dest if dest is not None else np.empty(pixels.shape, pixels.dtype)
                return filter_in_bands(pixels, guidance, tile, out, progress, **arguments)
            if tile == 0:
                return joint_bilateral(pixels, guidance, output=dest, **arguments)
            return filter_tiled(joint_bilateral, pixels, guidance, tile=tile, out=dest, progress=progress, **arguments)
        except NpyError as exc:  # an .npy input that shrank or changed while it was read
            raise UserError(str(exc)) from None
        except ValueError as exc:
            # The checks above pass what the filter is known to take; what it still refuses
            # (NaN or infinity in a float image) is one file's failure, not the batch's.
            raise UserError(f"'{image_path}' cannot be filtered: {exc}") from None

    with atomic_output(out_path, overwrite=overwrite) as tmp:
        if is_npy(out_path) and image.alpha is None:
            # Disk to disk: tiles go straight into the memory-mapped output.
            dest = open_npy_output(tmp, out_path, pixels.shape, pixels.dtype)
            run(dest)
            try:
                dest.flush()
            except OSError as exc:
                raise cannot_write(out_path, exc) from None
            del dest
        else:
            result = image.restore(run(None))
            if is_npy(out_path):
                write_npy(tmp, out_path, result)
            else:
                write_image(tmp, out_path, result, notes)
    return h * w


# ---------------------------------------------------------------- reporting


def _progress_bar(total: int, unit: str, quiet: bool) -> Any:
    from tqdm import tqdm

    # disable=None: tqdm draws only on a terminal, so logs and pipes get the
    # error and summary lines without carriage-return noise.
    return tqdm(total=total, unit=unit, file=sys.stderr, disable=True if quiet or total <= 1 else None, dynamic_ncols=True)


def _summary(files: int, pixels: int, seconds: float, where: str, skipped: int = 0, failed: Sequence[str] = ()) -> str:
    mp = pixels / 1e6
    rate = f", {mp / seconds:.2f} MP/s" if seconds > 0 and pixels else ""
    text = f"{PROG}: filtered {files} file{'s' if files != 1 else ''}, {mp:.3g} megapixels in {seconds:.2f} s{rate} -> {where}"
    if skipped:
        text += f"; {skipped} skipped (already there)"
    if failed:
        text += f"; {len(failed)} FAILED: {', '.join(failed)}"
    return text


def _print_notes(notes: List[str], quiet: bool) -> None:
    if not quiet:
        for note in dict.fromkeys(notes):
            sys.stderr.write(f"{PROG}: note: {note}\n")


def _warn(text: str) -> None:
    from tqdm import tqdm

    # Through tqdm, so that a progress bar on the terminal is redrawn below the line.
    tqdm.write(f"{PROG}: warning: {text}", file=sys.stderr)


# ---------------------------------------------------------------- the command


def _filter_pair(args: argparse.Namespace, start: float) -> int:
    if len(args.inputs) not in (1, 2):
        raise UserError(
            f"expected IMAGE [GUIDANCE], got {len(args.inputs)} paths; for a batch give --guidance-dir "
            "or --self-guided"
        )
    if args.format:
        raise UserError("--format applies to batch mode (--guidance-dir, --self-guided); name the output file instead")
    if args.gray_guidance and len(args.inputs) == 1:
        raise UserError("--gray-guidance reads a guidance file; an image guided by itself is weighed by all its channels")
    image, guidance = args.inputs[0], args.inputs[1] if len(args.inputs) == 2 else None
    if args.skip_existing and os.path.lexists(args.output):
        if not args.quiet:
            print(_summary(0, 0, 0.0, args.output, skipped=1))
        return 0
    options = filter_options(args)
    notes: List[str] = []
    bars: List[Any] = []

    def tile_bar(total: int) -> Callable[[int], Any]:
        bars.append(_progress_bar(total, "tile", args.quiet))
        return bars[-1].update

    try:
        pixels = filter_file(
            options, image, guidance, args.output,
            gray_guidance=args.gray_guidance, tile=args.tile, overwrite=args.overwrite,
            max_pixels=args.max_pixels, notes=notes, make_progress=tile_bar, warn=_warn,
        )
    finally:
        for bar in bars:
            bar.close()
    _print_notes(notes, args.quiet)
    if not args.quiet:
        print(_summary(1, pixels, time.perf_counter() - start, args.output))
    return 0


def _filter_batch(args: argparse.Namespace, start: float) -> int:
    if args.self_guided and args.gray_guidance:
        raise UserError("--gray-guidance reads guidance files; images guided by themselves are weighed by all their channels")
    plan = plan_batch(args.inputs, args.guidance_dir, args.output, args.format, args.overwrite, args.skip_existing)
    options = filter_options(args)
    notes: List[str] = []
    pixels = 0
    failed: List[str] = []
    with output_directory(args.output):
        bar = _progress_bar(len(plan.jobs), "file", args.quiet)
        try:
            for job in plan.jobs:
                bar.set_postfix_str(os.path.basename(job.image), refresh=False)
                try:
                    if job.problem is not None:
                        raise UserError(job.problem)
                    pixels += filter_file(
                        options, job.image, job.guidance, job.output,
                        gray_guidance=args.gray_guidance, tile=args.tile, overwrite=args.overwrite,
                        max_pixels=args.max_pixels, notes=notes, warn=_warn,
                    )
                except (UserError, OSError) as exc:
                    # One bad file must not cost the others: report it and go on.
                    text = str(exc) if isinstance(exc, UserError) else os_line(exc)
                    bar.write(f"{PROG}: error: {text}", file=sys.stderr)
                    failed.append(job.image)
                bar.update(1)
        finally:
            bar.close()
    _print_notes(notes, args.quiet)
    if not args.quiet:
        done = len(plan.jobs) - len(failed)
        print(_summary(done, pixels, time.perf_counter() - start, args.output, len(plan.skipped), failed))
    return 2 if failed else 0


def filter_options(args: argparse.Namespace) -> FilterOptions:
    options = FilterOptions(args.sigma_s, args.sigma_r, args.mode, args.cval or 0.0, args.rounding)
    check_options(options)
    return options


def cmd_filter(args: argparse.Namespace) -> int:
    start = time.perf_counter()
    if args.guidance_dir is not None and args.self_guided:
        raise UserError("give --guidance-dir or --self-guided, not both")
    if args.guidance_dir is None and not args.self_guided:
        return _filter_pair(args, start)
    return _filter_batch(args, start)
