"""The ``sovelk`` command: filter image files (one pair or a batch) and run the demo.

Exit codes: 0 on success, 2 for a problem with the request, a file or the
disk (reported as one line on stderr, no traceback; in a batch, when any file
failed), 1 when the system runs out of memory, 130 on Ctrl-C.  Other
terminating signals (SIGTERM, SIGHUP, SIGQUIT, ...) end the process by that
signal, after the same cleanup.  No output file is ever left half-written.
"""

from __future__ import annotations

import argparse
import contextlib
import math
import os
import signal
import stat
import sys
import threading
import time
from dataclasses import dataclass
from functools import lru_cache
from typing import Any, Callable, Dict, Iterator, List, NoReturn, Optional, Sequence

import cv2
import numpy as np

from ._support import (
    UserError,
    atomic_output,
    check_output,
    check_output_dir,
    hold_or_raise,
    is_npy,
    os_reason,
    signals_held,
    write_image,
    write_npy,
)
from .imagefiles import check_sizes, load_guidance, load_image, open_npy_output, reach
from .tiled import DEFAULT_TILE, filter_tiled, iter_tiles, tile_count

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
        # "2.0" means 2; "2.5" has no whole-pixel window and is refused.
        try:
            number = float(text)
        except ValueError:
            number = math.nan
        if not (math.isfinite(number) and number.is_integer()):
            raise argparse.ArgumentTypeError(
                f"must be a whole number of pixels, got '{text}'"
            ) from None
        value = int(number)
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
            "name; a file that fails is reported and the batch goes on.  Every format OpenCV reads and "
            "writes works; uint8 colour .npy arrays are filtered from disk to disk through memory maps, "
            "and 16-bit and floating-point (0..1) images are rescaled to 8 bits."
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
    existing = f.add_mutually_exclusive_group()
    existing.add_argument("--overwrite", action="store_true", help="replace existing output files")
    existing.add_argument(
        "--skip-existing", action="store_true",
        help="leave existing output files alone and filter only the others (resumes an interrupted batch)",
    )
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
    try:
        return Sovelk.Joint_bilateral_filter(sigma_s, sigma_r)
    except (TypeError, ValueError, OverflowError) as exc:
        # A sigma_s whose window no machine could hold fails inside the
        # constructor's arithmetic, in words that do not name the cause.
        raise UserError(f"cannot build a filter with --sigma-s {sigma_s}: it is too large ({exc})") from None


# ---------------------------------------------------------------- one file


# Weighted samples (output pixels x window area) above which a run is worth a
# warning: on the 2-core development machine, some tens of seconds.
_LONG_RUN = 3e10


def window_warning(filt: Any, h: int, w: int, tile: int, path: str) -> Optional[str]:
    """A warning, before the filter call, for a window so large for the image that the run takes very long."""
    side, pad = int(filt.wndw_size), int(filt.pad_w)
    # Each tile is filtered with a margin of pad_w on every side, so with a
    # window wider than the tile most of the work goes into the margins.
    if tile and tile_count(h, w, tile) > 1:
        computed = sum((r1 - r0 + 2 * pad) * (c1 - c0 + 2 * pad) for r0, r1, c0, c1 in iter_tiles(h, w, tile))
    else:
        computed = h * w
    work = computed * side * side
    if work < _LONG_RUN:
        return None
    where = "larger than" if side > max(h, w) else "large for"
    text = (
        f"the filter window ({side}x{side} pixels for --sigma-s {filt.sigma_s}) is {where} '{path}' "
        f"({w}x{h}): about {work:.1e} weighted samples to sum, so this may run for a very long time"
    )
    if computed > 2 * h * w:
        text += (
            f"; the tiles' margins make {computed / (h * w):.0f} times the image's pixels to filter, "
            "which a larger --tile (or --tile 0) avoids"
        )
    return text


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
    warn: Optional[Callable[[str], Any]] = None,
) -> int:
    """Filter one pair of files into ``out_path``; return the number of pixels.

    ``make_progress(total_tiles)`` may return a callable that is told of each
    finished tile; ``warn`` is given warnings before the filter call starts.
    """
    check_output(out_path, overwrite)
    image = load_image(image_path)
    notes.extend(image.notes)
    guidance = load_guidance(guidance_path, gray_guidance, notes)
    check_sizes(image, guidance, image_path, guidance_path)
    h, w, ch = image.pixels.shape
    warning = window_warning(filt, h, w, tile, image_path)
    if warning and warn:
        warn(warning)
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
            dest = open_npy_output(tmp, out_path, (h, w, ch))
            run(dest)
            try:
                dest.flush()
            except OSError as exc:
                raise UserError(f"cannot write '{out_path}': {os_reason(exc)}") from None
            del dest
        else:
            result = image.restore(run(None))
            if is_npy(out_path):
                write_npy(tmp, out_path, result)
            else:
                write_image(tmp, out_path, result, notes)
    return h * w


# ---------------------------------------------------------------- batch


@dataclass
class Job:
    image: str
    guidance: str
    output: str


@dataclass
class Plan:
    jobs: List[Job]
    skipped: List[str]  # outputs already there, left alone under --skip-existing


@lru_cache(maxsize=None)
def _image_extension(ext: str) -> bool:
    return bool(ext) and bool(cv2.haveImageWriter("x" + ext))


def _is_candidate(path: str) -> bool:
    """Whether a file in a batch directory is meant as an image.

    By name as well as by content: a damaged file named like an image is a
    failure to report, not a file to pass over in silence.
    """
    name = os.path.basename(path)
    if name.startswith(".") or not os.path.isfile(path):
        return False
    ext = os.path.splitext(name)[1].lower()
    return is_npy(path) or _image_extension(ext) or bool(cv2.haveImageReader(path))


def _listdir(directory: str, role: str) -> List[str]:
    try:
        return sorted(os.listdir(directory))
    except OSError as exc:
        raise UserError(f"{role} '{directory}' cannot be read: {os_reason(exc)}") from None


def _expand_inputs(inputs: Sequence[str]) -> List[str]:
    images: List[str] = []
    for item in inputs:
        if stat.S_ISDIR(reach(item, "image").st_mode):
            found = [
                os.path.join(item, n) for n in _listdir(item, "image directory")
                if _is_candidate(os.path.join(item, n))
            ]
            if not found:
                raise UserError(f"directory '{item}' holds no image files")
            images.extend(found)
        else:
            images.append(item)
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


def plan_batch(
    inputs: Sequence[str], gdir: str, outdir: str, fmt: Optional[str], overwrite: bool,
    skip_existing: bool = False,
) -> Plan:
    """Match images to guidance and outputs, and refuse the whole batch before any work if anything is off."""
    if not stat.S_ISDIR(reach(gdir, "guidance directory").st_mode):
        raise UserError(f"guidance directory '{gdir}' is not a directory")
    if os.path.exists(outdir) and not os.path.isdir(outdir):
        raise UserError(f"output '{outdir}' exists and is not a directory (batch mode writes into a directory)")
    listing = [n for n in _listdir(gdir, "guidance directory") if _is_candidate(os.path.join(gdir, n))]
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
    todo: List[Job] = []
    skipped: List[str] = []
    for job in jobs:
        if os.path.exists(job.output):
            if any(_same_path(job.output, p) for p in inputs_used):
                raise UserError(f"output '{job.output}' is also an input of this batch; choose another -o")
            if skip_existing:
                skipped.append(job.output)
                continue
            if not overwrite:
                raise UserError(
                    f"output '{job.output}' already exists (use --overwrite to replace it, "
                    "or --skip-existing to keep it)"
                )
        if not is_npy(job.output) and not cv2.haveImageWriter(job.output):
            raise UserError(f"output '{job.output}': OpenCV has no encoder for '{os.path.splitext(job.output)[1]}'")
        todo.append(job)
    return Plan(todo, skipped)


@contextlib.contextmanager
def _output_directory(outdir: str) -> Iterator[None]:
    """Create the batch's output directory, and remove what was created if nothing was written into it."""
    created: List[str] = []
    path = os.path.abspath(outdir)
    while not os.path.lexists(path):
        created.append(path)
        path = os.path.dirname(path)
    try:
        with signals_held():
            try:
                os.makedirs(outdir, exist_ok=True)
            except OSError as exc:
                raise UserError(f"cannot create output directory '{outdir}': {os_reason(exc)}") from None
        check_output_dir(outdir)
        yield
    finally:
        for directory in created:  # deepest first; rmdir refuses one that holds anything
            try:
                os.rmdir(directory)
            except FileNotFoundError:
                continue  # makedirs failed before it got this deep
            except OSError:
                break


# ---------------------------------------------------------------- commands


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
        if args.skip_existing and os.path.lexists(args.output):
            if not args.quiet:
                print(_summary(0, 0, 0.0, args.output, skipped=1))
            return 0
        filt = make_filter(args.sigma_s, args.sigma_r)
        bars: List[Any] = []

        def tile_bar(total: int) -> Callable[[int], Any]:
            bars.append(_progress_bar(total, "tile", args.quiet))
            return bars[-1].update

        try:
            pixels = filter_file(
                filt, image, guidance, args.output,
                gray_guidance=args.gray_guidance, tile=args.tile, overwrite=args.overwrite,
                notes=notes, make_progress=tile_bar, warn=_warn,
            )
        finally:
            for bar in bars:
                bar.close()
        _print_notes(notes, args.quiet)
        if not args.quiet:
            print(_summary(1, pixels, time.perf_counter() - start, args.output))
        return 0

    plan = plan_batch(args.inputs, args.guidance_dir, args.output, args.format, args.overwrite, args.skip_existing)
    filt = make_filter(args.sigma_s, args.sigma_r)
    pixels = 0
    failed: List[str] = []
    with _output_directory(args.output):
        bar = _progress_bar(len(plan.jobs), "file", args.quiet)
        try:
            for job in plan.jobs:
                bar.set_postfix_str(os.path.basename(job.image), refresh=False)
                try:
                    pixels += filter_file(
                        filt, job.image, job.guidance, job.output,
                        gray_guidance=args.gray_guidance, tile=args.tile, overwrite=args.overwrite,
                        notes=notes, warn=_warn,
                    )
                except (UserError, OSError) as exc:
                    # One bad file must not cost the others: report it and go on.
                    text = str(exc) if isinstance(exc, UserError) else _os_line(exc)
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


def cmd_demo(args: argparse.Namespace) -> int:
    from .demo import run_demo

    run_demo(args.outdir, overwrite=args.overwrite, quiet=args.quiet)
    return 0


# ---------------------------------------------------------------- signals

# Signals whose default action ends the process and that a handler can catch
# safely (not the ones raised by a fault in the process itself).
_TERMINATING = ("SIGTERM", "SIGHUP", "SIGQUIT", "SIGALRM", "SIGUSR1", "SIGUSR2", "SIGXCPU", "SIGVTALRM",
                "SIGPROF", "SIGPWR")


class Terminated(BaseException):
    """A terminating signal arrived; raised like KeyboardInterrupt so that every cleanup runs."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


@contextlib.contextmanager
def _cleanup_on_signals() -> Iterator[None]:
    """Turn terminating signals into ``Terminated`` for the duration of a command.

    Only signals left at their default action are taken over: one the caller
    chose to ignore (``nohup``) stays ignored.  Ctrl-C still raises
    KeyboardInterrupt; both wait for the end of a ``signals_held`` block, so
    that a file being created is known to its cleanup before they unwind.
    """
    installed: Dict[int, Any] = {}

    def handler(signum: int, frame: Any) -> None:
        # A second signal must not cut short the cleanup that the first one starts.
        for num in installed:
            if num != signal.SIGINT:
                signal.signal(num, signal.SIG_IGN)
        hold_or_raise(Terminated(signum))

    def interrupt(signum: int, frame: Any) -> None:
        hold_or_raise(KeyboardInterrupt())

    if threading.current_thread() is threading.main_thread():
        for name in _TERMINATING:
            num = getattr(signal, name, None)
            if num is not None and signal.getsignal(num) == signal.SIG_DFL:
                installed[num] = signal.signal(num, handler)
        if signal.getsignal(signal.SIGINT) is signal.default_int_handler:
            installed[signal.SIGINT] = signal.signal(signal.SIGINT, interrupt)
    try:
        yield
    finally:
        for num, previous in installed.items():
            signal.signal(num, previous)


def _die_by(signum: int) -> int:
    """End the process by ``signum`` itself, so that the parent sees how it ended."""
    sys.stdout.flush()
    sys.stderr.flush()
    if signum == getattr(signal, "SIGQUIT", None):
        # Its default action writes a core file: that would be the very file
        # left behind that the cleanup just avoided.
        with contextlib.suppress(ImportError, ValueError, OSError):
            import resource

            resource.setrlimit(resource.RLIMIT_CORE, (0, resource.getrlimit(resource.RLIMIT_CORE)[1]))
    signal.signal(signum, signal.SIG_DFL)
    if hasattr(signal, "pthread_sigmask"):
        signal.pthread_sigmask(signal.SIG_UNBLOCK, {signum})
    os.kill(os.getpid(), signum)
    return 128 + signum  # only if the signal did not end the process


def _os_line(exc: OSError) -> str:
    where = f": '{exc.filename}'" if exc.filename else ""
    return f"{os_reason(exc)}{where}"


def main(argv: Optional[Sequence[str]] = None) -> int:
    with contextlib.suppress(AttributeError):
        # OpenCV logs its own decoder/encoder complaints to stderr; the command
        # reports those failures itself, in one line.
        cv2.utils.logging.setLogLevel(cv2.utils.logging.LOG_LEVEL_SILENT)
    args = build_parser().parse_args(argv)
    try:
        with _cleanup_on_signals():
            return cmd_filter(args) if args.command == "filter" else cmd_demo(args)
    except UserError as exc:
        sys.stderr.write(f"{PROG}: error: {exc}\n")
        return 2
    except OSError as exc:
        sys.stderr.write(f"{PROG}: error: {_os_line(exc)}\n")
        return 2
    except MemoryError as exc:
        detail = f" ({exc})" if str(exc) else ""
        sys.stderr.write(
            f"{PROG}: error: out of memory{detail}. Each filter call holds padded copies of its image "
            "and guidance block and its output, and every worker thread holds scratch memory that grows with "
            "the window's area: a smaller --tile lowers the first, a smaller --sigma-s the second\n"
        )
        return 1
    except KeyboardInterrupt:
        sys.stderr.write(f"{PROG}: interrupted; no partial output was left behind\n")
        return 130
    except Terminated as exc:
        name = signal.Signals(exc.signum).name
        sys.stderr.write(f"{PROG}: stopped by {name}; no partial output was left behind\n")
        return _die_by(exc.signum)


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
