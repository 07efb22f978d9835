// Received-message handling of TcpComm: one message off the front of a link's receive buffer per
// call, and the handlers of the framed messages.
#include "common/Checked.h"
#include "common/Constants.h"
#include "switcher/ByteManipulation.h"
#include "switcher/Frames.h"
#include "switcher/TcpComm.h"

namespace qtx {

namespace {

// The received checksum (byte length - 1) matches the one computed over bytes 2 to length - 2.
bool ChecksumMatches(const std::string& m) {
    if (m.size() < 2)
        return false;
    return ByteAt(m, m.size() - 2) == Checksum(m, m.size() - 2);
}

}  // namespace

void TcpComm::ProcessReceived(int16_t link) {
    try {
        std::string& b = vars_.RecvBuffer.at(static_cast<size_t>(link));
        if (b.empty())
            return;
        const uint8_t c = static_cast<uint8_t>(b[0]);
        if (!IsCommandByte(c)) {
            // Out of step: skip one byte per call until a code byte leads again.
            b.erase(0, 1);
            return;
        }
        switch (c) {
            case frames::Poll:
                b.erase(0, 1);
                SendOnLink(frames::SingleByte(frames::Online), link);
                vars_.PollCount[link] = 0;
                return;
            case frames::Online:
                b.erase(0, 1);
                vars_.PollCount[link] = 0;
                if (link == 0) {
                    vars_.SwitcherConnected = true;
                    ShowCaptionAndIcon(view_, constants::CaptionSwitcherConnected,
                                       constants::IconConnected);
                } else {
                    vars_.SlaveSwitcherConnected = true;
                }
                if (!vars_.MapReceived[link])
                    SendInfoRequest(frames::MapRequestSelector, link);
                return;
            case frames::Offline:
                b.erase(0, 1);
                vars_.MapReceived[link] = false;
                if (link == 0) {
                    vars_.SwitcherConnected = false;
                    ResetMap(vars_.CrosspointMap);
                    ShowCaptionAndIcon(view_, constants::CaptionSwitcherNotConnected,
                                       constants::IconNotConnected);
                } else {
                    vars_.SlaveSwitcherConnected = false;
                    ResetMap(vars_.SlaveCrosspointMap);
                }
                vars_.PollCount[link] = 0;
                return;
            case frames::NoAction:
                b.erase(0, 1);
                vars_.PollCount[link] = 0;
                return;
            default:
                break;
        }
        const size_t end = b.find(static_cast<char>(frames::Terminator));
        if (end == std::string::npos)
            return;  // the rest of the frame has not arrived yet
        // The message is cut before it is handled, so a message that faults is not retried.
        const std::string m = b.substr(0, end + 1);
        b.erase(0, end + 1);
        switch (c) {
            case frames::Query:
                ProcessQuery(m, link);
                break;
            case frames::Crosspoint:
                ProcessTake(m, link);
                break;
            case frames::Map:
                vars_.PollCount[link] = 0;
                ProcessCrosspointMap(m, link);
                break;
            case frames::Info:
                ProcessInfoReply(m, link);
                break;
            default:
                break;  // unknown message: discarded whole
        }
    } catch (...) {
        logs_.ReportError("Error Processing Command");
    }
}

void TcpComm::ProcessQuery(const std::string& m, int16_t link) {
    if (ChecksumMatches(m) && m.size() == 4 && ByteAt(m, 1) == 100)
        SendOnLink(frames::QueryFrame(0x7D), link);
}

void TcpComm::ProcessTake(const std::string& m, int16_t link) {
    try {
        if (!ChecksumMatches(m) || m.size() != 9)
            return;
        const int16_t type = WordAt(m, 1);
        const int16_t source = WordAt(m, 3);
        const int16_t destination = WordAt(m, 5);
        if (type != frames::CmdTake)
            return;
        CrosspointEntry& e = At(MapOf(link), destination);
        e.SourceCount = 1;
        e.Sources.assign(1, source);
    } catch (...) {
        logs_.ReportError("Error Processing Take");
    }
}

void TcpComm::ProcessInfoReply(const std::string& /*m*/, int16_t /*link*/) {
    // A reply (13 bytes) is accepted and nothing in it is used; nothing changes.
}

void TcpComm::ProcessCrosspointMap(const std::string& m, int16_t link) {
    try {
        if (!ChecksumMatches(m))
            return;
        const int16_t n = WordAt(m, 2);
        const int16_t d = WordAt(m, 4);
        const int16_t top = ToInt16(static_cast<int64_t>(d) + n);  // entries 0 .. top - 1
        // Only outputs d .. top - 1 are copied, so the work array holds just those.
        std::vector<CrosspointEntry> work(static_cast<size_t>(n));
        size_t q = 6;  // 0-based position of the first output block
        int64_t expected = 8;
        for (CrosspointEntry& e : work) {
            const int16_t k = WordAt(m, q);
            e.SourceCount = ToByte(k);
            if (k > 0) {
                e.Sources.resize(static_cast<size_t>(k));
                e.SourceAttr.resize(static_cast<size_t>(k));
            } else {
                e.Sources.assign(1, -1);
                e.SourceAttr.assign(1, 0);
            }
            q += 3;
            for (int16_t j = 0; j < k; ++j) {
                e.Sources[static_cast<size_t>(j)] = WordAt(m, q);
                e.SourceAttr[static_cast<size_t>(j)] = WordAt(m, q + 2);
                q += 4;
            }
            expected += 4 * static_cast<int64_t>(k) + 3;
        }
        if (static_cast<int64_t>(m.size()) != expected)
            return;
        std::vector<CrosspointEntry>& map = MapOf(link);
        if (map.size() < static_cast<size_t>(top))
            map.resize(static_cast<size_t>(top));
        for (size_t i = 0; i < work.size(); ++i)
            map[static_cast<size_t>(d) + i] = std::move(work[i]);
        vars_.MapReceived[link] = true;
    } catch (...) {
        logs_.ReportError("Error Processing Crosspoint Map");
    }
}

void TcpComm::SendInfoRequest(const std::string& request, int16_t link) {
    try {
        SendOnLink(frames::InfoRequestFrame(request), link);
    } catch (...) {
        logs_.ReportError("Error Sending Info Request");
    }
}

}  // namespace qtx
