#!/usr/bin/env bash
# ruff over the Python of the tree, and mypy (strict) over src/tarvik, in the
# environment scripts/test.sh built for PYTHON (it must have run first: mypy
# reads the installed dependencies).   scripts/lint-python.sh [PYTHON]
set -euo pipefail
cd "$(dirname "$0")/.."
python=${1:-python3}
tag=$("$python" -c 'import sys; print("%d.%d%s" % (*sys.version_info[:2], sys.abiflags))')
venv=.venv-$tag
[ -x "$venv/bin/python" ] || { echo "lint-python.sh: run scripts/test.sh $python first" >&2; exit 1; }
mapfile -t check_requirements < <("$venv/bin/python" - <<'PY'
import tomllib
with open("pyproject.toml", "rb") as f:
    print("\n".join(tomllib.load(f)["project"]["optional-dependencies"]["check"]))
PY
)
"$venv/bin/python" -m pip install --quiet "${check_requirements[@]}"
echo "-- ruff $("$venv/bin/ruff" --version | cut -d' ' -f2)"
"$venv/bin/ruff" check src tests bench fuzz
echo "-- mypy $("$venv/bin/mypy" --version | cut -d' ' -f2) (strict)"
"$venv/bin/mypy"
