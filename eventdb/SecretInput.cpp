#include "eventdb/SecretInput.h"

#include <termios.h>
#include <unistd.h>

#include <iostream>

namespace qtx {

namespace {

// Echo off for as long as it lives, when standard input is a terminal.
class NoEcho {
  public:
    NoEcho() {
        if (::isatty(0) && ::tcgetattr(0, &saved_) == 0) {
            termios quiet = saved_;
            quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            on_ = ::tcsetattr(0, TCSAFLUSH, &quiet) == 0;
        }
    }
    ~NoEcho() {
        if (on_)
            ::tcsetattr(0, TCSAFLUSH, &saved_);
    }
    NoEcho(const NoEcho&) = delete;
    NoEcho& operator=(const NoEcho&) = delete;
    bool On() const { return on_; }

  private:
    termios saved_{};
    bool on_ = false;
};

}  // namespace

std::string ReadSecretLine(const std::string& prompt) {
    std::string line;
    {
        NoEcho quiet;
        if (quiet.On())
            std::cerr << prompt << std::flush;
        std::getline(std::cin, line);
        if (quiet.On())
            std::cerr << "\n";
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

}  // namespace qtx
