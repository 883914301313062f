#!/usr/bin/env bash
# `make bench`: build into .venv-bench-X.Y with the newest Python 3.12+ here, then with the
# Debian root's 3.14 and 3.15 (or only $PYTHON, any CPython 3.12 or newer), install the
# benchmark requirements, build the floors (bench/floor.c) and run bench/run.py, then count
# instructions per request under callgrind (bench/instructions.py), then the same timings with the
# portable build (plain C++ scans, as non-x86 platforms get), then bench/cli.py
# (the `tolmek` command on a large HAR), bench/clients.py, bench/forms_peers.py (the forms beside
# httpsnippet, postman-code-generators and curlconverter) and bench/http_peers.py (the HTTP
# clients); arguments (e.g. `--quick`) go to all of them.
set -euo pipefail
# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

[[ -f bench/run.py ]] || die "bench/run.py does not exist yet"

# Without PYTHON: this machine's newest Python, then each of the Debian root's (3.14, 3.15), each
# run in full by this same script with PYTHON set (TOLMEK_BENCH_ROOT=0 leaves the root out).
if [[ -z ${PYTHON:-} && ${TOLMEK_BENCH_ROOT:-1} != 0 ]]; then
    PYTHON=$(find_python) bash "$ROOT/scripts/bench.sh" "$@"
    if [[ $(id -u) != 0 ]]; then
        log "not root: the Debian root's Pythons ($TOLMEK_ROOT_PY_VERSIONS) are left out"
        exit 0
    fi
    ensure_debian_root amd64
    for v in $TOLMEK_ROOT_PY_VERSIONS; do
        log "Python $v: in the Debian unstable root $(debian_root_dir amd64)"
        in_debian_root amd64 env PYTHON="$(root_python "$v")" bash "$ROOT/scripts/bench.sh" "$@"
    done
    exit 0
fi
# The one interpreter everything below runs on; each version gets venvs and floors of its own.
py=$(find_python)
ver=$(py_minor "$py")

# bench_venv DIR: DIR as a venv of $py with the benchmark requirements. orjson is only a
# baseline: where it has no wheel for this Python (and cannot be built), run.py leaves its
# comparison out.
bench_venv() {
    ensure_venv "$1" "$py"
    pip_quiet "$1" install -q -r requirements-bench.txt ||
        log "the benchmark requirements did not install for Python $ver: comparisons with them are left out"
}

venv=$ROOT/.venv-bench-$ver
bench_venv "$venv"
log "building tolmek into ${venv#"$ROOT"/} ($py)"
install_project "$venv"

# The floors are a tiny C module built against the same interpreter; not part of tolmek.
floors=$ROOT/build/bench-floor-$ver
mkdir -p "$floors"
read -r include suffix < <("$venv/bin/python" -c \
    'import sysconfig as s; print(s.get_paths()["include"], s.get_config_var("EXT_SUFFIX"))')
log "building the floors (bench/floor.c) and the callgrind mark (bench/mark.c)"
"${CC:-cc}" -O2 -Wall -Wextra -shared -fPIC -I"$include" bench/floor.c -o "$floors/_floor$suffix"
"${CC:-cc}" -O2 -Wall -Wextra -shared -fPIC -I"$include" bench/mark.c -o "$floors/_mark$suffix"

log "running bench/run.py"
PYTHONPATH=$floors${PYTHONPATH:+:$PYTHONPATH} "$venv/bin/python" bench/run.py "$@"

# The counts need valgrind. A root made before they were counted gets it here; its package
# lists may be past their validity date, which does not matter for a measuring tool.
if ! command -v valgrind >/dev/null && [[ $(id -u) == 0 ]] && command -v apt-get >/dev/null; then
    log "installing valgrind from Debian's packages (for the instruction counts)"
    { DEBIAN_FRONTEND=noninteractive apt-get -o Acquire::Check-Valid-Until=false update -qq &&
        DEBIAN_FRONTEND=noninteractive apt-get -o Acquire::Check-Valid-Until=false install -y -qq \
            --no-install-recommends valgrind; } >/dev/null 2>&1 || log "valgrind did not install"
fi
log "running bench/instructions.py (callgrind)"
PYTHONPATH=$floors${PYTHONPATH:+:$PYTHONPATH} "$venv/bin/python" bench/instructions.py "$@"

# The same timings for the build other platforms get: plain C++ text scans, no SSE2.
portable=$ROOT/.venv-bench-portable-$ver
bench_venv "$portable"
log "building tolmek with TOLMEK_PORTABLE=ON into ${portable#"$ROOT"/}"
install_project "$portable" --config-settings=cmake.define.TOLMEK_PORTABLE=ON \
    '--config-settings=build-dir=build/portable-{wheel_tag}'
log "running bench/run.py on the portable build"
PYTHONPATH=$floors${PYTHONPATH:+:$PYTHONPATH} "$portable/bin/python" bench/run.py "$@" \
    --sections construction,command,collection,export --title "portable build (TOLMEK_PORTABLE=ON: plain C++ scans)"
log "running bench/cli.py"
"$venv/bin/python" bench/cli.py "$@"
# The HTTP clients (requirements-bench.txt): rendering beside curlify, capture's cost (clocked, and
# counted under callgrind with the mark), and the clients' matrix scored for tolmek_http and the
# peers (bash, dash, zsh and curl run its commands).
log "running bench/clients.py"
PYTHONPATH=$floors${PYTHONPATH:+:$PYTHONPATH} "$venv/bin/python" bench/clients.py "$@"
# Recording's cost (tolmek_http.record, pytest --tolmek-record): a suite-like loop, recording on and off.
log "running bench/recording.py"
PYTHONPATH=$floors${PYTHONPATH:+:$PYTHONPATH} "$venv/bin/python" bench/recording.py "$@"
# The forms beside the converters people use for them (bench/node, from its lock file; install
# scripts off: nothing of theirs runs but their converters). Without npm their rows say n/a.
peers=$ROOT/bench/node
if command -v npm >/dev/null && [[ ! $peers/node_modules/.package-lock.json -nt $peers/package-lock.json ]]; then
    log "installing the forms' peers into bench/node (npm ci)"
    npm ci --prefix "$peers" --ignore-scripts --no-audit --no-fund >/dev/null 2>&1 ||
        log "the forms' peers did not install: bench/forms_peers.py reports them n/a"
fi
log "running bench/forms_peers.py"
"$venv/bin/python" bench/forms_peers.py "$@"
log "running bench/http_peers.py"
exec "$venv/bin/python" bench/http_peers.py "$@"
