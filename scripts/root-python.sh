# A Debian root's interpreter run from this machine, to build wheels with this machine's compilers (sourced by dist.sh).
# shellcheck shell=bash
#
# A wheel compiled inside the unstable roots would take their glibc and libstdc++ symbol versions and get a
# manylinux tag that few systems meet, while the extension needs nothing of an interpreter but its
# headers. So the root's interpreter runs here, through the root's own dynamic loader and libraries (an
# arm64 one under qemu-user), and drives the build as pip would: scikit-build-core then calls this
# machine's CMake and compilers (for arm64, Debian's cross compiler through cmake/aarch64-linux-gnu.cmake),
# with this machine's C library. The interpreter sees itself installed in a small prefix of our own whose
# lib/ is the root's standard library and whose include/ holds only the interpreter's headers, with the
# root's pyconfig.h for that architecture in place of Debian's multiarch switch, so no header of the
# root's C library can reach the compiler.

# root_python ARCH VERSION PREFIX: make PREFIX such an installation of the root's pythonVERSION and print
# its interpreter's path.
root_python() {
    local arch=$1 ver=$2 prefix=$3 root triplet loader
    root=$(debian_root_dir "$arch")
    case $arch in
    amd64) triplet=x86_64-linux-gnu loader=/usr/lib64/ld-linux-x86-64.so.2 ;;
    arm64) triplet=aarch64-linux-gnu loader=/usr/lib/ld-linux-aarch64.so.1 ;;
    *) die "no wheel build is known for $arch" ;;
    esac
    [[ -x $root/usr/bin/python$ver ]] || die "the $arch root has no python$ver"
    [[ -f $root/usr/include/$triplet/python$ver/pyconfig.h ]] ||
        die "the $arch root has no headers for python$ver (python$ver-dev)"
    rm -rf "$prefix"
    mkdir -p "$prefix/bin" "$prefix/lib" "$prefix/include"
    ln -s "$root/usr/lib/python$ver" "$prefix/lib/python$ver"
    # Copies, not links: the compiler looks for "pyconfig.h" beside the file that includes it as it finds
    # that file through any link, which would be the root's folder again.
    cp -R "$root/usr/include/python$ver" "$prefix/include/"
    cp "$root/usr/include/$triplet/python$ver/pyconfig.h" "$prefix/include/python$ver/pyconfig.h"
    # --argv0: the interpreter takes this script for itself, so that it finds its prefix from here and a
    # venv made from it (or a child it starts) runs through the same loader. --inhibit-cache: none of this
    # machine's libraries is taken for one of the root's.
    {
        printf '#!/bin/sh\n'
        printf 'exec %q --inhibit-cache --library-path %q --argv0 "$0" %q "$@"\n' \
            "$root$loader" "$root/usr/lib/$triplet" "$root/usr/bin/python$ver"
    } >"$prefix/bin/python$ver"
    chmod +x "$prefix/bin/python$ver"
    printf '%s\n' "$prefix/bin/python$ver"
}

# root_build_env VERSION DIR SOURCE: the build frontend and SOURCE's build requirements, all pure Python,
# installed into DIR for pythonVERSION by this machine's pip (TOOLS_PYTHON); with DIR on PYTHONPATH the
# root's interpreter then builds SOURCE (`python -m build --no-isolation`) without running pip itself,
# which under emulation alone takes minutes.
root_build_env() {
    local ver=$1 dir=$2 src=$3 requires
    requires=$("$TOOLS_PYTHON" -c 'import sys, tomllib
with open(sys.argv[1], "rb") as f:
    print("\n".join(tomllib.load(f)["build-system"]["requires"]))' "$src/pyproject.toml")
    mapfile -t requires <<<"$requires"
    rm -rf "$dir"
    PIP_DISABLE_PIP_VERSION_CHECK=1 "$TOOLS_PYTHON" -m pip install -q --target "$dir" --python-version "$ver" \
        --implementation py --abi none --platform any --only-binary=:all: \
        -r "$ROOT/requirements-dev.txt" "${requires[@]}"
}
