#!/usr/bin/env bash
# The leak check: every operation thousands of times in-process, counting
# objects, references and bytes (tests/leakcheck/leak_loop.py), then a
# short run of the same loop under valgrind's memcheck.
#   scripts/leakcheck.sh [PYTHON]
# Uses the environment scripts/test.sh builds for PYTHON, building it if
# needed. LEAK_ITERATIONS and VALGRIND_ITERATIONS change the counts.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${1:-python3}
tag=$("$python" -c 'import sys; print("%d.%d%s" % (*sys.version_info[:2], sys.abiflags))')
venv=.venv-$tag
logs=build/leakcheck-$tag

if ! [ -x "$venv/bin/python" ] || ! "$venv/bin/python" -c 'import tarvik.tools.tool_creator' 2>/dev/null; then
  [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install --quiet --upgrade pip==25.3
  "$venv/bin/python" -m pip install --quiet ".[test]" -c constraints.txt --config-settings=build-dir="build/py$tag"
fi
mkdir -p "$logs"

echo "-- leak loop"
"$venv/bin/python" tests/leakcheck/leak_loop.py --iterations "${LEAK_ITERATIONS:-2000}"

echo "-- valgrind"
if ! command -v valgrind >/dev/null; then
  apt-get update -qq && apt-get install -y -qq valgrind >/dev/null
fi
# malloc_debug: every Python allocation is a malloc of its own, so memcheck
# sees each object, and new memory is filled, so CPython 3.11's read of the
# spare digit of a zero int (0 * digit, harmless) is not taken for a use of
# uninitialised memory that then follows the small int 0 everywhere.
status=0
PYTHONMALLOC=malloc_debug valgrind --tool=memcheck --leak-check=full \
  --show-leak-kinds=definite,indirect --errors-for-leak-kinds=definite,indirect \
  --suppressions=valgrind/python.supp --num-callers=40 --error-exitcode=99 \
  --log-file="$logs/valgrind.log" \
  "$venv/bin/python" tests/leakcheck/leak_loop.py --no-measure \
  --iterations "${VALGRIND_ITERATIONS:-3}" --warmup 1 >"$logs/valgrind-loop.log" || status=$?
tail -n 1 "$logs/valgrind-loop.log"
grep -E "(definitely|indirectly|possibly) lost:|ERROR SUMMARY" "$logs/valgrind.log" | sed 's/^==[0-9]*== */valgrind: /'
if [ "$status" -ne 0 ]; then
  cat "$logs/valgrind-loop.log" "$logs/valgrind.log"
  echo "leakcheck: valgrind found errors or leaks (exit $status)" >&2
  exit 1
fi
