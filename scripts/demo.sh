#!/usr/bin/env bash
# Builds tarvik into .venv, unless nothing changed since the last build, and
# walks through what the tool creator does.   scripts/demo.sh [DEMO ARGS...]
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}
stamp=.venv/.tarvik-sources
log=build/demo-install.log

# What a build is made from, by content: a checkout moved or touched is no change.
sources=$(find CMakeLists.txt pyproject.toml constraints.txt native sandbox src -type f ! -name '*.pyc' -print0 |
  sort -z | xargs -0 sha256sum | sha256sum | cut -d' ' -f1)

# shellcheck source=scripts/progress.sh
source scripts/progress.sh

if [ -x .venv/bin/tarvik ] && [ "$(cat "$stamp" 2>/dev/null)" = "$sources" ]; then
  echo "tarvik in .venv is up to date with the sources; not building"
else
  if [ ! -x .venv/bin/python ]; then
    echo "[1/3] creating .venv with $("$python" --version)"
    "$python" -m venv .venv
  fi
  echo "[2/3] updating pip in .venv"
  .venv/bin/python -m pip install --quiet --disable-pip-version-check --upgrade pip==25.3
  echo "[3/3] building the C++ extension and installing tarvik (half a minute or more the first time)"
  rm -f "$stamp"
  with_progress "$log" .venv/bin/python -m pip install --verbose --disable-pip-version-check . -c constraints.txt \
    --config-settings=build-dir=build/demo
  echo "$sources" >"$stamp"
  echo "done: .venv/bin/tarvik"
fi
echo
exec .venv/bin/tarvik demo "$@"
