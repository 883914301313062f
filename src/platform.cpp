// Page advice for large results: Linux's MADV_POPULATE_WRITE, nothing elsewhere.
#include "platform.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#endif

namespace tolmek::platform {

#if defined(__linux__)

void prefault_for_writing(void* data, std::size_t bytes) noexcept {
    constexpr int populate_write = 23;  // MADV_POPULATE_WRITE, Linux 5.14 and later
    auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    auto first = (reinterpret_cast<std::uintptr_t>(data) + page - 1) & ~(page - 1);
    auto last = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(page - 1);
    // Only advice: an older kernel refuses it and the pages fault in as they are written.
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, populate_write);
}

#else

// Other systems have no call that maps in pages for writing (POSIX_MADV_WILLNEED is about
// reading file-backed pages), so the pages fault in as they are written.
void prefault_for_writing(void*, std::size_t) noexcept {}

#endif

}  // namespace tolmek::platform
