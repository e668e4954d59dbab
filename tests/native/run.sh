#!/usr/bin/env bash
# Builds the core library's native tests with CMake and runs them through ctest.
#   tests/native/run.sh
# BUILD_DIR (default: a fresh temporary folder) receives the build; reuse one for incremental work.
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
if [[ -n "${BUILD_DIR:-}" ]]; then
  out=$BUILD_DIR
else
  out=$(mktemp -d "${TMPDIR:-/tmp}/sovelk-native.XXXXXX")
  trap 'rm -rf "$out"' EXIT
fi
cmake -S "$here" -B "$out" -DCMAKE_BUILD_TYPE=Release -DSOVELK_NATIVE_TESTS=ON >/dev/null
cmake --build "$out" -j2 --target test_fused_kernel test_kernel_sources test_cheap_pass test_cheap_pass test_failure_boundary test_memory_budget test_worker_pool native_bench
ctest --test-dir "$out" --output-on-failure
