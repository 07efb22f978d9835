#include "switcher/sim/SwitcherSim.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "switcher/ByteManipulation.h"
#include "switcher/Frames.h"

namespace qtx::sim {

namespace {

int64_t WallUs() {
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

struct SwitcherSim::Client {
    int fd = -1;                    // the accepted connection
    LocalEnd* local = nullptr;      // or the in-process stream used instead
    EventLoop::WatchId watch = -1;  // its watch
    std::string in;                 // received bytes not yet cut into frames
    std::string out;                // bytes waiting to be sent
    std::string paced;              // bytes to go out in pieces, one piece per timer firing
};

std::string ToHex(const std::string& bytes) {
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    for (unsigned char b : bytes) {
        if (!s.empty())
            s.push_back(' ');
        s.push_back(digits[b >> 4]);
        s.push_back(digits[b & 15]);
    }
    return s;
}

std::string FromHex(const std::string& hex) {
    std::string out, digits;
    for (char ch : hex) {
        if (ch == ' ' || ch == '\t' || ch == ',')
            continue;
        if (!std::isxdigit(static_cast<unsigned char>(ch)))
            throw std::invalid_argument("not a hex digit");
        digits.push_back(ch);
    }
    if (digits.size() % 2 != 0)
        throw std::invalid_argument("odd number of hex digits");
    for (size_t i = 0; i < digits.size(); i += 2)
        out.push_back(static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return out;
}

SwitcherSim::SwitcherSim(EventLoop& loop, SimOptions options)
    : loop_(loop), options_(std::move(options)) {
    matrix_.resize(static_cast<size_t>(std::max(0, options_.Outputs)));
    for (int o = 0; o < options_.Outputs; ++o)
        for (int j = 0; j < options_.SourcesPerOutput && options_.Inputs > 0; ++j)
            matrix_[static_cast<size_t>(o)].push_back((o + j) % options_.Inputs);
    if (options_.PollIntervalMs > 0)
        pollTimer_ = loop_.AddTimer(options_.PollIntervalMs, -1, [this] { SendPoll(); });
}

SwitcherSim::~SwitcherSim() {
    if (pollTimer_ >= 0)
        loop_.DeleteTimer(pollTimer_);
    if (pieceTimer_ >= 0)
        loop_.DeleteTimer(pieceTimer_);
    if (delayTimer_ >= 0)
        loop_.DeleteTimer(delayTimer_);
    DropConnections();
    StopListening();
}

int SwitcherSim::Listen(int port, const std::string& address) {
    StopListening();
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("socket failed");
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (options_.ReceiveBuffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &options_.ReceiveBuffer,
                     sizeof options_.ReceiveBuffer);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    if (::inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        ::listen(fd, options_.Backlog) != 0) {
        ::close(fd);
        throw std::runtime_error("cannot listen on " + address + ":" + std::to_string(port));
    }
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    listenFd_ = fd;
    port_ = ntohs(sa.sin_port);
    SetAccepting(true);
    return port_;
}

void SwitcherSim::StopListening() {
    SetAccepting(false);
    if (listenFd_ >= 0)
        ::close(listenFd_);
    listenFd_ = -1;
}

void SwitcherSim::SetAccepting(bool on) {
    if (listenWatch_ >= 0)
        loop_.DeleteWatch(listenWatch_);
    listenWatch_ = -1;
    if (on && listenFd_ >= 0)
        listenWatch_ =
            loop_.AddWatch(listenFd_, EventLoop::Readable, [this](unsigned) { OnAccept(); });
}

void SwitcherSim::OnAccept() {
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return;
    const int id = nextClient_++;
    auto c = std::make_unique<Client>();
    c->fd = fd;
    c->watch = loop_.AddWatch(fd, reading_ ? EventLoop::Readable : 0u,
                              [this, id](unsigned ready) { OnClientReady(id, ready); });
    AddClient(id, std::move(c));
}

int SwitcherSim::Accept(LocalEnd& end) {
    const int id = nextClient_++;
    auto c = std::make_unique<Client>();
    c->local = &end;
    if (reading_)
        end.OnReady = [this, id] { OnClientReady(id, EventLoop::Readable); };
    AddClient(id, std::move(c));
    return id;
}

SwitcherSim::Client& SwitcherSim::AddClient(int id, std::unique_ptr<Client> c) {
    Client& ref = *c;
    clients_.emplace(id, std::move(c));
    if (options_.Announce && online_)
        Send(ref, frames::SingleByte(frames::Online));
    return ref;
}

void SwitcherSim::CloseClient(int id) {
    auto it = clients_.find(id);
    if (it == clients_.end())
        return;
    if (it->second->local != nullptr) {
        it->second->local->Close();
    } else {
        loop_.DeleteWatch(it->second->watch);
        ::close(it->second->fd);
    }
    clients_.erase(it);
}

void SwitcherSim::DropConnections() {
    while (!clients_.empty())
        CloseClient(clients_.begin()->first);
}

void SwitcherSim::SetReading(bool on) {
    reading_ = on;
    for (auto& [id, c] : clients_) {
        if (c->local != nullptr) {
            const int client = id;
            c->local->OnReady = nullptr;
            if (on)
                c->local->OnReady = [this, client] { OnClientReady(client, EventLoop::Readable); };
            continue;
        }
        unsigned mask = on ? EventLoop::Readable : 0u;
        if (!c->out.empty())
            mask |= EventLoop::Writable;
        loop_.UpdateWatch(c->watch, mask);
    }
}

void SwitcherSim::OnClientReady(int id, unsigned ready) {
    auto it = clients_.find(id);
    if (it == clients_.end())
        return;
    Client& c = *it->second;
    if (ready & EventLoop::Writable)
        Flush(c);
    if (!(ready & EventLoop::Readable))
        return;
    if (!reading_) {
        // A hang-up while not reading: only a closed peer is acted on.
        char probe;
        if (::recv(c.fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT) == 0)
            CloseClient(id);
        return;
    }
    char buf[4096];
    ssize_t n = 0;
    if (c.local != nullptr) {
        n = static_cast<ssize_t>(c.local->Read(buf, sizeof buf));
        if (n == 0 && !c.local->PeerClosed())
            return;
    } else {
        n = ::recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
    }
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        CloseClient(id);
        return;
    }
    if (n < 0)
        return;
    c.in.append(buf, static_cast<size_t>(n));
    // Cut frames the way the engine does: single-byte codes alone, others up to 0xFF; data
    // bytes out of step are skipped.
    while (!c.in.empty()) {
        const uint8_t code = static_cast<uint8_t>(c.in[0]);
        if (!IsCommandByte(code)) {
            c.in.erase(0, 1);
            continue;
        }
        size_t len;
        if (code == frames::Poll || code == frames::Online || code == frames::Offline ||
            code == frames::NoAction) {
            len = 1;
        } else {
            const size_t end = c.in.find(static_cast<char>(frames::Terminator));
            if (end == std::string::npos)
                break;
            len = end + 1;
        }
        const std::string frame = c.in.substr(0, len);
        c.in.erase(0, len);
        HandleFrame(id, frame);
        if (clients_.find(id) == clients_.end())
            return;
    }
}

void SwitcherSim::HandleFrame(int clientId, const std::string& frame) {
    const int64_t us = WallUs();
    if (options_.KeepFrames || !options_.FrameLogPath.empty()) {
        ReceivedFrame received{us / 1000, clientId, frame, us};
        if (!options_.FrameLogPath.empty()) {
            std::ofstream log(options_.FrameLogPath, std::ios::app | std::ios::binary);
            log << received.TimeMs << ' ' << clientId << ' ' << ToHex(frame) << '\n';
        }
        if (options_.KeepFrames)
            frames_.push_back(std::move(received));
    }
    // A slow switcher: the frame is recorded now and acted on later, in the order received.
    if (options_.Faults.AnswerDelayMs > 0 || !delayed_.empty()) {
        delayed_.push_back({us + int64_t{options_.Faults.AnswerDelayMs} * 1000, clientId, frame});
        if (delayTimer_ < 0)
            delayTimer_ = loop_.AddTimer(2, -1, [this] { ActOnDelayed(); });
        return;
    }
    ActOn(*clients_.at(clientId), frame);
}

void SwitcherSim::ActOnDelayed() {
    const int64_t now = WallUs();
    while (!delayed_.empty() && delayed_.front().DueUs <= now) {
        const Delayed d = std::move(delayed_.front());
        delayed_.pop_front();
        auto it = clients_.find(d.Client);
        if (it != clients_.end())  // a client gone meanwhile gets no answer
            ActOn(*it->second, d.Frame);
    }
    if (delayed_.empty() && delayTimer_ >= 0) {
        loop_.DeleteTimer(delayTimer_);
        delayTimer_ = -1;
    }
}

void SwitcherSim::ActOn(Client& c, const std::string& frame) {
    const uint8_t code = static_cast<uint8_t>(frame[0]);
    if (code == frames::Poll) {
        if (answering_)
            Send(c, frames::SingleByte(online_ ? frames::Online : frames::Offline));
        return;
    }
    const bool intact =
        frame.size() >= 3 && ByteAt(frame, frame.size() - 2) == Checksum(frame, frame.size() - 2);
    if (!intact)
        return;
    if (code == frames::Info && frame.size() == 13 &&
        frame.substr(1, 4) == frames::MapRequestSelector) {
        if (answering_ && online_)
            for (const std::string& m : MapMessages())
                Send(c, m);
        return;
    }
    if (code == frames::Crosspoint && frame.size() == 9)
        Commanded(WordAt(frame, 1), WordAt(frame, 3), WordAt(frame, 5));
}

void SwitcherSim::SetLocked(int output, bool locked) {
    if (locked)
        options_.Faults.LockedOutputs.insert(output);
    else
        options_.Faults.LockedOutputs.erase(output);
}

// A crosspoint command from a link, through the failures set.
void SwitcherSim::Commanded(int command, int source, int destination) {
    const SimFaults& f = options_.Faults;
    const bool crosspoint =
        command == frames::CmdTake || command == frames::CmdSumOn || command == frames::CmdSumOff;
    if (crosspoint && f.IgnoreCrosspoints)
        return;
    if (crosspoint && f.LockedOutputs.count(destination) != 0) {
        // Refused: a take is answered with what the output carries now.
        if (command == frames::CmdTake && answering_ && f.Reports && destination >= 0 &&
            destination < static_cast<int>(matrix_.size()) &&
            !matrix_[static_cast<size_t>(destination)].empty())
            SendTakeReport(matrix_[static_cast<size_t>(destination)].front(), destination);
        return;
    }
    if (f.WrongSource >= 0 && (command == frames::CmdTake || command == frames::CmdSumOn))
        source = f.WrongSource;
    Apply(command, source, destination);
}

void SwitcherSim::Apply(int command, int source, int destination) {
    if (destination < 0 || destination >= static_cast<int>(matrix_.size()))
        return;
    std::vector<int>& carried = matrix_[static_cast<size_t>(destination)];
    auto found = std::find(carried.begin(), carried.end(), source);
    switch (command) {
        case frames::CmdTake:
            carried.assign(1, source);
            if (answering_ && options_.Faults.Reports)
                SendTakeReport(source, destination);
            break;
        case frames::CmdSumOn:
            if (found == carried.end())
                carried.push_back(source);
            break;
        case frames::CmdSumOff:
            if (found != carried.end())
                carried.erase(found);
            break;
        default:
            break;  // relays and anything else: recorded only
    }
}

void SwitcherSim::Send(Client& c, const std::string& bytes) {
    if (!c.paced.empty()) {
        c.paced += bytes;  // behind a frame being sent in pieces, never inside it
        return;
    }
    c.out += bytes;
    Flush(c);
}

void SwitcherSim::Flush(Client& c) {
    if (c.local != nullptr) {
        c.local->Write(c.out.data(), c.out.size());  // dropped when the peer has gone
        c.out.clear();
        return;
    }
    while (!c.out.empty()) {
        ssize_t n = ::send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n <= 0)
            break;
        c.out.erase(0, static_cast<size_t>(n));
    }
    unsigned mask = reading_ ? EventLoop::Readable : 0u;
    if (!c.out.empty())
        mask |= EventLoop::Writable;
    loop_.UpdateWatch(c.watch, mask);
}

void SwitcherSim::SendRaw(const std::string& bytes) {
    for (auto& [id, c] : clients_)
        Send(*c, bytes);
}

void SwitcherSim::SendInPieces(const std::string& bytes, size_t pieceSize, int gapMs) {
    pieceSize_ = pieceSize == 0 ? 1 : pieceSize;
    for (auto& [id, c] : clients_)
        c->paced += bytes;
    SendPieces();
    if (pieceTimer_ < 0)
        pieceTimer_ = loop_.AddTimer(std::max(1, gapMs), -1, [this] { SendPieces(); });
}

void SwitcherSim::SendPieces() {
    bool more = false;
    for (auto& [id, c] : clients_) {
        const size_t n = std::min(pieceSize_, c->paced.size());
        c->out += c->paced.substr(0, n);
        c->paced.erase(0, n);
        Flush(*c);
        more = more || !c->paced.empty();
    }
    if (!more && pieceTimer_ >= 0) {
        loop_.DeleteTimer(pieceTimer_);
        pieceTimer_ = -1;
    }
}

void SwitcherSim::SendGarbage(size_t count, uint32_t seed) {
    std::mt19937 gen(seed);
    std::string g;
    for (size_t i = 0; i < count; ++i)
        g.push_back(static_cast<char>(gen() & 0x7F));
    SendRaw(g);
}

void SwitcherSim::SendPoll() {
    if (answering_)
        SendRaw(frames::SingleByte(frames::Poll));
}

void SwitcherSim::GoOffline() {
    online_ = false;
    SendRaw(frames::SingleByte(frames::Offline));
}

void SwitcherSim::GoOnline() {
    online_ = true;
    SendRaw(frames::SingleByte(frames::Online));
}

void SwitcherSim::SendMap() {
    for (const std::string& m : MapMessages())
        SendRaw(m);
}

void SwitcherSim::SendTakeReport(int source, int destination) {
    SendRaw(frames::CrosspointFrame(frames::CmdTake, source, destination));
}

std::vector<std::string> SwitcherSim::MapMessages() const {
    std::vector<std::string> out;
    const int total = static_cast<int>(matrix_.size());
    const int chunk = options_.MapChunk > 0 ? options_.MapChunk : std::max(total, 1);
    for (int first = 0; first < total || (total == 0 && first == 0); first += chunk) {
        const int n = std::min(chunk, total - first);
        std::string m = frames::SingleByte(frames::Map);
        m.push_back(0x00);
        AppendWord(m, n);
        AppendWord(m, first);
        for (int o = first; o < first + n; ++o) {
            const auto& carried = matrix_[static_cast<size_t>(o)];
            AppendWord(m, static_cast<int64_t>(carried.size()));
            m.push_back(0x00);
            for (int s : carried) {
                AppendWord(m, s);
                AppendWord(m, 0);
            }
        }
        out.push_back(frames::Finish(m));
        if (total == 0)
            break;
    }
    return out;
}

std::vector<std::string> SwitcherSim::FramesWithCode(uint8_t code) const {
    std::vector<std::string> out;
    for (const auto& f : frames_)
        if (!f.Bytes.empty() && static_cast<uint8_t>(f.Bytes[0]) == code)
            out.push_back(f.Bytes);
    return out;
}

std::vector<int> ParseOutputList(const std::string& text) {
    std::vector<int> out;
    if (text.empty() || text.back() == ',')
        return out;
    std::istringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        size_t used = 0;
        int n = 0;
        try {
            n = std::stoi(item, &used);
        } catch (const std::exception&) {
            return {};
        }
        if (used != item.size() || n < 1 || n > 16384)
            return {};
        out.push_back(n);
    }
    return out;
}

std::string DescribeFaults(const SimFaults& f) {
    std::string locked;
    for (int d : f.LockedOutputs)
        locked += (locked.empty() ? "" : ",") + std::to_string(d + 1);
    return "locked " + (locked.empty() ? std::string("none") : locked) + " ignore " +
           (f.IgnoreCrosspoints ? "on" : "off") + " wrongsource " +
           (f.WrongSource >= 0 ? std::to_string(f.WrongSource + 1) : std::string("off")) +
           " delay " + std::to_string(f.AnswerDelayMs) + " reports " + (f.Reports ? "on" : "off");
}

std::string SwitcherSim::Command(const std::string& line) {
    std::istringstream in(line);
    std::string word;
    in >> word;
    try {
        if (word == "offline") {
            GoOffline();
        } else if (word == "online") {
            GoOnline();
        } else if (word == "silent") {
            SetAnswering(false);
        } else if (word == "answer") {
            SetAnswering(true);
        } else if (word == "stopreading") {
            SetReading(false);
        } else if (word == "read") {
            SetReading(true);
        } else if (word == "drop") {
            DropConnections();
        } else if (word == "poll") {
            SendPoll();
        } else if (word == "map") {
            SendMap();
        } else if (word == "garbage") {
            size_t n = 16;
            in >> n;
            SendGarbage(n);
        } else if (word == "take") {
            int s = -1, d = -1;
            if (!(in >> s >> d) || s < 1 || d < 1)
                return "ERR take needs source and destination, from 1";
            Apply(frames::CmdTake, s - 1, d - 1);
        } else if (word == "send" || word == "pieces") {
            size_t size = 1;
            int gap = 50;
            if (word == "pieces" && !(in >> size >> gap))
                return "ERR pieces needs size, gap in ms and the hex bytes";
            std::string rest;
            std::getline(in, rest);
            const std::string bytes = FromHex(rest);
            if (word == "send")
                SendRaw(bytes);
            else
                SendInPieces(bytes, size, gap);
        } else if (word == "lock" || word == "unlock") {
            std::string list;
            in >> list;
            if (list.empty() && word == "unlock") {
                UnlockAll();
                return "OK";
            }
            const std::vector<int> outputs = ParseOutputList(list);
            if (outputs.empty())
                return "ERR " + word + " needs destinations from 1, e.g. " + word + " 1,3";
            for (int d : outputs)
                SetLocked(d - 1, word == "lock");
        } else if (word == "ignore") {
            SetIgnoring(true);
        } else if (word == "obey") {
            SetIgnoring(false);
        } else if (word == "wrongsource") {
            std::string arg;
            in >> arg;
            int s = 0;
            if (arg == "off")
                SetWrongSource(-1);
            else if (std::istringstream(arg) >> s && s >= 1)
                SetWrongSource(s - 1);
            else
                return "ERR wrongsource needs a source from 1, or off";
        } else if (word == "delay") {
            int ms = -1;
            if (!(in >> ms) || ms < 0 || ms > 600000)
                return "ERR delay needs milliseconds, 0 to 600000";
            SetAnswerDelay(ms);
        } else if (word == "noreports") {
            SetReporting(false);
        } else if (word == "reports") {
            SetReporting(true);
        } else if (word == "faults") {
            return "OK " + DescribeFaults(options_.Faults);
        } else if (word == "frames") {
            return "OK " + std::to_string(frames_.size());
        } else if (word == "last") {
            return frames_.empty() ? "OK" : "OK " + ToHex(frames_.back().Bytes);
        } else if (word == "status") {
            return std::string("OK ") + (online_ ? "online" : "offline") + " clients " +
                   std::to_string(clients_.size()) + " frames " + std::to_string(frames_.size());
        } else if (word == "route") {
            int d = -1;
            if (!(in >> d) || d < 1 || d > static_cast<int>(matrix_.size()))
                return "ERR route needs a destination from 1";
            std::string s = "OK";
            for (int src : matrix_[static_cast<size_t>(d - 1)])
                s += " " + std::to_string(src + 1);
            return s;
        } else {
            return "ERR unknown command";
        }
    } catch (const std::exception& e) {
        return std::string("ERR ") + e.what();
    }
    return "OK";
}

}  // namespace qtx::sim
