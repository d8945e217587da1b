#!/usr/bin/env bash
# Builds tarvik into .venv, unless nothing changed since the last build, and
# walks through what the tool creator does.   scripts/demo.sh [DEMO ARGS...]
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}
stamp=.venv/.tarvik-sources
log=build/demo-install.log

# What a build is made from, by content: a checkout moved or touched is no change.
sources=$(find CMakeLists.txt pyproject.toml native sandbox src -type f ! -name '*.pyc' -print0 |
  sort -z | xargs -0 sha256sum | sha256sum | cut -d' ' -f1)

# Runs "$@" with its output in $log, saying every few seconds how far it got.
with_progress() {
  mkdir -p build
  "$@" >"$log" 2>&1 &
  local pid=$! started=$SECONDS shown= step
  while kill -0 "$pid" 2>/dev/null; do
    sleep 1
    # Ninja's "[3/35] Building CXX object CMakeFiles/x.dir/native/store.cpp.o", to its file's name.
    step=$(grep -oE '\[[0-9]+/[0-9]+\] [A-Z][a-z]+ [A-Z+]+ [a-z]+ [^ ]+' "$log" | tail -n 1 |
      sed -E 's# [^ ]*/([^/ ]+)$# \1#' || true)
    if [ -n "$step" ] && [ "$step" != "$shown" ]; then
      echo "      $step"
      shown=$step
    elif (((SECONDS - started) % 10 == 0)); then
      echo "      ... $((SECONDS - started)) s"
    fi
  done
  if ! wait "$pid"; then
    tail -n 40 "$log" >&2
    echo "scripts/demo.sh: the build failed; its whole output is in $log" >&2
    return 1
  fi
}

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
  with_progress .venv/bin/python -m pip install --verbose --disable-pip-version-check . --config-settings=build-dir=build/demo
  echo "$sources" >"$stamp"
  echo "done: .venv/bin/tarvik"
fi
echo
exec .venv/bin/tarvik demo "$@"
