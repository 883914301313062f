# Shared helpers for the scripts in this directory (sourced, not run).
# shellcheck shell=bash

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT" || exit 1

# Python versions exercised by `make test` and `make wheels`.
TOLMEK_PY_VERSIONS=${TOLMEK_PY_VERSIONS:-"3.12 3.13"}

log() {
    printf '==> %s\n' "$*"
}

die() {
    printf 'error: %s\n' "$*" >&2
    exit 1
}

# find_python [VERSION] -> absolute interpreter path (honours $PYTHON).
find_python() {
    sh "$ROOT/scripts/find-python" "$@"
}

# py_minor PYTHON -> "3.12"
py_minor() {
    "$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])'
}

# ensure_venv DIR PYTHON
# Create DIR as a venv of PYTHON unless it already is one that works.
# The interpreter a venv was made from is recorded in DIR/.tolmek-python so
# a different PYTHON gets a fresh venv instead of a mixed one.
ensure_venv() {
    local dir=$1 py=$2 stamp=$1/.tolmek-python
    if [[ -x $dir/bin/python && -f $stamp && "$(<"$stamp")" == "$py" ]] &&
        "$dir/bin/python" -c 'import pip' >/dev/null 2>&1; then
        return 0
    fi
    log "creating $dir ($py)"
    rm -rf "$dir"
    "$py" -m venv "$dir"
    pip_quiet "$dir" install -q --upgrade pip
    printf '%s\n' "$py" >"$stamp"
}

# pip_quiet VENV ARGS... : pip in VENV, quiet, no version nag.
pip_quiet() {
    local venv=$1
    shift
    PIP_DISABLE_PIP_VERSION_CHECK=1 "$venv/bin/python" -m pip "$@"
}

# install_project VENV [PIP ARGS...]
# (Re)build the extension from the working tree and install it into VENV.
# build-dir in pyproject.toml keeps one build tree per wheel tag, so this is
# an incremental rebuild.
install_project() {
    local venv=$1
    shift
    pip_quiet "$venv" install -q --force-reinstall --no-deps "$@" "$ROOT"
}

# test_pythons -> one interpreter path per line (fails if any is missing): only $PYTHON when set,
# else one per version in TOLMEK_PY_VERSIONS.
test_pythons() {
    if [[ -n ${PYTHON:-} ]]; then
        find_python
        return
    fi
    local v
    for v in $TOLMEK_PY_VERSIONS; do
        find_python "$v" || return 1
    done
}

# ensure_node_tooling: install tests/node/node_modules (newman, used by the
# tests) when it is missing or older than the lock file.
ensure_node_tooling() {
    local node_dir=$ROOT/tests/node
    [[ -f $node_dir/package.json ]] || return 0
    if [[ ! -x $node_dir/node_modules/.bin/newman ||
        $node_dir/package-lock.json -nt $node_dir/node_modules/.package-lock.json ]]; then
        command -v npm >/dev/null || die "npm is required to install tests/node"
        log "installing node tooling into tests/node/node_modules"
        npm ci --prefix "$node_dir" --no-audit --no-fund --loglevel=error
    fi
}

# ensure_test_shells: the shells and curl that the command tests run (bash, dash, zsh, curl),
# installed from Debian's packages when one is missing. Needs root and apt-get; elsewhere a
# missing one is only reported, and the tests skip (or, with CI=true, fail) on it.
ensure_test_shells() {
    local missing=() tool
    for tool in bash dash zsh curl; do
        command -v "$tool" >/dev/null || missing+=("$tool")
    done
    ((${#missing[@]})) || return 0
    if [[ $(id -u) == 0 ]] && command -v apt-get >/dev/null; then
        log "installing ${missing[*]} from Debian's packages"
        DEBIAN_FRONTEND=noninteractive apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    else
        log "missing ${missing[*]} (not root or no apt-get): the tests that need them will not run"
    fi
}

# first_python -> $PYTHON, else the first version in TOLMEK_PY_VERSIONS;
# for targets that need only one interpreter.
first_python() {
    local v
    read -r v _ <<<"$TOLMEK_PY_VERSIONS"
    find_python "$v"
}
