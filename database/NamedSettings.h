#pragma once
// Settings that older programs do not know, one row each in the event database's table Settings
// (Name, Value): a table older programs ignore. Each setting has its range and default here.
#include <optional>
#include <string>
#include <vector>

#include "database/DBEngine.h"

namespace qtx {

inline constexpr const char* NamedSettingsTable = "Settings";

struct NamedSetting {
    const char* Name;
    int Min, Max, Default;
};
// ConfirmWithin (milliseconds, 0 off) and LinkAlarmAfter (seconds).
const std::vector<NamedSetting>& NamedSettings();
const NamedSetting* FindNamedSetting(const std::string& name);

// The stored value, or the default when the table, the row or a valid value is missing.
int ReadNamedSetting(Database& db, const NamedSetting& s);
// Stores the value (making the table when missing); throws std::invalid_argument when it is not
// a whole number in range.
void WriteNamedSetting(Database& db, const NamedSetting& s, const std::string& value);

}  // namespace qtx
