#pragma once
// A log file opened for one write: created or emptied, or opened for appending; closed when the
// object goes. Every failure is a file-system Fault.
#include <string>

#include "common/UniqueFd.h"

namespace qtx {

class LogFile {
  public:
    enum class Mode { Create, Append };
    LogFile(const std::string& path, Mode mode);
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Writes text followed by CR LF.
    void WriteLine(const std::string& text);
    // Closes now and reports a failing close as a fault.
    void Close();

  private:
    UniqueFd fd_;
};

}  // namespace qtx
