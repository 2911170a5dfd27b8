#!/usr/bin/env bash
# The static checks of the C++ sources under src/: their layout
# (clang-format, .clang-format), then clang-tidy (the checks of .clang-tidy)
# on every .cpp file, or on the .cpp files given, with the compile commands
# of a CMake tree that is configured only (nothing is built),
# TAVOX_LINT_JOBS files at a time (2).  Prints the findings of each file
# that has any, and fails when one has.
set -euo pipefail
cd "$(dirname "$0")/.."

# The layout first: it takes a second.
find src -name '*.[ch]pp' -print0 | sort -z | xargs -0 clang-format --dry-run --Werror

PY=${PY:-/usr/bin/python3}
jobs=${TAVOX_LINT_JOBS:-2}
dir=build/lint

# The compile commands of a plain build: TAVOX_WERROR would make clang's
# own warnings errors here, which are the compiler's business, not lint's.
env -u TAVOX_WERROR cmake -S . -B "$dir" -DPython_EXECUTABLE="$PY" \
  -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DTAVOX_WERROR=OFF >/dev/null

if [ $# -gt 0 ]; then
  printf '%s\0' "$@"
else
  find src -name '*.cpp' -print0 | sort -z
fi | xargs -0 -r -n1 -P "$jobs" sh -c '
  out=$(clang-tidy -p "$0" --quiet "$1" 2>&1) && exit 0
  printf "%s\n" "$out" | grep -v "^[0-9]* warnings\? generated\.$" >&2
  exit 1' "$dir" || { echo "lint: clang-tidy has findings (above)" >&2; exit 1; }
echo "lint: clean"
