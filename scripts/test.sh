#!/usr/bin/env bash
# `make test`: install the node tooling, then for each Python build the extension with -Werror
# into .venv-<X.Y> and run pytest: 3.12 and 3.13 on this machine (its curl 7.88 and shells),
# 3.14 and 3.15 inside the Debian unstable root (curl 8 and that root's shells); or only
# $PYTHON, on this machine. TOLMEK_TEST_VERSIONS changes the list (e.g. "3.14"). Stops at the
# first failure; the output ends with the closing line of every suite run and their total (also on a
# failure). A pytest exit code of 5 (no tests collected) is a failure like any other non-zero code.
#
# The shells, curl and newman matrices (tests/conftest.py RUNNER_MATRICES) run once per curl version:
# with the last interpreter of this machine (curl 7.88) and the last of the root (curl 8); the other
# suites set TOLMEK_RUNNER_MATRICES=skip. Each suite runs on TOLMEK_TEST_WORKERS pytest-xdist
# workers (default: the number of cores).
#
# Last, the documentation site is built once with `mkdocs build --strict` (scripts/docs.sh).
#
# `scripts/test.sh --python PYTHON` is the step for one interpreter (how the root runs it).
set -euo pipefail
# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

TOLMEK_TEST_VERSIONS=${TOLMEK_TEST_VERSIONS:-"3.12 3.13 3.14 3.15"}

# test_python PYTHON: its venv with the test requirements, the build, the whole suite.
test_python() {
    local py=$1 ver venv pytest_args curl_version
    ver=$(py_minor "$py")
    venv=$ROOT/.venv-$ver
    read -r -a pytest_args <<<"${PYTEST_ARGS:-}"
    log "Python $ver: $py"
    ensure_venv "$venv" "$py"
    pip_quiet "$venv" install -q --upgrade pip
    pip_quiet "$venv" install -q -r requirements-test.txt
    log "Python $ver: building tolmek (TOLMEK_WERROR=ON)"
    install_project "$venv" --config-settings=cmake.define.TOLMEK_WERROR=ON
    curl_version=$(first_line curl --version | cut -d ' ' -f 2)
    log "Python $ver: pytest (curl $curl_version)"
    local label="Python $ver, curl $curl_version"
    [[ ${TOLMEK_RUNNER_MATRICES:-} != skip ]] || label+=" (runner matrices run elsewhere)"
    run_suite "$label" "$venv/bin/python" "${pytest_args[@]}"
}

# test_in_root VERSION: test_python with the root's interpreter, inside the root.
test_in_root() {
    log "Python $1: in the Debian unstable root $(debian_root_dir amd64)"
    in_debian_root amd64 env TOLMEK_RUNNER_MATRICES="${TOLMEK_RUNNER_MATRICES:-}" \
        bash "$ROOT/scripts/test.sh" --python "$(root_python "$1")"
}

if [[ ${1:-} == --python ]]; then
    test_python "$2"
    exit
fi

# The closing lines of this run's suites are collected afresh (those run inside the root too).
mkdir -p "${TEST_SUMMARY%/*}"
: >"$TEST_SUMMARY"

# Node tooling (newman) used by the tests.
ensure_node_tooling
# bash, dash, zsh and curl, which the command tests run.
ensure_test_shells

# Resolve every interpreter first (making the root if needed) so a missing one fails before
# any test runs: "root:VERSION" for one of the root's, else a path on this machine.
targets=()
if [[ -n ${PYTHON:-} ]]; then
    targets=("$(find_python)")
else
    for v in $TOLMEK_TEST_VERSIONS; do
        if is_root_python "$v"; then
            [[ $(id -u) == 0 ]] ||
                die "Python $v runs in a Debian root, which needs root; TOLMEK_TEST_VERSIONS=\"3.12 3.13\" tests the others"
            ensure_debian_root amd64
            targets+=("root:$v")
        else
            targets+=("$(find_python "$v")")
        fi
    done
fi
((${#targets[@]})) || die "no Python interpreter to test with"

# The last target of each curl version (this machine's, the root's) runs the runner matrices.
last_here="" last_root=""
for target in "${targets[@]}"; do
    case $target in
    root:*) last_root=$target ;;
    *) last_here=$target ;;
    esac
done
for target in "${targets[@]}"; do
    matrices=skip
    [[ $target != "$last_here" && $target != "$last_root" ]] || matrices=""
    case $target in
    root:*) TOLMEK_RUNNER_MATRICES=$matrices test_in_root "${target#root:}" ;;
    *) TOLMEK_RUNNER_MATRICES=$matrices test_python "$target" ;;
    esac
done

# The whole suite once more on one Python, built with clang and libc++ (scripts/lib.sh).
read -r -a pytest_args <<<"${PYTEST_ARGS:-}"
TOLMEK_RUNNER_MATRICES=skip test_with_libcxx "$(first_python)" "${pytest_args[@]}"

# The documentation site, once (its examples ran in every suite above): a broken link or anchor
# fails the run as a failing test does, and is counted as one.
if bash "$ROOT/scripts/docs.sh" build; then
    printf 'documentation (mkdocs build --strict): 1 passed, 0 failed\n' >>"$TEST_SUMMARY"
else
    printf 'documentation (mkdocs build --strict): 0 passed, 1 failed\n' >>"$TEST_SUMMARY"
    print_test_summary
    die "the documentation does not build: mkdocs build --strict failed (make docs)"
fi
print_test_summary
