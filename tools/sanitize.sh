#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer and runs the whole
# test suite against that build. Any sanitizer report, in the test process or in any child
# interpreter a test starts, fails the run.
#
#   tools/sanitize.sh                 # build into a temporary folder, run python -m pytest tests --long
#   tools/sanitize.sh tests/hardening -x   # extra arguments go to pytest instead of "tests"
#
# Environment: SANITIZE_BUILD_DIR to reuse a build folder (kept afterwards), PYTHON (python3).
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
python=${PYTHON:-python3}
cxx=${CXX:-g++}

if [[ -n "${SANITIZE_BUILD_DIR:-}" ]]; then
  build=$SANITIZE_BUILD_DIR
  mkdir -p "$build"
else
  build=$(mktemp -d "${TMPDIR:-/tmp}/sovelk-sanitize.XXXXXX")
  trap 'rm -rf "$build"' EXIT
fi
logs="$build/sanitizer-logs"
rm -rf "$logs"
mkdir -p "$logs"

echo "== sanitizer build in $build"
start=$SECONDS
# Same sources and warnings as the release build, optimised alike but with line tables for the
# reports; -fno-sanitize-recover turns every UBSan finding into a hard stop, not a printed line.
"$here/tools/dev-build.sh" "$build" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all" \
  -DCMAKE_MODULE_LINKER_FLAGS="-fsanitize=address,undefined"
echo "== built in $((SECONDS - start)) s"

so=$(ls "$build"/Sovelk*.so)
if ! readelf -d "$so" | grep -q 'libasan'; then
  echo "error: $so is not linked against the ASan runtime" >&2
  exit 1
fi

# The interpreter is not instrumented, so the runtimes must be loaded before anything else:
# ASan insists on coming first in the library list, and UBSan's handlers must be the ones the
# module's checks call.
libasan=$("$cxx" -print-file-name=libasan.so)
libubsan=$("$cxx" -print-file-name=libubsan.so)
export LD_PRELOAD="$libasan:$libubsan${LD_PRELOAD:+:$LD_PRELOAD}"

# detect_leaks=0             the interpreter keeps objects alive until exit by design; leaks are
#                            checked by tests/hardening/test_leaks.py and valgrind instead.
# allocator_may_return_null  the tests provoke allocations far beyond the machine on purpose;
#                            numpy and OpenCV must see NULL and raise MemoryError, as with glibc,
#                            instead of ASan aborting the process.
# halt_on_error=1            stop at the first report (ASan's default, stated for the reader),
# abort_on_error=0           with an exit status rather than a core dump.
# log_path                   every report, from the test process or any child interpreter, lands
#                            in a file; a child whose exit status a test ignores still fails CI.
# Left at their defaults, on: detect_odr_violation and alloc_dealloc_mismatch. numpy and OpenCV
# are not instrumented, and with numpy 2.4 and OpenCV 5.1 neither reports anything; should a
# dependency ever trip them, name it in a suppression rather than switching a check off.
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:halt_on_error=1:abort_on_error=0:log_path=$logs/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$logs/ubsan"
# Python objects from malloc rather than pymalloc's arenas, so that ASan sees an overrun or a
# use after free of an object the module mishandled (a missing reference, a stale pointer).
export PYTHONMALLOC=malloc
# The sanitizer build must shadow any installed copy of the module, and the checkout's own
# sovelk_tools any copy an earlier install left in site-packages.
export PYTHONPATH="$build:$here/python${PYTHONPATH:+:$PYTHONPATH}"
# Tests that put a hard address-space limit on a child skip it under ASan, whose shadow memory
# needs terabytes of address space; they read this to know.
export SOVELK_SANITIZED=1

imported=$("$python" -c 'import Sovelk; print(Sovelk.__file__)')
echo "== Sovelk imported from $imported"
case "$imported" in
  "$build"/*) ;;
  *) echo "error: the tests would not use the sanitizer build" >&2; exit 1 ;;
esac

# A report is an ERROR line from ASan or a runtime error from UBSan. The logs may also hold
# ASan's warnings about allocations refused under allocator_may_return_null, which are expected.
report_pattern='ERROR: AddressSanitizer|ERROR: UndefinedBehaviorSanitizer|runtime error:|SUMMARY: (Address|UndefinedBehavior)Sanitizer'

# Prove the pipeline sees a report before trusting its silence: an overrun of a malloc'd buffer
# through the intercepted memmove, in a child interpreter, must leave a report in the logs.
"$python" -c 'import ctypes; b = ctypes.create_string_buffer(8); ctypes.memmove(b, b"x" * 64, 64)' \
  >/dev/null 2>&1 || true
if ! grep -qE "$report_pattern" "$logs"/* 2>/dev/null; then
  echo "error: a deliberate heap overrun was not reported; the sanitizer setup is broken" >&2
  exit 1
fi
rm -f "$logs"/*

cd "$here"
# --long: the fuzzing and leak checks are what a sanitizer build is most for.
if [[ $# -eq 0 ]]; then set -- tests --long; fi
start=$SECONDS
status=0
"$python" -m pytest -q -p no:cacheprovider "$@" || status=$?
echo "== tests ran in $((SECONDS - start)) s, pytest exit status $status"

found=0
for log in "$logs"/*; do
  [[ -e "$log" ]] || continue
  if grep -qE "$report_pattern" "$log"; then
    found=1
    echo "--- sanitizer report $log" >&2
    cat "$log" >&2
  else
    echo "--- sanitizer notes (not a report) $log"
    head -5 "$log"
  fi
done
if [[ $found -ne 0 ]]; then
  echo "== sanitizer reports found: failing" >&2
  exit 1
fi
echo "== no sanitizer reports"
exit "$status"
