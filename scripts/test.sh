#!/usr/bin/env bash
# `make test`: install the node tooling, then for each Python (3.12 and 3.13,
# or only $PYTHON) build the extension with -Werror into .venv-<X.Y> and run
# pytest. Stops at the first failure; the output ends with the summary line
# of the last pytest run. A pytest exit code of 5 (no tests collected) is a
# failure like any other non-zero code.
set -euo pipefail
# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

# Node tooling (newman) used by the tests.
ensure_node_tooling
# bash, dash, zsh and curl, which the command tests run.
ensure_test_shells

# Resolve every interpreter first so a missing one fails before any work.
pythons_list=$(test_pythons)
mapfile -t pythons <<<"$pythons_list"
[[ -n $pythons_list ]] || die "no Python interpreter to test with"

read -r -a pytest_args <<<"${PYTEST_ARGS:-}"

for py in "${pythons[@]}"; do
    ver=$(py_minor "$py")
    venv=$ROOT/.venv-$ver
    log "Python $ver: $py"
    ensure_venv "$venv" "$py"
    pip_quiet "$venv" install -q --upgrade pip
    pip_quiet "$venv" install -q -r requirements-test.txt
    log "Python $ver: building tolmek (TOLMEK_WERROR=ON)"
    install_project "$venv" --config-settings=cmake.define.TOLMEK_WERROR=ON
    log "Python $ver: pytest"
    "$venv/bin/python" -m pytest -q tests "${pytest_args[@]}"
done

# The whole suite once more on one Python, built with clang and libc++ (scripts/lib.sh).
test_with_libcxx "$(first_python)" "${pytest_args[@]}"
