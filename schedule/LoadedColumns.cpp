#include "schedule/LoadedColumns.h"

#include <cstdint>
#include <iterator>
#include <map>

#include "schedule/Rows.h"

namespace qtx::schedule {

namespace {

constexpr int64_t I16Max = INT16_MAX, I32Max = INT32_MAX;

const LoadedColumn Columns[] = {
    {"Number", FieldKind::Int16, -1, I16Max, 0, nullptr},
    {"Day", FieldKind::Int16, 0, I16Max, 0, nullptr},
    {"Time", FieldKind::Text, 0, 0, 0, "24:00:00"},
    {"Title", FieldKind::Text, 0, 0, 0, "None"},
    {"SourceChan", FieldKind::Int16, 0, I16Max, 0, nullptr},
    {"DestChan", FieldKind::Int16, 0, I16Max, 0, nullptr},
    {"ReqSource", FieldKind::Int16, 0, I16Max, 0, nullptr},
    {"ReqDest", FieldKind::Int16, 0, I16Max, 0, nullptr},
    {"Active", FieldKind::Int16, 0, 3, 0, nullptr},
    {"Relay", FieldKind::Int16, 0, I16Max, 0, nullptr},
    {"Opto", FieldKind::Int16, 0, I16Max, 0, nullptr},
    {"Salvo", FieldKind::Int16, 0, I16Max, 0, nullptr},
    {"VChan", FieldKind::Int16, 0, I16Max, 0, nullptr},
    {"Gain", FieldKind::Int16, 1024, 2024, 1024, nullptr},
    {"xcontrol", FieldKind::Int16, 0, 3, 0, nullptr},
    {"rcontrol", FieldKind::Int16, 0, 3, 0, nullptr},
    {"scontrol", FieldKind::Int16, 0, 1, 0, nullptr},
    {"vcontrol", FieldKind::Int16, 0, 2, 0, nullptr},
    {"Type", FieldKind::Int16, 0, 3, 0, nullptr},
    {"Condition", FieldKind::Int16, 0, 2, 0, nullptr},
    {"FileName", FieldKind::Text, 0, 0, 0, " "},
    {"FileType", FieldKind::Int16, 0, 3, 0, nullptr},
    {"Message", FieldKind::Text, 0, 0, 0, " "},
    {"mcontrol", FieldKind::Int16, 0, 3, 0, nullptr},
    {"mtype", FieldKind::Int16, 0, 3, 0, nullptr},
    {"Method", FieldKind::Text, 0, 0, 0, " "},
    {"MIPAddress", FieldKind::Text, 0, 0, 0, "0.0.0.0"},
    {"MIPPort", FieldKind::Int32, 0, I32Max, 0, nullptr},
    {"MFrame", FieldKind::Byte, 0, 255, 0, nullptr},
    {"MSlot", FieldKind::Byte, 0, 255, 0, nullptr},
    {"MPort", FieldKind::Byte, 0, 255, 0, nullptr},
    {"MCommPort", FieldKind::Byte, 0, 255, 0, nullptr},
    {"MBaudRate", FieldKind::Int32, 0, I32Max, 0, nullptr},
    {"TriggerSource", FieldKind::Int16, 0, I16Max, 0, nullptr},
    {"TriggerDest", FieldKind::Int16, 0, I16Max, 0, nullptr},
    {"tControl", FieldKind::Int16, 0, 2, 0, nullptr},
    {"Color", FieldKind::Int32, 16777215, I32Max, 0, nullptr},
};

}  // namespace

const LoadedColumn* FindLoadedColumn(const std::string& name) {
    static const std::map<std::string, const LoadedColumn*, ColumnNameLess> byName = [] {
        std::map<std::string, const LoadedColumn*, ColumnNameLess> m;
        for (const LoadedColumn& c : Columns)
            m.emplace(c.Name, &c);
        return m;
    }();
    const auto it = byName.find(name);
    return it == byName.end() ? nullptr : it->second;
}

const LoadedColumn* LoadedColumns(size_t& count) {
    count = std::size(Columns);
    return Columns;
}

}  // namespace qtx::schedule
