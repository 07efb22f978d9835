#include "database/NamedSettings.h"

#include <stdexcept>

namespace qtx {

const std::vector<NamedSetting>& NamedSettings() {
    static const std::vector<NamedSetting> all = {
        {"ConfirmWithin", 0, 60000, 1000},
        {"LinkAlarmAfter", 1, 3600, 10},
    };
    return all;
}

const NamedSetting* FindNamedSetting(const std::string& name) {
    for (const NamedSetting& s : NamedSettings())
        if (name == s.Name)
            return &s;
    return nullptr;
}

namespace {

std::optional<int> InRange(const NamedSetting& s, const std::string& text) {
    if (text.empty() || text.size() > 9 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const int v = std::stoi(text);
    if (v < s.Min || v > s.Max)
        return std::nullopt;
    return v;
}

}  // namespace

int ReadNamedSetting(Database& db, const NamedSetting& s) {
    if (!db.HasTable(NamedSettingsTable))
        return s.Default;
    // The names are this program's own constants, never an operator's text.
    const DbValue v = db.QueryValue(std::string("SELECT Value FROM ") + NamedSettingsTable +
                                    " WHERE Name = '" + s.Name + "'");
    if (v.IsNull())
        return s.Default;
    return InRange(s, v.IsText() ? v.AsText() : std::to_string(v.AsNumber())).value_or(s.Default);
}

void WriteNamedSetting(Database& db, const NamedSetting& s, const std::string& value) {
    if (!InRange(s, value))
        throw std::invalid_argument(std::string(s.Name) + " must be a whole number from " +
                                    std::to_string(s.Min) + " to " + std::to_string(s.Max));
    db.Execute(std::string("CREATE TABLE IF NOT EXISTS ") + NamedSettingsTable +
               " (Name TEXT PRIMARY KEY, Value TEXT)");
    db.Execute(std::string("INSERT OR REPLACE INTO ") + NamedSettingsTable +
                   " (Name, Value) VALUES (?1, ?2)",
               {DbValue(std::string(s.Name)), DbValue(value)});
}

}  // namespace qtx
