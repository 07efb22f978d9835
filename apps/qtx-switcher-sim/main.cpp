// qtx-switcher-sim: a switcher simulator for the demo and the end-to-end tests. Options set it
// up; text commands on stdin or on a control port of 127.0.0.1 drive it (docs/switcher-sim.md).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "apps/shared/StandardOptions.h"
#include "common/PollEventLoop.h"
#include "switcher/sim/SwitcherSim.h"

namespace {

qtx::PollEventLoop* g_loop = nullptr;

void OnSignal(int) {
    if (g_loop != nullptr)
        g_loop->Stop();
}

constexpr const char* kUsage =

    "usage: qtx-switcher-sim [options]\n"
    "  --port N               listen port (default 1250; 0 picks a free one)\n"
    "  --address A            listen address (default 127.0.0.1)\n"
    "  --outputs N            outputs of the matrix, the size of the map (default 16)\n"
    "  --inputs N             sources (default 16)\n"
    "  --sources-per-output N sources routed to each output at start (default 1)\n"
    "  --poll-ms N            send its own polls every N ms (default 0: never)\n"
    "  --map-chunk N          outputs per map message (default 0: all in one)\n"
    "  --no-announce          do not send 0xF4 when a client connects\n"
    "  --frame-log PATH       append every received frame to PATH\n"
    "  --control-port N       line-based control on 127.0.0.1:N\n"
    "  --no-stdin             do not read commands from stdin\n"
    "failures to switch (also commands at run time; see docs/switcher-sim.md):\n"
    "  --lock D[,D...]        refuse crosspoint commands to these destinations (from 1)\n"
    "  --ignore-takes         drop crosspoint commands silently\n"
    "  --wrong-source S       takes and sums on route source S instead (from 1)\n"
    "  --delay-ms N           act on and answer everything received N ms late\n"
    "  --no-reports           switch but send no take reports\n";

void Usage() {
    std::fputs(kUsage, stderr);
}

// Line-based control connections on 127.0.0.1.
class ControlPort {
  public:
    ControlPort(qtx::EventLoop& loop, qtx::sim::SwitcherSim& sim, int port)
        : loop_(loop), sim_(sim) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        int on = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(port));
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
            ::listen(fd_, 4) != 0)
            throw std::runtime_error("cannot listen on the control port");
        loop_.AddWatch(fd_, qtx::EventLoop::Readable, [this](unsigned) { Accept(); });
    }
    ~ControlPort() {
        for (auto& [fd, c] : conns_) {
            loop_.DeleteWatch(c.watch);
            ::close(fd);
        }
        ::close(fd_);
    }

  private:
    struct Conn {
        qtx::EventLoop::WatchId watch;
        std::string in;
    };
    void Accept() {
        int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0)
            return;
        conns_[c].watch =
            loop_.AddWatch(c, qtx::EventLoop::Readable, [this, c](unsigned) { Read(c); });
    }
    void Read(int c) {
        char buf[512];
        ssize_t n = ::recv(c, buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0) {
            loop_.DeleteWatch(conns_[c].watch);
            conns_.erase(c);
            ::close(c);
            return;
        }
        std::string& in = conns_[c].in;
        in.append(buf, static_cast<size_t>(n));
        size_t end;
        while ((end = in.find('\n')) != std::string::npos) {
            std::string line = in.substr(0, end);
            in.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            std::string reply = line == "quit" ? (g_loop->Stop(), "OK") : sim_.Command(line);
            reply += "\n";
            [[maybe_unused]] ssize_t w = ::send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
        }
    }
    qtx::EventLoop& loop_;
    qtx::sim::SwitcherSim& sim_;
    int fd_ = -1;
    std::map<int, Conn> conns_;
};

}  // namespace

int main(int argc, char** argv) {
    if (const auto answered =
            qtx::AnswerStandardOption(argc, argv, "qtx-switcher-sim", kUsage, std::cout))
        return *answered;
    qtx::sim::SimOptions options;
    int port = 1250, controlPort = 0;
    std::string address = "127.0.0.1";
    bool useStdin = true;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                Usage();
                std::exit(2);
            }
            return argv[++i];
        };
        try {
            if (a == "--port")
                port = std::stoi(value());
            else if (a == "--address")
                address = value();
            else if (a == "--outputs")
                options.Outputs = std::stoi(value());
            else if (a == "--inputs")
                options.Inputs = std::stoi(value());
            else if (a == "--sources-per-output")
                options.SourcesPerOutput = std::stoi(value());
            else if (a == "--poll-ms")
                options.PollIntervalMs = std::stoi(value());
            else if (a == "--map-chunk")
                options.MapChunk = std::stoi(value());
            else if (a == "--no-announce")
                options.Announce = false;
            else if (a == "--frame-log")
                options.FrameLogPath = value();
            else if (a == "--control-port")
                controlPort = std::stoi(value());
            else if (a == "--no-stdin")
                useStdin = false;
            else if (a == "--lock") {
                const std::vector<int> outputs = qtx::sim::ParseOutputList(value());
                if (outputs.empty())
                    throw std::invalid_argument("--lock");
                for (int d : outputs)
                    options.Faults.LockedOutputs.insert(d - 1);
            } else if (a == "--ignore-takes")
                options.Faults.IgnoreCrosspoints = true;
            else if (a == "--wrong-source") {
                const int s = std::stoi(value());
                if (s < 1)
                    throw std::invalid_argument("--wrong-source");
                options.Faults.WrongSource = s - 1;
            } else if (a == "--delay-ms") {
                options.Faults.AnswerDelayMs = std::stoi(value());
                if (options.Faults.AnswerDelayMs < 0 || options.Faults.AnswerDelayMs > 600000)
                    throw std::invalid_argument("--delay-ms");
            } else if (a == "--no-reports")
                options.Faults.Reports = false;
            else {
                Usage();
                return a == "--help" ? 0 : 2;
            }
        } catch (const std::exception&) {
            Usage();
            return 2;
        }
    }
    if (options.Outputs < 0 || options.Outputs > 16383 || options.Inputs < 1 ||
        options.Inputs > 16384) {
        std::fputs("qtx-switcher-sim: outputs 0 to 16383, inputs 1 to 16384\n", stderr);
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    try {
        qtx::PollEventLoop loop;
        g_loop = &loop;
        std::signal(SIGINT, OnSignal);
        std::signal(SIGTERM, OnSignal);
        qtx::sim::SwitcherSim sim(loop, options);
        const int actual = sim.Listen(port, address);
        std::unique_ptr<ControlPort> control;
        if (controlPort > 0)
            control = std::make_unique<ControlPort>(loop, sim, controlPort);
        std::printf("qtx-switcher-sim listening on %s:%d\n", address.c_str(), actual);
        std::fflush(stdout);
        std::string pending;
        qtx::EventLoop::WatchId stdinWatch = -1;
        if (useStdin) {
            stdinWatch = loop.AddWatch(STDIN_FILENO, qtx::EventLoop::Readable, [&](unsigned) {
                char buf[512];
                ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
                if (n <= 0) {
                    // End of input (run in the background): keep serving, stop watching stdin.
                    loop.DeleteWatch(stdinWatch);
                    return;
                }
                pending.append(buf, static_cast<size_t>(n));
                size_t end;
                while ((end = pending.find('\n')) != std::string::npos) {
                    const std::string line = pending.substr(0, end);
                    pending.erase(0, end + 1);
                    if (line == "quit") {
                        loop.Stop();
                        return;
                    }
                    std::printf("%s\n", sim.Command(line).c_str());
                    std::fflush(stdout);
                }
            });
        }
        loop.Run();
        g_loop = nullptr;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qtx-switcher-sim: %s\n", e.what());
        return 1;
    }
    return 0;
}
