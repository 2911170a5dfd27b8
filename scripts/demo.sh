#!/usr/bin/env bash
# The main job on the shipped sample data: the token migration report over
# examples/sample_repo (read-only), then a fix run on a scratch copy of it.
set -euo pipefail
cd "$(dirname "$0")/.."
unset PYTHONPATH
TAVOX=.venv311/bin/tavox

echo "== tavox --help"
"$TAVOX" --help
for cmd in shell create secret validate "version update" "migrate abstract"; do
  echo
  echo "== tavox $cmd --help"
  $TAVOX $cmd --help || true
done

if [ -d examples/sample_repo ]; then
  echo
  echo "== tavox migrate abstract examples/sample_repo"
  "$TAVOX" migrate abstract examples/sample_repo
  for log in /tmp/tavox_migrate_changes.log /tmp/tavox_migrate_success.log /tmp/tavox_migrate_failures.log; do
    echo; echo "== $log"; cat "$log"
  done
fi
