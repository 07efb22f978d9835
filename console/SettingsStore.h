#pragma once
// The engine's settings in the event database (tables Server, Info and Settings) in the console's
// JSON form, read and changed in one transaction each:
//   {"server": {"address": "127.0.0.1", "port": 1250},
//    "slave": {"address": "0.0.0.0", "port": 1250},
//    "taskViewFolder": "", "startMinimized": false,
//    "confirmWithin": 1000, "linkAlarmAfter": 10}      (the Settings table; defaults when unset)
// A setting whose column the file does not have yet (an old schema) reads as null and cannot be
// changed until the engine has upgraded the file.
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace qtx::console {

class SqliteFile;

struct FieldError {
    std::string Field;
    std::string Message;
};

class SettingsStore {
  public:
    // folder ends in "/"; the database is its "QTXAutomation.mdb".
    explicit SettingsStore(std::string folder);

    // Throws ApiError 503 when the database is missing or unreadable.
    nlohmann::json Read();

    // Changes the settings given in change (any subset of the form above). Throws ApiError 400
    // for malformed input (unknown field, wrong type); returns the rule errors, in which case
    // nothing is written. On success before and after hold the settings around the change.
    // beforeCommit is given them once the change is made but not yet committed; whatever it
    // throws rolls the change back (the audit line of the change is written there).
    using BeforeCommit =
        std::function<void(const nlohmann::json& before, const nlohmann::json& after)>;
    std::vector<FieldError> Update(const nlohmann::json& change, nlohmann::json& before,
                                   nlohmann::json& after, const BeforeCommit& beforeCommit = {});

    // A dotted IPv4 address: four decimal numbers 0 to 255. Gives the plain form (no leading
    // zeros) in normalised.
    static bool StrictIPv4(const std::string& text, std::string& normalised);

  private:
    nlohmann::json ReadFrom(SqliteFile& file);

    std::string folder_;
    std::string dbPath_;
};

}  // namespace qtx::console
