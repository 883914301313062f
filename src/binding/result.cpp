// Results that cannot be made.
#include "binding/result.hpp"

#include "platform.hpp"

namespace tolmek::binding {

void result_failed(std::source_location where) {
    display_pending_error();
    fail("Python API call failed", where);
}

void prefault_large_output(void* data, std::size_t bytes) noexcept {
    // A small output takes few page faults; the advice is for large ones.
    if (bytes < (std::size_t{1} << 20)) return;
    platform::prefault_for_writing(data, bytes);
}

}  // namespace tolmek::binding
