# Debian unstable roots (debootstrap) for the interpreters and tools this machine lacks (sourced by lib.sh).
# shellcheck shell=bash
#
# The roots carry Python 3.14 and 3.15, curl 8 and the shells; the project tree is bind-mounted into them
# at its own path, so a venv or a build tree made inside one keeps working paths. They live outside the
# tree (a fresh clone reuses them, `make clean` keeps them) and are made again when their package list
# changes. Everything that mounts runs in a private mount namespace, so nothing stays mounted afterwards.

# Where the roots live; one folder per architecture.
TOLMEK_ROOTS=${TOLMEK_ROOTS:-${XDG_CACHE_HOME:-$HOME/.cache}/tolmek/roots}
# The Debian archive the roots come from.
TOLMEK_DEBIAN_MIRROR=${TOLMEK_DEBIAN_MIRROR:-http://deb.debian.org/debian}

# What every root holds: the interpreters with their headers, the tools the suite runs, a compiler and
# CMake for builds made inside.
DEBIAN_ROOT_PACKAGES=(
    python3.14 python3.14-dev python3.14-venv
    python3.15 python3.15-dev python3.15-venv
    bash dash zsh curl wget hurl ca-certificates nodejs
    g++ make cmake ninja-build
)
# Added for arm64 only: 3.13 has its aarch64 wheel tested here (on x86_64, 3.13 is this machine's own).
DEBIAN_ROOT_PACKAGES_ARM64=(python3.13 python3.13-dev python3.13-venv)

# The Pythons that come from the roots (/usr/bin/pythonX.Y there) rather than from this machine.
TOLMEK_ROOT_PY_VERSIONS=${TOLMEK_ROOT_PY_VERSIONS:-"3.14 3.15"}

# is_root_python VERSION: true if VERSION is one of TOLMEK_ROOT_PY_VERSIONS.
is_root_python() {
    [[ " $TOLMEK_ROOT_PY_VERSIONS " == *" $1 "* ]]
}

# root_python VERSION -> the interpreter's path inside a root.
root_python() {
    printf '/usr/bin/python%s\n' "$1"
}

# debian_root_dir ARCH -> the root's folder (it may not exist yet).
debian_root_dir() {
    printf '%s/sid-%s\n' "$TOLMEK_ROOTS" "$1"
}

# ensure_binfmt ARCH: let this kernel run ARCH programs through qemu-user-static (foreign roots only).
ensure_binfmt() {
    local arch=$1 qarch
    [[ $arch == "$(dpkg --print-architecture)" ]] && return 0
    case $arch in
    arm64) qarch=aarch64 ;;
    *) die "no emulator known for $arch" ;;
    esac
    if [[ ! -x /usr/bin/qemu-$qarch-static ]] || ! command -v update-binfmts >/dev/null; then
        apt_install qemu-user-static binfmt-support || die "qemu-user-static is needed to run $arch programs"
    fi
    if [[ ! -e /proc/sys/fs/binfmt_misc/register ]]; then
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc || die "cannot mount binfmt_misc"
    fi
    [[ -e /proc/sys/fs/binfmt_misc/qemu-$qarch ]] || update-binfmts --enable "qemu-$qarch" ||
        die "cannot enable qemu-$qarch"
}

# ensure_debian_root ARCH: make the root for ARCH (amd64, arm64) unless one with today's package list is
# there. Needs root; two runs at once wait for each other.
ensure_debian_root() {
    local arch=$1 dir stamp want lock packages=("${DEBIAN_ROOT_PACKAGES[@]}")
    [[ $arch == arm64 ]] && packages+=("${DEBIAN_ROOT_PACKAGES_ARM64[@]}")
    dir=$(debian_root_dir "$arch")
    stamp=$dir/.tolmek-root
    want="$arch ${packages[*]}"
    mkdir -p "$TOLMEK_ROOTS"
    exec {lock}>"$dir.lock"
    flock "$lock"
    if [[ -f $stamp && "$(<"$stamp")" == "$want" ]]; then
        exec {lock}>&-
        return 0
    fi
    [[ $(id -u) == 0 ]] || die "making the Debian root $dir needs root"
    command -v debootstrap >/dev/null || apt_install debootstrap || die "debootstrap is needed"
    ensure_binfmt "$arch"
    log "making the Debian unstable root $dir (a few minutes)"
    rm -rf "$dir"
    debootstrap --variant=minbase --arch="$arch" --include=ca-certificates sid "$dir" "$TOLMEK_DEBIAN_MIRROR" \
        >"$dir.log" 2>&1 || die "debootstrap failed; see $dir.log"
    in_debian_root "$arch" env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -qq --no-install-recommends "${packages[@]}" >>"$dir.log" 2>&1 ||
        die "installing packages into $dir failed; see $dir.log"
    printf '%s\n' "$want" >"$stamp"
    exec {lock}>&-
}

# in_debian_root ARCH COMMAND...: run COMMAND inside the root (as root, environment kept, in the current
# folder), with /proc, /dev, a fresh /tmp and the project tree mounted, and this machine's name server,
# CA certificates and pip configuration copied in (pip and apt inside reach the registries as here).
in_debian_root() {
    local arch=$1 dir
    shift
    dir=$(debian_root_dir "$arch")
    # --remove-destination: a symbolic link in the root must not make the copy land on this machine.
    cp --remove-destination /etc/resolv.conf "$dir/etc/resolv.conf"
    cp --remove-destination /etc/ssl/certs/ca-certificates.crt "$dir/etc/ssl/certs/ca-certificates.crt"
    if [[ -f /etc/pip.conf ]]; then cp --remove-destination /etc/pip.conf "$dir/etc/pip.conf"; fi
    unshare --mount --propagation private -- bash -c '
        set -e
        dir=$1 root=$2 cwd=$3
        shift 3
        # The root a mount point of its own, so that the suite can make private mount namespaces
        # inside it (unshare --propagation needs "/" to be one).
        mount --bind "$dir" "$dir"
        mount -t proc proc "$dir/proc"
        mount --rbind /dev "$dir/dev"
        mount -t tmpfs tmpfs "$dir/tmp"
        # Made here, after the tmpfs: a tree under /tmp (a clone there) needs its mount point on it.
        mkdir -p "$dir$root"
        mount --bind "$root" "$dir$root"
        # A local PIP_FIND_LINKS of this machine (not in the root) would make pip warn on every call.
        exec chroot "$dir" /bin/sh -c '\''
            case ${PIP_FIND_LINKS:-} in *://*) ;; *) [ -e "${PIP_FIND_LINKS:-/}" ] || unset PIP_FIND_LINKS ;; esac
            cd "$1" 2>/dev/null || cd /; shift; exec "$@"'\'' sh "$cwd" "$@"
    ' bash "$dir" "$ROOT" "$PWD" "$@"
}
