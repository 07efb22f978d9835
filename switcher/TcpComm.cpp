#include "switcher/TcpComm.h"

#include <algorithm>

#include "switcher/ReceiveFraming.h"

#include "common/Checked.h"
#include "common/Constants.h"
#include "common/Fault.h"
#include "common/FaultNumbers.h"
#include "switcher/Frames.h"

namespace qtx {

TcpComm::TcpComm(Variables& vars, Logs& logs, MainWindow& view, EventLoop& loop)
    : vars_(vars), logs_(logs), view_(view), loop_(loop) {
    scktServer_[0] = std::make_unique<SocketWrench>(loop_);
    BindEvents(0);
}

TcpComm::~TcpComm() = default;

void TcpComm::BindEvents(int16_t index) {
    SocketWrench& s = *scktServer_[index];
    // Link sockets keep the unsent rest of a frame, so a frame is never cut on the wire.
    s.KeepUnsentRest = true;
    s.OnConnect = [this, index] { scktServer_Connect(index); };
    s.OnRead = [this, index](int32_t n) { scktServer_Read(index, n); };
    s.OnDisconnect = [this, index] { scktServer_Disconnect(index); };
}

SocketWrench* TcpComm::Socket(int16_t index) {
    if (index < 0 || index > 1)
        return nullptr;
    return scktServer_[index].get();
}

SocketWrench& TcpComm::LinkSocket(int16_t link) {
    SocketWrench* s = Socket(link);
    if (s == nullptr)
        throw Fault(faults::SocketNotConnected, "Socket is not connected");
    return *s;
}

std::vector<CrosspointEntry>& TcpComm::MapOf(int16_t link) {
    return link == 0 ? vars_.CrosspointMap : vars_.SlaveCrosspointMap;
}

void TcpComm::ResetMap(std::vector<CrosspointEntry>& map) {
    map.assign(1, CrosspointEntry{});
}

void TcpComm::ResetCrosspointMaps() {
    ResetMap(vars_.CrosspointMap);
    ResetMap(vars_.SlaveCrosspointMap);
}

void TcpComm::StartLinks() {
    ResetCrosspointMaps();
    ConnectServer();
    LoadSlaveSocket();
    ConnectSlave();
}

void TcpComm::ConnectLink(int16_t index, const std::string& address, int32_t port) {
    SocketWrench& s = LinkSocket(index);
    s.Dialer = Dialer;
    StartConnection(s, address, port);
}

void TcpComm::ConnectServer() {
    try {
        ConnectLink(0, vars_.ServerIPAddr, vars_.ServerIPPort);
    } catch (...) {
        logs_.ReportError("Error Connecting to Switcher");
    }
}

void TcpComm::ConnectSlave() {
    try {
        if (!vars_.SlaveSocketLoaded)
            LoadSlaveSocket();
        ConnectLink(1, vars_.SlaveIPAddr, vars_.SlaveIPPort);
    } catch (...) {
        logs_.ReportError("Error Connecting to Switcher");
    }
}

void TcpComm::LoadSlaveSocket() {
    try {
        if (vars_.SlaveSocketLoaded)
            return;
        scktServer_[1] = std::make_unique<SocketWrench>(loop_);
        BindEvents(1);
        vars_.SlaveSocketLoaded = true;
    } catch (...) {
        logs_.ReportError("Error Sending Message to Switcher");
    }
}

void TcpComm::ServerDisconnected() {
    LinkSocket(0).Release();
    vars_.ServerConnected = false;
    ShowLink(view_, state::LinkState::ServerNotConnected);
    vars_.SwitcherConnected = false;
    vars_.MapReceived[0] = false;
    ResetMap(vars_.CrosspointMap);
    // Bytes of the lost connection (a frame cut off by the drop) must not be joined to the
    // first bytes of the next one.
    vars_.RecvBuffer[0].clear();
    ++recvResets_[0];
}

void TcpComm::SlaveDisconnected() {
    LinkSocket(1).Release();
    vars_.SlaveConnected = false;
    vars_.SlaveSwitcherConnected = false;
    vars_.MapReceived[1] = false;
    ResetMap(vars_.SlaveCrosspointMap);
    vars_.RecvBuffer[1].clear();
    ++recvResets_[1];
}

void TcpComm::PollLinks() {
    // Every third tick only; the tick resets TickCounter afterwards.
    if (vars_.TickCounter <= 2)
        return;
    if (vars_.ServerConnected) {
        if (vars_.PollCount[0] < 201) {
            SendOnLink(frames::SingleByte(frames::Poll), 0);
            vars_.PollCount[0] = ToInt16(vars_.PollCount[0] + 1);
        } else {
            // 201 polls in a row went unanswered: drop the link; the next tick reconnects.
            LinkSocket(0).SetAction(7);
            ServerDisconnected();
        }
    }
    if (vars_.SlaveEnabled && vars_.SlaveConnected && vars_.PollCount[1] < 201) {
        SendOnLink(frames::SingleByte(frames::Poll), 1);
        vars_.PollCount[1] = ToInt16(vars_.PollCount[1] + 1);
    }
}

void TcpComm::scktServer_Connect(int16_t index) {
    if (index == 0)
        vars_.ServerConnected = true;
    else
        vars_.SlaveConnected = true;
    // No poll has gone out on the new connection yet; a count left from a link dropped at the
    // poll limit would drop this one at its first poll time, before it is ever polled.
    vars_.PollCount.at(static_cast<size_t>(index)) = 0;
}

void TcpComm::scktServer_Read(int16_t index, int32_t dataLength) {
    try {
        SocketWrench& s = LinkSocket(index);
        std::string& buffer = vars_.RecvBuffer.at(static_cast<size_t>(index));
        // At most a slice per read event, and nothing while the buffer holds the longest frame
        // there can be: the peer then waits (TCP flow control), the buffer stays bounded, and
        // a flood leaves the tick its turn.
        const size_t bound = kLongestFrame + kReadPerTurn;
        size_t budget = kReadPerTurn;
        std::string chunk;
        while (budget > 0 && buffer.size() < bound) {
            const size_t room = std::min(budget, bound - buffer.size());
            const size_t ask = std::min(room, static_cast<size_t>(dataLength) + 1);
            if (s.Read(chunk, ToInt32(static_cast<int64_t>(ask))) < 1)
                break;
            buffer += chunk;
            budget -= std::min(budget, chunk.size());
        }
        if (s.LastError() == 0 || s.LastError() == faults::SocketWouldBlock)
            ProcessPending(index);
    } catch (...) {
        logs_.ReportError("Error Receiving IP Message");
    }
}

void TcpComm::scktServer_Disconnect(int16_t index) {
    // A fault here would otherwise reach the event loop; it is reported like any other.
    try {
        if (index == 0)
            ServerDisconnected();
        else
            SlaveDisconnected();
    } catch (...) {
        logs_.ReportError("Error Handling Switcher Disconnect");
    }
}

void TcpComm::SendOnLink(const std::string& frame, int16_t link) {
    try {
        LinkSocket(link).Write(frame, ToInt32(static_cast<int64_t>(frame.size())));
    } catch (...) {
        logs_.ReportError("Error sending to switcher");
    }
}

bool TcpComm::SendToSwitcher(const std::string& frame) {
    bool first = false;
    try {
        const int32_t length = ToInt32(static_cast<int64_t>(frame.size()));
        LinkSocket(0).Write(frame, length);
        first = true;
        if (vars_.SlaveEnabled)
            LinkSocket(1).Write(frame, length);
    } catch (...) {
        logs_.ReportError("Error sending to switcher");
    }
    return first;
}

}  // namespace qtx
