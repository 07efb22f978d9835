#include "schedule/DateStore.h"

#include <limits>

#include "common/Fault.h"
#include "common/FaultNumbers.h"
#include "common/Text.h"
#include "schedule/TransactionScope.h"

namespace qtx::schedule {

namespace {

std::string Where(const char* table, size_t row, const char* column) {
    return std::string(table) + " row " + std::to_string(row + 1) + " column " + column;
}

// A text or Null; anything else faults.
std::optional<std::string> TextOf(const RawValue& v, const char* table, size_t row,
                                  const char* column) {
    if (v.kind == RawValue::Null)
        return std::nullopt;
    if (v.kind != RawValue::Text)
        throw Fault(faults::TypeMismatch, Where(table, row, column) + " is not a text");
    return v.bytes;
}

std::string NeedText(const RawValue& v, const char* table, size_t row, const char* column) {
    auto t = TextOf(v, table, row, column);
    if (!t)
        throw Fault(faults::InvalidUseOfNull, Where(table, row, column) + " is empty");
    return *t;
}

// A whole number within lo..hi; Null, another kind or a value outside faults.
int NeedNumber(const RawValue& v, const char* table, size_t row, const char* column, int lo,
               int hi) {
    if (v.kind != RawValue::Integer)
        throw Fault(faults::TypeMismatch, Where(table, row, column) + " is not a whole number");
    if (v.integer < lo || v.integer > hi)
        throw Fault(faults::Overflow, Where(table, row, column) + " " + std::to_string(v.integer) +
                                          " is outside " + std::to_string(lo) + " to " +
                                          std::to_string(hi));
    return static_cast<int>(v.integer);
}

DbValue Param(const std::string& utf8) {
    return DbValue(Utf8ToCp1252(utf8));
}

DbValue Param(const std::optional<std::string>& utf8) {
    return utf8 ? Param(*utf8) : DbValue();
}

}  // namespace

void EnsureDateTables(Database& db) {
    db.Execute(std::string("CREATE TABLE IF NOT EXISTS ") + EventDatesTable +
               " (Number INTEGER PRIMARY KEY, FromDate TEXT, UntilDate TEXT, EveryWeeks INTEGER,"
               " WeekOf TEXT, Latest TEXT)");
    db.Execute(std::string("CREATE TABLE IF NOT EXISTS ") + EventCalendarsTable +
               " (Number INTEGER NOT NULL, Kind TEXT NOT NULL, Calendar TEXT NOT NULL)");
    db.Execute(std::string("CREATE TABLE IF NOT EXISTS ") + CalendarsTable +
               " (Name TEXT PRIMARY KEY)");
    db.Execute(std::string("CREATE TABLE IF NOT EXISTS ") + CalendarDatesTable +
               " (Calendar TEXT NOT NULL, Date TEXT NOT NULL, Title TEXT,"
               " PRIMARY KEY (Calendar, Date))");
}

std::map<int, DateRules> ReadDateRules(Database& db) {
    std::map<int, DateRules> out;
    if (db.HasTable(EventDatesTable)) {
        const auto rows = db.QueryRaw(std::string("SELECT Number, FromDate, UntilDate, EveryWeeks,"
                                                  " WeekOf, Latest FROM ") +
                                      EventDatesTable + " ORDER BY rowid");
        for (size_t i = 0; i < rows.size(); ++i) {
            const auto& row = rows[i];
            const char* t = EventDatesTable;
            DateRules& r = out[NeedNumber(row[0], t, i, "Number", 1, 32767)];
            r.From = TextOf(row[1], t, i, "FromDate");
            r.Until = TextOf(row[2], t, i, "UntilDate");
            if (row[3].kind != RawValue::Null)
                r.EveryWeeks =
                    NeedNumber(row[3], t, i, "EveryWeeks", std::numeric_limits<int>::min(),
                               std::numeric_limits<int>::max());
            r.WeekOf = TextOf(row[4], t, i, "WeekOf");
            r.Latest = TextOf(row[5], t, i, "Latest");
        }
    }
    if (db.HasTable(EventCalendarsTable)) {
        const auto rows = db.QueryRaw(std::string("SELECT Number, Kind, Calendar FROM ") +
                                      EventCalendarsTable + " ORDER BY rowid");
        for (size_t i = 0; i < rows.size(); ++i) {
            const auto& row = rows[i];
            const char* t = EventCalendarsTable;
            const int number = NeedNumber(row[0], t, i, "Number", 1, 32767);
            const std::string kind = NeedText(row[1], t, i, "Kind");
            const std::string name = NeedText(row[2], t, i, "Calendar");
            if (kind == "except")
                out[number].Except.push_back(name);
            else if (kind == "only")
                out[number].Only.push_back(name);
            else
                throw Fault(faults::TypeMismatch,
                            Where(t, i, "Kind") + " \"" + kind + "\" is not except or only");
        }
    }
    return out;
}

void WriteDateRules(Database& db, int number, const DateRules& r) {
    TransactionScope scope(db);
    if (!r.Empty() || db.HasTable(EventDatesTable)) {
        EnsureDateTables(db);
        DeleteDateRules(db, number);
    }
    if (!r.Empty()) {
        db.Execute(std::string("INSERT INTO ") + EventDatesTable +
                       " (Number, FromDate, UntilDate, EveryWeeks, WeekOf, Latest)"
                       " VALUES (?1, ?2, ?3, ?4, ?5, ?6)",
                   {DbValue(int64_t{number}), Param(r.From), Param(r.Until),
                    r.EveryWeeks ? DbValue(int64_t{*r.EveryWeeks}) : DbValue(), Param(r.WeekOf),
                    Param(r.Latest)});
        for (const auto& [kind, names] :
             {std::pair<const char*, const std::vector<std::string>*>{"except", &r.Except},
              {"only", &r.Only}})
            for (const std::string& name : *names)
                db.Execute(std::string("INSERT INTO ") + EventCalendarsTable +
                               " (Number, Kind, Calendar) VALUES (?1, ?2, ?3)",
                           {DbValue(int64_t{number}), Param(std::string(kind)), Param(name)});
    }
    scope.Commit();
}

void DeleteDateRules(Database& db, int number) {
    for (const char* t : {EventDatesTable, EventCalendarsTable})
        if (db.HasTable(t))
            db.Execute(std::string("DELETE FROM ") + t + " WHERE Number = ?1",
                       {DbValue(int64_t{number})});
}

void ClearDateRules(Database& db) {
    for (const char* t : {EventDatesTable, EventCalendarsTable})
        if (db.HasTable(t))
            db.Execute(std::string("DELETE FROM ") + t);
}

std::vector<Calendar> ReadCalendars(Database& db) {
    std::vector<Calendar> out;
    if (!db.HasTable(CalendarsTable))
        return out;
    const auto names =
        db.QueryRaw(std::string("SELECT Name FROM ") + CalendarsTable + " ORDER BY Name");
    std::map<std::string, size_t> at;
    for (size_t i = 0; i < names.size(); ++i) {
        at[NeedText(names[i][0], CalendarsTable, i, "Name")] = out.size();
        out.push_back(Calendar{NeedText(names[i][0], CalendarsTable, i, "Name"), {}});
    }
    if (!db.HasTable(CalendarDatesTable))
        return out;
    const auto rows = db.QueryRaw(std::string("SELECT Calendar, Date, Title FROM ") +
                                  CalendarDatesTable + " ORDER BY Calendar, Date");
    for (size_t i = 0; i < rows.size(); ++i) {
        const char* t = CalendarDatesTable;
        const std::string name = NeedText(rows[i][0], t, i, "Calendar");
        const std::string date = NeedText(rows[i][1], t, i, "Date");
        const auto day = ParseDate(date);
        if (!day)
            throw Fault(faults::TypeMismatch,
                        Where(t, i, "Date") + " \"" + date + "\" is not a date (YYYY-MM-DD)");
        const auto it = at.find(name);
        if (it == at.end())
            continue;  // a date of a calendar removed by another program
        out[it->second].Dates.push_back({*day, TextOf(rows[i][2], t, i, "Title").value_or("")});
    }
    return out;
}

std::vector<std::string> CalendarNames(Database& db) {
    std::vector<std::string> out;
    if (!db.HasTable(CalendarsTable))
        return out;
    const auto rows =
        db.QueryRaw(std::string("SELECT Name FROM ") + CalendarsTable + " ORDER BY Name");
    for (size_t i = 0; i < rows.size(); ++i)
        out.push_back(NeedText(rows[i][0], CalendarsTable, i, "Name"));
    return out;
}

bool HasCalendar(Database& db, const std::string& name) {
    for (const std::string& n : CalendarNames(db))
        if (n == name)
            return true;
    return false;
}

std::vector<int> CalendarUsers(Database& db, const std::string& name) {
    std::vector<int> out;
    for (const auto& [number, r] : ReadDateRules(db)) {
        bool uses = false;
        for (const auto* list : {&r.Except, &r.Only})
            for (const std::string& n : *list)
                uses = uses || n == name;
        if (uses)
            out.push_back(number);
    }
    return out;
}

void AddCalendar(Database& db, const std::string& name) {
    TransactionScope scope(db);
    EnsureDateTables(db);
    db.Execute(std::string("INSERT OR IGNORE INTO ") + CalendarsTable + " (Name) VALUES (?1)",
               {Param(name)});
    scope.Commit();
}

void AddCalendarDate(Database& db, const std::string& name, int64_t day, const std::string& title) {
    TransactionScope scope(db);
    AddCalendar(db, name);
    db.Execute(std::string("INSERT OR REPLACE INTO ") + CalendarDatesTable +
                   " (Calendar, Date, Title) VALUES (?1, ?2, ?3)",
               {Param(name), Param(FormatDate(day)), Param(title)});
    scope.Commit();
}

bool RemoveCalendarDate(Database& db, const std::string& name, int64_t day) {
    if (!db.HasTable(CalendarDatesTable))
        return false;
    return db.Execute(std::string("DELETE FROM ") + CalendarDatesTable +
                          " WHERE Calendar = ?1 AND Date = ?2",
                      {Param(name), Param(FormatDate(day))}) > 0;
}

bool RemoveCalendar(Database& db, const std::string& name) {
    if (!db.HasTable(CalendarsTable))
        return false;
    TransactionScope scope(db);
    const bool had = db.Execute(std::string("DELETE FROM ") + CalendarsTable + " WHERE Name = ?1",
                                {Param(name)}) > 0;
    if (db.HasTable(CalendarDatesTable))
        db.Execute(std::string("DELETE FROM ") + CalendarDatesTable + " WHERE Calendar = ?1",
                   {Param(name)});
    scope.Commit();
    return had;
}

void ReplaceCalendarDates(Database& db, const std::string& name,
                          const std::vector<CalendarDate>& dates) {
    TransactionScope scope(db);
    AddCalendar(db, name);
    db.Execute(std::string("DELETE FROM ") + CalendarDatesTable + " WHERE Calendar = ?1",
               {Param(name)});
    for (const CalendarDate& d : dates)
        db.Execute(std::string("INSERT OR REPLACE INTO ") + CalendarDatesTable +
                       " (Calendar, Date, Title) VALUES (?1, ?2, ?3)",
                   {Param(name), Param(FormatDate(d.Day)), Param(d.Title)});
    scope.Commit();
}

DateBook LoadDateBook(Database& db) {
    // One read of the file for both, ended (rolled back) on a fault as well.
    TransactionScope scope(db, true);
    std::map<int, DateRules> rules = ReadDateRules(db);
    std::vector<Calendar> calendars;
    if (!rules.empty())
        calendars = ReadCalendars(db);
    scope.Commit();
    return DateBook(rules, calendars);
}

}  // namespace qtx::schedule
