"""``python -m sovelk_tools`` runs the ``sovelk`` command."""

import sys
from typing import Optional, Sequence

OPENCV_MISSING = (
    "sovelk: error: OpenCV is not installed: pip install opencv-python-headless "
    "(or opencv-python, opencv-contrib-python, opencv-contrib-python-headless)\n"
)


def run(argv: Optional[Sequence[str]] = None) -> int:
    """The command's entry point: one line instead of a traceback when OpenCV is missing.

    The command imports OpenCV once its arguments are parsed, so --help and --version work
    without it."""
    from .cli import main

    try:
        return main(argv)
    except ModuleNotFoundError as exc:
        if exc.name != "cv2":
            raise
        sys.stderr.write(OPENCV_MISSING)
        return 2


if __name__ == "__main__":
    sys.exit(run())
