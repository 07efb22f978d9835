#pragma once
// Checked conversions and indexing: the old run-time raised these faults by itself, so the engine
// raises them too instead of wrapping or reading past an array.
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "common/Fault.h"
#include "common/FaultNumbers.h"

namespace qtx {

[[noreturn]] inline void RaiseOverflow() {
    throw Fault(faults::Overflow, "Overflow");
}
[[noreturn]] inline void RaiseSubscript() {
    throw Fault(faults::SubscriptOutOfRange, "Subscript out of range");
}
[[noreturn]] inline void RaiseTypeMismatch() {
    throw Fault(faults::TypeMismatch, "Type mismatch");
}

inline int16_t ToInt16(int64_t v) {
    if (v < std::numeric_limits<int16_t>::min() || v > std::numeric_limits<int16_t>::max())
        RaiseOverflow();
    return static_cast<int16_t>(v);
}

inline int32_t ToInt32(int64_t v) {
    if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
        RaiseOverflow();
    return static_cast<int32_t>(v);
}

inline uint8_t ToByte(int64_t v) {
    if (v < 0 || v > 255)
        RaiseOverflow();
    return static_cast<uint8_t>(v);
}

// Element i of v; fault 9 when i is outside 0 .. size - 1.
template <typename T>
T& At(std::vector<T>& v, int64_t i) {
    if (i < 0 || static_cast<uint64_t>(i) >= v.size())
        RaiseSubscript();
    return v[static_cast<size_t>(i)];
}
template <typename T>
const T& At(const std::vector<T>& v, int64_t i) {
    if (i < 0 || static_cast<uint64_t>(i) >= v.size())
        RaiseSubscript();
    return v[static_cast<size_t>(i)];
}

// A text read as a whole number the way the old run-time did: leading and trailing blanks are
// ignored, an optional sign, decimal digits; anything else (an empty text included) is fault 13.
// A value outside 32 bits is fault 6.
int32_t TextToLong(const std::string& text);

}  // namespace qtx
