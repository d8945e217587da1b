#!/usr/bin/env bash
# Builds tarvik into .venv and walks through what the tool creator does.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}
[ -x .venv/bin/python ] || "$python" -m venv .venv
.venv/bin/python -m pip install --quiet --upgrade pip==25.3
.venv/bin/python -m pip install --quiet . --config-settings=build-dir=build/demo
exec .venv/bin/tarvik demo "$@"
