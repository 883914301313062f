// Results that cannot be made.
#include "binding/result.hpp"

namespace tolmek::binding {

void result_failed(std::source_location where) {
    display_pending_error();
    fail("Python API call failed", where);
}

}  // namespace tolmek::binding
