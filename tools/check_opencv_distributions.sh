#!/usr/bin/env bash
# Installs the project into fresh virtual environments that already hold each OpenCV
# distribution (and one that holds none, and one with a cv2 that no distribution owns) and checks
# that afterwards cv2 is still the one that was there and `import Sovelk` works.
# Slow (one pip build per environment, several minutes): not part of the test suite.
#   tools/check_opencv_distributions.sh [PYTHON] [VENV_PREFIX]
# CASES="opencv-contrib-python ..." limits the run to some of the environments below.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
python=${1:-python3}
prefix=${2:-/tmp/sovelk-cvcheck}
cases=${CASES:-"none opencv-python opencv-python-headless opencv-contrib-python opencv-contrib-python-headless unowned-cv2"}

# What the environment's OpenCV is: its distributions, cv2's version and file, and the size of
# the contrib module ximgproc ("-" where there is none).
probe='
import importlib.metadata as md
names = sorted(d.metadata["Name"] for d in md.distributions() if "opencv" in (d.metadata["Name"] or "").lower())
try:
    import cv2
    xi = len(dir(cv2.ximgproc)) if hasattr(cv2, "ximgproc") else "-"
    print(",".join(names) or "(no dist)", cv2.__version__, xi, cv2.__file__)
except ImportError as exc:
    print(",".join(names) or "(no dist)", "-", "-", type(exc).__name__)
'
use='
import numpy as np, Sovelk
img = np.random.default_rng(0).integers(0, 256, (16, 16, 3), dtype=np.uint8)
out = Sovelk.Joint_bilateral_filter(1, 0.1).joint_bilateral_filter(img, img[..., 0])
print("ok" if out.shape == img.shape and out.dtype == np.uint8 else "WRONG")
'
rows=()
failed=0
for case in $cases; do
    venv=$prefix-$case
    rm -rf "$venv"
    "$python" -m venv "$venv"
    pip=("$venv/bin/python" -m pip --quiet)
    case $case in
        none) ;;
        unowned-cv2)
            # A cv2 built by the user: files without a distribution's metadata.
            "${pip[@]}" install opencv-python-headless
            rm -rf "$venv"/lib/python*/site-packages/opencv_python_headless-*.dist-info ;;
        *) "${pip[@]}" install "$case" ;;
    esac
    before=$(cd / && "$venv/bin/python" -c "$probe")
    log=$venv.install.log
    if ! "${pip[@]}" install "$here" >"$log" 2>&1; then
        rows+=("$case|$before|install failed (see $log)|-|FAIL"); failed=1; continue
    fi
    after=$(cd / && "$venv/bin/python" -c "$probe")
    used=$(cd / && "$venv/bin/python" -c "$use" 2>&1 | tail -n 1)
    # The licence travels with the wheel.
    compgen -G "$venv/lib/python*/site-packages/sovelk-*.dist-info/licenses/LICENSE" >/dev/null || used="$used, no LICENSE"
    if [ "$case" = none ]; then
        # Nothing was there: the install must have brought the headless build.
        [[ $after == opencv-python-headless\ * && $used == ok ]] && verdict=OK || verdict=FAIL
    else
        [[ $after == "$before" && $used == ok ]] && verdict=OK || verdict=FAIL
    fi
    [ "$verdict" = OK ] || failed=1
    rows+=("$case|$before|$after|$used|$verdict")
done

printf '\n| already installed | before: distributions, cv2 version, ximgproc names | after pip install . | import Sovelk + filter | verdict |\n|---|---|---|---|---|\n'
for row in "${rows[@]}"; do
    IFS='|' read -r c b a u v <<<"$row"
    printf '| %s | %s | %s | %s | %s |\n' "$c" "${b% *}" "${a% *}" "$u" "$v"
done
exit $failed
