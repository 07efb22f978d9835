#include "eventdb/EventImport.h"

#include <strings.h>

#include <algorithm>
#include <set>

#include "common/Text.h"
#include "eventdb/Csv.h"
#include "eventdb/CsvEvents.h"
#include "eventdb/EventDbOptions.h"
#include "schedule/DateStore.h"
#include "schedule/EventStore.h"
#include "schedule/Rows.h"

namespace qtx {

using namespace schedule;

namespace {

void Refuse(ImportResult& r, ImportPlace place, int at, const Problem& p) {
    r.Refusals.push_back({place, at, p.Message, {p}});
}

void NumbersOf(ImportResult& r, const std::vector<int>& numbers) {
    std::set<int> seen;
    for (int n : numbers)
        if (seen.insert(n).second)
            r.Numbers.push_back(n);
}

// Events with their places (CSV lines or list positions), checked and written.
ImportResult WriteEvents(Database& db, const std::string& programFolder, std::vector<Event>& events,
                         const std::vector<int>& at, ImportPlace place, bool replace) {
    ImportResult r;
    for (size_t i = 0; i < events.size(); ++i)
        for (const Problem& p : CheckMessageFile(events[i], programFolder))
            Refuse(r, place, at[i], p);
    if (!r.Refusals.empty())
        return r;
    if (replace)
        for (const Problem& p : WriteRows(db, {}, true))
            Refuse(r, ImportPlace::File, 0, p);
    if (!r.Refusals.empty())
        return r;
    // The events become the list's, their date rules with them (the calendars stay).
    if (replace)
        ClearDateRules(db);
    const auto problems = CreateEvents(db, events);
    for (size_t i = 0; i < problems.size(); ++i)
        for (const Problem& p : problems[i])
            Refuse(r, place, at[i], p);
    if (!r.Refusals.empty())
        return r;
    std::vector<int> numbers;
    for (const Event& e : events) {
        numbers.push_back(e.Number);
        r.Rows += std::max<size_t>(1, e.Days.size());
    }
    NumbersOf(r, numbers);
    return r;
}

ImportResult ImportRows(Database& db, const std::string& programFolder,
                        const std::vector<csv::Record>& records, const std::vector<int>& lines,
                        bool replace) {
    ImportResult r;
    const csv::Record& header = records[0];
    for (size_t c = 0; c < header.size(); ++c)
        if (!header[c] || header[c]->empty()) {
            r.Refusals.push_back(
                {ImportPlace::Line, lines[0], "empty column name in the header", {}});
            return r;
        }
    // As for `add`, a row is active unless the CSV says otherwise.
    const bool hasActive = std::any_of(header.begin(), header.end(), [](const csv::Field& h) {
        return strcasecmp(h->c_str(), "Active") == 0;
    });
    std::vector<Row> rows;
    rows.reserve(records.size() - 1);
    for (size_t i = 1; i < records.size(); ++i) {
        Row row;
        for (size_t c = 0; c < header.size(); ++c)
            if (records[i][c])
                row[*header[c]] = DbValue(Utf8ToCp1252(*records[i][c]));
        if (!hasActive)
            row["Active"] = DbValue(int64_t{1});
        rows.push_back(std::move(row));
    }
    for (size_t i = 0; i < rows.size(); ++i)
        for (const Problem& p : CheckMessageFile(EventFromRow(rows[i]), programFolder))
            Refuse(r, ImportPlace::Line, lines[i + 1], p);
    if (!r.Refusals.empty())
        return r;
    const size_t existing = replace ? 0 : static_cast<size_t>(db.RowCount("Automation"));
    for (const Problem& p : WriteRows(db, rows, replace)) {
        // A problem's row is its place in the whole table, the file's own rows first.
        const long i = static_cast<long>(p.Row) - static_cast<long>(existing);
        if (i >= 1 && static_cast<size_t>(i) < records.size())
            Refuse(r, ImportPlace::Line, lines[static_cast<size_t>(i)], p);
        else
            Refuse(r, ImportPlace::File, 0, p);
    }
    if (!r.Refusals.empty())
        return r;
    std::vector<int> numbers;
    for (const Row& row : rows)
        numbers.push_back(LoadedNumber(row, "Number"));
    NumbersOf(r, numbers);
    r.Rows = rows.size();
    return r;
}

}  // namespace

ImportResult ImportCsv(Database& db, const std::string& programFolder, const std::string& text,
                       bool replace) {
    ImportResult r;
    std::vector<int> lines;
    std::vector<csv::Record> records;
    try {
        records = csv::ParseFile(text, &lines);
    } catch (const csv::ParseError& e) {
        r.Refusals.push_back({ImportPlace::Whole, 0, e.what(), {}});
        return r;
    }
    // Blank lines (a spreadsheet's trailing ones) are no records.
    size_t kept = 0;
    for (size_t i = 0; i < records.size(); ++i)
        if (!(records[i].size() == 1 && !records[i][0])) {
            if (kept != i) {
                records[kept] = std::move(records[i]);
                lines[kept] = lines[i];
            }
            ++kept;
        }
    records.resize(kept);
    lines.resize(kept);
    if (records.empty()) {
        r.Refusals.push_back({ImportPlace::Whole, 0, "no header line", {}});
        return r;
    }
    const csv::Record& header = records[0];
    for (size_t i = 1; i < records.size(); ++i)
        if (records[i].size() != header.size()) {
            r.Refusals.push_back({ImportPlace::Line,
                                  lines[i],
                                  std::to_string(records[i].size()) + " fields, the header has " +
                                      std::to_string(header.size()),
                                  {}});
            return r;
        }
    if (!csv::IsEventHeader(header))
        return ImportRows(db, programFolder, records, lines, replace);
    std::vector<Event> events;
    events.reserve(records.size() - 1);
    for (size_t i = 1; i < records.size(); ++i) {
        try {
            events.push_back(csv::EventFromRecord(header, records[i]));
        } catch (const OptionError& x) {
            r.Refusals.push_back({ImportPlace::Line, lines[i], x.what(), {}});
            return r;
        }
    }
    return WriteEvents(db, programFolder, events, {lines.begin() + 1, lines.end()},
                       ImportPlace::Line, replace);
}

ImportResult ImportEvents(Database& db, const std::string& programFolder, std::vector<Event> events,
                          bool replace) {
    std::vector<int> at(events.size());
    for (size_t i = 0; i < at.size(); ++i)
        at[i] = static_cast<int>(i) + 1;
    return WriteEvents(db, programFolder, events, at, ImportPlace::Item, replace);
}

}  // namespace qtx
