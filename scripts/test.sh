#!/usr/bin/env bash
# Builds tarvik into a virtual environment for one interpreter and runs the
# test suite there.   scripts/test.sh [PYTHON] [PYTEST ARGS...]
set -euo pipefail
cd "$(dirname "$0")/.."
export PIP_DISABLE_PIP_VERSION_CHECK=1  # pip is pinned below; its update notice is noise
python=${1:-python3}
shift || true
# X.Y and the ABI flags ("d" for a debug build), so that a release and a
# debug interpreter of one version get environments of their own.
tag=$("$python" -c 'import sys; print("%d.%d%s" % (*sys.version_info[:2], sys.abiflags))')
venv=.venv-$tag
log=build/test-install-$tag.log
# shellcheck source=scripts/progress.sh
source scripts/progress.sh

if ! [ -x "$venv/bin/python" ]; then
  echo "test.sh: creating $venv with $("$python" --version 2>&1)"
  "$python" -m venv "$venv"
fi
"$venv/bin/python" -m pip install --quiet --upgrade pip==25.3
echo "test.sh: building the extension and installing tarvik with its test dependencies into $venv" \
  "(about a minute the first time, seconds after that; the output goes to $log)"
# The exact versions CI tests (constraints.txt), within pyproject.toml's ranges.
with_progress "$log" "$venv/bin/python" -m pip install --verbose ".[test]" -c constraints.txt \
  --config-settings=build-dir="build/py$tag"
echo "test.sh: running the tests"
# An absolute path: 3.14 warns about a sys.prefix spelled with "..".
venv_python=$PWD/$venv/bin/python
cd tests  # run against the installed package, not the source tree
"$venv_python" -m pytest -q -p no:cacheprovider "$@"
