#pragma once
// The floor of an event's lateness at the switcher: a plain sender that sleeps to each of a few
// whole seconds on an absolute wall-clock timer and writes one salvo frame (salvo 1000 + i) at
// once, against the same simulator as the engine, in the same run.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <ctime>
#include <string>

#include "switcher/ByteManipulation.h"
#include "switcher/Frames.h"

namespace qtx::bench {

inline constexpr int FloorSends = 10;
inline constexpr int FloorFirstSalvo = 1000;

// Sends FloorSends frames, one a second; returns the first of those seconds (epoch s).
inline int64_t FloorSender(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const int64_t first = now.tv_sec + 2;
    for (int i = 0; i < FloorSends; ++i) {
        const timespec at{static_cast<time_t>(first + i), 0};
        ::clock_nanosleep(CLOCK_REALTIME, TIMER_ABSTIME, &at, nullptr);
        std::string f = frames::SingleByte(frames::Salvo);
        f.push_back(0x64);
        AppendWord(f, FloorFirstSalvo + i - 1);
        frames::Finish(f);
        [[maybe_unused]] ssize_t n = ::send(fd, f.data(), f.size(), MSG_NOSIGNAL);
    }
    ::usleep(200000);
    ::close(fd);
    return first;
}

}  // namespace qtx::bench
