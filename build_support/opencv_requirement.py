"""Chooses, when the wheel is built, whether the package depends on an OpenCV distribution.

cv2 comes in four distributions that all install the same ``cv2`` package: opencv-python,
opencv-python-headless, opencv-contrib-python and opencv-contrib-python-headless. A requirement
cannot say "any one of them", and pip installing a second one over the first overwrites its
files: a user's contrib build silently loses ``cv2.ximgproc``, and uninstalling either one later
leaves ``cv2`` broken. So a wheel names an OpenCV distribution only where that can do no harm:

- Built from a checkout (``pip install .``), it looks at the environment it is built for: where
  any ``cv2`` is there (one of the four, or one no distribution owns, built from source or
  installed by another package manager) it adds nothing, so the user's cv2 and its version stay
  as they are; only where there is none does it bring the headless one (no GUI libraries pulled
  into a library's users).
- Built from a source distribution, it adds nothing: pip keeps wheels built from a versioned
  sdist in its cache and installs them into other environments, which may hold another cv2.
- ``SOVELK_OPENCV`` set at build time to one of the four names, or to ``none``, decides instead.
  Wheels meant for other machines are built with ``none``; the extras named after the four
  distributions (``pip install "sovelk[opencv-contrib-python]"``) bring one where wanted.

pip runs this in the interpreter it installs into. Its isolated build environment hides that
interpreter's site-packages from ``sys.path`` but not from ``sysconfig``, so the target
environment is read from there. A wheel built from a checkout is only as right as the environment
it was built for: one built where there was no cv2 names the headless distribution, so build
wheels for elsewhere with ``SOVELK_OPENCV=none``; an install with ``--target`` or ``--prefix`` is
not seen.
"""

from __future__ import annotations

import importlib.machinery
import os
import site
import sys
import sysconfig
from importlib import metadata
from typing import Any, Dict, Iterable, List, Mapping

DISTRIBUTIONS = (
    "opencv-contrib-python-headless",
    "opencv-contrib-python",
    "opencv-python-headless",
    "opencv-python",
)
OVERRIDE = "SOVELK_OPENCV"


def _normalise(name: str) -> str:
    return name.lower().replace("_", "-").replace(".", "-")


def sees_system_site(prefix: str) -> bool:
    """Whether the virtual environment at `prefix` also imports from its base interpreter's
    site-packages (made with --system-site-packages)."""
    try:
        with open(os.path.join(prefix, "pyvenv.cfg"), encoding="utf-8") as fh:
            lines = [line.partition("=") for line in fh]
    except OSError:
        return False
    return any(key.strip().lower() == "include-system-site-packages" and value.strip().lower() == "true"
               for key, _, value in lines)


def target_site_dirs() -> List[str]:
    """The directories the target interpreter imports installed packages from."""
    dirs = [sysconfig.get_paths()[key] for key in ("purelib", "platlib")]
    in_venv = sys.prefix != sys.base_prefix
    if in_venv and sees_system_site(sys.prefix):
        base = sysconfig.get_paths(vars={"base": sys.base_prefix, "platbase": sys.base_exec_prefix})
        dirs += [base["purelib"], base["platlib"]]
    if not in_venv:
        dirs += getattr(site, "getsitepackages", lambda: [])()
        user = site.getusersitepackages()
        if isinstance(user, str):
            dirs.append(user)
    seen: List[str] = []
    for d in dirs:
        if os.path.isdir(d) and d not in seen:
            seen.append(d)
    return seen


def installed_opencv(dirs: Iterable[str]) -> List[str]:
    """The OpenCV distributions installed in `dirs`, in the order of DISTRIBUTIONS."""
    dirs = list(dirs)
    found = {_normalise(dist.metadata["Name"] or "") for dist in metadata.distributions(path=dirs)}
    return [name for name in DISTRIBUTIONS if name in found]


def _major(version: str) -> int:
    head = version.split(".", 1)[0]
    return int(head) if head.isdigit() else 0


def choose(dirs: Iterable[str], minimum: str, override: str | None = None,
           from_sdist: bool = False) -> List[str]:
    """The OpenCV requirements for an environment whose packages live in `dirs`."""
    dirs = list(dirs)
    if override:
        name = _normalise(override.strip())
        if name == "none":
            return []
        if name not in DISTRIBUTIONS:
            raise ValueError(f"{OVERRIDE}={override!r}: expected one of {', '.join(DISTRIBUTIONS)} or none")
        return [f"{name}>={minimum}"]
    if from_sdist or installed_opencv(dirs) or importlib.machinery.PathFinder.find_spec("cv2", dirs):
        return []
    numpy = [dist.version for dist in metadata.distributions(name="numpy", path=dirs)]
    if numpy and _major(numpy[0]) < 2:
        # OpenCV 4.12 and later need numpy 2: an environment still on numpy 1 keeps it.
        return [f"opencv-python-headless>={minimum},<4.12"]
    return [f"opencv-python-headless>={minimum}"]


class Provider:
    """The build backend's hook: adds the OpenCV requirement to ``dependencies``."""

    @staticmethod
    def dynamic_metadata(settings: Mapping[str, Any], project: Mapping[str, Any]) -> Dict[str, Any]:
        minimum = str(settings["minimum"])
        # pip and build run the backend in the project's root; only an sdist has PKG-INFO there.
        from_sdist = os.path.isfile("PKG-INFO")
        return {"dependencies": choose(target_site_dirs(), minimum, os.environ.get(OVERRIDE), from_sdist)}

    @staticmethod
    def dynamic_wheel(settings: Mapping[str, Any]) -> Dict[str, bool]:
        # The source distribution cannot know the environment its wheels will be built for.
        return {"dependencies": True}


if __name__ == "__main__":
    print("\n".join(choose(target_site_dirs(), sys.argv[1], os.environ.get(OVERRIDE),
                           os.path.isfile("PKG-INFO"))) or "(no OpenCV requirement)")
