#!/usr/bin/env bash
# Builds both extension modules for Linux on AArch64 and runs Python tests on them under
# user-mode emulation, on a Debian arm64 Python, from an x86-64 Debian machine:
#   tools/aarch64_python_tests.sh [PYTEST ARGUMENTS]   (default: the core tests, .ci/core-tests.txt)
# Needs the Debian packages g++-aarch64-linux-gnu, qemu-user and mmdebstrap (installed here when
# missing, as root). WORK_DIR (default: a fresh temporary folder) receives:
#   root/   Debian 12's python3.11, pytest and hypothesis for arm64, unpacked (no package scripts run)
#   site/   numpy and opencv-python-headless aarch64 wheels from PyPI (pip --target --platform)
#   bin/python3.11   the root's Python through qemu-aarch64; sys.executable stays this script,
#           so that the tests' child interpreters are emulated too
#   build/  the modules, cross-compiled with tools/aarch64-linux-gnu.cmake
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
missing=()
command -v aarch64-linux-gnu-g++ >/dev/null || missing+=(g++-aarch64-linux-gnu)
command -v qemu-aarch64 >/dev/null || missing+=(qemu-user)
command -v mmdebstrap >/dev/null || missing+=(mmdebstrap)
if ((${#missing[@]})); then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
if [[ -n "${WORK_DIR:-}" ]]; then
  work=$WORK_DIR
else
  work=$(mktemp -d "${TMPDIR:-/tmp}/sovelk-aarch64-python.XXXXXX")
  trap 'rm -rf "$work"' EXIT
fi
root=$work/root
if [[ ! -x $root/usr/bin/python3.11 ]]; then
  rm -rf "$root"
  mmdebstrap --quiet --variant=extract --architectures=arm64 \
    --include=python3.11,libpython3.11-dev,python3-pytest,python3-hypothesis,libstdc++6,libgcc-s1 \
    bookworm "$root" http://deb.debian.org/debian
fi
if [[ ! -d $work/site/cv2 ]]; then
  python3 -m pip install --quiet --disable-pip-version-check --target "$work/site" --only-binary=:all: \
    --platform manylinux_2_28_aarch64 --platform manylinux_2_17_aarch64 --platform manylinux2014_aarch64 \
    --python-version 3.11 --implementation cp --abi cp311 "numpy>=1.24" opencv-python-headless
fi
mkdir -p "$work/bin"
cat >"$work/bin/python3.11" <<WRAPPER
#!/bin/sh
exec qemu-aarch64 -L "$root" -0 "\$0" "$root/usr/bin/python3.11" "\$@"
WRAPPER
chmod +x "$work/bin/python3.11"

SOVELK_CROSS_ROOT=$root cmake -S "$here" -B "$work/build" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$here/tools/aarch64-linux-gnu.cmake" -DPython_EXECUTABLE="$work/bin/python3.11" \
  -DPython_INCLUDE_DIR="$root/usr/include/python3.11" -DCMAKE_LIBRARY_OUTPUT_DIRECTORY="$work/build" >/dev/null
cmake --build "$work/build" -j2 --target Sovelk sovelk_tools_native

if (($# == 0)); then
  mapfile -t tests < <(grep -v '^#' "$here/.ci/core-tests.txt")
  set -- -q "${tests[@]}"
fi
cd "$here"
PYTHONPATH="$work/build:$here/python:$work/site" "$work/bin/python3.11" -m pytest -p no:cacheprovider "$@"
