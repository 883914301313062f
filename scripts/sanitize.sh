#!/usr/bin/env bash
# `make sanitize`: build the extension with AddressSanitizer and
# UndefinedBehaviorSanitizer into .venv-sanitize (its own build tree) and run
# the whole test suite against it. Fails on a test failure and on any
# sanitizer report, including one from a child Python process.
#
# Uses one interpreter: $PYTHON, else the first of TOLMEK_PY_VERSIONS.
# PYTEST_ARGS="..." is passed on to pytest.
set -euo pipefail
# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

ensure_node_tooling
# bash, dash, zsh and curl, which the command tests run.
ensure_test_shells
sanitize_build

read -r -a pytest_args <<<"${PYTEST_ARGS:-}"
log "sanitize: pytest (LD_PRELOAD=$SANITIZE_PRELOAD)"
run_sanitized pytest "$SANITIZE_PYTHON" -m pytest -q -p no:cacheprovider tests "${pytest_args[@]}"
log "sanitize: no sanitizer reports"
