#pragma once
// A switcher simulator speaking the wire protocol on 127.0.0.1: it announces itself with 0xF4,
// answers polls, sends its own polls, serves a crosspoint map on request, applies takes, sum on
// and sum off to its matrix and reports takes, and records every frame it receives. On request
// it goes offline, stops answering, stops reading, drops its connections, sends a frame in
// pieces or sends garbage. It can also fail to switch the ways a real switcher does (SimFaults).
// It runs on the event loop it is given (the tests share theirs).
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "common/EventLoop.h"
#include "switcher/LocalStream.h"

namespace qtx::sim {

// The ways a switcher fails to carry out crosspoint commands (take, sum on, sum off) received on
// its links. Outputs and sources count from 0 here.
struct SimFaults {
    std::set<int> LockedOutputs;     // commands to these are refused: unchanged, and a take is
                                     // answered with the crosspoint as it stands
    bool IgnoreCrosspoints = false;  // commands are dropped silently: no change, no report
    int WrongSource = -1;            // >= 0: takes and sums on route this source instead
    int AnswerDelayMs = 0;           // everything received is acted on (and answered) this late
    bool Reports = true;             // false: takes still switch but are not reported
};

struct SimOptions {
    int Outputs = 16;          // outputs of the matrix (the size of the map it serves)
    int Inputs = 16;           // sources
    int SourcesPerOutput = 1;  // routed at start: output o carries sources o, o+1, ... mod Inputs
    bool Announce = true;      // send 0xF4 to a client as soon as it is accepted
    int PollIntervalMs = 0;    // send its own 0xF5 this often; 0 for never
    int MapChunk = 0;          // outputs per map message; 0 for one message with all
    int Backlog = 8;           // listen backlog
    int ReceiveBuffer = 0;     // SO_RCVBUF of its sockets; 0 for the system's default
    std::string FrameLogPath;  // every received frame is appended here too, when set
    SimFaults Faults;          // failures to switch, from the start
    bool KeepFrames = true;    // record received frames for Frames(); off, nothing is kept
};

// One frame as received: when, from which client, and its bytes.
struct ReceivedFrame {
    int64_t TimeMs;  // milliseconds since the epoch (wall clock)
    int Client;      // client number, counting from 1 in order of acceptance
    std::string Bytes;
    int64_t TimeUs = 0;  // the same moment in microseconds
};

class SwitcherSim {
  public:
    explicit SwitcherSim(EventLoop& loop, SimOptions options = {});
    ~SwitcherSim();
    SwitcherSim(const SwitcherSim&) = delete;
    SwitcherSim& operator=(const SwitcherSim&) = delete;

    // Listens on address:port (port 0 picks a free one); returns the port. Throws on failure.
    int Listen(int port = 0, const std::string& address = "127.0.0.1");
    int Port() const { return port_; }
    void StopListening();
    // Takes an in-process connection (the accepting end of a LocalStreams pair) as a client,
    // announced like an accepted socket; returns its client number. The end must outlive the
    // simulator or be closed by the peer first.
    int Accept(LocalEnd& end);
    // Accepting off leaves connections waiting in the backlog.
    void SetAccepting(bool on);
    size_t ClientCount() const { return clients_.size(); }

    // Online: polls are answered with 0xF4 and map requests with a map. Offline (announced with
    // 0xF1): polls are answered with 0xF1 and map requests are ignored.
    void GoOffline();
    void GoOnline();
    bool Online() const { return online_; }
    // Silent: nothing received is answered (polls, map requests, commands are still recorded).
    void SetAnswering(bool on) { answering_ = on; }
    // Not reading: received bytes stay in the kernel, so a peer's writes back up.
    void SetReading(bool on);
    void DropConnections();

    // Failures to switch (see SimFaults); each may change at any time.
    const SimFaults& Faults() const { return options_.Faults; }
    void SetLocked(int output, bool locked);
    void UnlockAll() { options_.Faults.LockedOutputs.clear(); }
    void SetIgnoring(bool on) { options_.Faults.IgnoreCrosspoints = on; }
    void SetWrongSource(int source) { options_.Faults.WrongSource = source; }
    void SetAnswerDelay(int ms) { options_.Faults.AnswerDelayMs = ms < 0 ? 0 : ms; }
    void SetReporting(bool on) { options_.Faults.Reports = on; }

    // Output to every client.
    void SendRaw(const std::string& bytes);
    // The bytes in pieces of pieceSize, one piece every gapMs; later output waits behind them.
    void SendInPieces(const std::string& bytes, size_t pieceSize, int gapMs);
    // count random data bytes (bit 7 clear), which a receiver must skip.
    void SendGarbage(size_t count, uint32_t seed = 1);
    void SendPoll();
    void SendMap();
    void SendTakeReport(int source, int destination);
    // The map messages for the current matrix (split by MapChunk).
    std::vector<std::string> MapMessages() const;

    // The matrix: for each output the sources it carries, in the order they were routed.
    const std::vector<std::vector<int>>& Matrix() const { return matrix_; }

    const std::vector<ReceivedFrame>& Frames() const { return frames_; }
    std::vector<std::string> FramesWithCode(uint8_t code) const;
    void ClearFrames() { frames_.clear(); }

    // One line of the text control (see docs/switcher-sim.md); returns the reply line.
    std::string Command(const std::string& line);

  private:
    struct Client;
    void OnAccept();
    Client& AddClient(int id, std::unique_ptr<Client> c);
    void OnClientReady(int id, unsigned ready);
    void HandleFrame(int clientId, const std::string& frame);
    void ActOn(Client& c, const std::string& frame);
    void ActOnDelayed();
    void Commanded(int command, int source, int destination);
    void Send(Client& c, const std::string& bytes);
    void Flush(Client& c);
    void SendPieces();
    void CloseClient(int id);
    void Apply(int command, int source, int destination);

    EventLoop& loop_;
    SimOptions options_;
    int listenFd_ = -1;
    EventLoop::WatchId listenWatch_ = -1;
    int port_ = 0;
    std::map<int, std::unique_ptr<Client>> clients_;
    int nextClient_ = 1;
    bool online_ = true;
    bool answering_ = true;
    bool reading_ = true;
    EventLoop::TimerId pollTimer_ = -1;
    EventLoop::TimerId pieceTimer_ = -1;
    struct Delayed {
        int64_t DueUs;
        int Client;
        std::string Frame;
    };
    std::deque<Delayed> delayed_;  // frames received, waiting for AnswerDelayMs
    EventLoop::TimerId delayTimer_ = -1;
    size_t pieceSize_ = 1;
    std::vector<std::vector<int>> matrix_;
    std::vector<ReceivedFrame> frames_;
};

// "1,3,7" (destinations from 1) as numbers; empty when the text is not such a list.
std::vector<int> ParseOutputList(const std::string& text);
// The failures set, as the control's `faults` reply gives them (numbers from 1).
std::string DescribeFaults(const SimFaults& f);

// Hex text of bytes, "FE 04 00" style; and back (blanks ignored). The parser throws on bad text.
std::string ToHex(const std::string& bytes);
std::string FromHex(const std::string& hex);

}  // namespace qtx::sim
