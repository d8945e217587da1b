#!/usr/bin/env bash
# clang-format and clang-tidy over every C++ file in the repository, with the
# pinned tools of the `lint` extra.   scripts/lint-native.sh [PYTHON]
#
# clang-tidy reads the compile commands of a CMake configure (nothing is
# built), so it sees the same flags, nanobind and Python headers as the
# real build. Any formatting difference or clang-tidy finding fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${1:-python3}
venv=.venv-lint
build=build/lint

[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
"$venv/bin/python" -m pip install --quiet --upgrade pip==25.3
# Only the extra's own pins: the package itself need not be built to lint it.
mapfile -t lint_requirements < <("$venv/bin/python" - <<'EOF'
import tomllib
with open("pyproject.toml", "rb") as f:
    print("\n".join(tomllib.load(f)["project"]["optional-dependencies"]["lint"]))
EOF
)
"$venv/bin/python" -m pip install --quiet "${lint_requirements[@]}"
bin=$PWD/$venv/bin

mapfile -t sources < <(git ls-files '*.cpp' '*.cc' '*.hpp' '*.h')
mapfile -t units < <(printf '%s\n' "${sources[@]}" | grep -E '\.(cpp|cc)$')
echo "C++ files: ${#sources[@]} (${#units[@]} translation units)"

echo "-- clang-format $("$bin/clang-format" --version | grep -o '[0-9][0-9.]*' | head -1)"
"$bin/clang-format" --dry-run --Werror "${sources[@]}"

echo "-- clang-tidy $("$bin/clang-tidy" --version | grep -o 'version [0-9.]*' | cut -d' ' -f2)"
mkdir -p "$build"
"$bin/cmake" -S . -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$bin/ninja" \
  -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DPython_EXECUTABLE="$bin/python" \
  -Dnanobind_DIR="$("$bin/python" -m nanobind --cmake_dir)" >"$build/configure.log" 2>&1 ||
  { cat "$build/configure.log"; exit 1; }
# One process per translation unit, both cores busy; --quiet drops the
# count of suppressed warnings from system headers.
printf '%s\n' "${units[@]}" |
  xargs -P "$(nproc)" -n 1 "$bin/clang-tidy" --quiet -p "$build"
echo "clang-format and clang-tidy: no findings"
