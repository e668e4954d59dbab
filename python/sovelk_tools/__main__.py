"""``python -m sovelk_tools`` runs the ``sovelk`` command."""

import sys
from typing import Optional, Sequence

OPENCV_MISSING = (
    "sovelk: error: OpenCV is not installed: pip install opencv-python-headless "
    "(or opencv-python, opencv-contrib-python, opencv-contrib-python-headless)\n"
)


def run(argv: Optional[Sequence[str]] = None) -> int:
    """The command's entry point: one line instead of a traceback when OpenCV is missing."""
    try:
        from .cli import main
    except ModuleNotFoundError as exc:
        if exc.name != "cv2":
            raise
        sys.stderr.write(OPENCV_MISSING)
        return 2
    return main(argv)


if __name__ == "__main__":
    sys.exit(run())
