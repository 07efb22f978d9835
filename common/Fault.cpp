#include "common/Fault.h"

#include <exception>
#include <new>

#include "common/FaultNumbers.h"

namespace qtx {

FaultInFlight CurrentFault() {
    std::exception_ptr current = std::current_exception();
    if (!current)
        return {};
    try {
        std::rethrow_exception(current);
    } catch (const Fault& f) {
        return {f.Number, f.Description};
    } catch (const std::bad_alloc&) {
        return {faults::OutOfMemory, "Out of memory"};
    } catch (const std::exception& e) {
        return {faults::InternalError, e.what()};
    } catch (...) {
        return {faults::InternalError, "Internal error"};
    }
}

}  // namespace qtx
