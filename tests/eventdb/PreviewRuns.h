#pragma once
// The preview's runs beside the engine's, as one line per run (moment, time, history title), so
// that a difference shows as a line diff.
#include <string>
#include <tuple>
#include <vector>

#include "engine/Engine.h"
#include "preview/Preview.h"
#include "ui/RecordingMainWindow.h"

namespace qtx::test {

using Seen = std::tuple<int64_t, std::string, std::string>;  // moment, time, history title

inline std::string Lines(const std::vector<Seen>& runs) {
    std::string out;
    for (const auto& [moment, time, title] : runs)
        out += std::to_string(moment) + " " + time + " " + title + "\n";
    return out;
}

// The preview's runs as the engine's history would show them; lines: their run lines.
inline std::vector<Seen> Previewed(const schedule::PreviewResult& preview, std::string* lines) {
    std::vector<Seen> out;
    for (const schedule::PreviewRun& r : preview.Runs) {
        const std::string suffix = r.Ran                                   ? ""
                                   : r.Refusal == state::Refusal::Inactive ? " - Inactive"
                                                                           : " - Not Executed";
        const int64_t moment =
            DaysFromCivil(r.At.Year, r.At.Month, r.At.Day) * 86400 + r.At.SecondsOfDay();
        out.emplace_back(moment, r.Time, r.Title + suffix);
        *lines += r.Line + "\n";
    }
    return out;
}

// Adds each history row the engine writes to ran, with the engine's moment of the tick.
inline void RecordRuns(Engine& engine, const RecordingMainWindow& view, std::vector<Seen>& ran) {
    engine.AfterTick = [&engine, &view, &ran] {
        for (size_t i = ran.size(); i < view.HistoryRows.size(); ++i)
            ran.emplace_back(engine.Vars().CurrentDayNumber * 86400 + engine.Vars().CurrentTime,
                             view.HistoryRows[i].Time, view.HistoryRows[i].Title);
    };
}

}  // namespace qtx::test
