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
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
"$venv/bin/python" -m pip install --quiet --upgrade pip==25.3
"$venv/bin/python" -m pip install --quiet ".[test]" --config-settings=build-dir="build/py$tag"
# An absolute path: 3.14 warns about a sys.prefix spelled with "..".
venv_python=$PWD/$venv/bin/python
cd tests  # run against the installed package, not the source tree
"$venv_python" -m pytest -q -p no:cacheprovider "$@"
