#!/usr/bin/env bash
# One full migration of the sample repository under valgrind's memcheck:
# `tavox migrate abstract --apply-fixes --apply-comments` over a scratch copy
# of examples/sample_repo, with every native module loaded, and a summary of
# what memcheck found.
#   scripts/valgrind_migrate.sh [migrate options...]
#
# It fails when memcheck reports an invalid access or use of uninitialised
# memory anywhere, or a definite leak made by one of our libraries: one
# whose allocation stack reaches our code before any other library, and not
# through the import machinery (what a module we import leaks while it
# initialises is that module's).  Definite leaks of the interpreter and of
# other libraries are counted, not failed; the known ones are suppressed by
# scripts/valgrind.supp, each with its reason.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
PY=/usr/bin/python3
BUILD=$ROOT/build/valgrind
OUT=$BUILD/pkg
LOG=$BUILD/memcheck.log

command -v valgrind >/dev/null || { echo "valgrind_migrate: valgrind is not installed" >&2; exit 1; }

# The libraries as they ship (release build), in a tree of their own.
cmake -S . -B "$BUILD" -DTAVOX_OUTPUT_DIR="$OUT" -DPython_EXECUTABLE="$PY" >/dev/null || exit 1
cmake --build "$BUILD" -j2 >/dev/null || exit 1
(cd python && find . -name '*.so' -prune -o -name __pycache__ -prune -o -type f -print0 |
   xargs -0 -I{} install -D -m 0644 {} "$OUT/{}") || exit 1

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r examples/sample_repo "$work/repo"

# The interpreter's own allocator hides blocks from memcheck; use malloc.
export PYTHONMALLOC=malloc PYTHONPATH="$OUT" PYTHONDONTWRITEBYTECODE=1
echo "valgrind_migrate: memcheck over tavox migrate abstract (this takes a few minutes)"
valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite \
    --errors-for-leak-kinds=none --num-callers=50 --track-origins=no \
    --suppressions="$ROOT/scripts/valgrind.supp" --log-file="$LOG" \
    "$PY" -m tavox.cli.main migrate abstract "$work/repo" -f -c "$@" >"$BUILD/migrate.out" 2>&1
status=$?

"$PY" - "$LOG" "$OUT" "$status" <<'EOF'
import re, sys

log, ours, status = sys.argv[1], sys.argv[2], int(sys.argv[3])
text = open(log, errors="replace").read()
# memcheck records are blocks of "==pid== " lines separated by empty ones
records, current = [], []
for line in text.splitlines():
    body = re.sub(r"^==\d+== ?", "", line)
    if body.strip():
        current.append(body)
    elif current:
        records.append(current)
        current = []
if current:
    records.append(current)

def is_ours(record):
    """The frame closest to the allocation that is not the interpreter's or
    the C library's decides whose allocation it is; an import between the
    allocation and our frame makes it the imported module's."""
    for line in record[1:]:
        if "PyImport_" in line:
            return False
        where = re.search(r"\(in (.*?)\)$", line)
        if not where:
            continue
        obj = where.group(1)
        if ours in obj:
            return True
        if not re.search(r"/(python3\.\d+|libc\.so[.\d]*|libm\.so[.\d]*|ld-linux[^/]*|"
                         r"vgpreload_[^/]*|libstdc\+\+\.so[.\d]*|libgcc_s\.so[.\d]*)$", obj):
            return False
    return False

definite = [r for r in records if "definitely lost" in r[0]]
ours_leaks = [r for r in definite if is_ours(r)]
errors = [r for r in records if re.match(r"(Invalid (read|write|free)|Conditional jump|"
                                         r"Use of uninitialised|Syscall param|Mismatched free|"
                                         r"Source and destination overlap)", r[0])]
summary = [l for r in records for l in r if re.match(r"\s*(definitely|indirectly|possibly) lost:"
                                                       r"|\s*still reachable:|ERROR SUMMARY", l)]

print("valgrind_migrate: migration exit status %d" % status)
for line in summary:
    print("  " + line.strip())
print("  definite leak records: %d, through our libraries: %d" % (len(definite), len(ours_leaks)))
print("  invalid accesses and uninitialised uses: %d" % len(errors))
for r in ours_leaks + errors:
    print()
    print("\n".join(r))
print("  full log: %s" % log)
sys.exit(1 if ours_leaks or errors or status else 0)
EOF
