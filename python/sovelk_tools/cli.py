"""The ``sovelk`` command: filter image files (one pair or a batch), upsample one, run the demo.

Exit codes: 0 on success, 2 for a problem with the request, a file or the
disk (reported as one line on stderr, no traceback; in a batch, when any file
failed), 1 when the system runs out of memory, 130 on Ctrl-C.  Other
terminating signals (SIGTERM, SIGHUP, SIGQUIT, ...) end the process by that
signal, after the same cleanup.  No output file is ever left half-written.
"""

from __future__ import annotations

import argparse
import math
import signal
import sys
from typing import Callable, NoReturn, Optional, Sequence, Union

from .function import MODES, ROUNDINGS
from .errors import PROG, InputOutOfMemory, UserError, os_line
from .formats import DEFAULT_MAX_PIXELS
from .signals import Terminated, cleanup_on_signals, die_by
from .tiled import DEFAULT_TILE


class _Parser(argparse.ArgumentParser):
    """argparse, but a usage error is one line on stderr and exit code 2."""

    def error(self, message: str) -> NoReturn:
        sys.stderr.write(f"{self.prog}: error: {message} (see '{self.prog} --help')\n")
        sys.exit(2)


def _sigma_s(text: str) -> Union[int, float]:
    try:
        value: Union[int, float] = int(text, 10)
    except ValueError:
        try:
            value = float(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"must be a number of pixels, got '{text}'") from None
        # "2.0" means 2: a whole number keeps the weights of Sovelk.Joint_bilateral_filter(2, ...).
        if math.isfinite(value) and value.is_integer():
            value = int(value)
    # joint_bilateral's range: positive and finite, with 2 * sigma_s**2 a positive finite double.
    try:
        divisor = 2.0 * value ** 2
    except OverflowError:
        divisor = math.inf
    if not (value > 0 and 0 < divisor < math.inf):
        raise argparse.ArgumentTypeError(f"must be a positive finite number of pixels, got '{text}'")
    return value


def _sigma_r(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"must be a number, got '{text}'") from None
    if not (value > 0 and math.isfinite(value)):
        raise argparse.ArgumentTypeError(
            f"must be a positive finite number (0.1 is 25.5 intensity levels), got '{text}'"
        )
    # The range tables divide by 2*sigma_r**2: it has to be a positive, finite double too.
    divisor = 2.0 * value * value
    if divisor == math.inf:
        raise argparse.ArgumentTypeError(f"too large: 2 * sigma_r**2 overflows, got '{text}'")
    if divisor == 0:
        raise argparse.ArgumentTypeError(f"too small: 2 * sigma_r**2 is 0, got '{text}'")
    return value


def _cval(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"must be a finite number, got '{text}'")
    return value


def _whole_number(zero_means: str, otherwise: str) -> Callable[[str], int]:
    """A parser of a whole number that is 0 (meaning ``zero_means``) or more."""

    def parse(text: str) -> int:
        try:
            value = int(text, 10)
        except ValueError:
            raise argparse.ArgumentTypeError(f"must be a whole number, got '{text}'") from None
        if value < 0:
            raise argparse.ArgumentTypeError(f"must be 0 ({zero_means}) or {otherwise}, got {value}")
        return value

    return parse


_tile = _whole_number("whole image", "a side in pixels")
_max_pixels = _whole_number("no limit", "a number of pixels")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description="Joint (cross) bilateral filtering of images with the Sovelk extension module.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    sub = parser.add_subparsers(dest="command", metavar="{filter,upsample,demo}", parser_class=_Parser)
    sub.required = True

    f = sub.add_parser(
        "filter",
        help="filter an image (or a batch of images) under guidance images, or guided by itself",
        description=(
            "Filter IMAGE under GUIDANCE into OUT:  sovelk filter IMAGE GUIDANCE -o OUT;  without "
            "GUIDANCE the image is guided by itself (the bilateral filter).  "
            "Batch mode, chosen by --guidance-dir:  sovelk filter IMAGE_OR_DIR... --guidance-dir GDIR "
            "-o OUTDIR; each image's guidance is the file of the same name in GDIR (or, failing that, "
            "the one file there with the same stem), and each result goes to OUTDIR under the image's "
            "name; a file that fails is reported and the batch goes on.  With --self-guided instead of "
            "--guidance-dir each image of the batch is guided by itself.  Every format OpenCV reads and "
            "writes works, and .npy arrays, which are filtered from disk to disk a band of rows at a time.  "
            "Images and guidance are taken at their own depth (8-bit, 16-bit, int16, int32, float32, "
            "float64) and channels (a gray image as one); a result is rescaled to 8 bits, with a note, "
            "only where the output format cannot hold its depth."
        ),
    )
    f.add_argument("inputs", nargs="+", metavar="PATH",
                   help="IMAGE [GUIDANCE], or in batch mode images and directories")
    f.add_argument("-o", "--output", required=True, metavar="OUT", help="output file (batch mode: output directory)")
    f.add_argument("--guidance-dir", metavar="GDIR", help="batch mode: directory holding the guidance images")
    f.add_argument("--self-guided", action="store_true", help="batch mode: each image guided by itself")
    f.add_argument("--format", metavar="EXT", help="batch mode: write outputs with this extension (e.g. png)")
    f.add_argument(
        "--sigma-s", type=_sigma_s, default=3, metavar="S",
        help="spatial sigma in pixels, e.g. 3 or 1.5 (default 3); the window reaches int(3 * S + 0.5) "
        "pixels from its centre. A whole number gives 8-bit images the bytes of "
        "Sovelk.Joint_bilateral_filter(S, sigma_r); any other is filtered with the same truncation",
    )
    f.add_argument(
        "--sigma-r", type=_sigma_r, default=0.1, metavar="X",
        help="range sigma in the guidance's units (default 0.1): a fraction of 255 for 8-bit guidance, "
        "of 65535 for 16-bit (of the type's largest value for other integers), the values' own units "
        "for floating-point guidance",
    )
    f.add_argument("--gray-guidance", action="store_true", help="read the guidance as gray (one range weight per pixel)")
    f.add_argument(
        "--mode", choices=list(MODES), default="reflect",
        help="what the window reads beyond the image's border: reflect (cba|abcd|dcb, the default), "
        "mirror (dcb|abcd|cba), nearest (aaa|abcd|ddd), wrap (bcd|abcd|abc) or constant (--cval)",
    )
    f.add_argument(
        "--cval", type=_cval, metavar="X",
        help="with --mode constant: the image value beyond the border (default 0; the guidance reads 0 there)",
    )
    f.add_argument(
        "--rounding", choices=list(ROUNDINGS),
        help="integer results: nearest (half to even) or truncate (toward zero). Default: truncate for "
        "8-bit images, the bytes of Sovelk.Joint_bilateral_filter; nearest for deeper ones",
    )
    f.add_argument(
        "--tile",
        type=_tile,
        default=DEFAULT_TILE,
        metavar="N",
        help=f"filter in N x N tiles to bound memory (default {DEFAULT_TILE}; 0 = whole image in one call); "
        "the result is identical either way",
    )
    f.add_argument(
        "--max-pixels",
        type=_max_pixels,
        default=DEFAULT_MAX_PIXELS,
        metavar="N",
        help=f"refuse an input larger than N pixels (width x height) before it is decoded: a small "
        f"compressed file can declare a picture that takes gigabytes (default {DEFAULT_MAX_PIXELS}, "
        "2^28, e.g. 16384x16384; 0 = no limit of our own)",
    )
    existing = f.add_mutually_exclusive_group()
    existing.add_argument(
        "--overwrite", action="store_true",
        help="replace existing output files (without it, a file that appears at an output's name "
        "during the run is kept, and that output fails)",
    )
    existing.add_argument(
        "--skip-existing", action="store_true",
        help="leave existing output files alone and filter only the others (resumes an interrupted batch)",
    )
    f.add_argument("-q", "--quiet", action="store_true", help="no progress bar, notes or summary")

    from .upsampling import add_parser as add_upsample_parser

    add_upsample_parser(sub, _sigma_s, _sigma_r, _cval, _tile, _max_pixels, list(MODES), list(ROUNDINGS), DEFAULT_TILE,
                        DEFAULT_MAX_PIXELS)

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


def cmd_demo(args: argparse.Namespace) -> int:
    from .demo import run_demo

    run_demo(args.outdir, overwrite=args.overwrite, quiet=args.quiet)
    return 0

def main(argv: Optional[Sequence[str]] = None) -> int:
    if hasattr(sys.stdout, "reconfigure"):
        # A file name that is not valid UTF-8 is printed with its odd bytes
        # escaped, as stderr does by default, instead of failing the summary.
        sys.stdout.reconfigure(errors="backslashreplace")
    parser = build_parser()
    args = parser.parse_args(argv)
    # OpenCV only from here: --help, --version and usage errors work without it.
    from .filtering import cmd_filter
    from .opencv_codecs import quiet_logging

    quiet_logging()
    if args.command in ("filter", "upsample") and args.cval is not None and args.mode != "constant":
        parser.error("--cval applies to --mode constant only")
    try:
        with cleanup_on_signals():
            if args.command == "upsample":
                from .upsampling import cmd_upsample

                return cmd_upsample(args)
            return cmd_filter(args) if args.command == "filter" else cmd_demo(args)
    except UserError as exc:
        sys.stderr.write(f"{PROG}: error: {exc}\n")
        return 2
    except OSError as exc:
        sys.stderr.write(f"{PROG}: error: {os_line(exc)}\n")
        return 2
    except InputOutOfMemory as exc:
        sys.stderr.write(f"{PROG}: error: out of memory: {exc}\n")
        return 1
    except MemoryError as exc:
        detail = f" ({exc})" if str(exc) else ""
        sys.stderr.write(
            f"{PROG}: error: out of memory{detail}. An image file and its result are held in memory (.npy "
            "files are read a band of rows at a time instead), and every worker thread holds rows of the "
            "window, which grow with --sigma-s\n"
        )
        return 1
    except KeyboardInterrupt:
        sys.stderr.write(f"{PROG}: interrupted; no partial output was left behind\n")
        return 130
    except Terminated as exc:
        name = signal.Signals(exc.signum).name
        sys.stderr.write(f"{PROG}: stopped by {name}; no partial output was left behind\n")
        return die_by(exc.signum)


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
