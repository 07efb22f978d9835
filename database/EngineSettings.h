#pragma once
// The engine's numeric settings that the Server table has no column for, in a table of their own
// beside it ("Settings": one row per setting, Name and Value), which older programs never read.
// A setting that is missing, or whose stored value is not a number in its range, has its default.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qtx {

class Database;

namespace settings {

inline constexpr const char* Table = "Settings";
inline constexpr const char* ConfirmWithin = "ConfirmWithin";    // ms; 0 = off
inline constexpr const char* LinkAlarmAfter = "LinkAlarmAfter";  // s

struct Known {
    const char* Name;
    int64_t Min, Max, Default;
    const char* Unit;  // for messages: "milliseconds", "seconds"
};
// Every setting the table holds, with its range and default.
const std::vector<Known>& KnownSettings();
// The setting of that name (case-insensitive), or nullptr.
const Known* FindKnown(std::string_view name);

// The table's statements, for writers with their own connection (the console): the table made
// when missing, and one setting stored (?1 its name, ?2 its value as text).
extern const char* const CreateTableSql;
extern const char* const StoreSql;
// The value a stored text gives (nullopt: not a whole number in the setting's range, so the
// default applies).
std::optional<int64_t> StoredValue(const Known& setting, std::string_view text);

// Every known setting's value as stored (the default when missing or out of range). A file
// without the table gives the defaults. Faults of the database reach the caller.
std::map<std::string, int64_t> ReadSettings(Database& db);
// Stores one known setting (the table made when missing); the value must be in range (the
// caller checks, see the shared rules). Faults reach the caller.
void WriteSetting(Database& db, const Known& setting, int64_t value);

}  // namespace settings
}  // namespace qtx
