#include "database/EngineSettings.h"

#include <strings.h>

#include <charconv>

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

const char* const CreateTableSql =
    "CREATE TABLE IF NOT EXISTS Settings (Name TEXT PRIMARY KEY COLLATE NOCASE, Value TEXT)";
const char* const StoreSql =
    "INSERT INTO Settings (Name, Value) VALUES (?1, ?2)"
    " ON CONFLICT(Name) DO UPDATE SET Value = excluded.Value";

std::optional<int64_t> StoredValue(const Known& setting, std::string_view text) {
    int64_t n = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || n < setting.Min ||
        n > setting.Max)
        return std::nullopt;
    return n;
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
        const std::string text = row[1].kind == RawValue::Integer ? std::to_string(row[1].integer)
                                 : row[1].kind == RawValue::Text  ? row[1].bytes
                                                                  : std::string();
        if (const auto v = StoredValue(*k, text))
            out[k->Name] = *v;
    }
    return out;
}

void WriteSetting(Database& db, const Known& setting, int64_t value) {
    db.Execute(CreateTableSql);
    db.Execute(StoreSql, {DbValue(std::string(setting.Name)), DbValue(std::to_string(value))});
}

}  // namespace qtx::settings
