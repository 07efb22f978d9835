#pragma once
// What the engine will run, and when: the real engine, started on a copy of the event database in
// a temporary program folder, with a simulated clock, a recording view and an in-process switcher
// simulator on 127.0.0.1 that accepts everything. The clock is moved from event to event and
// each execution the engine makes is recorded with its outcome. IP and serial messages are not
// sent (the copy's message rows are aimed at nothing); the run says what would be sent.
// The file itself is never changed: skip and one-time markings land in the copy.
#include <optional>
#include <string>
#include <vector>

#include "common/DateTime.h"
#include "ui/StateMessages.h"

namespace qtx::schedule {

struct PreviewOptions {
    LocalDateTime From;  // the first moment looked at
    int Days = 7;        // how long, in days (1..366)
    // The most runs to make: the engine stops once it has made more, and the result is cut.
    // 0: no bound but the days.
    size_t MaxRuns = 0;
};

// One execution the engine made.
struct PreviewRun {
    LocalDateTime At;   // the clock when the engine ran it (seconds; late runs show late)
    int Number = 0;     // the event's number
    std::string Title;  // UTF-8
    std::string Time;   // the record's time as stored
    bool Ran = false;   // the engine carried out its actions
    state::Refusal Refusal = state::Refusal::None;  // why not, as a value
    std::string Reason;  // why not, in words: "Inactive", "Skipped", "Invalid Crosspoint", ...
    bool Conditional = false;  // depends on a crosspoint: Ran is what the simulator's map gave
    bool OneTime = false;      // a one-time event: deleted after this run
    std::string What;          // the actions in words (DescribeActions)
    std::string Line;          // the line as printed (FormatPreviewRun)
};

struct PreviewResult {
    std::vector<PreviewRun> Runs;
    // Events that never come up, with why: "event 7 \"Spare\": no time".
    std::vector<std::string> Notes;
    // Problems the engine met on the way, from its error log ("Error Reading Automation DB: ...").
    std::vector<std::string> Errors;
    // The runs went beyond the options' MaxRuns: Runs holds the first MaxRuns of them.
    bool Cut = false;
};

// Runs the preview of the database file at path. Throws std::runtime_error when the file cannot
// be copied or the engine cannot be started (the message names the file).
PreviewResult RunPreview(const std::string& databasePath, const PreviewOptions& options);

// "2026-12-07 06:00:00 Mon  100  Morning feed  take 3->1", then, when it did not simply run,
// "  (not run: Inactive)", "  (depends on the crosspoint)", "  (one-time: deleted after)".
std::string FormatPreviewRun(const PreviewRun& run);

// "YYYY-MM-DD hh:mm:ss"; nullopt on bad text or an impossible date.
std::optional<LocalDateTime> ParseDateTime(const std::string& text);

}  // namespace qtx::schedule
