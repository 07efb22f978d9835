#pragma once
// How the engine's load reads each column of table Automation: the field it fills (16-bit,
// 32-bit, byte or text), the value Null gives, and the replacement of a value above the limit.
#include <cstdint>
#include <optional>
#include <string>

namespace qtx::schedule {

enum class FieldKind { Int16, Int32, Byte, Text };

struct LoadedColumn {
    const char* Name;
    FieldKind Kind;
    int64_t NullValue;  // numbers; -1 for Number (Null is a load failure)
    int64_t Limit;      // a value above it is replaced (numbers)
    int64_t Replacement;
    const char* NullText;  // texts
};

// The rule for a column the engine loads, or nullptr for a column it does not load.
const LoadedColumn* FindLoadedColumn(const std::string& name);
// Every column the engine loads, in the loader's order.
const LoadedColumn* LoadedColumns(size_t& count);

}  // namespace qtx::schedule
