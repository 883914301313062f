#!/usr/bin/env bash
# `make demo`: build into .venv with the newest Python 3.12+ (or $PYTHON)
# and run the quickstart example.
set -euo pipefail
# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

py=$(find_python)
venv=$ROOT/.venv
ensure_venv "$venv" "$py"
log "building tolmek into .venv ($py)"
install_project "$venv"
log "running examples/quickstart.py"
exec "$venv/bin/python" examples/quickstart.py
