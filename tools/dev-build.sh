#!/usr/bin/env bash
# Incremental build of the extension into a private folder, for working on it without pip:
#   tools/dev-build.sh /tmp/build-me && PYTHONPATH=/tmp/build-me:python python -m pytest
set -euo pipefail
out=${1:?usage: tools/dev-build.sh BUILD_DIR [extra cmake args]}
shift
here=$(cd "$(dirname "$0")/.." && pwd)
cmake -S "$here" -B "$out" -DCMAKE_BUILD_TYPE=Release -DCMAKE_LIBRARY_OUTPUT_DIRECTORY="$out" "$@" >/dev/null
cmake --build "$out" -j2
