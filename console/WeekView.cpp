#include "console/WeekView.h"

#include <algorithm>
#include <unordered_map>

#include "common/DateTime.h"
#include "common/Format.h"

namespace qtx::console {

using namespace qtx::schedule;

namespace {

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

}  // namespace

std::vector<DayPositions> PositionsOf(const std::vector<Event>& events,
                                      const std::vector<TableSlot>& slots) {
    std::unordered_map<int, size_t> at;  // number to its place in events
    at.reserve(events.size());
    for (size_t i = 0; i < events.size(); ++i)
        at.emplace(events[i].Number, i);
    std::vector<DayPositions> positions(events.size());
    for (DayPositions& days : positions)
        days.fill(-1);
    for (size_t p = 0; p < slots.size(); ++p) {
        const auto it = at.find(slots[p].Number);
        if (it != at.end() && slots[p].Day >= 0 && slots[p].Day < NoDay)
            positions[it->second][static_cast<size_t>(slots[p].Day)] = static_cast<long long>(p);
    }
    return positions;
}

WeekGrid MakeWeek(const std::vector<Event>& events, const std::vector<DayPositions>& positions,
                  const std::string& find) {
    const std::string needle = Lower(find);
    WeekGrid week;
    for (size_t i = 0; i < events.size(); ++i) {
        const Event& e = events[i];
        if (!needle.empty() &&
            Lower(std::to_string(e.Number) + " " + e.Title).find(needle) == std::string::npos)
            continue;
        if (e.Days.empty() || !e.Time) {
            week.Apart.push_back(i);
            continue;
        }
        for (int d : e.Days)
            if (d >= 0 && d < NoDay)
                week.Days[static_cast<size_t>(d)].push_back(i);
    }
    for (size_t d = 0; d < week.Days.size(); ++d) {
        // Without a place in the engine's table an occurrence comes last in its second.
        const auto place = [&](size_t i) {
            const long long p = positions[i][d];
            return p < 0 ? static_cast<unsigned long long>(-1) : static_cast<unsigned long long>(p);
        };
        std::stable_sort(week.Days[d].begin(), week.Days[d].end(), [&](size_t a, size_t b) {
            const std::string &ta = *events[a].Time, &tb = *events[b].Time;
            if (ta != tb)
                return ta < tb;
            if (place(a) != place(b))
                return place(a) < place(b);
            return events[a].Number < events[b].Number;
        });
    }
    return week;
}

int WeekdayOf(int64_t day) {
    return static_cast<int>(((day + 3) % 7 + 7) % 7);  // 1970-01-01 was a Thursday
}

WeekRuns RunsByDueDay(std::vector<PreviewRun> runs) {
    WeekRuns week;
    for (PreviewRun& r : runs) {
        int64_t day = DaysFromCivil(r.At.Year, r.At.Month, r.At.Day);
        if (FormatHhMmSs(r.At) < r.Time)
            --day;  // due before midnight, run after it
        week.Due.try_emplace({r.Number, day}, std::move(r));
    }
    return week;
}

}  // namespace qtx::console
