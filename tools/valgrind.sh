#!/usr/bin/env bash
# Runs memcheck over tools/valgrind_workload.py (every succeeding and failing call of the leak
# tests) and reports the "definitely lost" memory whose allocation stack passes through the
# module. Any such record, or any invalid access in the module, fails the run.
#
#   tools/valgrind.sh [BUILD_DIR] [ROUNDS]   # without BUILD_DIR: a RelWithDebInfo build in a temp dir
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
# The interpreter binary itself: memcheck must not trace a wrapper script (pyenv's shims are).
python=$("${PYTHON:-python3}" -c 'import sys; print(sys.executable)')
rounds=${2:-5}
if [[ -n "${1:-}" ]]; then
  build=$(cd "$1" && pwd)
else
  build=$(mktemp -d "${TMPDIR:-/tmp}/sovelk-valgrind.XXXXXX")
  trap 'rm -rf "$build"' EXIT
  "$here/tools/dev-build.sh" "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
out=${VALGRIND_LOG_DIR:-$build}
supp=()
# CPython ships a suppression file in its sources (Misc/valgrind-python.supp); use it if present.
for f in "$("$python" -c 'import sys; print(sys.prefix)')"/lib/python3*/valgrind-python.supp \
         "$("$python" -c 'import sys; print(sys.prefix)')"/share/doc/python3*/valgrind-python.supp; do
  [[ -f "$f" ]] && supp=(--suppressions="$f")
done

run() {  # run LOG [workload args]
  local log=$1; shift
  # pymalloc hands out memory from its own arenas; malloc makes every object visible to memcheck.
  PYTHONMALLOC=malloc PYTHONPATH="$build${PYTHONPATH:+:$PYTHONPATH}" \
    valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite \
      --errors-for-leak-kinds=definite --num-callers=50 "${supp[@]}" --log-file="$log" \
      "$python" "$here/tools/valgrind_workload.py" "$@"
}

echo "== memcheck, baseline (imports and setup only)"
run "$out/valgrind-baseline.log" --baseline
echo "== memcheck, workload ($rounds calls per scenario)"
run "$out/valgrind-workload.log" "$rounds"

"$python" - "$out/valgrind-baseline.log" "$out/valgrind-workload.log" <<'PY'
import re, sys

def records(path):
    """memcheck's definite-loss and error records: (kind, bytes, signature, text)."""
    text = open(path).read()
    found = []
    for block in re.split(r"\n==\d+== \n", text):
        lost = re.search(r"([\d,]+)(?: \([^)]*\))? bytes in [\d,]+ blocks are definitely lost", block)
        if lost:
            kind, size = "lost", int(lost.group(1).replace(",", ""))
        elif re.search(r"Invalid (read|write|free)|uninitialised|Mismatched free|overlap", block):
            kind, size = "error", 0
        else:
            continue
        # The stack without addresses, process ids or loss-record numbers: comparable across runs.
        frames = re.findall(r"(?:at|by) 0x[0-9A-F]+: (.*)", block)
        found.append((kind, size, (kind,) + tuple(frames), block))
    summary = re.search(r"definitely lost: ([\d,]+) bytes in ([\d,]+) blocks", text)
    return found, (int(summary.group(1).replace(",", "")) if summary else 0), summary.group(0) if summary else "none"

base, base_lost, base_summary = records(sys.argv[1])
work, work_lost, work_summary = records(sys.argv[2])
known = {r[2] for r in base}
# The module's own: a record with the module in its stack that the baseline (which imports the
# module too) does not have.
ours = [r for r in work if r[2] not in known and any("sovelk::" in f or "Sovelk" in f for f in r[2])]
print(f"baseline: {base_summary}; {sum(r[0] == 'error' for r in base)} error contexts")
print(f"workload: {work_summary}; {sum(r[0] == 'error' for r in work)} error contexts")
print(f"definitely lost through Sovelk: {sum(r[1] for r in ours if r[0] == 'lost')} bytes in "
      f"{sum(r[0] == 'lost' for r in ours)} records; new errors in Sovelk: {sum(r[0] == 'error' for r in ours)}")
for kind, size, _, block in ours:
    print(f"--- {kind} {size}\n{block}")
print(f"definitely lost, workload minus baseline: {work_lost - base_lost} bytes")
sys.exit(1 if ours else 0)
PY
