// The group's schedule between etcd and this member's file, on a thread of its own.
#include "cluster/GroupSchedule.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "alarms/AlarmRoutes.h"
#include "common/Fault.h"
#include "common/Text.h"
#include "database/DBEngine.h"
#include "database/EngineSettings.h"
#include "schedule/DateStore.h"

namespace qtx::cluster {

namespace {

using nlohmann::json;

constexpr const char* kAutomation = "Automation";
constexpr size_t kBatch = 64;  // keys per etcd transaction (etcd allows 128 operations)

std::string QuoteTable(const std::string& name) {
    return "\"" + name + "\"";
}

const std::string& Deleted() {
    static const std::string d = json{{"deleted", true}}.dump();
    return d;
}

std::string Dump(const json& j) {
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

using etcd::At;
using etcd::Get;

std::string Text(const json& j, const char* key) {
    const json& v = Get(j, key);
    return v.is_string() ? v.get<std::string>() : std::string();
}

json ValueOf(const RawValue& v) {
    switch (v.kind) {
        case RawValue::Integer:
            return v.integer;
        case RawValue::Real:
            return v.real;
        case RawValue::Text:
            return v.bytes;
        case RawValue::Blob:
            return json{{"blob", etcd::Base64(v.bytes)}};
        case RawValue::Null:
            break;
    }
    return nullptr;
}

DbValue ParamOf(const json& v) {
    if (v.is_number_integer())
        return DbValue(v.get<int64_t>());
    if (v.is_number())
        return DbValue(v.get<double>());
    if (v.is_string())
        return DbValue(Utf8ToCp1252(v.get<std::string>()));  // Execute converts it back
    return DbValue();
}

std::string TableSql(Database& db, const std::string& table) {
    const auto rows = db.QueryRaw("SELECT sql FROM sqlite_master WHERE type='table' AND name='" +
                                  table + "' COLLATE NOCASE");
    return rows.empty() || rows[0].empty() ? std::string() : rows[0][0].bytes;
}

// Every row of a table as objects of column name to value, in rowid order.
std::vector<json> Rows(Database& db, const std::string& table, const std::string& where = {}) {
    std::vector<json> out;
    if (!db.HasTable(table))
        return out;
    const TableDef def = db.TableDefs(table);
    for (const auto& row :
         db.QueryRaw("SELECT * FROM " + QuoteTable(table) + where + " ORDER BY rowid")) {
        json o = json::object();
        for (size_t i = 0; i < row.size() && i < def.Fields().size(); ++i)
            o[def.Fields()[i].Name] = ValueOf(row[i]);
        out.push_back(std::move(o));
    }
    return out;
}

void Insert(Database& db, const std::string& table, const json& row) {
    const TableDef def = db.TableDefs(table);
    std::string cols, marks;
    std::vector<DbValue> params;
    for (const FieldDef& f : def.Fields()) {
        const auto it = row.find(f.Name);
        if (it == row.end())
            continue;
        params.push_back(ParamOf(*it));
        cols += (cols.empty() ? "\"" : ", \"") + f.Name + "\"";
        marks += (marks.empty() ? "?" : ", ?") + std::to_string(params.size());
    }
    if (!params.empty())
        db.Execute("INSERT INTO " + QuoteTable(table) + " (" + cols + ") VALUES (" + marks + ")",
                   params);
}

json Sorted(std::vector<json> rows) {
    std::sort(rows.begin(), rows.end(),
              [](const json& a, const json& b) { return Dump(a) < Dump(b); });
    return json(std::move(rows));
}

int32_t NumberOfKey(const std::string& key) {
    return key.rfind("event/", 0) == 0 ? std::atoi(key.c_str() + 6) : 0;
}

// A version of a key's value in words: its title and the columns that differ from base.
std::string Words(const std::string& base, const std::string& value) {
    if (value == Deleted())
        return "deleted";
    const json b = json::parse(base, nullptr, false);
    const json v = json::parse(value, nullptr, false);
    const json& rows = Get(v, "rows");
    const json& baseRows = Get(b, "rows");
    std::string out;
    if (rows.is_array() && !rows.empty() && rows[0].is_object()) {
        const json& r0 = rows[0];
        const json& b0 = baseRows.is_array() && !baseRows.empty() ? baseRows[0] : json();
        for (auto it = r0.begin(); it != r0.end(); ++it)
            if (!b0.is_object() || !b0.contains(it.key()) || b0[it.key()] != it.value())
                out += (out.empty() ? "" : ", ") + it.key() + " " + Dump(it.value());
    }
    for (const char* part : {"dates", "calendars"})
        if (Get(v, part) != Get(b, part))
            out += (out.empty() ? "" : ", ") + std::string(part) + " " + Dump(Get(v, part));
    if (out.empty())
        out = value.size() > 200 ? value.substr(0, 200) + "..." : value;
    return out;
}

std::string WhatOf(const std::string& key, const std::string& value) {
    if (const int32_t n = NumberOfKey(key)) {
        const json& rows = Get(json::parse(value, nullptr, false), "rows");
        std::string title;
        if (rows.is_array() && !rows.empty() && Get(rows[0], "Title").is_string())
            title = " \"" + Get(rows[0], "Title").get<std::string>() + "\"";
        return "event " + std::to_string(n) + title;
    }
    if (key.rfind("calendar/", 0) == 0)
        return "calendar " + key.substr(9);
    return key == "routes" ? "alarm routes" : key;
}

json Compare(const std::string& key, int64_t mod) {
    return {{"target", "MOD"},
            {"key", etcd::Base64(key)},
            {"result", "EQUAL"},
            {"mod_revision", std::to_string(mod)}};
}

json Put(const std::string& key, const std::string& value) {
    return {{"request_put", {{"key", etcd::Base64(key)}, {"value", etcd::Base64(value)}}}};
}

}  // namespace

GroupSchedule::GroupSchedule(std::string dbPath, const GroupConfig& config)
    : dbPath_(std::move(dbPath)),
      group_(config.Group),
      node_(config.Node),
      lease_(config.Lease),
      client_(std::make_unique<etcd::Client>(config.Etcd,
                                             etcd::Tls{config.TlsCa, config.TlsCert, config.TlsKey},
                                             etcd::PerTryTimeout(config.Lease))) {
    thread_ = std::jthread([this](std::stop_token stop) { Run(stop); });
}

void GroupSchedule::Run(std::stop_token stop) {
    std::mutex waitMu;
    while (!stop.stop_requested()) {
        const auto next = etcd::Clock::now() + kSyncEvery;
        Step(*client_, etcd::Clock::now() + lease_ / 2, stop);
        std::unique_lock lock(waitMu);
        wake_.wait_until(lock, stop, next, [] { return false; });
    }
}

GroupSchedule::Stamp GroupSchedule::StampOf(Database& db) const {
    Stamp s;
    s.Counter = db.ChangeCounter();
    struct stat st {};
    if (::stat(dbPath_.c_str(), &st) == 0) {
        s.Inode = static_cast<int64_t>(st.st_ino);
        s.Size = static_cast<int64_t>(st.st_size);
        s.Mtime = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    }
    return s;
}

GroupSchedule::Stamp GroupSchedule::Current() {
    if (::access(dbPath_.c_str(), F_OK) != 0)
        return {};
    DBEngine engine;
    Database db = engine.OpenDatabase(dbPath_);
    return StampOf(db);
}

std::optional<GroupSchedule::State> GroupSchedule::ReadFile() {
    struct stat st {};
    present_ = ::stat(dbPath_.c_str(), &st) == 0;
    if (!present_)
        return std::nullopt;
    DBEngine engine;
    Database db = engine.OpenDatabase(dbPath_);
    db.BeginRead();
    const Stamp stamp = StampOf(db);
    State s;
    std::map<int64_t, json> events;
    auto event = [&](const json& row) -> json* {
        const json& n = Get(row, "Number");
        if (!n.is_number_integer())
            return nullptr;
        json& e = events[n.get<int64_t>()];
        if (e.is_null())
            e = {{"rows", json::array()}, {"dates", nullptr}, {"calendars", json::array()}};
        return &e;
    };
    for (json& r : Rows(db, kAutomation))
        if (json* e = event(r))
            (*e)["rows"].push_back(std::move(r));
    for (json& r : Rows(db, schedule::EventDatesTable))
        if (json* e = event(r))
            (*e)["dates"] = std::move(r);
    for (json& r : Rows(db, schedule::EventCalendarsTable))
        if (json* e = event(r))
            (*e)["calendars"].push_back(std::move(r));
    for (auto& [n, e] : events) {
        e["rows"] = Sorted(e["rows"].get<std::vector<json>>());
        e["calendars"] = Sorted(e["calendars"].get<std::vector<json>>());
        s["event/" + std::to_string(n)] = Dump(e);
    }
    std::map<std::string, json> calendars;
    for (json& r : Rows(db, schedule::CalendarsTable))
        if (Get(r, "Name").is_string())
            calendars[r["Name"].get<std::string>()] = {{"calendar", r}, {"dates", json::array()}};
    for (json& r : Rows(db, schedule::CalendarDatesTable)) {
        const auto it = Get(r, "Calendar").is_string()
                            ? calendars.find(r["Calendar"].get<std::string>())
                            : calendars.end();
        if (it != calendars.end())
            it->second["dates"].push_back(std::move(r));
    }
    for (auto& [name, c] : calendars) {
        c["dates"] = Sorted(c["dates"].get<std::vector<json>>());
        s["calendar/" + name] = Dump(c);
    }
    if (db.HasTable(alarms::RouteTable))
        s["routes"] = Dump(
            {{"ddl", TableSql(db, alarms::RouteTable)}, {"rows", Rows(db, alarms::RouteTable)}});
    if (db.HasTable(settings::Table)) {
        json v = {{"ddl", TableSql(db, settings::Table)}};
        for (const char* name : {settings::ConfirmWithin, settings::LinkAlarmAfter}) {
            const auto rows = db.QueryRaw("SELECT Value FROM " + QuoteTable(settings::Table) +
                                          " WHERE Name = '" + name + "'");
            v[name] = rows.empty() || rows[0].empty() ? json() : ValueOf(rows[0][0]);
        }
        s["settings"] = Dump(v);
    }
    db.CommitTrans();
    stamp_ = stamp;
    return s;
}

bool GroupSchedule::WriteFile(const State& values, bool evenIfChanged) {
    if (values.empty())
        return true;
    DBEngine engine;
    Database db = engine.OpenDatabase(dbPath_);
    db.BeginTrans();
    const bool others = !(StampOf(db) == stamp_);
    if (others && !evenIfChanged) {
        db.Rollback();
        return false;
    }
    for (const auto& [key, text] : values) {
        const json v = json::parse(text, nullptr, false);
        const bool gone = text == Deleted() || !v.is_object();
        if (const int32_t n = NumberOfKey(key)) {
            const std::vector<DbValue> p{DbValue(int64_t{n})};
            if (!gone && (!Get(v, "dates").is_null() || !Get(v, "calendars").empty()))
                schedule::EnsureDateTables(db);
            db.Execute("DELETE FROM " + QuoteTable(kAutomation) + " WHERE Number = ?1", p);
            for (const char* t : {schedule::EventDatesTable, schedule::EventCalendarsTable})
                if (db.HasTable(t))
                    db.Execute("DELETE FROM " + QuoteTable(t) + " WHERE Number = ?1", p);
            if (gone)
                continue;
            for (const json& r : Get(v, "rows"))
                Insert(db, kAutomation, r);
            if (!Get(v, "dates").is_null())
                Insert(db, schedule::EventDatesTable, Get(v, "dates"));
            for (const json& r : Get(v, "calendars"))
                Insert(db, schedule::EventCalendarsTable, r);
        } else if (key.rfind("calendar/", 0) == 0) {
            const std::vector<DbValue> p{DbValue(Utf8ToCp1252(key.substr(9)))};
            if (!gone)
                schedule::EnsureDateTables(db);
            if (db.HasTable(schedule::CalendarsTable)) {
                db.Execute(
                    "DELETE FROM " + QuoteTable(schedule::CalendarsTable) + " WHERE Name = ?1", p);
                db.Execute("DELETE FROM " + QuoteTable(schedule::CalendarDatesTable) +
                               " WHERE Calendar = ?1",
                           p);
            }
            if (gone)
                continue;
            Insert(db, schedule::CalendarsTable, Get(v, "calendar"));
            for (const json& r : Get(v, "dates"))
                Insert(db, schedule::CalendarDatesTable, r);
        } else if (key == "routes" || key == "settings") {
            const std::string table = key == "routes" ? alarms::RouteTable : settings::Table;
            if (gone)
                continue;  // a member without the table keeps the others' as they are
            if (!db.HasTable(table) && Get(v, "ddl").is_string())
                db.Execute(Get(v, "ddl").get<std::string>());
            if (key == "routes") {
                db.Execute("DELETE FROM " + QuoteTable(table));
                for (const json& r : Get(v, "rows"))
                    Insert(db, table, r);
                continue;
            }
            for (const char* name : {settings::ConfirmWithin, settings::LinkAlarmAfter}) {
                db.Execute("DELETE FROM " + QuoteTable(table) + " WHERE Name = ?1", {name});
                if (!Get(v, name).is_null())
                    Insert(db, table, {{"Name", name}, {"Value", Get(v, name)}});
            }
        }
    }
    db.CommitTrans();
    // Another program's change made before this write is still to be published: the stamp
    // left as it was makes the next round read the file again.
    if (!others)
        stamp_ = StampOf(db);
    return true;
}

bool GroupSchedule::Step(etcd::Client& client, etcd::Clock::time_point deadline,
                         std::stop_token stop) {
    try {
        if (!caughtUp_)
            return CatchUp(client, deadline, stop);
        if (!present_ && ::access(dbPath_.c_str(), F_OK) != 0)
            return true;
        return Publish(client, deadline, stop) && Apply(client, deadline, stop);
    } catch (const std::exception&) {
        return false;  // the file is busy or broken, or an answer malformed: again next round
    }
}

bool GroupSchedule::CatchUp(etcd::Client& client, etcd::Clock::time_point deadline,
                            std::stop_token stop) {
    const std::string prefix = Prefix();
    const std::string seededKey = "qtx/" + group_ + "/seeded";
    const json read = {
        {"success",
         {{{"request_range",
            {{"key", etcd::Base64(prefix)}, {"range_end", etcd::Base64(etcd::PrefixEnd(prefix))}}}},
          {{"request_range", {{"key", etcd::Base64(seededKey)}}}}}}};
    const etcd::Reply r = client.Call("/v3/kv/txn", read, deadline, stop);
    if (!r)
        return false;
    const std::optional<State> local = ReadFile();
    if (!local) {
        caughtUp_ = true;  // no file: nothing of this member's to share
        return true;
    }
    const json& responses = Get(r.Body, "responses");
    const json& kvs = Get(Get(At(responses, 0), "response_range"), "kvs");
    const json& seeded = Get(Get(At(responses, 1), "response_range"), "kvs");
    const bool seededByUs =
        seeded.is_array() && !seeded.empty() && etcd::Unbase64(Text(seeded[0], "value")) == node_;
    if (!seeded.is_array() || seeded.empty() || seededByUs) {
        if (!seededByUs) {
            const json claim = {{"compare",
                                 {{{"target", "CREATE"},
                                   {"key", etcd::Base64(seededKey)},
                                   {"result", "EQUAL"},
                                   {"create_revision", "0"}}}},
                                {"success", {Put(seededKey, node_)}}};
            const etcd::Reply c = client.Call("/v3/kv/txn", claim, deadline, stop);
            if (!c)
                return false;
            if (Get(c.Body, "succeeded") != true)
                return false;  // another member seeds: take its schedule next round
        }
        return Seed(client, *local, deadline, stop);
    }
    // The group's schedule wins: written into this file, one notice per key that differed.
    State group;
    std::map<std::string, int64_t> mods;
    if (kvs.is_array())
        for (const json& kv : kvs) {
            const std::string key = etcd::Unbase64(Text(kv, "key"));
            group[key.substr(prefix.size())] = etcd::Unbase64(Text(kv, "value"));
            mods[key.substr(prefix.size())] = etcd::Int(kv, "mod_revision");
        }
    State toWrite;
    std::set<std::string> keys;
    for (const auto& [k, v] : *local)
        keys.insert(k);
    for (const auto& [k, v] : group)
        keys.insert(k);
    for (const std::string& k : keys) {
        const auto l = local->find(k);
        const auto g = group.find(k);
        const std::string& mine = l == local->end() ? Deleted() : l->second;
        const std::string& theirs = g == group.end() ? Deleted() : g->second;
        if (mine == theirs)
            continue;
        toWrite[k] = theirs;
        Notice(k, mine, theirs, false);
    }
    WriteFile(toWrite, true);
    {
        std::lock_guard g(mu_);
        held_.clear();
        for (const auto& [k, v] : group)
            held_[k] = {v, mods[k]};
    }
    revision_ = etcd::Int(Get(r.Body, "header"), "revision");
    caughtUp_ = true;
    return true;
}

bool GroupSchedule::Seed(etcd::Client& client, const State& local, etcd::Clock::time_point deadline,
                         std::stop_token stop) {
    std::map<std::string, Held> held;
    std::vector<std::pair<std::string, std::string>> all(local.begin(), local.end());
    for (size_t i = 0; i < all.size(); i += kBatch) {
        json ops = json::array();
        const size_t end = std::min(all.size(), i + kBatch);
        for (size_t j = i; j < end; ++j)
            ops.push_back(Put(Prefix() + all[j].first, all[j].second));
        const etcd::Reply r = client.Call("/v3/kv/txn", {{"success", ops}}, deadline, stop);
        if (!r)
            return false;  // again next round, from the start
        const int64_t rev = etcd::Int(Get(r.Body, "header"), "revision");
        for (size_t j = i; j < end; ++j)
            held[all[j].first] = {all[j].second, rev};
        revision_ = rev;
    }
    std::lock_guard g(mu_);
    held_ = std::move(held);
    caughtUp_ = true;
    return true;
}

bool GroupSchedule::Publish(etcd::Client& client, etcd::Clock::time_point deadline,
                            std::stop_token stop) {
    if (Current() == stamp_)
        return true;
    const std::optional<State> local = ReadFile();
    if (!local)
        return true;
    std::vector<std::pair<std::string, std::string>> changed;  // key, this file's value
    std::map<std::string, Held> base;
    {
        std::lock_guard g(mu_);
        std::set<std::string> keys;
        for (const auto& [k, v] : *local)
            keys.insert(k);
        for (const auto& [k, h] : held_)
            keys.insert(k);
        for (const std::string& k : keys) {
            const auto l = local->find(k);
            const auto h = held_.find(k);
            const std::string& mine = l == local->end() ? Deleted() : l->second;
            const Held was = h == held_.end() ? Held{Deleted(), 0} : h->second;
            if (mine != was.Value) {
                changed.emplace_back(k, mine);
                base[k] = was;
            }
        }
    }
    State lost;  // the group's versions of keys whose change here came second
    for (size_t i = 0; i < changed.size(); i += kBatch) {
        const size_t end = std::min(changed.size(), i + kBatch);
        auto guarded = [&](size_t from, size_t to) {
            json compare = json::array(), success = json::array(), failure = json::array();
            for (size_t j = from; j < to; ++j) {
                const std::string key = Prefix() + changed[j].first;
                compare.push_back(Compare(key, base[changed[j].first].Mod));
                success.push_back(Put(key, changed[j].second));
                failure.push_back({{"request_range", {{"key", etcd::Base64(key)}}}});
            }
            return client.Call("/v3/kv/txn",
                               {{"compare", compare}, {"success", success}, {"failure", failure}},
                               deadline, stop);
        };
        const etcd::Reply all = guarded(i, end);
        if (!all)
            return false;
        if (Get(all.Body, "succeeded") == true) {
            const int64_t rev = etcd::Int(Get(all.Body, "header"), "revision");
            std::lock_guard g(mu_);
            for (size_t j = i; j < end; ++j)
                held_[changed[j].first] = {changed[j].second, rev};
            continue;
        }
        // Some came second: each on its own, so the rest still go.
        for (size_t j = i; j < end; ++j) {
            const etcd::Reply one = guarded(j, j + 1);
            if (!one)
                return false;
            const std::string& k = changed[j].first;
            if (Get(one.Body, "succeeded") == true) {
                std::lock_guard g(mu_);
                held_[k] = {changed[j].second, etcd::Int(Get(one.Body, "header"), "revision")};
                continue;
            }
            const json& kvs = Get(Get(At(Get(one.Body, "responses"), 0), "response_range"), "kvs");
            Held theirs{Deleted(), 0};
            if (kvs.is_array() && !kvs.empty())
                theirs = {etcd::Unbase64(Text(kvs[0], "value")), etcd::Int(kvs[0], "mod_revision")};
            {
                std::lock_guard g(mu_);
                held_[k] = theirs;
            }
            if (theirs.Value == changed[j].second)
                continue;  // the same change made on both
            lost[k] = theirs.Value;
            Notice(k, changed[j].second, theirs.Value, true);
        }
    }
    return WriteFile(lost, true);
}

bool GroupSchedule::Apply(etcd::Client& client, etcd::Clock::time_point deadline,
                          std::stop_token stop) {
    const std::string prefix = Prefix();
    const etcd::Reply r = client.Call("/v3/kv/range",
                                      {{"key", etcd::Base64(prefix)},
                                       {"range_end", etcd::Base64(etcd::PrefixEnd(prefix))},
                                       {"min_mod_revision", std::to_string(revision_ + 1)}},
                                      deadline, stop);
    if (!r)
        return false;
    State toWrite;
    std::map<std::string, Held> next;
    {
        std::lock_guard g(mu_);
        const json& kvs = Get(r.Body, "kvs");
        if (kvs.is_array())
            for (const json& kv : kvs) {
                const std::string k = etcd::Unbase64(Text(kv, "key")).substr(prefix.size());
                const Held h{etcd::Unbase64(Text(kv, "value")), etcd::Int(kv, "mod_revision")};
                const auto was = held_.find(k);
                if (was != held_.end() && was->second.Mod >= h.Mod)
                    continue;  // applied already (this member's own put, or a claim's)
                if (was == held_.end() || was->second.Value != h.Value)
                    toWrite[k] = h.Value;
                next[k] = h;
            }
    }
    if (!WriteFile(toWrite, false))
        return true;  // this file changed meanwhile: its changes go out first, next round
    std::lock_guard g(mu_);
    for (auto& [k, h] : next)
        held_[k] = std::move(h);
    revision_ = etcd::Int(Get(r.Body, "header"), "revision");
    return true;
}

namespace {

// The event's value with its marking consumed: a skip (Active 2) made active again, a one-time
// event deleted.
std::optional<std::string> WithConsumed(const std::string& value, Marking consumed) {
    if (consumed == Marking::OneTime)
        return Deleted();
    json v = json::parse(value, nullptr, false);
    if (!v.is_object() || !v["rows"].is_array())
        return std::nullopt;
    for (json& row : v["rows"])
        if (Get(row, "Active") == 2)
            row["Active"] = 1;
    return Dump(v);
}

}  // namespace

std::optional<json> GroupSchedule::ConsumeTxn(int32_t number, Marking consumed) const {
    std::lock_guard g(mu_);
    const std::string k = "event/" + std::to_string(number);
    const auto it = held_.find(k);
    if (consumed == Marking::None || it == held_.end() || it->second.Value == Deleted())
        return std::nullopt;
    const std::optional<std::string> after = WithConsumed(it->second.Value, consumed);
    if (!after)
        return std::nullopt;
    return json{{"request_txn",
                 {{"compare", {Compare(Prefix() + k, it->second.Mod)}},
                  {"success", {Put(Prefix() + k, *after)}}}}};
}

void GroupSchedule::Consumed(int32_t number, Marking consumed, int64_t revision) {
    std::lock_guard g(mu_);
    const auto it = held_.find("event/" + std::to_string(number));
    if (it == held_.end())
        return;
    if (const std::optional<std::string> after = WithConsumed(it->second.Value, consumed))
        it->second = {*after, revision};
}

void GroupSchedule::Notice(const std::string& key, const std::string& mine,
                           const std::string& theirs, bool overwritten) {
    ScheduleNotice n;
    n.Number = NumberOfKey(key);
    n.What = WhatOf(key, theirs == Deleted() ? mine : theirs);
    n.Mine = Words(theirs, mine);
    n.Theirs = Words(mine, theirs);
    n.Overwritten = overwritten;
    std::lock_guard g(mu_);
    notices_.push_back(std::move(n));
}

std::vector<ScheduleNotice> GroupSchedule::TakeNotices() {
    std::lock_guard g(mu_);
    std::vector<ScheduleNotice> out;
    out.swap(notices_);
    return out;
}

}  // namespace qtx::cluster
