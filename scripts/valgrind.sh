#!/usr/bin/env bash
# `make valgrind`: run scripts/exercise.py (every operation and error path,
# VALGRIND_ROUNDS times, default 300) under memcheck against a build with
# debug info in .venv-valgrind.
#
# CPython frees neither everything it made nor all interned strings at exit,
# so "definitely lost" blocks are expected; the run fails only on a lost block
# with a tolmek frame in its allocation stack, or on any memcheck error that
# is not a leak (invalid access, uninitialised value, bad free).
#
# Uses one interpreter: $PYTHON, else the first of TOLMEK_PY_VERSIONS.
set -euo pipefail
# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

command -v valgrind >/dev/null || die "valgrind is not installed (apt-get install valgrind)"

py=$(first_python)
venv=$ROOT/.venv-valgrind
rounds=${VALGRIND_ROUNDS:-300}
log "valgrind: $py"
ensure_venv "$venv" "$py"
pip_quiet "$venv" install -q -r requirements-test.txt  # exercise.py uses pytest.raises
log "valgrind: building tolmek (RelWithDebInfo)"
install_project "$venv" \
    --config-settings=cmake.build-type=RelWithDebInfo \
    '--config-settings=build-dir=build/valgrind-{wheel_tag}'

mkdir -p build
report=$ROOT/build/valgrind.log
log "valgrind: memcheck over $rounds rounds (log: ${report#"$ROOT"/})"
# PYTHONMALLOC=malloc: every Python object is a malloc block memcheck tracks,
# instead of a slice of a pymalloc arena.
PYTHONMALLOC=malloc valgrind --tool=memcheck --leak-check=full \
    --errors-for-leak-kinds=definite --show-leak-kinds=definite \
    --track-origins=yes --num-callers=50 --log-file="$report" \
    "$venv/bin/python" scripts/exercise.py "$rounds"

# The log is a series of records separated by "==PID== " lines; a record
# with stack frames is an error or a loss record.
"$venv/bin/python" - "$report" <<'EOF'
import re
import sys

text = open(sys.argv[1]).read()
records = re.split(r"^==\d+== *\n", text, flags=re.M)
bad = []
for record in records:
    lines = [re.sub(r"^==\d+== ", "", line) for line in record.splitlines()]
    if not any(re.match(r"\s+(at|by) 0x", line) for line in lines):
        continue
    ours = any("tolmek" in line for line in lines)
    if "definitely lost in loss record" in lines[0]:
        if ours:
            bad.append(lines)
    else:
        bad.append(lines)
for line in text.splitlines():
    if re.search(r"(definitely|indirectly|possibly) lost:|ERROR SUMMARY", line):
        print(line)
for lines in bad:
    print("\n".join(lines), file=sys.stderr)
if bad:
    sys.exit(f"valgrind: {len(bad)} record(s) involving tolmek or a memory error; see {sys.argv[1]}")
print("valgrind: no lost block allocated by tolmek, no memory errors")
EOF
