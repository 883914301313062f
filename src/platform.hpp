// The platform facilities tolmek uses beyond standard C++20, each with a portable fallback.
//
// Everything else in src/ is standard C++20 and the CPython C API. A facility is named here
// once, so that a new compiler or system means reading this file, not the whole tree:
//
// - SSE2 text scans: x86-64 always has SSE2, 32-bit x86 when the compiler is told to use it.
//   GCC and clang say so with __SSE2__, MSVC with _M_X64 or _M_IX86_FP >= 2. TOLMEK_SSE2 is 1
//   where the scans use <emmintrin.h>; elsewhere, and with TOLMEK_PORTABLE (a build option that
//   tries the other path on x86), they use plain 64-bit words.
// - Prefetching: GCC and clang's __builtin_prefetch, nothing elsewhere.
// - Page advice for large results: Linux can map in all pages of a new output in one call;
//   elsewhere the pages fault in as they are written, which is only slower.
#pragma once

#include <cstddef>

#if !defined(TOLMEK_PORTABLE) && \
    (defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2))
#include <emmintrin.h>
#define TOLMEK_SSE2 1
#else
#define TOLMEK_SSE2 0
#endif

namespace tolmek::platform {

/// Asks for the cache lines of [data, data + bytes) to be read in ahead of use; a hint only,
/// nothing where the compiler has no such builtin.
inline void prefetch(const void* data, std::size_t bytes) noexcept {
#if defined(__GNUC__) || defined(__clang__)
    for (std::size_t at = 0; at < bytes; at += 64) __builtin_prefetch(static_cast<const char*>(data) + at);
#else
    (void)data;
    (void)bytes;
#endif
}

/// Asks the system to map in the pages of [data, data + bytes) for writing now rather than one
/// fault at a time; only advice, ignored where the system has no such call.
void prefault_for_writing(void* data, std::size_t bytes) noexcept;

}  // namespace tolmek::platform
