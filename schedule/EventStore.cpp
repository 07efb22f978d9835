#include "schedule/EventStore.h"

#include <algorithm>
#include <set>

#include "common/Fault.h"
#include "common/Text.h"
#include "schedule/DateStore.h"
#include "schedule/TransactionScope.h"

namespace qtx::schedule {

namespace {

Problem Conflict(Problem p) {
    p.Kind = ProblemKind::Conflict;
    return p;
}

Problem FileProblem(const Event& e, const std::string& field, const std::string& value,
                    const std::string& what, const std::string& allowed) {
    Problem p;
    p.Number = e.Number;
    p.Title = e.Title;
    p.Field = field;
    p.Value = value;
    p.Allowed = allowed;
    p.Message = "event " + std::to_string(e.Number) + " \"" + e.Title + "\": " + field + " " +
                value + " " + what + (allowed.empty() ? "" : " (" + allowed + ")");
    return p;
}

bool HasNumber(const Row& r, int number) {
    const auto it = r.find("Number");
    if (it == r.end() || it->second.IsNull())
        return false;
    try {
        return it->second.AsNumber() == number;
    } catch (...) {
        return false;
    }
}

// Columns of rows that the open table lacks: each one problem.
std::vector<Problem> MissingColumns(const Recordset& rs, const std::vector<Row>& rows,
                                    const Event* e) {
    std::set<std::string, ColumnNameLess> missing;
    for (const Row& r : rows)
        for (const auto& [name, value] : r)
            if (!rs.HasField(name))
                missing.insert(name);
    std::vector<Problem> out;
    for (const std::string& name : missing) {
        Problem p;
        if (e) {
            p = FileProblem(*e, name, "", "is not a column of this file",
                            "upgrade the file: the engine adds the columns when it loads it");
        } else {
            p.Field = name;
            p.Allowed = "the columns of table Automation";
            p.Message = "column \"" + name + "\" is not a column of this file's table Automation";
        }
        out.push_back(p);
    }
    return out;
}

// Sets one value; a value the column cannot hold becomes a problem instead of a fault.
bool SetChecked(Recordset& rs, const std::string& name, const DbValue& v, const Event* e,
                std::vector<Problem>& problems) {
    try {
        rs.SetValue(name, v);
        return true;
    } catch (const Fault& f) {
        const std::string shown = v.IsNull() ? "(empty)" : Cp1252ToUtf8(v.AsText());
        if (e) {
            problems.push_back(
                FileProblem(*e, name, shown, "does not fit this file's column", f.Description));
        } else {
            Problem p;
            p.Field = name;
            p.Value = shown;
            p.Allowed = f.Description;
            p.Message = "column " + name + ": " + shown + " does not fit this file's column (" +
                        f.Description + ")";
            problems.push_back(p);
        }
        return false;
    }
}

// Adds the new rows of a plan through rs (its columns checked already); false with a problem
// when a value does not fit its column.
bool AddRows(Recordset& rs, const std::vector<PlannedRow>& plan, const Event& e,
             std::vector<Problem>& problems) {
    for (const PlannedRow& p : plan) {
        if (p.Present >= 0)
            continue;
        rs.AddNew();
        for (const auto& [name, value] : p.Values)
            if (!value.IsNull() && !SetChecked(rs, name, value, &e, problems))
                return false;
        rs.Update();
    }
    return true;
}

// Writes the plan for event number (rows of that number in walk order are present[k]).
std::vector<Problem> WritePlan(Database& db, int number, const std::vector<Row>& present,
                               const std::vector<PlannedRow>& plan, const Event& e) {
    std::vector<Problem> problems;
    Recordset rs = db.OpenRecordset("Automation");
    {
        std::vector<Row> rows;
        for (const PlannedRow& p : plan)
            rows.push_back(p.Values);
        problems = MissingColumns(rs, rows, &e);
        if (!problems.empty())
            return problems;
    }
    std::vector<int> planOf(present.size(), -1);
    for (size_t i = 0; i < plan.size(); ++i)
        if (plan[i].Present >= 0)
            planOf[static_cast<size_t>(plan[i].Present)] = static_cast<int>(i);
    size_t k = 0;
    while (!rs.IsEOF() && k < present.size()) {
        const DbValue n = rs.Value("Number");
        bool ours = false;
        try {
            ours = !n.IsNull() && n.AsNumber() == number;
        } catch (...) {
        }
        if (ours) {
            const int p = planOf[k];
            if (p < 0) {
                rs.Delete();
            } else {
                const Row& want = plan[static_cast<size_t>(p)].Values;
                const Row& was = present[k];
                bool editing = false;
                for (const auto& [name, value] : want) {
                    const auto it = was.find(name);
                    if (it != was.end() && it->second == value)
                        continue;
                    if (!editing) {
                        rs.Edit();
                        editing = true;
                    }
                    if (!SetChecked(rs, name, value, &e, problems))
                        return problems;
                }
                if (editing)
                    rs.Update();
            }
            ++k;
        }
        rs.MoveNext();
    }
    AddRows(rs, plan, e, problems);
    return problems;
}

std::vector<Row> RowsOf(const std::vector<Row>& rows, int number) {
    std::vector<Row> out;
    for (const Row& r : rows)
        if (HasNumber(r, number))
            out.push_back(r);
    return out;
}

}  // namespace

std::vector<Row> ReadRows(Database& db) {
    // The rows are copied as stored in one walk and converted afterwards: a read of its own
    // holds the file only for the copy, so the engine's writes never wait for the conversions.
    const bool own = !db.InTransaction();
    if (own)
        db.BeginRead();
    const RawTable table = db.CopyTable("Automation");
    if (own)
        db.CommitTrans();
    const std::vector<FieldDef>& fields = table.Fields;
    // The columns in the row map's order, so each row is built by appending at its end.
    std::vector<size_t> order(fields.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::sort(order.begin(), order.end(),
              [&](size_t a, size_t b) { return ColumnNameLess{}(fields[a].Name, fields[b].Name); });
    std::vector<Row> rows;
    rows.reserve(table.Rows.size());
    for (const std::vector<RawValue>& raw : table.Rows) {
        Row r;
        // A Null column is left out: a Row holds Null by not naming the column.
        for (size_t i : order)
            if (raw[i].kind != RawValue::Null)
                r.emplace_hint(r.end(), fields[i].Name, EngineValue(raw[i]));
        rows.push_back(std::move(r));
    }
    return rows;
}

std::vector<Event> ReadEvents(Database& db) {
    std::vector<Event> events = EventsOfRows(ReadRows(db));
    const std::map<int, DateRules> rules = ReadDateRules(db);
    if (!rules.empty())
        for (Event& e : events)
            if (const auto it = rules.find(e.Number); it != rules.end())
                e.Dates = it->second;
    return events;
}

std::vector<Event> EventsOfRows(const std::vector<Row>& rows) {
    std::vector<Event> events;
    std::vector<const Row*> group;
    for (const std::vector<size_t>& positions : GroupPositions(rows)) {
        group.clear();
        for (const size_t i : positions)
            group.push_back(&rows[i]);
        events.push_back(EventFromRows(group));
    }
    return events;
}

std::optional<Event> ReadEvent(Database& db, int number) {
    const std::vector<Row> rows = RowsOf(ReadRows(db), number);
    if (rows.empty())
        return std::nullopt;
    Event e = EventFromRows(rows);
    const std::map<int, DateRules> rules = ReadDateRules(db);
    if (const auto it = rules.find(number); it != rules.end())
        e.Dates = it->second;
    return e;
}

int FreeNumber(const std::vector<Row>& rows) {
    std::vector<bool> used(32768, false);
    for (const Row& r : rows) {
        const auto it = r.find("Number");
        if (it == r.end() || it->second.IsNull())
            continue;
        try {
            const int64_t n = it->second.AsNumber();
            if (n >= 1 && n <= 32767)
                used[static_cast<size_t>(n)] = true;
        } catch (...) {
        }
    }
    for (int n = 1; n <= 32767; ++n)
        if (!used[static_cast<size_t>(n)])
            return n;
    return 0;
}

std::vector<Problem> CreateEvent(Database& db, Event& e) {
    TransactionScope scope(db);
    const std::vector<Row> rows = ReadRows(db);
    if (e.Number == 0)
        e.Number = FreeNumber(rows);
    std::vector<Problem> problems = CheckEvent(e);
    if (!problems.empty())
        return problems;
    if (!RowsOf(rows, e.Number).empty())
        return {Conflict(FileProblem(e, "number", std::to_string(e.Number), "is already used",
                                     "a number no other event has"))};
    problems = CheckDateRules(e, CalendarNames(db));
    if (!problems.empty())
        return problems;
    problems = WritePlan(db, e.Number, {}, PlanRows(e, {}), e);
    if (!problems.empty())
        return problems;
    WriteDateRules(db, e.Number, e.Dates);
    scope.Commit();
    return problems;
}

std::vector<std::vector<Problem>> CreateEvents(Database& db, std::vector<Event>& events) {
    TransactionScope scope(db);
    const std::vector<Row> rows = ReadRows(db);
    std::vector<bool> used(32768, false);
    for (const std::vector<size_t>& group : GroupPositions(rows)) {
        const int n = LoadedNumber(rows[group.front()], "Number");
        if (n >= 1 && n <= 32767)
            used[static_cast<size_t>(n)] = true;
    }
    // Explicit numbers first, so a chosen number never takes one the list names later.
    std::vector<bool> named(32768, false);
    for (const Event& e : events)
        if (e.Number >= 1 && e.Number <= 32767)
            named[static_cast<size_t>(e.Number)] = true;
    int next = 1;
    const std::vector<std::string> calendars = CalendarNames(db);
    std::vector<std::vector<Problem>> problems(events.size());
    bool any = false;
    std::vector<bool> taken = used;
    for (size_t i = 0; i < events.size(); ++i) {
        Event& e = events[i];
        if (e.Number == 0) {
            while (next <= 32767 &&
                   (taken[static_cast<size_t>(next)] || named[static_cast<size_t>(next)]))
                ++next;
            e.Number = next <= 32767 ? next : 0;
        }
        problems[i] = CheckEvent(e);
        if (problems[i].empty() && !e.Dates.Empty())
            problems[i] = CheckDateRules(e, calendars);
        if (problems[i].empty() && e.Number >= 1 && e.Number <= 32767) {
            if (taken[static_cast<size_t>(e.Number)])
                problems[i].push_back(
                    Conflict(FileProblem(e, "number", std::to_string(e.Number), "is already used",
                                         "a number no other event has")));
            taken[static_cast<size_t>(e.Number)] = true;
        }
        any = any || !problems[i].empty();
    }
    if (any)
        return problems;
    // One cursor for every new row: its insert statement is prepared once and reused.
    Recordset rs = db.OpenRecordset("Automation");
    for (size_t i = 0; i < events.size(); ++i) {
        const std::vector<PlannedRow> plan = PlanRows(events[i], {});
        std::vector<Row> planned;
        for (const PlannedRow& p : plan)
            planned.push_back(p.Values);
        problems[i] = MissingColumns(rs, planned, &events[i]);
        if (!problems[i].empty() || !AddRows(rs, plan, events[i], problems[i]))
            return problems;
    }
    rs.Close();
    for (const Event& e : events)
        if (!e.Dates.Empty())
            WriteDateRules(db, e.Number, e.Dates);
    scope.Commit();
    return problems;
}

std::vector<Problem> UpdateEvent(Database& db, int number, const Event& e) {
    TransactionScope scope(db);
    const std::vector<Row> rows = ReadRows(db);
    const std::vector<Row> present = RowsOf(rows, number);
    if (present.empty())
        return {FileProblem(e, "number", std::to_string(number), "is not an event of this file",
                            "the number of an existing event")};
    std::vector<Problem> problems = CheckEvent(e);
    if (!problems.empty())
        return problems;
    if (e.Number != number && !RowsOf(rows, e.Number).empty())
        return {Conflict(FileProblem(e, "number", std::to_string(e.Number), "is already used",
                                     "a number no other event has"))};
    problems = CheckDateRules(e, CalendarNames(db));
    if (!problems.empty())
        return problems;
    problems = WritePlan(db, number, present, PlanRows(e, present), e);
    if (!problems.empty())
        return problems;
    // The rules follow the event to its new number.
    if (e.Number != number)
        DeleteDateRules(db, number);
    WriteDateRules(db, e.Number, e.Dates);
    scope.Commit();
    return problems;
}

bool DeleteEvent(Database& db, int number) {
    TransactionScope scope(db);
    Recordset rs = db.OpenRecordset("Automation");
    int removed = 0;
    while (!rs.IsEOF()) {
        const DbValue n = rs.Value("Number");
        bool ours = false;
        try {
            ours = !n.IsNull() && n.AsNumber() == number;
        } catch (...) {
        }
        if (ours) {
            rs.Delete();
            ++removed;
        }
        rs.MoveNext();
    }
    rs.Close();
    if (removed == 0)
        return false;
    DeleteDateRules(db, number);
    scope.Commit();
    return true;
}

std::vector<Problem> WriteRows(Database& db, const std::vector<Row>& rows, bool replace) {
    TransactionScope scope(db);
    std::vector<Problem> problems;
    std::vector<Row> all;
    size_t firstNew = 0;
    if (!replace) {
        all = ReadRows(db);
        firstNew = all.size();
    }
    all.insert(all.end(), rows.begin(), rows.end());
    std::set<int> numbers;
    for (const Row& r : rows)
        numbers.insert(LoadedNumber(r, "Number"));
    for (Problem& p : CheckRows(all))
        if (replace || p.Row > static_cast<int>(firstNew) || numbers.count(p.Number))
            problems.push_back(std::move(p));
    if (!problems.empty())
        return problems;
    Recordset rs = db.OpenRecordset("Automation");
    problems = MissingColumns(rs, rows, nullptr);
    if (!problems.empty())
        return problems;
    // One statement empties the table (a walk deleting row by row reads the rest again after
    // every row).
    if (replace)
        db.Execute("DELETE FROM Automation");
    for (const Row& r : rows) {
        rs.AddNew();
        for (const auto& [name, value] : r)
            if (!value.IsNull() && !SetChecked(rs, name, value, nullptr, problems))
                return problems;
        rs.Update();
    }
    rs.Close();
    scope.Commit();
    return problems;
}

}  // namespace qtx::schedule
