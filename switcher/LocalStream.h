#pragma once
// In-process byte streams between two parts of one program (the preview's engine and its switcher
// simulator): what one end writes the other end reads, in order, with no descriptor and no system
// call. Nothing is handed over inside a write: the owner's loop calls Deliver(), which tells each
// end that is ready (bytes waiting, a new connection, the peer gone) through its OnReady, the way
// a socket's readiness reaches its watch. Readiness is level-triggered, as poll(2)'s is: an end
// that leaves bytes unread is told again on the next round.
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qtx {

class LocalEnd {
  public:
    LocalEnd() = default;
    LocalEnd(const LocalEnd&) = delete;
    LocalEnd& operator=(const LocalEnd&) = delete;

    // Hands every byte to the peer; false (nothing taken) when either end is closed.
    bool Write(const char* data, size_t count);
    // Moves up to max waiting bytes to out; returns the count (0 when none are waiting).
    size_t Read(char* out, size_t max);
    size_t Waiting() const { return in_.size() - read_; }
    // The peer has closed its end: once the waiting bytes are read, the stream has ended.
    bool PeerClosed() const;
    bool Closed() const { return closed_; }
    // Ends this side: what is waiting is dropped, the peer is told, OnReady is never run again.
    void Close();

    // Run by Deliver when the end is ready; unset, the end is not watched.
    std::function<void()> OnReady;

  private:
    friend class LocalStreams;
    bool Ready() const;
    LocalEnd* peer_ = nullptr;
    std::string in_;   // received; bytes before read_ have been read
    size_t read_ = 0;  // how far in_ has been read
    bool closed_ = false;
    bool news_ = false;  // a new connection, not yet told
};

class LocalStreams {
  public:
    // A new stream: the connecting end and the accepting end. Both are ready on the next round,
    // as a socket that has just connected is.
    struct Pair {
        LocalEnd Connecting;
        LocalEnd Accepting;
    };
    Pair& Open();
    // One round: runs OnReady of every end that was ready when the round began; returns whether
    // any ran. Streams closed at both ends are freed (outside any OnReady).
    bool Deliver();

  private:
    std::vector<std::unique_ptr<Pair>> pairs_;
    int depth_ = 0;                 // rounds in progress (an OnReady may pump the loop again)
    std::vector<LocalEnd*> ready_;  // the outermost round's ends to tell
};

}  // namespace qtx
