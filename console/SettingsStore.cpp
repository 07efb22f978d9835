#include "console/SettingsStore.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <map>

#include "common/Constants.h"
#include "common/Text.h"
#include "console/ApiError.h"
#include "console/SqliteFile.h"
#include "database/EngineSettings.h"
#include "schedule/Rules.h"

namespace qtx::console {

using nlohmann::json;

namespace {

bool HasColumn(const std::vector<std::string>& columns, const std::string& name) {
    for (const std::string& c : columns)
        if (strcasecmp(c.c_str(), name.c_str()) == 0)
            return true;
    return false;
}

json ColumnJson(sqlite3_stmt* s, int i) {
    switch (sqlite3_column_type(s, i)) {
        case SQLITE_NULL:
            return nullptr;
        case SQLITE_INTEGER:
            return sqlite3_column_int64(s, i);
        case SQLITE_FLOAT:
            return sqlite3_column_double(s, i);
        default:
            return std::string(reinterpret_cast<const char*>(sqlite3_column_text(s, i)));
    }
}

// A stored port as a number (SlaveIPPort is a text column), or null.
json PortJson(const json& stored) {
    if (stored.is_number())
        return stored;
    if (stored.is_string()) {
        const std::string& t = stored.get_ref<const std::string&>();
        char* end = nullptr;
        long v = std::strtol(t.c_str(), &end, 10);
        if (!t.empty() && end != nullptr && *end == '\0')
            return v;
        return stored;  // shown as stored, so the operator sees what is wrong
    }
    return nullptr;
}

std::string RealFolder(const std::string& path) {
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr)
        return path;
    return resolved;
}

}  // namespace

SettingsStore::SettingsStore(std::string folder)
    : folder_(std::move(folder)), dbPath_(folder_ + constants::DatabaseFileName) {}

bool SettingsStore::StrictIPv4(const std::string& text, std::string& normalised) {
    std::string out;
    size_t pos = 0;
    for (int part = 0; part < 4; ++part) {
        size_t digits = 0;
        int value = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < 4) {
            value = value * 10 + (text[pos] - '0');
            ++pos;
            ++digits;
        }
        if (digits == 0 || digits > 3 || value > 255)
            return false;
        out += std::to_string(value);
        if (part < 3) {
            if (pos >= text.size() || text[pos] != '.')
                return false;
            ++pos;
            out += '.';
        }
    }
    if (pos != text.size())
        return false;
    normalised = out;
    return true;
}

json SettingsStore::Read() {
    if (access(dbPath_.c_str(), F_OK) != 0)
        throw ApiError(503, dbPath_ + ": there is no event database in the program folder");
    try {
        SqliteFile file(dbPath_);
        return ReadFrom(file);
    } catch (const ApiError&) {
        throw;
    } catch (const std::exception& e) {
        throw ApiError(503, e.what());
    }
}

json SettingsStore::ReadFrom(SqliteFile& file) {
    auto serverColumns = file.Columns("Server");
    auto infoColumns = file.Columns("Info");
    if (serverColumns.empty())
        throw ApiError(503, dbPath_ + ": not an event database (no table Server)");
    auto pick = [&](const std::vector<std::string>& columns, const std::string& table,
                    const std::string& column) -> json {
        if (!HasColumn(columns, column))
            return nullptr;
        Statement s(file,
                    "SELECT \"" + column + "\" FROM \"" + table + "\" ORDER BY rowid LIMIT 1");
        if (s.Step() != SQLITE_ROW)
            return nullptr;
        return ColumnJson(*s, 0);
    };
    json startMin = pick(infoColumns, "Info", "StartMin");
    json taskView = pick(serverColumns, "Server", "TaskViewDB");
    // The Settings table's values as the engine reads them (defaults when missing).
    std::map<std::string, int64_t> engine;
    for (const settings::Known& k : settings::KnownSettings())
        engine[k.Name] = k.Default;
    if (!file.Columns(settings::Table).empty()) {
        Statement s(file, std::string("SELECT Name, Value FROM ") + settings::Table);
        while (s.Step() == SQLITE_ROW) {
            const auto* name = sqlite3_column_text(*s, 0);
            const auto* value = sqlite3_column_text(*s, 1);
            const settings::Known* k =
                name != nullptr ? settings::FindKnown(reinterpret_cast<const char*>(name))
                                : nullptr;
            if (k != nullptr && value != nullptr)
                if (const auto v = settings::StoredValue(*k, reinterpret_cast<const char*>(value)))
                    engine[k->Name] = *v;
        }
    }
    return json{{"confirmWithin", engine.at(settings::ConfirmWithin)},
                {"linkAlarmAfter", engine.at(settings::LinkAlarmAfter)},
                {"server",
                 {{"address", pick(serverColumns, "Server", "IPAddr")},
                  {"port", PortJson(pick(serverColumns, "Server", "IPPort"))}}},
                {"slave",
                 {{"address", pick(serverColumns, "Server", "SlaveIPAddr")},
                  {"port", PortJson(pick(serverColumns, "Server", "SlaveIPPort"))}}},
                {"taskViewFolder", taskView},
                {"startMinimized", startMin.is_null()     ? json(nullptr)
                                   : startMin.is_number() ? json(startMin.get<double>() != 0)
                                                          : json(false)}};
}

std::vector<FieldError> SettingsStore::Update(const json& change, json& before, json& after,
                                              const BeforeCommit& beforeCommit) {
    if (!change.is_object())
        throw ApiError(400, "settings: expected a JSON object");
    std::vector<FieldError> errors;
    // Column name, value to bind (text or integer), for every setting given.
    struct Assign {
        std::string Table, Column;
        json Value;
    };
    std::vector<Assign> assigns;

    auto address = [&](const json& v, const std::string& field, const std::string& table,
                       const std::string& column) {
        if (!v.is_string())
            throw ApiError(400, "settings: " + field + " must be a text like \"127.0.0.1\"");
        std::string normal;
        if (!StrictIPv4(v.get<std::string>(), normal))
            errors.push_back({field, "settings: " + field + " \"" + v.get<std::string>() +
                                         "\" is not a dotted IPv4 address (four numbers 0 to "
                                         "255, like 127.0.0.1)"});
        else
            assigns.push_back({table, column, normal});
    };
    auto port = [&](const json& v, const std::string& field, const std::string& table,
                    const std::string& column, bool asText) {
        if (!v.is_number_integer())
            throw ApiError(400, "settings: " + field + " must be a whole number");
        long long p = v.get<long long>();
        if (p < 1 || p > 65535)
            errors.push_back({field, "settings: " + field + " " + std::to_string(p) +
                                         " is not a TCP port (1 to 65535)"});
        else
            assigns.push_back({table, column, asText ? json(std::to_string(p)) : json(p)});
    };
    auto link = [&](const std::string& key, const std::string& addrColumn,
                    const std::string& portColumn, bool portAsText) {
        const json& v = change.at(key);
        if (!v.is_object())
            throw ApiError(400, "settings: " + key + " must be an object with address and port");
        for (auto& [k, item] : v.items()) {
            if (k == "address")
                address(item, key + ".address", "Server", addrColumn);
            else if (k == "port")
                port(item, key + ".port", "Server", portColumn, portAsText);
            else
                throw ApiError(400, "settings: unknown field \"" + key + "." + k + "\"");
        }
    };

    for (auto& [key, v] : change.items()) {
        if (key == "server") {
            link("server", "IPAddr", "IPPort", false);
        } else if (key == "slave") {
            link("slave", "SlaveIPAddr", "SlaveIPPort", true);
        } else if (key == "taskViewFolder") {
            if (!v.is_string())
                throw ApiError(400, "settings: taskViewFolder must be a text (\"\" for no copy)");
            std::string folder = v.get<std::string>();
            while (folder.size() > 1 && folder.back() == '/')
                folder.pop_back();
            std::string bytes = Utf8ToCp1252(folder);
            struct stat st {};
            if (folder.empty()) {
                assigns.push_back({"Server", "TaskViewDB", ""});
            } else if (Cp1252ToUtf8(bytes) != folder || bytes.size() > 255) {
                errors.push_back(
                    {"taskViewFolder",
                     "settings: taskViewFolder \"" + folder +
                         "\" is not allowed (at most 255 characters of Windows-1252)"});
            } else if (folder[0] != '/' || ::stat(folder.c_str(), &st) != 0 ||
                       !S_ISDIR(st.st_mode)) {
                errors.push_back({"taskViewFolder", "settings: taskViewFolder \"" + folder +
                                                        "\" is not an existing folder (an "
                                                        "absolute path, or empty for no copy)"});
            } else if (RealFolder(folder) == RealFolder(folder_)) {
                // The copy is written as QTXAutomation.mdb there: it would overwrite the live file.
                errors.push_back(
                    {"taskViewFolder", "settings: taskViewFolder \"" + folder +
                                           "\" is the program folder; the copy would replace the "
                                           "engine's own database"});
            } else {
                assigns.push_back({"Server", "TaskViewDB", folder});
            }
        } else if (key == "confirmWithin" || key == "linkAlarmAfter") {
            if (!v.is_number_integer())
                throw ApiError(400, "settings: " + key + " must be a whole number");
            assigns.push_back(
                {settings::Table,
                 key == "confirmWithin" ? settings::ConfirmWithin : settings::LinkAlarmAfter,
                 v.get<long long>()});
        } else if (key == "startMinimized") {
            if (!v.is_boolean())
                throw ApiError(400, "settings: startMinimized must be true or false");
            // The Setup window stores -1 for on.
            assigns.push_back({"Info", "StartMin", v.get<bool>() ? -1 : 0});
        } else {
            throw ApiError(400, "settings: unknown field \"" + key + "\"");
        }
    }
    // The shared rules have the last word on every value written.
    static const std::map<std::string, std::string> fieldOf = {
        {"IPAddr", "server.address"},
        {"IPPort", "server.port"},
        {"SlaveIPAddr", "slave.address"},
        {"SlaveIPPort", "slave.port"},
        {"TaskViewDB", "taskViewFolder"},
        {"StartMin", "startMinimized"},
        {settings::ConfirmWithin, "confirmWithin"},
        {settings::LinkAlarmAfter, "linkAlarmAfter"}};
    for (const Assign& a : assigns) {
        std::string text = a.Value.is_string() ? a.Value.get<std::string>() : a.Value.dump();
        for (const schedule::Problem& p : schedule::CheckSetting(a.Column, text))
            errors.push_back({fieldOf.at(a.Column), "settings: " + p.Message});
    }
    if (!errors.empty())
        return errors;

    if (access(dbPath_.c_str(), F_OK) != 0)
        throw ApiError(503, dbPath_ + ": there is no event database in the program folder");
    try {
        SqliteFile file(dbPath_);
        file.Exec("BEGIN IMMEDIATE");
        try {
            before = ReadFrom(file);
            auto serverColumns = file.Columns("Server");
            auto infoColumns = file.Columns("Info");
            for (const Assign& a : assigns) {
                if (a.Table == settings::Table) {
                    file.Exec(settings::CreateTableSql);
                    Statement s(file, settings::StoreSql);
                    sqlite3_bind_text(*s, 1, a.Column.c_str(), -1, SQLITE_TRANSIENT);
                    const std::string value = a.Value.dump();
                    sqlite3_bind_text(*s, 2, value.c_str(), -1, SQLITE_TRANSIENT);
                    s.Step();
                    continue;
                }
                if (!HasColumn(a.Table == "Server" ? serverColumns : infoColumns, a.Column))
                    throw ApiError(409, dbPath_ + ": table " + a.Table + " has no column " +
                                            a.Column +
                                            " yet (an old schema); start the engine once to "
                                            "upgrade the file");
                Statement s(file, "UPDATE \"" + a.Table + "\" SET \"" + a.Column +
                                      "\" = ? WHERE rowid = (SELECT min(rowid) FROM \"" + a.Table +
                                      "\")");
                if (a.Value.is_string())
                    sqlite3_bind_text(*s, 1, a.Value.get_ref<const std::string&>().c_str(), -1,
                                      SQLITE_TRANSIENT);
                else
                    sqlite3_bind_int64(*s, 1, a.Value.get<long long>());
                s.Step();
                if (sqlite3_changes(file.Handle()) == 0)
                    throw ApiError(409, dbPath_ + ": table " + a.Table + " has no row");
            }
            after = ReadFrom(file);  // this connection sees its own uncommitted change
            if (beforeCommit)
                beforeCommit(before, after);
            file.Exec("COMMIT");
        } catch (...) {
            sqlite3_exec(file.Handle(), "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
    } catch (const ApiError&) {
        throw;
    } catch (const std::exception& e) {
        throw ApiError(503, e.what());
    }
    return {};
}

}  // namespace qtx::console
