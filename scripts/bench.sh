#!/usr/bin/env bash
# `make bench`: build into .venv-bench with the newest Python 3.12+ (or
# $PYTHON), install the benchmark requirements, build the floors (bench/floor.c)
# and run bench/run.py, then the same timings with the portable build (plain C++
# scans, as non-x86 platforms get), then bench/cli.py (the `tolmek` command on a
# large HAR); arguments (e.g. `--quick`) go to all of them.
set -euo pipefail
# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

[[ -f bench/run.py ]] || die "bench/run.py does not exist yet"
py=$(find_python)
venv=$ROOT/.venv-bench
ensure_venv "$venv" "$py"
pip_quiet "$venv" install -q -r requirements-bench.txt
log "building tolmek into .venv-bench ($py)"
install_project "$venv"

# The floors are a tiny C module built against the same interpreter; not part of tolmek.
floors=$ROOT/build/bench-floor
mkdir -p "$floors"
read -r include suffix < <("$venv/bin/python" -c \
    'import sysconfig as s; print(s.get_paths()["include"], s.get_config_var("EXT_SUFFIX"))')
log "building the floors (bench/floor.c)"
"${CC:-cc}" -O2 -Wall -Wextra -shared -fPIC -I"$include" bench/floor.c -o "$floors/_floor$suffix"

log "running bench/run.py"
PYTHONPATH=$floors${PYTHONPATH:+:$PYTHONPATH} "$venv/bin/python" bench/run.py "$@"

# The same timings for the build other platforms get: plain C++ text scans, no SSE2.
portable=$ROOT/.venv-bench-portable
ensure_venv "$portable" "$py"
pip_quiet "$portable" install -q -r requirements-bench.txt
log "building tolmek with TOLMEK_PORTABLE=ON into .venv-bench-portable"
install_project "$portable" --config-settings=cmake.define.TOLMEK_PORTABLE=ON \
    '--config-settings=build-dir=build/portable-{wheel_tag}'
log "running bench/run.py on the portable build"
PYTHONPATH=$floors${PYTHONPATH:+:$PYTHONPATH} "$portable/bin/python" bench/run.py "$@" \
    --sections construction,command,collection --title "portable build (TOLMEK_PORTABLE=ON: plain C++ scans)"
log "running bench/cli.py"
exec "$venv/bin/python" bench/cli.py "$@"
