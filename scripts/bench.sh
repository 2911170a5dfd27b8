#!/usr/bin/env bash
# Run the benchmarks and print their figures (`make bench`).  They run in
# .venv311 against the installed package; `make venvs` creates it.
#
#   BENCH_SIZE   repository size of the migration benchmark: small, medium
#                (default) or large (about 20,000 files, 190 MiB)
#   BENCH_RUNS   runs per figure, of which the median is shown (default 3)
#   BENCH_ROOT   where the generated repository is kept between runs
#                (default: under the system's temporary directory)
#
# The migration benchmark compiles bench/libyaml_parse.cpp (g++, libyaml)
# into build/bench for its line of libyaml's bare parse.
set -euo pipefail
cd "$(dirname "$0")/.."
unset PYTHONPATH

PY=.venv311/bin/python
if [ ! -x "$PY" ]; then
  echo "bench: $PY missing; run 'make venvs' first" >&2
  exit 1
fi
size=${BENCH_SIZE:-medium}
runs=${BENCH_RUNS:-3}
root_args=()
if [ -n "${BENCH_ROOT:-}" ]; then root_args=(--root "$BENCH_ROOT"); fi

echo "== tavox migrate abstract: whole processes against the one-process floor and libyaml ($size)"
"$PY" bench/migrate_run.py --size "$size" --runs "$runs" "${root_args[@]}"
echo
echo "== tavox migrate abstract: checks in one process, files per second ($size)"
"$PY" bench/migrate_abstract.py --size "$size" --repeat "$runs"
echo
echo "== tavox migrate abstract: patching a tree where every file needs fixes"
"$PY" bench/migrate_patch.py
echo
echo "== tavox migrate abstract: patched YAML files that keep their form"
"$PY" bench/migrate_yaml_form.py --size small
echo
echo "== documents nested too deeply: refused by the migration, the shell and the runner"
"$PY" bench/deep_yaml.py --runs "$runs"
echo
echo "== version checker: wall time against the slowest single query"
"$PY" bench/scoutver_bench.py
