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
    void CreateActivityLog();

    // Records the fault being handled (call it inside a catch block) under the location text.
    // Outside a handler it records "Error # 0 - ". Never throws.
    void ReportError(const std::string& location);
    void WriteErrorLog(const std::string& faultText, const std::string& location);
    void CreateErrorLog();

    // Sees every line given to the logs, whether or not its file could be written: activity
    // texts with isError false, error entries ("location: fault text") with isError true.
    std::function<void(bool isError, const std::string& text)> Mirror;

    std::string ActivityLogPath() const;
    std::string ErrorLogPath() const;

  private:
    const Variables& vars_;
    Clock& clock_;
    int errorLogDepth_ = 0;  // nesting of WriteErrorLog through its own failure report
};

}  // namespace qtx
