#!/usr/bin/env bash
# Run the whole suite against the installed package, on both interpreters.
set -uo pipefail
cd "$(dirname "$0")/.."
unset PYTHONPATH
status=0
for venv in .venv311 .venv310; do
  if [ ! -x "$venv/bin/python" ]; then
    echo "test: $venv missing" >&2; status=1; continue
  fi
  echo "== $("$venv/bin/python" -c 'import sys; print("Python", sys.version.split()[0])') ($venv)"
  "$venv/bin/python" -m pytest -p no:cacheprovider "$@" tests || status=1
done
exit $status
