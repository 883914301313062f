// Results that cannot be made.
#include "binding/result.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace tolmek::binding {

void result_failed(std::source_location where) {
    display_pending_error();
    fail("Python API call failed", where);
}

void prefault_large_output(void* data, std::size_t bytes) noexcept {
    constexpr int populate_write = 23;  // MADV_POPULATE_WRITE, Linux 5.14 and later
    if (bytes < (std::size_t{1} << 20)) return;
    auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    auto first = (reinterpret_cast<std::uintptr_t>(data) + page - 1) & ~(page - 1);
    auto last = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(page - 1);
    // Only advice: an older kernel refuses it and the pages fault in as they are written.
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, populate_write);
}

}  // namespace tolmek::binding
