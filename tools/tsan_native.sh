#!/usr/bin/env bash
# Builds the core library's native tests with ThreadSanitizer and runs them: the worker pool,
# the kernel's threads and the memory budget's reservations. Any report fails the run. (The
# failure-boundary test embeds an interpreter that is not built for the sanitizer: left out.)
#   tools/tsan_native.sh          # BUILD_DIR reuses a build folder
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
if [[ -n "${BUILD_DIR:-}" ]]; then
  out=$BUILD_DIR
else
  out=$(mktemp -d "${TMPDIR:-/tmp}/sovelk-tsan.XXXXXX")
  trap 'rm -rf "$out"' EXIT
fi
cmake -S "$here" -B "$out" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSOVELK_NATIVE_TESTS=ON \
  -DCMAKE_CXX_FLAGS="-fsanitize=thread" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" >/dev/null
cmake --build "$out" -j2 --target test_fused_kernel test_memory_budget test_worker_pool
export TSAN_OPTIONS="halt_on_error=1 exitcode=66 ${TSAN_OPTIONS:-}"
ctest --test-dir "$out" --output-on-failure -R 'fused_kernel|memory_budget|worker_pool'
