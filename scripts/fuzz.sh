#!/usr/bin/env bash
# `make fuzz`: two fuzz targets, each for FUZZ_SECONDS (default 60). Fails on any
# crash, sanitizer report or mismatch.
#
# 1. fuzz/render_fuzzer.cpp over the renderers, built with libFuzzer, ASan and
#    UBSan (clang; installed from Debian's packages when missing).
#    Then the same checks on a big-endian machine: the portable build for s390x
#    (Debian's cross compiler), run under qemu-user over the inputs found.
# 2. fuzz/hostile_fuzz.py, a Hypothesis state machine driving the three classes
#    from Python as a hostile caller, against the sanitizer build of the module
#    (.venv-sanitize, as `make sanitize` makes it); FUZZ_PY_SECONDS overrides its
#    duration. A failing example is printed by Hypothesis.
#
# The seeds in fuzz/corpus/ are read but never written: inputs libFuzzer finds
# go to build/fuzz/corpus/, which is kept between runs (it is scratch space),
# and a failing input is saved as build/fuzz/crash-* (or leak-*, timeout-*).
# Reproduce one with: build/fuzz/render_fuzzer build/fuzz/crash-... (or
# render_fuzzer_portable, the build without SSE2 scans).
set -euo pipefail
# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

seconds=${FUZZ_SECONDS:-60}
out=$ROOT/build/fuzz

find_clang() {
    local c
    for c in clang++ clang++-14; do
        if command -v "$c" >/dev/null; then
            command -v "$c"
            return 0
        fi
    done
    return 1
}

# libFuzzer's runtime comes in a package of its own (libclang-rt-*-dev), so a
# clang without it cannot link -fsanitize=fuzzer.
has_fuzzer_runtime() {
    local dir
    dir=$("$1" -print-runtime-dir 2>/dev/null) || return 1
    [[ -f $dir/libclang_rt.fuzzer-x86_64.a || -f $dir/libclang_rt.fuzzer.a ]]
}

cxx=$(find_clang || true)
if [[ -z $cxx ]] || ! has_fuzzer_runtime "$cxx"; then
    apt_install clang libclang-rt-14-dev ||
        die "clang with libFuzzer is needed: apt-get install clang libclang-rt-14-dev (as root)"
    cxx=$(find_clang) || die "clang++ not found after installing clang"
    has_fuzzer_runtime "$cxx" || die "$cxx has no libFuzzer runtime after installing libclang-rt-14-dev"
fi

# Only the pure C++ layers: the model and the renderers (no Python). Two builds: the one
# shipped (SSE2 scans on x86-64) and the portable one every other platform gets.
sources=(fuzz/render_fuzzer.cpp src/model/*.cpp src/render/*.cpp src/platform.cpp)
mkdir -p "$out/corpus"
build_fuzzer() {  # build_fuzzer BINARY [EXTRA FLAGS...]
    local binary=$1
    shift
    if [[ ! -x $binary ]] || [[ -n $(find "${sources[@]}" src/model src/render src/binding/str_storage.hpp src/platform.hpp -newer "$binary" -print -quit) ]]; then
        log "fuzz: building $(basename "$binary") with $cxx"
        "$cxx" -std=c++20 -O1 -g -Wall -Wextra "$@" \
            -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
            -fno-omit-frame-pointer -I src "${sources[@]}" -o "$binary"
    fi
}
build_fuzzer "$out/render_fuzzer"
build_fuzzer "$out/render_fuzzer_portable" -DTOLMEK_PORTABLE

# The first corpus directory is where libFuzzer writes new inputs; the seeds
# directory after it is only read.
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
run_fuzzer() {  # run_fuzzer BINARY SECONDS
    log "fuzz: running $(basename "$1") for ${2}s"
    "$1" -max_total_time="$2" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$out/" "$out/corpus" fuzz/corpus
}
run_fuzzer "$out/render_fuzzer" "$seconds"
run_fuzzer "$out/render_fuzzer_portable" $(((seconds + 1) / 2))
log "fuzz: no failures in ${seconds}s (and $(((seconds + 1) / 2))s of the portable build)"

# The portable build on a big-endian machine (s390x, cross-compiled and run under qemu-user):
# the seeds, every input libFuzzer kept and FUZZ_BE_INPUTS pseudo-random ones through the same
# checks, with fuzz/standalone_main.cpp in place of libFuzzer.
be_inputs=${FUZZ_BE_INPUTS:-20000}
if ! command -v s390x-linux-gnu-g++ >/dev/null || ! command -v qemu-s390x >/dev/null; then
    apt_install g++-s390x-linux-gnu qemu-user || true
fi
if command -v s390x-linux-gnu-g++ >/dev/null && command -v qemu-s390x >/dev/null; then
    be=$out/render_fuzzer_s390x
    if [[ ! -x $be ]] || [[ -n $(find "${sources[@]}" fuzz/standalone_main.cpp src/model src/render src/binding/str_storage.hpp src/platform.hpp -newer "$be" -print -quit) ]]; then
        log "fuzz: building $(basename "$be") with s390x-linux-gnu-g++"
        s390x-linux-gnu-g++ -std=c++20 -O1 -static -Wall -Wextra -I src fuzz/standalone_main.cpp "${sources[@]}" -o "$be"
    fi
    log "fuzz: big-endian run under qemu-s390x"
    qemu-s390x "$be" -n "$be_inputs" fuzz/corpus "$out/corpus" || die "the big-endian run failed"
else
    log "fuzz: no s390x-linux-gnu-g++ or qemu-s390x (apt-get install g++-s390x-linux-gnu qemu-user as root): the big-endian run is left out"
fi

py_seconds=${FUZZ_PY_SECONDS:-$seconds}
sanitize_build
log "fuzz: hostile_fuzz.py for ${py_seconds}s (LD_PRELOAD=$SANITIZE_PRELOAD)"
run_sanitized hostile_fuzz.py "$SANITIZE_PYTHON" fuzz/hostile_fuzz.py "$py_seconds"
log "fuzz: no failures"
