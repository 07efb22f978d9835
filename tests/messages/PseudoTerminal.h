#pragma once
// A pseudo-terminal standing in for a serial port: the code under test opens the slave side by
// its path (or through a COM<n> link to it), the test reads what arrives on the master side.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

namespace qtx::test {

class PseudoTerminal {
  public:
    PseudoTerminal() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
            throw std::runtime_error("no pseudo-terminal");
        path_ = ::ptsname(master_);
        // Held open so the terminal's settings stay readable between the code's opens.
        slave_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (slave_ < 0)
            throw std::runtime_error("cannot open " + path_);
    }
    ~PseudoTerminal() {
        ::close(slave_);
        ::close(master_);
    }
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    const std::string& SlavePath() const { return path_; }
    int Slave() const { return slave_; }

    // Makes `link` a symbolic link to the slave side.
    void LinkAs(const std::string& link) const {
        if (::symlink(path_.c_str(), link.c_str()) != 0)
            throw std::runtime_error("cannot link " + link);
    }

    // Everything that arrives on the master side until nothing more comes for quietMs.
    std::string Received(int quietMs = 100) const {
        std::string out;
        char buf[4096];
        for (;;) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, quietMs) != 1 || !(p.revents & POLLIN))
                return out;
            const ssize_t n = ::read(master_, buf, sizeof buf);
            if (n <= 0)
                return out;
            out.append(buf, static_cast<size_t>(n));
        }
    }

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

}  // namespace qtx::test
