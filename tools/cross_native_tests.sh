#!/usr/bin/env bash
# Builds the core's native tests for Linux on AArch64 (the NEON and scalar paths) with Debian's
# cross compiler and runs them under user-mode emulation, against the same model as on x86-64.
#   tools/cross_native_tests.sh
# Needs the Debian packages g++-aarch64-linux-gnu and qemu-user (installed here when missing, as
# root).
# BUILD_DIR (default: a fresh temporary folder) receives the build; SOVELK_CROSS_CXX picks another
# compiler (tools/aarch64-linux-gnu.cmake). QEMU_CPU selects the emulated CPU (default: qemu's
# "max", which has every optional feature; "cortex-a53" has none beyond Advanced SIMD).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
missing=()
command -v aarch64-linux-gnu-g++ >/dev/null || missing+=(g++-aarch64-linux-gnu)
command -v qemu-aarch64 >/dev/null || missing+=(qemu-user)
if ((${#missing[@]})); then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
if [[ -n "${BUILD_DIR:-}" ]]; then
  out=$BUILD_DIR
else
  out=$(mktemp -d "${TMPDIR:-/tmp}/sovelk-aarch64.XXXXXX")
  trap 'rm -rf "$out"' EXIT
fi
cmake -S "$here" -B "$out" -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$here/tools/aarch64-linux-gnu.cmake" \
  -DSOVELK_PYTHON_MODULES=OFF -DSOVELK_NATIVE_TESTS=ON >/dev/null
cmake --build "$out" -j2 --target test_fused_kernel test_kernel_sources test_cheap_pass test_memory_budget \
  test_worker_pool native_bench
# Two tests at once: the emulator runs each on one host thread at a time.
ctest --test-dir "$out" --output-on-failure -j2
