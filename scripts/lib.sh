# Shared helpers for the scripts in this directory (sourced, not run).
# shellcheck shell=bash

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT" || exit 1

# No script stops without saying why: a command that fails under `set -e` is named with its script and
# line before the script exits with its status. -E hands the trap to functions and subshells, so a
# failure inside a command substitution is reported there and then once more at the line that used it.
set -E
trap 'on_error $? "${BASH_SOURCE[0]:-$0}" "$LINENO" "$BASH_COMMAND"' ERR

# on_error STATUS FILE LINE COMMAND: the ERR trap's report.
on_error() {
    printf 'error: %s:%s: `%s` failed (exit status %s)\n' "${2#"$ROOT"/}" "$3" "$4" "$1" >&2
    exit "$1"
}

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

# first_line COMMAND... -> the first line COMMAND prints. Reads everything, so COMMAND never dies of
# SIGPIPE (which pipefail would turn into a failure, as `| head -n 1` can).
first_line() {
    "$@" | sed -n 1p
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

# ensure_test_shells: the shells, curl and wget that the command tests run (bash, dash, zsh, curl, wget),
# installed from Debian's packages when one is missing. Needs root and apt-get; elsewhere a
# missing one is only reported, and the tests skip (or, with CI=true, fail) on it.
ensure_test_shells() {
    local missing=() tool
    for tool in bash dash zsh curl wget; do
        command -v "$tool" >/dev/null || missing+=("$tool")
    done
    ((${#missing[@]})) || return 0
    apt_install "${missing[@]}" ||
        log "missing ${missing[*]} (not root or no apt-get): the tests that need them will not run"
}

# apt_install PKG...: install Debian packages (without the ones they only recommend). Returns 1
# without trying unless running as root with apt-get; a failing apt-get ends the script.
apt_install() {
    if [[ $(id -u) != 0 ]] || ! command -v apt-get >/dev/null; then
        return 1
    fi
    log "installing $* from Debian's packages"
    DEBIAN_FRONTEND=noninteractive apt-get update -qq || die "apt-get update failed"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" >/dev/null ||
        die "apt-get install $* failed"
}

# The second toolchain `make test` builds with: clang and libc++, the standard library macOS
# uses, from Debian's packages (LIBCXX_CXX=clang++-15 tries another clang).
LIBCXX_CXX=${LIBCXX_CXX:-clang++-16}
LIBCXX_PACKAGES=(clang-16 libc++-16-dev libc++abi-16-dev)

# libcxx_works: LIBCXX_CXX compiles and links a C++20 program against libc++.
libcxx_works() {
    command -v "$LIBCXX_CXX" >/dev/null &&
        printf '#include <bit>\n#include <source_location>\nint main() { return std::countr_zero(1u); }\n' |
        "$LIBCXX_CXX" -std=c++20 -stdlib=libc++ -x c++ - -o /dev/null 2>/dev/null
}

# test_with_libcxx PYTHON: build the extension with LIBCXX_CXX and libc++, warnings as errors,
# into .venv-libcxx (its own venv, and a build tree per compiler, as CMake keeps the compiler it
# first found; the GCC builds stay as they are), and run
# the whole suite there. The toolchain is installed from Debian's packages when missing; where
# that cannot be done the build is left out with a note (with CI=true, a failure).
test_with_libcxx() {
    local py=$1 venv=$ROOT/.venv-libcxx
    shift
    if ! libcxx_works; then
        # Debian's libc++ packages of different releases conflict: apt-get would remove another
        # one the machine has, so then nothing is installed.
        local other
        # dpkg-query exits 1 when no package matches at all: that is the common case, not a failure.
        other=$({ dpkg-query -W -f '${db:Status-Status} ${Package}\n' 'libc++*-dev' 2>/dev/null || true; } |
            awk '$1 == "installed" && $2 !~ /-16-dev$/ { printf " %s", $2 }')
        if [[ -n $other ]]; then
            log "not installing ${LIBCXX_PACKAGES[*]}: it would remove${other}"
        else
            apt_install "${LIBCXX_PACKAGES[@]}" || true
        fi
        if ! libcxx_works; then
            [[ ${CI:-} != true ]] || die "$LIBCXX_CXX with libc++ is needed: apt-get install ${LIBCXX_PACKAGES[*]}"
            log "no $LIBCXX_CXX with libc++ (apt-get install ${LIBCXX_PACKAGES[*]} as root): the clang and libc++ build is left out"
            return 0
        fi
    fi
    log "clang and libc++: $py"
    ensure_venv "$venv" "$py"
    pip_quiet "$venv" install -q -r requirements-test.txt
    log "clang and libc++: building tolmek with $LIBCXX_CXX -stdlib=libc++ (TOLMEK_WERROR=ON)"
    CXX=$LIBCXX_CXX CXXFLAGS="${CXXFLAGS:+$CXXFLAGS }-stdlib=libc++" LDFLAGS="${LDFLAGS:+$LDFLAGS }-stdlib=libc++" \
        install_project "$venv" --config-settings=cmake.define.TOLMEK_WERROR=ON \
        "--config-settings=build-dir=build/libcxx-${LIBCXX_CXX##*/}-{wheel_tag}"
    local so
    so=$("$venv/bin/python" -c 'import importlib.util as u; print(u.find_spec("tolmek").origin)')
    # grep without -q reads all of ldd's output: with -q, ldd could die of SIGPIPE and pipefail
    # would report a module that is linked with libc++ as one that is not.
    ldd "$so" | grep 'libc++\.so' >/dev/null || die "$so is not linked with libc++"
    log "clang and libc++: pytest"
    run_suite "clang+libc++ $(py_minor "$py")" "$venv/bin/python" "$@"
}

# The closing line of every suite that `make test` runs, one per line, "LABEL: N passed ...".
TEST_SUMMARY=$ROOT/build/test-summary.txt

# run_suite LABEL PYTHON [PYTEST ARGS...]: the suite (or the tests/ files the arguments name) with PYTHON (a venv's); its closing line is
# added to TEST_SUMMARY. A failing run (any non-zero exit, 5 for "no tests" too) ends the script after
# the summary so far.
run_suite() {
    local label=$1 py=$2 log status=0 line arg
    shift 2
    # The whole of tests/ unless the arguments name files in it; one -q (a second one would drop
    # the closing line that the summary reads).
    local where=(tests) quiet=(-q)
    for arg in "$@"; do
        case $arg in
        tests/* | ./tests/*) where=() ;;
        -q | --quiet) quiet=() ;;
        esac
    done
    # Independent tests side by side, one pytest-xdist worker per core, unless the arguments say.
    local workers=(-n "${TOLMEK_TEST_WORKERS:-$(nproc 2>/dev/null || echo 1)}")
    for arg in "$@"; do
        case $arg in
        -n | -n* | --numprocesses* | -p) workers=() ;;
        esac
    done
    log=$(mktemp "${TMPDIR:-/tmp}/tolmek-pytest.XXXXXX")
    "$py" -m pytest "${quiet[@]}" "${workers[@]}" "${where[@]}" "$@" | tee "$log" || status=$?
    line=$(grep -E '^[= ]*[0-9]+ (passed|failed|errors?|skipped|deselected|xfailed|xpassed|warnings?)\b' "$log" |
        sed -n '$s/^[= ]*//; $s/[= ]*$//; $p') || true
    rm -f "$log"
    mkdir -p "${TEST_SUMMARY%/*}"
    printf '%s: %s\n' "$label" "${line:-no closing line from pytest (exit status $status)}" >>"$TEST_SUMMARY"
    if ((status != 0)); then
        print_test_summary
        die "$label: pytest failed (exit status $status)"
    fi
}

# print_test_summary: every closing line so far, then their total as "total: N passed, N failed[, N
# skipped]" (errors count as failures).
print_test_summary() {
    [[ -s $TEST_SUMMARY ]] || return 0
    log "summary"
    cat "$TEST_SUMMARY"
    awk '{
        for (i = 2; i <= NF; i++) {
            w = $i; sub(/[,;]$/, "", w)
            if (w == "passed") p += $(i - 1)
            else if (w == "failed" || w == "error" || w == "errors") f += $(i - 1)
            else if (w == "skipped") s += $(i - 1)
        }
        if ($0 ~ /no closing line/) f += 1
    } END { printf "total: %d passed, %d failed", p, f; if (s) printf ", %d skipped", s; printf "\n" }' "$TEST_SUMMARY"
}

# first_python -> $PYTHON, else the first version in TOLMEK_PY_VERSIONS;
# for targets that need only one interpreter.
first_python() {
    local v
    read -r v _ <<<"$TOLMEK_PY_VERSIONS"
    find_python "$v"
}

# sanitize_build: build the extension with AddressSanitizer and UndefinedBehaviorSanitizer
# into .venv-sanitize (its own build tree, with the test requirements) and set
# SANITIZE_PYTHON (that venv's interpreter) and SANITIZE_PRELOAD (the sanitizer runtimes the
# module was linked with, which have to be preloaded into the uninstrumented interpreter).
# Uses one interpreter: $PYTHON, else the first of TOLMEK_PY_VERSIONS.
sanitize_build() {
    local py venv so
    py=$(first_python)
    venv=$ROOT/.venv-sanitize
    log "sanitize: $py"
    ensure_venv "$venv" "$py"
    pip_quiet "$venv" install -q -r requirements-test.txt
    # The runtimes must be the ones the module was linked with, so build with GCC whatever
    # CXX says. RelWithDebInfo keeps the optimiser on (as in a release) and gives reports
    # file/line frames.
    log "sanitize: building tolmek (TOLMEK_SANITIZE=ON)"
    CXX=g++ install_project "$venv" \
        --config-settings=cmake.define.TOLMEK_SANITIZE=ON \
        --config-settings=cmake.build-type=RelWithDebInfo \
        '--config-settings=build-dir=build/sanitize-{wheel_tag}'
    SANITIZE_PYTHON=$venv/bin/python
    so=$("$SANITIZE_PYTHON" -c 'import importlib.util as u; print(u.find_spec("tolmek").origin)')
    # The ASan runtime has to be loaded before anything else (it replaces malloc); take the
    # exact runtime paths from the module's own dependencies.
    SANITIZE_PRELOAD=$(ldd "$so" | awk '$1 ~ /^lib(asan|ubsan)\.so/ { print $3 }' | sort | paste -sd:)
    [[ $SANITIZE_PRELOAD == *libasan* ]] || die "$so is not linked with libasan (was it built with TOLMEK_SANITIZE=ON?)"
}

# sanitized REPORTS_DIR COMMAND...: run COMMAND with the sanitizer runtimes preloaded (after
# sanitize_build). Reports go to files in REPORTS_DIR as well as failing the process, so that
# one in a child process (whose stderr a test may swallow) still fails the run.
#
# detect_leaks=0: CPython does not free everything at exit, which LeakSanitizer would report;
#   leaks are checked by tests/test_leaks.py and `make valgrind`.
# allocator_may_return_null=1: a huge request makes malloc return NULL (so Python raises
#   MemoryError) as it would without ASan, instead of aborting.
# PYTHONMALLOC=malloc: Python objects come from malloc, so ASan sees overruns into them and
#   reads of freed ones rather than slices of pymalloc arenas.
# TOLMEK_SANITIZE=1: tests that cannot work under ASan (address-space limits) and RSS
#   measurements skip themselves.
sanitized() {
    local reports=$1
    shift
    LD_PRELOAD=$SANITIZE_PRELOAD \
        ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:allocator_may_return_null=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1:log_path=$reports/asan" \
        UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan" \
        PYTHONMALLOC=malloc TOLMEK_SANITIZE=1 "$@"
}

# run_sanitized LABEL COMMAND...: run COMMAND under `sanitized` with reports in a scratch
# directory (removed when the script exits); the script dies on any sanitizer report, which is
# printed, and then on COMMAND's failure ("LABEL failed").
run_sanitized() {
    local label=$1 status=0
    shift
    # Global: the EXIT trap runs after this function's locals are gone.
    SANITIZER_REPORTS=$(mktemp -d "${TMPDIR:-/tmp}/tolmek-sanitizer.XXXXXX")
    trap 'rm -rf "$SANITIZER_REPORTS"' EXIT
    sanitized "$SANITIZER_REPORTS" "$@" || status=$?
    sanitizer_reports "$SANITIZER_REPORTS" || die "sanitizer reported errors"
    ((status == 0)) || die "$label failed (exit $status)"
}

# sanitizer_reports REPORTS_DIR: print every report in REPORTS_DIR to stderr; fails if any.
sanitizer_reports() {
    local f
    compgen -G "$1/*" >/dev/null || return 0
    for f in "$1"/*; do
        printf '\n==> sanitizer report %s\n' "${f##*/}" >&2
        cat "$f" >&2
    done
    return 1
}

# shellcheck source=scripts/debian-root.sh
source "$ROOT/scripts/debian-root.sh"
