# Sourced by scripts/demo.sh and scripts/test.sh.
#   with_progress LOG COMMAND...
# Runs COMMAND with its output in LOG, saying every few seconds how far it
# got: the C++ file ninja is compiling, or the seconds gone. On failure it
# shows the end of LOG and returns non-zero.
with_progress() {
  local log=$1 pid started=$SECONDS shown= step
  shift
  mkdir -p "$(dirname "$log")"
  "$@" >"$log" 2>&1 &
  pid=$!
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
    echo "the command failed; its whole output is in $log" >&2
    return 1
  fi
}
