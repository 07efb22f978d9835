#include <cmath>
#include <cstdio>
#include <limits>

#include "common/Checked.h"
#include "common/Fault.h"
#include "common/FaultNumbers.h"
#include "database/DBEngine.h"

namespace qtx {

namespace {
[[noreturn]] void RaiseNull() {
    throw Fault(faults::InvalidUseOfNull, "Invalid use of Null");
}
}  // namespace

int64_t DbValue::AsNumber() const {
    if (IsNull())
        RaiseNull();
    if (const int64_t* n = std::get_if<int64_t>(&v_))
        return *n;
    if (const double* d = std::get_if<double>(&v_)) {
        // A floating value taken as a whole number rounds half to even, as the old run-time did.
        double r = std::nearbyint(*d);
        if (!(r >= -9.2e18 && r <= 9.2e18))
            RaiseOverflow();
        return static_cast<int64_t>(r);
    }
    return TextToLong(std::get<std::string>(v_));
}

std::string DbValue::AsText() const {
    if (IsNull())
        RaiseNull();
    if (const int64_t* n = std::get_if<int64_t>(&v_))
        return std::to_string(*n);
    if (const double* d = std::get_if<double>(&v_)) {
        char buf[40];
        std::snprintf(buf, sizeof buf, "%.15g", *d);
        return buf;
    }
    return std::get<std::string>(v_);
}

}  // namespace qtx
