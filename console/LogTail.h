#pragma once
// The last lines of one of the engine's logs (Tally.Dat, Errorlog.txt), without the eleven
// header lines, as UTF-8 and without their CR LF. Reads from the end, so a log that has grown
// for months costs no more than the lines asked for.
#include <cstdint>
#include <string>
#include <vector>

namespace qtx::console {

constexpr int kLogHeaderLines = 11;

// Up to count lines, oldest first. A missing file gives none.
std::vector<std::string> LastLogLines(const std::string& path, int count);

// Entry lines of a log (lines after the header). Counted once per change of the file's size.
class LogLineCounter {
  public:
    explicit LogLineCounter(std::string path) : path_(std::move(path)) {}
    int64_t Count();

  private:
    std::string path_;
    int64_t size_ = 0;   // bytes counted so far
    int64_t lines_ = 0;  // line ends in them
};

}  // namespace qtx::console
