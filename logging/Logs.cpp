#include "logging/Logs.h"

#include "common/Constants.h"
#include "common/Fault.h"
#include "common/FaultNumbers.h"
#include "common/FileSystem.h"
#include "common/Format.h"
#include "common/Text.h"
#include "logging/LogFile.h"
#include "logging/LogHeader.h"

namespace qtx {
namespace {

void WriteHeader(const std::string& path, const std::vector<std::string>& lines) {
    LogFile file(path, LogFile::Mode::Create);
    for (const std::string& line : lines)
        file.WriteLine(line);
    file.Close();
}

void AppendLine(const std::string& path, const std::string& line) {
    LogFile file(path, LogFile::Mode::Append);
    file.WriteLine(line);
    file.Close();
}

}  // namespace

std::string Logs::ActivityLogPath() const {
    return vars_.AppDir + constants::ActivityLogFileName;
}
std::string Logs::ErrorLogPath() const {
    return vars_.AppDir + constants::ErrorLogFileName;
}

void Logs::WriteActivityLog(const std::string& given) {
    // The line holds the event's texts (its title, a message file's path), which other
    // programs may have stored with a CR or LF in them: each control character goes out as a
    // visible \xHH, so one text is one line and cannot pass for lines of its own.
    const std::string text = EscapeControls1252(given);
    if (Mirror)
        Mirror(LineKind::Activity, text);
    AppendActivityLine(text);
}

void Logs::WriteRefusal(const std::string& title, const std::string& reason) {
    const std::string text = EscapeControls1252(title + " not executed - " + reason);
    if (Mirror)
        Mirror(LineKind::Refusal, text);
    AppendActivityLine(text);
}

void Logs::AppendActivityLine(const std::string& text) {
    if (!ActivityToFile)
        return;
    try {
        std::string line = FormatLogStamp(clock_.Now());
        if (line.size() > 35)
            throw Fault(faults::DeviceIOError, "Time stamp too long");
        line.resize(35, ' ');
        line += text;
        if (!NormalFileExists(ActivityLogPath()))
            CreateActivityLog();
        AppendLine(ActivityLogPath(), line);
    } catch (...) {
        ReportError("Error Writing to Activity Log");
    }
}

void Logs::CreateActivityLog() {
    try {
        WriteHeader(ActivityLogPath(), ActivityLogHeader());
    } catch (...) {
        ReportError("Error Creating Activity Log");
    }
}

void Logs::ReportError(const std::string& location) {
    const FaultInFlight fault = CurrentFault();
    WriteErrorLog("Error # " + std::to_string(fault.Number) + " - " + fault.Description, location);
}

void Logs::WriteErrorLog(const std::string& givenFault, const std::string& givenLocation) {
    // As on the activity log: a path or text of an event in the entry stays on its line.
    const std::string faultText = EscapeControls1252(givenFault);
    const std::string location = EscapeControls1252(givenLocation);
    // A failing error log reports its own failure once ("Error Writing to Error Log"); when that
    // report fails too, the nesting ends there.
    struct Depth {
        int& d;
        explicit Depth(int& depth) : d(depth) { ++d; }
        ~Depth() { --d; }
    } depth(errorLogDepth_);
    if (Mirror && errorLogDepth_ == 1)
        Mirror(LineKind::Error, location + ": " + faultText);
    if (ErrorSeen && errorLogDepth_ == 1)
        ErrorSeen(givenLocation, givenFault);
    try {
        // The general date is at most 22 characters in the United States form; the column is
        // 24 wide and a longer text would be cut to it.
        std::string line = FormatGeneralDate(clock_.Now());
        line.resize(24, ' ');
        line += location;
        if (line.size() > 59)
            line.resize(59);
        line.resize(60, ' ');
        line += faultText;
        if (!NormalFileExists(ErrorLogPath()))
            CreateErrorLog();
        AppendLine(ErrorLogPath(), line);
    } catch (...) {
        if (errorLogDepth_ < 2)
            ReportError("Error Writing to Error Log");
    }
}

void Logs::CreateErrorLog() {
    try {
        WriteHeader(ErrorLogPath(), ErrorLogHeader());
    } catch (...) {
        // Swallowed: the append that follows reports the problem if it persists.
    }
}

}  // namespace qtx
