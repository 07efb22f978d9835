#pragma once
// Real receivers for the e-mail and SNMP routes, each a child process on 127.0.0.1 and a port
// of its own: an SMTP server (aiosmtpd, tests/alarms/smtp_sink.py) that writes each message to
// a folder, and snmptrapd with its own configuration, state folder and log, the QTX MIB loaded
// so that it names what it receives. Both end when the test does (stdin closed, SIGTERM).
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "fixtures/TempDir.h"
#include "tests/alarms/WebhookReceiver.h"

namespace qtx::test {

// A child process with a pipe on its standard input (closed when it is ended) and, when asked,
// its first line of standard output.
class Child {
  public:
    // errors: where its standard error goes ("": the test's).
    Child(std::vector<std::string> argv, std::vector<std::string> env = {},
          const std::string& errors = "") {
        int in[2], out[2];
        if (::pipe(in) != 0 || ::pipe(out) != 0)
            throw std::runtime_error("pipe");
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            ::close(in[1]);
            ::close(out[0]);
            if (!errors.empty()) {
                const int fd = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
                ::dup2(fd, 2);
            }
            for (std::string& e : env)
                ::putenv(e.data());
            std::vector<char*> args;
            for (std::string& a : argv)
                args.push_back(a.data());
            args.push_back(nullptr);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        in_ = in[1];
        out_ = out[0];
    }
    ~Child() {
        ::close(in_);
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        ::close(out_);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    std::string FirstLine() {
        std::string line;
        char c;
        while (::read(out_, &c, 1) == 1 && c != '\n')
            line += c;
        return line;
    }

  private:
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1;
};

class SmtpSink {
  public:
    // login "USER:PASSWORD": the server requires that login.
    explicit SmtpSink(const std::string& login = "")
        : child_(Argv(dir_.Path(), login), {}, dir_.File("sink.err")),
          port_(std::stoi("0" + child_.FirstLine())) {
        if (port_ == 0)
            throw std::runtime_error("smtp_sink.py did not start");
    }
    std::string Url() const { return "smtp://127.0.0.1:" + std::to_string(port_); }
    // The messages received so far, in order, each as written (envelope lines first).
    std::vector<std::string> Messages() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(dir_.Path()))
            if (e.path().extension() == ".eml")
                names.push_back(e.path().string());
        std::sort(names.begin(), names.end());
        std::vector<std::string> out;
        for (const std::string& n : names)
            out.push_back(ReadWholeFile(n));
        return out;
    }
    bool WaitFor(size_t n, int ms = 5000) const {
        return WaitUntil([&] { return Messages().size() >= n; }, ms);
    }

  private:
    static std::vector<std::string> Argv(const std::string& dir, const std::string& login) {
        std::vector<std::string> a{"/usr/bin/python3",
                                   std::string(QTX_SOURCE_DIR) + "/tests/alarms/smtp_sink.py", dir};
        if (!login.empty())
            a.push_back(login);
        return a;
    }
    TempDir dir_;
    Child child_;
    int port_;
};

// smtp://127.0.0.1:PORT where nothing listens.
inline std::string RefusingSmtp() {
    return "smtp://127.0.0.1:" + std::to_string(FreePort(SOCK_STREAM));
}

// Standard output (and error) of a command, and its exit status.
inline std::pair<int, std::string> Shell(const std::string& command) {
    std::string out;
    std::unique_ptr<FILE, int (*)(FILE*)> p(::popen((command + " 2>&1").c_str(), "r"), ::pclose);
    std::array<char, 4096> buf;
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), p.get())) > 0)
        out.append(buf.data(), n);
    const int status = ::pclose(p.release());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

inline std::string MibFolders() {
    return std::string(QTX_BINARY_DIR) + "/packaging/snmp:" + QTX_SOURCE_DIR + "/tests/alarms/mibs";
}

class TrapSink {
  public:
    TrapSink()
        : port_(FreePort(SOCK_DGRAM)),  // snmptrapd takes a port number, not 0
          child_(Argv(dir_, port_), {"SNMP_PERSISTENT_DIR=" + dir_.Path()},
                 dir_.File("snmptrapd.err")) {
        if (!WaitUntil([&] { return Log().find("NET-SNMP version") != std::string::npos; }))
            throw std::runtime_error("snmptrapd did not start: " + Log());
    }
    std::string Target() const { return "127.0.0.1:" + std::to_string(port_); }
    std::string Log() const {
        return std::filesystem::exists(dir_.File("traps.log"))
                   ? ReadWholeFile(dir_.File("traps.log"))
                   : "";
    }
    // Waits until the log holds text.
    bool WaitFor(const std::string& text, int ms = 5000) const {
        return WaitUntil([&] { return Log().find(text) != std::string::npos; }, ms);
    }

  private:
    static std::vector<std::string> Argv(const TempDir& dir, int port) {
        WriteWholeFile(dir.File("snmptrapd.conf"), "disableAuthorization yes\n");
        return {"/usr/sbin/snmptrapd",
                "-f",
                "-n",
                "-C",
                "-c",
                dir.File("snmptrapd.conf"),
                "-Lf",
                dir.File("traps.log"),
                "-M",
                MibFolders(),
                "-m",
                "QTX-AUTOMATION-MIB",
                "udp:127.0.0.1:" + std::to_string(port)};
    }
    TempDir dir_;
    int port_;
    Child child_;
};

}  // namespace qtx::test
