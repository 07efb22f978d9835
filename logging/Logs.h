#pragma once
// The activity log "Tally.Dat" and the error log "Errorlog.txt" in the program folder, and the
// error reporter every fault handler calls. Files are opened and closed for each line.
#include <functional>
#include <string>

#include "common/Clock.h"
#include "common/Variables.h"

namespace qtx {

class Logs {
  public:
    Logs(const Variables& vars, Clock& clock) : vars_(vars), clock_(clock) {}

    // Appends one time-stamped line to the activity log, creating it with its header when it is
    // missing. A control character of the text is written as \xHH (common/Text.h), never as a
    // line break; the same form goes to Mirror. Never throws.
    void WriteActivityLog(const std::string& text);
    // The activity line of an event that was not run: "<title> not executed - <reason>".
    void WriteRefusal(const std::string& title, const std::string& reason);
    void CreateActivityLog();

    // Records the fault being handled (call it inside a catch block) under the location text.
    // Outside a handler it records "Error # 0 - ". Never throws.
    void ReportError(const std::string& location);
    void WriteErrorLog(const std::string& faultText, const std::string& location);
    void CreateErrorLog();

    // What a line given to the logs is.
    enum class LineKind { Activity, Refusal, Error };
    // Sees every line given to the logs, whether or not its file could be written: activity texts
    // (Activity, or Refusal for WriteRefusal's lines) and error entries ("location: fault text").
    std::function<void(LineKind kind, const std::string& text)> Mirror;
    // Sees every error entry as its location and fault text (the engine's alarms).
    std::function<void(const std::string& location, const std::string& faultText)> ErrorSeen;
    // Off: activity lines go to Mirror only, not to the file (the preview, whose copy's activity
    // log nobody reads, and which would otherwise open the file for every run it makes).
    bool ActivityToFile = true;

    std::string ActivityLogPath() const;
    std::string ErrorLogPath() const;

  private:
    void AppendActivityLine(const std::string& text);

    const Variables& vars_;
    Clock& clock_;
    int errorLogDepth_ = 0;  // nesting of WriteErrorLog through its own failure report
};

}  // namespace qtx
