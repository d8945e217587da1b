#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer
# into a virtual environment of its own and runs the test suite against it.
# Any sanitizer report, from the tests' process or a child, fails the run.
#   scripts/sanitize.sh [PYTHON] [PYTEST ARGS...]
set -euo pipefail
cd "$(dirname "$0")/.."
python=${1:-python3}
shift || true
version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
venv=.venv-asan-$version
reports=$PWD/build/sanitizer-reports-$version

[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
"$venv/bin/python" -m pip install --quiet --upgrade pip==25.3
# -fno-sanitize-recover: undefined behaviour aborts instead of printing and
# going on, so it cannot pass unnoticed.
"$venv/bin/python" -m pip install --quiet ".[test]" -c constraints.txt \
  --config-settings=build-dir="build/asan-$version" \
  --config-settings=cmake.define.TARVIK_SANITIZE="address,undefined" \
  --config-settings=cmake.define.CMAKE_CXX_FLAGS="-fno-sanitize-recover=all -g"

extension=$("$venv/bin/python" -c '
import importlib.util
print(importlib.util.find_spec("tarvik.tools.tool_creator").origin)')
libraries=$(ldd "$extension")
for runtime in libasan libubsan; do
  grep -q "$runtime" <<<"$libraries" ||
    { echo "sanitize: $extension is not linked with $runtime" >&2; exit 1; }
done

rm -rf "$reports"
# shellcheck source=scripts/sanitizer-env.sh
source scripts/sanitizer-env.sh "$reports"
status=0
(
  cd tests  # against the installed package, as scripts/test.sh does
  # These start an interpreter with an environment of their own choosing
  # (the HTTP front gives each tenant's process only the variables it
  # needs), without the preloaded runtime, so the instrumented extension
  # cannot load there; what they drive is the same code the other tests run here.
  exec "../$venv/bin/python" -m pytest -q -p no:cacheprovider \
    --ignore test_mcp_stdio.py --ignore test_mcp_http.py \
    --deselect tests/test_module_surface.py::test_import_creates_nothing_in_home \
    "$@"
) || status=$?
unset LD_PRELOAD

if compgen -G "$reports/*" >/dev/null; then
  for report in "$reports"/*; do echo "== $report"; cat "$report"; done
  echo "sanitize: the sanitizers reported the above" >&2
  exit 1
fi
exit "$status"
