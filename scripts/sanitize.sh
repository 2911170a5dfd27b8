#!/usr/bin/env bash
# The test suite on a build of every native module with AddressSanitizer
# and UndefinedBehaviorSanitizer.
#   scripts/sanitize.sh [pytest args...]    default: the whole suite
#
# Debian's python3 itself is not instrumented.  It runs from a small
# environment, build/asan/venv, whose `python3` is a wrapper that loads the
# sanitizer runtime first and turns leak detection on, so that every
# interpreter the suite starts through sys.executable (the `tavox` command,
# the manifest runner, helper scripts) is checked, leaks included.  The
# programs those interpreters start in turn (sh, bash, pip, nm, other
# environments' interpreters) keep the runtime loaded, so that they may
# still load our libraries, but run with leak detection off: their leaks
# are not ours, and a leak report would change their exit status.
#
# Leak recording starts once the interpreter is up.  What the interpreter's
# start-up leaves unfreed (site processing, the namespace-package hook of
# ruamel.yaml) and what the YAML libraries leak while they initialise (their
# C bindings keep objects in static variables for the life of the process)
# are theirs: the environment's site directory turns recording off as the
# interpreter starts (tavox_sanitize.pth) and back on after the site hooks
# have run (usercustomize), having imported yaml and ruamel.yaml in between.
# Leaks anywhere later, in those libraries too, are reported; the known ones
# of the interpreter's own are in tests/sanitize/lsan.supp, each with its
# reason.
#
# Every report goes to a file under build/asan/reports (the suite captures
# the standard error of the processes it starts, where a report would be
# lost); the run fails when any report was written, whatever pytest says.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
PY=/usr/bin/python3
BUILD=$ROOT/build/asan
OUT=$BUILD/pkg
VENV=$BUILD/venv
REPORTS=$BUILD/reports

cmake -S . -B "$BUILD" -DTAVOX_SANITIZE=ON -DTAVOX_OUTPUT_DIR="$OUT" \
      -DPython_EXECUTABLE="$PY" >/dev/null || exit 1
cmake --build "$BUILD" -j2 || exit 1
# The pure-Python side of the package, beside the sanitized libraries, and
# nothing else: a file left from an earlier copy (an egg-info above all,
# which makes pip take the framework for installed) would change the run.
find "$OUT" -mindepth 1 -maxdepth 1 -name '*.egg-info' -exec rm -rf {} +
find "$OUT" -type f ! -name '*.so' -delete
(cd python && find . -name '*.so' -prune -o -name __pycache__ -prune -o -name '*.egg-info' -prune \
   -o -type f -print0 | xargs -0 -I{} install -D -m 0644 {} "$OUT/{}") || exit 1

# The runtime, and the C++ library with it: the runtime finds the real
# __cxa_throw behind its interceptor only if libstdc++ is loaded when it
# starts, and the interpreter itself does not link it (without it, the
# first C++ exception aborts the process with a CHECK failure).
LIBASAN=$(readlink -f "$(g++ -print-file-name=libasan.so)")
LIBSTDCXX=$(readlink -f "$(g++ -print-file-name=libstdc++.so)")
for lib in "$LIBASAN" "$LIBSTDCXX"; do
  [ -f "$lib" ] || { echo "sanitize: $lib not found" >&2; exit 1; }
done
PRELOAD="$LIBASAN:$LIBSTDCXX"

COMMON="abort_on_error=0:exitcode=86:strict_string_checks=1:detect_stack_use_after_return=1"
COMMON="$COMMON:log_path=$REPORTS/asan"
# Full stacks for leaks (the interpreter has no frame pointers), so that a
# leak can be told apart by the code that made it.
PYTHON_ASAN_OPTIONS="detect_leaks=1:fast_unwind_on_malloc=0:$COMMON"
CHILD_ASAN_OPTIONS="detect_leaks=0:$COMMON"

# The environment's interpreter: Debian's, with the runtime loaded first.
# `exec -a` keeps the wrapper's path as argv[0], so the interpreter takes
# this directory for its prefix (pyvenv.cfg) and names the wrapper in
# sys.executable.
real=$(readlink -f "$PY")
if [ ! -f "$VENV/pyvenv.cfg" ]; then
  "$PY" -m venv --without-pip --system-site-packages "$VENV" || exit 1
fi
rm -f "$VENV/bin/python3"
# A test that preloads a library of its own names it in TAVOX_PRELOAD too.
cat > "$VENV/bin/python3" <<EOF
#!/bin/bash
export LD_PRELOAD="$PRELOAD\${TAVOX_PRELOAD:+:\$TAVOX_PRELOAD}"
export ASAN_OPTIONS="$PYTHON_ASAN_OPTIONS"
exec -a "\$0" "$real" "\$@"
EOF
chmod 0755 "$VENV/bin/python3"

# Its site directory: what the interpreter starts gets leak detection off,
# and the interpreter's start-up is not recorded.
site=$(ls -d "$VENV"/lib/python3*/site-packages)
cat > "$site/tavox_sanitize.py" <<EOF
"""Leak checking of the sanitized test run (scripts/sanitize.sh)."""
import ctypes
import os

# The programs this interpreter starts run without leak detection.
os.environ["ASAN_OPTIONS"] = "$CHILD_ASAN_OPTIONS"

_runtime = ctypes.CDLL(None)
# Imported once, however often the site directory is listed: from here on
# the allocations of the interpreter's start-up are not recorded.
_runtime.__lsan_disable()


def start():
    """Record allocations from now on: the site hooks have run, and the
    YAML libraries have initialised."""
    for name in ("yaml", "ruamel.yaml"):
        try:
            __import__(name)
        except ImportError:
            pass
    _runtime.__lsan_enable()
EOF
echo "import tavox_sanitize" > "$site/tavox_sanitize.pth"
printf 'import tavox_sanitize\ntavox_sanitize.start()\n' > "$site/usercustomize.py"

rm -rf "$REPORTS"
mkdir -p "$REPORTS"
chmod 1777 "$REPORTS"   # commands the suite runs as another user report too
export LD_PRELOAD="$PRELOAD"
export ASAN_OPTIONS="$CHILD_ASAN_OPTIONS"
# pymalloc hides allocations from the sanitizer; use malloc throughout.
export PYTHONMALLOC=malloc
export LSAN_OPTIONS="suppressions=$ROOT/tests/sanitize/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:exitcode=87:log_path=$REPORTS/ubsan"
export PYTHONPATH="$OUT"
export PYTHONDONTWRITEBYTECODE=1

# Test files run TAVOX_JOBS at a time (default: one per core), each in a
# process of its own (scripts/run_files.py); arguments other than paths run
# the one pytest process they describe.
jobs=${TAVOX_JOBS:-$(nproc)}
for arg in "$@"; do [[ $arg == -* || $arg == *::* ]] && jobs=1; done
if [ "$jobs" -gt 1 ]; then
  env -u LD_PRELOAD "$PY" scripts/run_files.py --jobs "$jobs" \
    -- "$VENV/bin/python3" -m pytest -p no:cacheprovider -q -- "${@:-tests}"
else
  "$VENV/bin/python3" -m pytest -p no:cacheprovider -q "${@:-tests}"
fi
status=$?

reports=$(find "$REPORTS" -type f | sort)
if [ -n "$reports" ]; then
  echo
  echo "sanitize: $(echo "$reports" | wc -l) sanitizer report(s):"
  for f in $reports; do
    echo "---- $f"
    cat "$f"
  done
  [ $status -eq 0 ] && status=1
fi
exit $status
