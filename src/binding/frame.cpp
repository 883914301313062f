// Mapping C++ exceptions to Python errors at the boundary.
#include "binding/frame.hpp"

#include <exception>
#include <new>

namespace tolmek::binding {

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (PythonError& error) {
        error.restore();
    } catch (const InternalFailure& failure) {
        raise_internal_failure(failure);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_internal_failure(InternalFailure{e.what(), {}});
    } catch (...) {
        raise_internal_failure(InternalFailure{});
    }
}

}  // namespace tolmek::binding
