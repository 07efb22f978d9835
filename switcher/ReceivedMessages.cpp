// Received-message handling of TcpComm: messages off the front of a link's receive buffer, in
// order, and the handlers of the framed messages.
#include "common/Checked.h"
#include "common/Constants.h"
#include "switcher/ByteManipulation.h"
#include "switcher/Frames.h"
#include "switcher/ReceiveFraming.h"
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

size_t TcpComm::TakeMessage(int16_t link, size_t pos) {
    const std::string& b = vars_.RecvBuffer.at(static_cast<size_t>(link));
    const FrontMessage f = ScanFront(std::string_view(b).substr(pos));
    if (f.kind == FrontMessage::Kind::Incomplete)
        return 0;
    if (f.kind != FrontMessage::Kind::Single && f.kind != FrontMessage::Kind::Framed)
        return f.length;  // out of step, or a frame that can never end: skipped whole
    const uint8_t c = static_cast<uint8_t>(b[pos]);
    // The message is taken off before it is handled, so a message that faults is not retried;
    // a handler may drop the link and empty the buffer, so nothing below reads b again.
    const std::string m = f.kind == FrontMessage::Kind::Framed ? b.substr(pos, f.length) : "";
    try {
        switch (c) {
            case frames::Poll:
                SendOnLink(frames::SingleByte(frames::Online), link);
                vars_.PollCount[link] = 0;
                break;
            case frames::Online:
                vars_.PollCount[link] = 0;
                if (link == 0) {
                    vars_.SwitcherConnected = true;
                    ShowLink(view_, state::LinkState::SwitcherConnected);
                } else {
                    vars_.SlaveSwitcherConnected = true;
                }
                if (!vars_.MapReceived[link])
                    SendInfoRequest(frames::MapRequestSelector, link);
                break;
            case frames::Offline:
                vars_.MapReceived[link] = false;
                if (link == 0) {
                    vars_.SwitcherConnected = false;
                    ResetMap(vars_.CrosspointMap);
                    ShowLink(view_, state::LinkState::SwitcherNotConnected);
                } else {
                    vars_.SlaveSwitcherConnected = false;
                    ResetMap(vars_.SlaveCrosspointMap);
                }
                vars_.PollCount[link] = 0;
                break;
            case frames::NoAction:
                vars_.PollCount[link] = 0;
                break;
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
    return f.length;
}

void TcpComm::ProcessReceived(int16_t link) {
    try {
        const uint32_t resets = recvResets_.at(static_cast<size_t>(link));
        const size_t n = TakeMessage(link, 0);
        if (recvResets_[static_cast<size_t>(link)] == resets)
            vars_.RecvBuffer[static_cast<size_t>(link)].erase(0, n);
    } catch (...) {
        logs_.ReportError("Error Processing Command");
    }
}

void TcpComm::ProcessPending(int16_t link) {
    try {
        const size_t l = static_cast<size_t>(link);
        const uint32_t resets = recvResets_.at(l);
        size_t pos = 0;
        // Bounded per turn of the loop, so a flood of small messages cannot hold up the tick;
        // what is left is taken at the next read event or tick.
        for (int count = 0; count < kMessagesPerTurn && pos < kBytesPerTurn; ++count) {
            const size_t n = TakeMessage(link, pos);
            if (recvResets_[l] != resets)
                return;  // the link was dropped and its bytes discarded meanwhile
            if (n == 0)
                break;
            pos += n;
        }
        std::string& b = vars_.RecvBuffer[l];
        b.erase(0, pos);
        // Give back what a burst took once the buffer holds little again.
        if (b.capacity() > kBytesPerTurn && b.size() < b.capacity() / 4)
            b.shrink_to_fit();
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
        if (CrosspointsShown)
            CrosspointsShown(link, destination, 1, false);
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
        // First pass: everything that can fault or refuse the message (a block past the end, a
        // count above 255, the length), before anything is changed.
        size_t q = 6;  // 0-based position of the first output block
        int64_t expected = 8;
        for (int16_t o = 0; o < n; ++o) {
            const int16_t k = WordAt(m, q);
            ToByte(k);
            if (k > 0)
                ByteAt(m, q + 3 + 4 * static_cast<size_t>(k) - 1);
            q += 3 + 4 * static_cast<size_t>(k);
            expected += 4 * static_cast<int64_t>(k) + 3;
        }
        if (static_cast<int64_t>(m.size()) != expected)
            return;
        // Second pass: straight into the link's map, reusing its entries' storage.
        std::vector<CrosspointEntry>& map = MapOf(link);
        if (map.size() < static_cast<size_t>(top))
            map.resize(static_cast<size_t>(top));
        const auto* bytes = reinterpret_cast<const uint8_t*>(m.data());
        const auto word = [bytes](size_t i) {
            return static_cast<int16_t>(bytes[i] + 128 * bytes[i + 1]);
        };
        q = 6;
        for (int16_t o = 0; o < n; ++o) {
            CrosspointEntry& e = map[static_cast<size_t>(d) + static_cast<size_t>(o)];
            const int16_t k = word(q);
            e.SourceCount = static_cast<uint8_t>(k);
            q += 3;
            if (k > 0) {
                e.Sources.resize(static_cast<size_t>(k));
                e.SourceAttr.resize(static_cast<size_t>(k));
                for (int16_t j = 0; j < k; ++j, q += 4) {
                    e.Sources[static_cast<size_t>(j)] = word(q);
                    e.SourceAttr[static_cast<size_t>(j)] = word(q + 2);
                }
            } else {
                e.Sources.assign(1, -1);
                e.SourceAttr.assign(1, 0);
            }
        }
        vars_.MapReceived[link] = true;
        if (CrosspointsShown)
            CrosspointsShown(link, d, n, true);
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
