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

py=$(first_python)
venv=$ROOT/.venv-sanitize
log "sanitize: $py"
ensure_venv "$venv" "$py"
pip_quiet "$venv" install -q -r requirements-test.txt

# The sanitizer runtimes are preloaded below and must be the ones the module
# was linked with, so build with GCC whatever CXX says. RelWithDebInfo keeps
# the optimiser on (as in a release) and gives reports file/line frames.
log "sanitize: building tolmek (TOLMEK_SANITIZE=ON)"
CXX=g++ install_project "$venv" \
    --config-settings=cmake.define.TOLMEK_SANITIZE=ON \
    --config-settings=cmake.build-type=RelWithDebInfo \
    '--config-settings=build-dir=build/sanitize-{wheel_tag}'

so=$("$venv/bin/python" -c 'import importlib.util as u; print(u.find_spec("tolmek").origin)')
# The interpreter itself is not instrumented, so the ASan runtime has to be
# loaded before anything else (it replaces malloc); take the exact runtime
# paths from the module's own dependencies.
preload=$(ldd "$so" | awk '$1 ~ /^lib(asan|ubsan)\.so/ { print $3 }' | sort | paste -sd:)
[[ $preload == *libasan* ]] || die "$so is not linked with libasan (was it built with TOLMEK_SANITIZE=ON?)"

# Reports go to files as well as failing the process, so that one in a child
# process (whose stderr a test may swallow) still fails the run.
reports=$(mktemp -d "${TMPDIR:-/tmp}/tolmek-sanitize.XXXXXX")
trap 'rm -rf "$reports"' EXIT

# detect_leaks=0: CPython does not free everything at exit, which LeakSanitizer
#   would report; leaks are checked by tests/test_leaks.py and `make valgrind`.
# allocator_may_return_null=1: a huge request makes malloc return NULL (so
#   Python raises MemoryError) as it would without ASan, instead of aborting.
# PYTHONMALLOC=malloc: Python objects come from malloc, so ASan sees overruns
#   into them rather than into pymalloc arenas.
# TOLMEK_SANITIZE=1: tests that cannot work under ASan (address-space limits)
#   and RSS measurements skip themselves.
export LD_PRELOAD=$preload
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:allocator_may_return_null=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1:log_path=$reports/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan"
export PYTHONMALLOC=malloc
export TOLMEK_SANITIZE=1

read -r -a pytest_args <<<"${PYTEST_ARGS:-}"
log "sanitize: pytest (LD_PRELOAD=$LD_PRELOAD)"
status=0
"$venv/bin/python" -m pytest -q -p no:cacheprovider tests "${pytest_args[@]}" || status=$?
unset LD_PRELOAD

if compgen -G "$reports/*" >/dev/null; then
    for f in "$reports"/*; do
        printf '\n==> sanitizer report %s\n' "${f##*/}" >&2
        cat "$f" >&2
    done
    die "sanitizer reported errors"
fi
((status == 0)) || die "pytest failed (exit $status)"
log "sanitize: no sanitizer reports"
