#!/usr/bin/env bash
# `make bench`: build into .venv-bench with the newest Python 3.12+ (or
# $PYTHON), install the benchmark requirements and run bench/run.py, then
# bench/cli.py (the `tolmek` command on a large HAR); arguments go to both.
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
log "running bench/run.py"
"$venv/bin/python" bench/run.py "$@"
log "running bench/cli.py"
exec "$venv/bin/python" bench/cli.py "$@"
