#!/usr/bin/env bash
# Builds the fused kernel with the extension's floating-point flags and runs its native tests.
#   tests/native/run.sh [seed [random-case-count]]
# BUILD_DIR (default /tmp/sovelk-native-tests) receives the objects and the test binary.
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
out=${BUILD_DIR:-/tmp/sovelk-native-tests}
mkdir -p "$out"
# -ffp-contract=off: no fused multiply-add where the reference rounds twice (as in CMakeLists.txt).
flags=(-O2 -std=c++17 -ffp-contract=off -fno-fast-math -Wall -Wextra -pthread -I"$here/src")
objs=()
for src in "$here"/src/filter/fused_kernel*.cpp; do
  obj="$out/$(basename "${src%.cpp}").o"
  g++ "${flags[@]}" -c "$src" -o "$obj"
  objs+=("$obj")
done
# -frounding-math for the test alone: it switches rounding modes around its model, so the
# compiler must not fold or move floating-point operations across those calls.
g++ "${flags[@]}" -frounding-math -c "$here/tests/native/test_fused_kernel.cpp" -o "$out/test_fused_kernel.o"
g++ -pthread "$out/test_fused_kernel.o" "${objs[@]}" -o "$out/test_fused_kernel"
exec "$out/test_fused_kernel" "$@"
