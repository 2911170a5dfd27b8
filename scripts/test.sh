#!/usr/bin/env bash
# Run the whole suite against the installed package, on both interpreters.
#
# With more than one core (TAVOX_JOBS, default: the number of cores) the two
# interpreters' runs go on at once, each with a /tmp of its own (a private
# mount namespace, as root: the migration writes fixed files in /tmp and
# takes a lock there); each run's output is shown whole as it ends.  Run one
# at a time, pytest gives itself a private /tmp (tests/conftest.py).
set -uo pipefail
cd "$(dirname "$0")/.."
unset PYTHONPATH
VENVS=(.venv311 .venv310)
ISOLATE=(unshare --mount --propagation private sh -c
         'mount -t tmpfs -o mode=1777 none /tmp && TAVOX_PRIVATE_TMP=1 exec "$@"' sh)

status=0
for venv in "${VENVS[@]}"; do
  if [ ! -x "$venv/bin/python" ]; then
    echo "test: $venv missing" >&2; exit 1
  fi
done
header() {
  echo "== $("$1/bin/python" -c 'import sys; print("Python", sys.version.split()[0])') ($1)"
}

jobs=${TAVOX_JOBS:-$(nproc)}
if [ "$jobs" -gt 1 ] && [ "$(id -u)" = 0 ] && "${ISOLATE[@]}" true 2>/dev/null; then
  logs=$(mktemp -d)
  trap 'rm -rf "$logs"' EXIT
  echo "test: ${VENVS[*]} at once; each one's output follows when it ends"
  pids=()
  for venv in "${VENVS[@]}"; do
    "${ISOLATE[@]}" "$venv/bin/python" -m pytest -p no:cacheprovider "$@" tests \
      > "$logs/${venv#.}" 2>&1 &
    pids+=($!)
  done
  for i in "${!VENVS[@]}"; do
    wait "${pids[$i]}" || status=1
    header "${VENVS[$i]}"
    cat "$logs/${VENVS[$i]#.}"
  done
else
  for venv in "${VENVS[@]}"; do
    header "$venv"
    "$venv/bin/python" -m pytest -p no:cacheprovider "$@" tests || status=1
  done
fi
exit $status
