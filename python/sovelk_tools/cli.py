"""The ``sovelk`` command: filter image files (one pair or a batch) and run the demo.

Exit codes: 0 on success, 2 for a problem with the request (reported as one
line on stderr, no traceback), 1 when the system runs out of memory, 130 on
Ctrl-C.  No output file is ever left half-written.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import time
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, NoReturn, Optional, Sequence

import numpy as np

from .imagefiles import (
    UserError,
    atomic_output,
    check_output,
    check_sizes,
    is_npy,
    load_guidance,
    load_image,
    open_npy_output,
    write_image,
)
from .tiled import DEFAULT_TILE, filter_tiled, tile_count

PROG = "sovelk"


class _Parser(argparse.ArgumentParser):
    """argparse, but a usage error is one line on stderr and exit code 2."""

    def error(self, message: str) -> NoReturn:
        sys.stderr.write(f"{self.prog}: error: {message} (see '{self.prog} --help')\n")
        sys.exit(2)


def _sigma_s(text: str) -> int:
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"must be a whole number of pixels, got '{text}'"
        ) from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def _sigma_r(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"must be a number, got '{text}'") from None
    # The range tables divide by 2*sigma_r**2: it has to be a positive, finite double.
    if not (value > 0 and math.isfinite(value) and 0 < 2.0 * value * value < math.inf):
        raise argparse.ArgumentTypeError(
            f"must be a positive finite number (0.1 is 25.5 intensity levels), got '{text}'"
        )
    return value


def _tile(text: str) -> int:
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"must be a whole number, got '{text}'") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 (whole image) or a side in pixels, got {value}")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description="Joint (cross) bilateral filtering of images with the Sovelk extension module.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    sub = parser.add_subparsers(dest="command", metavar="{filter,demo}", parser_class=_Parser)
    sub.required = True

    f = sub.add_parser(
        "filter",
        help="filter an image (or a batch of images) under guidance images",
        description=(
            "Filter IMAGE under GUIDANCE into OUT:  sovelk filter IMAGE GUIDANCE -o OUT.  "
            "Batch mode, chosen by --guidance-dir:  sovelk filter IMAGE_OR_DIR... --guidance-dir GDIR "
            "-o OUTDIR; each image's guidance is the file of the same name in GDIR (or, failing that, "
            "the one file there with the same stem), and each result goes to OUTDIR under the image's "
            "name.  Every format OpenCV reads and writes works, and .npy arrays are filtered from disk "
            "to disk through memory maps."
        ),
    )
    f.add_argument("inputs", nargs="+", metavar="PATH", help="IMAGE GUIDANCE, or in batch mode images and directories")
    f.add_argument("-o", "--output", required=True, metavar="OUT", help="output file (batch mode: output directory)")
    f.add_argument("--guidance-dir", metavar="GDIR", help="batch mode: directory holding the guidance images")
    f.add_argument("--format", metavar="EXT", help="batch mode: write outputs with this extension (e.g. png)")
    f.add_argument("--sigma-s", type=_sigma_s, default=3, metavar="N", help="spatial sigma in whole pixels (default 3)")
    f.add_argument("--sigma-r", type=_sigma_r, default=0.1, metavar="X", help="range sigma on the 0..1 intensity scale (default 0.1)")
    f.add_argument("--gray-guidance", action="store_true", help="read the guidance as gray (one range weight per pixel)")
    f.add_argument(
        "--tile",
        type=_tile,
        default=DEFAULT_TILE,
        metavar="N",
        help=f"filter in N x N tiles to bound memory (default {DEFAULT_TILE}; 0 = whole image in one call); "
        "the result is identical either way",
    )
    f.add_argument("--overwrite", action="store_true", help="replace existing output files")
    f.add_argument("-q", "--quiet", action="store_true", help="no progress bar, notes or summary")

    d = sub.add_parser(
        "demo",
        help="filter the bundled sample photograph and write a comparison picture",
        description="Smooth a sample photograph with a Gaussian blur, the filter guided by the photo itself "
        "and rolling guidance (each pass guided by the previous result); write the three results and "
        "comparison.png into OUTDIR.",
    )
    d.add_argument("outdir", nargs="?", default="sovelk-demo", metavar="OUTDIR", help="default: ./sovelk-demo")
    d.add_argument("--overwrite", action="store_true", help="replace an earlier demo's files")
    d.add_argument("-q", "--quiet", action="store_true", help="print nothing but errors")
    return parser


def _version() -> str:
    try:
        from importlib.metadata import version

        return version("sovelk")
    except Exception:
        return "(not installed)"


def make_filter(sigma_s: int, sigma_r: float) -> Any:
    try:
        import Sovelk
    except ImportError as exc:
        raise UserError(f"the Sovelk extension module cannot be imported: {exc}") from None
    return Sovelk.Joint_bilateral_filter(sigma_s, sigma_r)


# ---------------------------------------------------------------- one file


def filter_file(
    filt: Any,
    image_path: str,
    guidance_path: str,
    out_path: str,
    *,
    gray_guidance: bool,
    tile: int,
    overwrite: bool,
    notes: List[str],
    make_progress: Optional[Callable[[int], Callable[[int], Any]]] = None,
) -> int:
    """Filter one pair of files into ``out_path``; return the number of pixels.

    ``make_progress(total_tiles)`` may return a callable that is told of each finished tile.
    """
    check_output(out_path, overwrite)
    image = load_image(image_path)
    notes.extend(image.notes)
    guidance = load_guidance(guidance_path, gray_guidance, notes)
    check_sizes(image, guidance, image_path, guidance_path)
    h, w, ch = image.pixels.shape
    progress = make_progress(tile_count(h, w, tile)) if make_progress and tile else None

    def run(dest: Optional[np.ndarray]) -> np.ndarray:
        if tile == 0:
            result = filt.joint_bilateral_filter(np.asarray(image.pixels), np.asarray(guidance))
            if dest is not None:
                dest[...] = result
                return dest
            return result
        return filter_tiled(filt, image.pixels, guidance, tile=tile, out=dest, progress=progress)

    with atomic_output(out_path) as tmp:
        if is_npy(out_path) and image.restore_is_identity:
            # Disk to disk: tiles go straight into the memory-mapped output.
            dest = open_npy_output(tmp, (h, w, ch))
            run(dest)
            dest.flush()
            del dest
        else:
            result = image.restore(run(None))
            if is_npy(out_path):
                dest = open_npy_output(tmp, result.shape)
                dest[...] = result
                dest.flush()
                del dest
            else:
                write_image(tmp, out_path, result)
    return h * w


# ---------------------------------------------------------------- batch


@dataclass
class Job:
    image: str
    guidance: str
    output: str


def _is_candidate(path: str) -> bool:
    import cv2

    name = os.path.basename(path)
    if name.startswith(".") or not os.path.isfile(path):
        return False
    return is_npy(path) or bool(cv2.haveImageReader(path))


def _expand_inputs(inputs: Sequence[str]) -> List[str]:
    images: List[str] = []
    for item in inputs:
        if os.path.isdir(item):
            found = sorted(
                os.path.join(item, n) for n in os.listdir(item) if _is_candidate(os.path.join(item, n))
            )
            if not found:
                raise UserError(f"directory '{item}' holds no image files")
            images.extend(found)
        elif os.path.exists(item):
            images.append(item)
        else:
            raise UserError(f"image '{item}' does not exist")
    return images


def _find_guidance(image: str, gdir: str, listing: List[str]) -> str:
    name = os.path.basename(image)
    exact = os.path.join(gdir, name)
    if os.path.isfile(exact):
        return exact
    stem = os.path.splitext(name)[0]
    same_stem = [n for n in listing if os.path.splitext(n)[0] == stem]
    if len(same_stem) == 1:
        return os.path.join(gdir, same_stem[0])
    if not same_stem:
        raise UserError(f"no guidance for '{image}' in '{gdir}' (looked for '{name}' or '{stem}.*')")
    raise UserError(
        f"guidance for '{image}' is ambiguous in '{gdir}': {', '.join(sorted(same_stem))}"
    )


def _same_path(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.abspath(a) == os.path.abspath(b)


def plan_batch(inputs: Sequence[str], gdir: str, outdir: str, fmt: Optional[str], overwrite: bool) -> List[Job]:
    """Match images to guidance and outputs, and refuse the whole batch before any work if anything is off."""
    if not os.path.isdir(gdir):
        raise UserError(f"guidance directory '{gdir}' does not exist")
    if os.path.exists(outdir) and not os.path.isdir(outdir):
        raise UserError(f"output '{outdir}' exists and is not a directory (batch mode writes into a directory)")
    listing = sorted(n for n in os.listdir(gdir) if _is_candidate(os.path.join(gdir, n)))
    ext = None
    if fmt:
        ext = fmt if fmt.startswith(".") else "." + fmt
    jobs: List[Job] = []
    seen: Dict[str, str] = {}
    for image in _expand_inputs(inputs):
        guidance = _find_guidance(image, gdir, listing)
        stem, own_ext = os.path.splitext(os.path.basename(image))
        out = os.path.join(outdir, stem + (ext or own_ext))
        key = os.path.abspath(out)
        if key in seen:
            raise UserError(f"'{seen[key]}' and '{image}' would both be written to '{out}'")
        seen[key] = image
        jobs.append(Job(image, guidance, out))
    inputs_used = {os.path.abspath(p) for j in jobs for p in (j.image, j.guidance)}
    for job in jobs:
        if os.path.exists(job.output):
            if any(_same_path(job.output, p) for p in inputs_used):
                raise UserError(f"output '{job.output}' is also an input of this batch; choose another -o")
            if not overwrite:
                raise UserError(f"output '{job.output}' already exists (use --overwrite to replace it)")
        if not is_npy(job.output):
            import cv2

            if not cv2.haveImageWriter(job.output):
                raise UserError(f"output '{job.output}': OpenCV has no encoder for '{os.path.splitext(job.output)[1]}'")
    return jobs


# ---------------------------------------------------------------- commands


def _progress_bar(total: int, unit: str, quiet: bool) -> Any:
    from tqdm import tqdm

    # disable=None: tqdm draws only on a terminal, so logs and pipes get the
    # error and summary lines without carriage-return noise.
    return tqdm(total=total, unit=unit, file=sys.stderr, disable=True if quiet or total <= 1 else None, dynamic_ncols=True)


def _summary(files: int, pixels: int, seconds: float, where: str) -> str:
    mp = pixels / 1e6
    rate = f", {mp / seconds:.2f} MP/s" if seconds > 0 else ""
    return f"{PROG}: filtered {files} file{'s' if files != 1 else ''}, {mp:.3g} megapixels in {seconds:.2f} s{rate} -> {where}"


def _print_notes(notes: List[str], quiet: bool) -> None:
    if not quiet:
        for note in dict.fromkeys(notes):
            sys.stderr.write(f"{PROG}: note: {note}\n")


def cmd_filter(args: argparse.Namespace) -> int:
    start = time.perf_counter()
    notes: List[str] = []
    if args.guidance_dir is None:
        if len(args.inputs) != 2:
            raise UserError(
                f"expected IMAGE GUIDANCE, got {len(args.inputs)} path(s); for a batch give --guidance-dir"
            )
        if args.format:
            raise UserError("--format applies to batch mode (--guidance-dir); name the output file instead")
        image, guidance = args.inputs
        filt = make_filter(args.sigma_s, args.sigma_r)
        bars: List[Any] = []

        def tile_bar(total: int) -> Callable[[int], Any]:
            bars.append(_progress_bar(total, "tile", args.quiet))
            return bars[-1].update

        try:
            pixels = filter_file(
                filt, image, guidance, args.output,
                gray_guidance=args.gray_guidance, tile=args.tile, overwrite=args.overwrite,
                notes=notes, make_progress=tile_bar,
            )
        finally:
            for bar in bars:
                bar.close()
        _print_notes(notes, args.quiet)
        if not args.quiet:
            print(_summary(1, pixels, time.perf_counter() - start, args.output))
        return 0

    jobs = plan_batch(args.inputs, args.guidance_dir, args.output, args.format, args.overwrite)
    filt = make_filter(args.sigma_s, args.sigma_r)
    os.makedirs(args.output, exist_ok=True)
    pixels = 0
    bar = _progress_bar(len(jobs), "file", args.quiet)
    try:
        for job in jobs:
            bar.set_postfix_str(os.path.basename(job.image), refresh=False)
            pixels += filter_file(
                filt, job.image, job.guidance, job.output,
                gray_guidance=args.gray_guidance, tile=args.tile, overwrite=args.overwrite, notes=notes,
            )
            bar.update(1)
    finally:
        bar.close()
    _print_notes(notes, args.quiet)
    if not args.quiet:
        print(_summary(len(jobs), pixels, time.perf_counter() - start, args.output))
    return 0


def cmd_demo(args: argparse.Namespace) -> int:
    from .demo import run_demo

    run_demo(args.outdir, overwrite=args.overwrite, quiet=args.quiet)
    return 0


def main(argv: Optional[Sequence[str]] = None) -> int:
    try:
        import cv2

        # OpenCV logs its own decoder/encoder complaints to stderr; the command
        # reports those failures itself, in one line.
        cv2.utils.logging.setLogLevel(cv2.utils.logging.LOG_LEVEL_SILENT)
    except (ImportError, AttributeError):
        pass
    args = build_parser().parse_args(argv)
    try:
        return cmd_filter(args) if args.command == "filter" else cmd_demo(args)
    except UserError as exc:
        sys.stderr.write(f"{PROG}: error: {exc}\n")
        return 2
    except MemoryError:
        sys.stderr.write(
            f"{PROG}: error: out of memory; use a smaller --tile (the filter's memory grows with "
            "(tile + 6*sigma_s)^2 * (6*sigma_s + 1)^2)\n"
        )
        return 1
    except KeyboardInterrupt:
        sys.stderr.write(f"{PROG}: interrupted; no partial output was left behind\n")
        return 130


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
