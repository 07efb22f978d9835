#include "database/EngineSettings.h"

#include <strings.h>

#include "database/DBEngine.h"

namespace qtx::settings {

const std::vector<Known>& KnownSettings() {
    static const std::vector<Known> known = {
        {ConfirmWithin, 0, 60000, 1000, "milliseconds"},
        {LinkAlarmAfter, 1, 3600, 10, "seconds"},
    };
    return known;
}

const Known* FindKnown(std::string_view name) {
    for (const Known& k : KnownSettings())
        if (name.size() == std::string_view(k.Name).size() &&
            ::strncasecmp(name.data(), k.Name, name.size()) == 0)
            return &k;
    return nullptr;
}

std::map<std::string, int64_t> ReadSettings(Database& db) {
    std::map<std::string, int64_t> out;
    for (const Known& k : KnownSettings())
        out[k.Name] = k.Default;
    if (!db.HasTable(Table))
        return out;
    for (const auto& row : db.QueryRaw(std::string("SELECT Name, Value FROM ") + Table)) {
        if (row.size() < 2 || row[0].kind != RawValue::Text)
            continue;
        const Known* k = FindKnown(row[0].bytes);
        if (k == nullptr)
            continue;
        std::optional<int64_t> v;
        if (row[1].kind == RawValue::Integer) {
            v = row[1].integer;
        } else if (row[1].kind == RawValue::Text && !row[1].bytes.empty()) {
            try {
                size_t used = 0;
                const long long n = std::stoll(row[1].bytes, &used);
                if (used == row[1].bytes.size())
                    v = n;
            } catch (...) {
            }
        }
        if (v && *v >= k->Min && *v <= k->Max)
            out[k->Name] = *v;
    }
    return out;
}

void WriteSetting(Database& db, const Known& setting, int64_t value) {
    db.Execute(std::string("CREATE TABLE IF NOT EXISTS ") + Table +
               " (Name TEXT PRIMARY KEY COLLATE NOCASE, Value TEXT)");
    db.Execute(std::string("INSERT INTO ") + Table +
                   " (Name, Value) VALUES (?1, ?2)"
                   " ON CONFLICT(Name) DO UPDATE SET Value = excluded.Value",
               {DbValue(std::string(setting.Name)), DbValue(std::to_string(value))});
}

}  // namespace qtx::settings
