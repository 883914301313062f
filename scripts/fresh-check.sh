#!/usr/bin/env bash
# `make fresh-check`: the README's two commands (`make demo`, `make test`) from a fresh clone of HEAD, inside
# a pristine Debian 12 root that holds only what a new machine of this kind comes with.
#
# A run on a developer's machine or in CI can pass only because an earlier run left something behind (a
# package, a cache, a root). Here nothing is left behind: the root is unpacked anew from a tarball each
# time (made with debootstrap on the first run, then kept in the cache), and the project's scripts have to
# install zsh, debootstrap, clang and libc++, make the unstable root and fill the pip and npm caches
# themselves. The root gets:
#   - what a new machine has before anything runs: compilers, CMake, ninja, make, git, curl, Python 3 of
#     Debian, the libraries the pyenv interpreters link against, valgrind, and this machine's Node.js and
#     npm (the same package files);
#   - this machine's settings for reaching the registries (name server, CA certificates, pip and npm
#     configuration, apt sources);
#   - the interpreters under pyenv's versions directory, mounted read-only at their own path.
# The commands run as root with CI=true, so a test that finds a component missing fails instead of
# skipping. The output ends with the closing line of every suite and their total, as `make test`'s does;
# the whole log is in build/fresh-check.log. Needs root (debootstrap, mounts).
#
# TOLMEK_FRESH_WORK: where the root is unpacked (default /var/tmp; about 4 GB while it runs, removed after,
# or kept with TOLMEK_FRESH_KEEP=1). TOLMEK_TEST_VERSIONS is passed on to `make test`.
set -euo pipefail
# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

FRESH_SUITE=bookworm
# What a new machine of this kind has installed, besides the minimal base (util-linux, dash, coreutils...).
FRESH_PACKAGES=(
    build-essential g++ cmake ninja-build make git curl wget ca-certificates
    python3 procps file xz-utils zip unzip iproute2 valgrind
    libssl3 libffi8 libsqlite3-0 libbz2-1.0 liblzma5 libreadline8 libncursesw6 libuuid1 zlib1g
    libnsl2 libtirpc3 libexpat1 libcrypt1 libtk8.6 libtcl8.6
)
FRESH_CACHE=${XDG_CACHE_HOME:-$HOME/.cache}/tolmek/fresh
FRESH_WORK=${TOLMEK_FRESH_WORK:-/var/tmp}
PYENV_VERSIONS=${PYENV_ROOT:-$HOME/.pyenv}/versions

[[ $(id -u) == 0 ]] || die "make fresh-check needs root (debootstrap and mounts)"

# node_source -> how this machine's Node.js is brought into the root: "dpkg PACKAGE VERSION" when a Debian
# package installed it, else "debian" (the root then gets Debian's nodejs and npm).
node_source() {
    local node pkg version
    node=$(command -v node) || { echo debian; return 0; }
    pkg=$(dpkg -S "$(readlink -f "$node")" 2>/dev/null | cut -d: -f1) || true
    version=$(dpkg-query -W -f '${Version}' "$pkg" 2>/dev/null) || true
    # npm as the machine has it: a new machine upgrades the package's npm when it starts.
    if [[ -n $pkg && -n $version ]]; then echo "dpkg $pkg $version npm $(npm --version 2>/dev/null)"; else echo debian; fi
}

# make_fresh_tarball TARBALL NODE_SOURCE: debootstrap the root, install the packages, bring in Node.js,
# drop apt's downloads, pack it.
make_fresh_tarball() {
    local tarball=$1 node=$2 dir extra=()
    dir=$(mktemp -d "$FRESH_WORK/tolmek-fresh-root.XXXXXX")
    log "making the pristine Debian 12 root (a few minutes; kept as $tarball)"
    command -v debootstrap >/dev/null || apt_install debootstrap || die "debootstrap is needed"
    [[ $node == debian ]] && extra=(nodejs npm)
    debootstrap --variant=minbase "$FRESH_SUITE" "$dir" "$TOLMEK_DEBIAN_MIRROR" >"$tarball.log" 2>&1 ||
        die "debootstrap $FRESH_SUITE failed; see $tarball.log"
    unshare --mount --propagation private -- bash -c '
        set -e
        mount -t proc proc "$1/proc"
        mount --rbind /dev "$1/dev"
        cp --remove-destination /etc/resolv.conf "$1/etc/resolv.conf"
        dir=$1
        shift
        chroot "$dir" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@"
        chroot "$dir" apt-get clean
    ' bash "$dir" "${FRESH_PACKAGES[@]}" "${extra[@]}" >>"$tarball.log" 2>&1 ||
        die "installing packages into the pristine root failed; see $tarball.log"
    if [[ $node == dpkg\ * ]]; then
        read -r _ pkg _ <<<"$node"
        # The package's own files, as they are on this machine (it does not come from Debian's archive).
        dpkg -L "$pkg" | while IFS= read -r f; do
            if [[ -e $f || -L $f ]]; then printf '%s\n' "${f#/}"; fi
        done | tar -C / --no-recursion -cf - -T - | tar -C "$dir" -xf -
        # The npm that runs here, which is not the one the package shipped (see node_source).
        if [[ -d /usr/lib/node_modules/npm ]]; then
            rm -rf "$dir/usr/lib/node_modules/npm"
            cp -a /usr/lib/node_modules/npm "$dir/usr/lib/node_modules/npm"
        fi
    fi
    rm -rf "$dir/var/lib/apt/lists/"* "$dir/root/.cache"
    tar -C "$dir" -cf "$tarball.part" . && mv "$tarball.part" "$tarball"
    rm -rf "$dir"
}

# 1. The pristine root's tarball, made once per package list and Node.js version.
node=$(node_source)
mkdir -p "$FRESH_CACHE"
key=$(printf '%s\n' "$FRESH_SUITE" "${FRESH_PACKAGES[@]}" "$node" | sha256sum | cut -c1-16)
tarball=$FRESH_CACHE/$FRESH_SUITE-$(dpkg --print-architecture)-$key.tar
exec {lock}>"$FRESH_CACHE/lock"
flock "$lock"
[[ -f $tarball ]] || make_fresh_tarball "$tarball" "$node"
exec {lock}>&-

# 2. Unpack it, add this machine's settings and a fresh clone of HEAD.
work=$(mktemp -d "$FRESH_WORK/tolmek-fresh.XXXXXX")
if [[ ${TOLMEK_FRESH_KEEP:-} == 1 ]]; then
    trap 'log "kept $work"' EXIT
else
    trap 'rm -rf "$work"' EXIT
fi
log "unpacking the pristine root into $work"
tar -C "$work" -xf "$tarball"
cp --remove-destination /etc/resolv.conf "$work/etc/resolv.conf"
# Every machine has these (localhost among the names): debootstrap leaves them to the installer.
for f in /etc/hosts /etc/hostname; do if [[ -f $f ]]; then cp --remove-destination "$f" "$work$f"; fi; done
cp --remove-destination /etc/ssl/certs/ca-certificates.crt "$work/etc/ssl/certs/ca-certificates.crt"
# The apt sources are this machine's (debootstrap's one-line list would name the archive twice).
if [[ -f /etc/apt/sources.list || -d /etc/apt/sources.list.d ]]; then rm -f "$work/etc/apt/sources.list"; fi
for f in /etc/pip.conf /etc/apt/sources.list "$HOME/.npmrc" /usr/etc/npmrc; do
    if [[ -f $f ]]; then
        mkdir -p "$work${f%/*}"
        cp --remove-destination "$f" "$work$f"
    fi
done
if [[ -d /etc/apt/sources.list.d ]]; then cp -r /etc/apt/sources.list.d/. "$work/etc/apt/sources.list.d/"; fi
if [[ -d /usr/local/share/ca-certificates ]]; then
    cp -r /usr/local/share/ca-certificates/. "$work/usr/local/share/ca-certificates/"
fi
head=$(git -C "$ROOT" rev-parse --short HEAD)
if [[ -n $(git -C "$ROOT" status --porcelain --untracked-files=no) ]]; then
    log "note: the tree has uncommitted changes; the fresh clone holds the commit $head only"
fi
git clone -q "$ROOT" "$work/root/tolmek"
[[ -d $PYENV_VERSIONS ]] || die "no interpreters in $PYENV_VERSIONS (PYENV_ROOT)"

# 3. The two commands, in a private mount namespace (nothing stays mounted), with the machine's own
#    environment for the registries and nothing else of this shell's.
env_keep=(HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
    "PYENV_ROOT=${PYENV_VERSIONS%/versions}" CI=true LANG=C.UTF-8 "TERM=${TERM:-dumb}")
# The machine's own settings: pip's and npm's, and where the CA certificates are for each client that
# asks (Node.js, git, curl, OpenSSL, requests...).
while IFS='=' read -r name _; do
    case $name in
    PIP_* | NPM_CONFIG_* | npm_config_* | *CERT* | *_CA_* | *CA_BUNDLE* | *CAINFO* | TOLMEK_DEBIAN_MIRROR | TOLMEK_TEST_VERSIONS)
        env_keep+=("$name=${!name}") ;;
    esac
done < <(env)
log "fresh-check of $head: make demo, then make test (log: build/fresh-check.log)"
mkdir -p "$ROOT/build"
status=0
unshare --mount --propagation private -- bash -c '
    set -e
    dir=$1 versions=$2
    shift 2
    mount --bind "$dir" "$dir"
    mount -t proc proc "$dir/proc"
    mount --rbind /dev "$dir/dev"
    mount -t tmpfs tmpfs "$dir/tmp"
    mkdir -p "$dir$versions"
    mount --bind "$versions" "$dir$versions"
    mount -o remount,bind,ro "$dir$versions"
    case ${PIP_FIND_LINKS:-} in
    /*) if [ -d "$PIP_FIND_LINKS" ]; then
            mkdir -p "$dir$PIP_FIND_LINKS"
            mount --bind "$PIP_FIND_LINKS" "$dir$PIP_FIND_LINKS"
            mount -o remount,bind,ro "$dir$PIP_FIND_LINKS"
        fi ;;
    esac
    exec chroot "$dir" env -i "$@" bash -c '\''
        cd /root/tolmek
        start=$SECONDS
        make demo || exit
        demo=$((SECONDS - start))
        start=$SECONDS
        make test || exit
        echo "make demo: $demo s; make test: $((SECONDS - start)) s" >build/fresh-check.times
    '\''
' bash "$work" "$PYENV_VERSIONS" "${env_keep[@]}" 2>&1 | tee "$ROOT/build/fresh-check.log" || status=$?

if ((status != 0)); then
    die "fresh-check of $head failed (exit status $status): see the lines above or build/fresh-check.log"
fi
log "fresh-check of $head passed in a pristine Debian 12 root: $(<"$work/root/tolmek/build/fresh-check.times")"
TEST_SUMMARY=$work/root/tolmek/build/test-summary.txt
print_test_summary
