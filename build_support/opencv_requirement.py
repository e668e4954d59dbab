"""Chooses, when the wheel is built, which OpenCV distribution the package depends on.

cv2 comes in four distributions that all install the same ``cv2`` package: opencv-python,
opencv-python-headless, opencv-contrib-python and opencv-contrib-python-headless. A requirement
cannot say "any one of them", and pip installing a second one over the first overwrites its
files: a user's contrib build silently loses ``cv2.ximgproc``. So the wheel depends on whatever
distribution the environment it is built for already has, and on the headless one (no GUI
libraries pulled into a library's users) only where there is none. Where ``cv2`` is there
without any of the four (built from source, or from another package manager), it adds no
OpenCV requirement at all.

pip runs this in the interpreter it installs into. Its isolated build environment hides that
interpreter's site-packages from ``sys.path`` but not from ``sysconfig``, so the target
environment is read from there. A wheel is only as right as the environment it was built for:
one built elsewhere (``pip wheel``, a cache) carries that environment's choice, and an install
with ``--target`` or ``--prefix`` is not seen. ``SOVELK_OPENCV`` set at build time to one of the
four names, or to ``none``, overrides the choice.
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


def choose(dirs: Iterable[str], minimum: str, override: str | None = None) -> List[str]:
    """The OpenCV requirements for an environment whose packages live in `dirs`."""
    dirs = list(dirs)
    if override:
        name = _normalise(override.strip())
        if name == "none":
            return []
        if name not in DISTRIBUTIONS:
            raise ValueError(f"{OVERRIDE}={override!r}: expected one of {', '.join(DISTRIBUTIONS)} or none")
        return [f"{name}>={minimum}"]
    present = installed_opencv(dirs)
    if present:
        # Naming every one that is there (normally just one) leaves pip nothing to add.
        return [f"{name}>={minimum}" for name in present]
    if importlib.machinery.PathFinder.find_spec("cv2", dirs) is not None:
        return []
    return [f"opencv-python-headless>={minimum}"]


class Provider:
    """The build backend's hook: adds the OpenCV requirement to ``dependencies``."""

    @staticmethod
    def dynamic_metadata(settings: Mapping[str, Any], project: Mapping[str, Any]) -> Dict[str, Any]:
        minimum = str(settings.get("minimum", "5.1"))
        return {"dependencies": choose(target_site_dirs(), minimum, os.environ.get(OVERRIDE))}

    @staticmethod
    def dynamic_wheel(settings: Mapping[str, Any]) -> Dict[str, bool]:
        # The source distribution cannot know the environment its wheels will be built for.
        return {"dependencies": True}


if __name__ == "__main__":
    print("\n".join(choose(target_site_dirs(), sys.argv[1] if len(sys.argv) > 1 else "5.1",
                           os.environ.get(OVERRIDE))) or "(no OpenCV requirement)")
