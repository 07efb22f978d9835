#pragma once
// The switcher links: link 0 (the server) and link 1 (the optional slave), their sockets and
// state, the received-message handling with the crosspoint maps, and the command senders.
// Every public procedure that can fail reports its own faults through Logs::ReportError, except
// ServerDisconnected, SlaveDisconnected and PollLinks, whose faults reach their caller.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "common/EventLoop.h"
#include "common/Variables.h"
#include "logging/Logs.h"
#include "switcher/SocketWrench.h"
#include "ui/MainWindow.h"

namespace qtx {

class TcpComm {
  public:
    TcpComm(Variables& vars, Logs& logs, MainWindow& view, EventLoop& loop);
    ~TcpComm();
    TcpComm(const TcpComm&) = delete;
    TcpComm& operator=(const TcpComm&) = delete;

    // Links.
    void ConnectServer();    // (re)opens link 0 on ServerIPAddr:ServerIPPort
    void ConnectSlave();     // (re)opens link 1 on SlaveIPAddr:SlaveIPPort
    void LoadSlaveSocket();  // creates socket 1 once
    void ServerDisconnected();
    void SlaveDisconnected();
    // Start-up: both maps reset, then ConnectServer, LoadSlaveSocket, ConnectSlave.
    void ResetCrosspointMaps();
    void StartLinks();
    // The keep-alive polls of the tick (only when TickCounter > 2): 0xF5 on each connected link,
    // and link 0 dropped once PollCount (0) has reached 201.
    void PollLinks();

    // Received messages: one message off the front of RecvBuffer (link) per call.
    void ProcessReceived(int16_t link);
    // Every complete message in RecvBuffer (link), in order, up to a bound per call.
    void ProcessPending(int16_t link);
    // Per call of ProcessPending, and per read event: enough for a busy switcher (thousands of
    // take reports a second), little enough that a flood leaves the tick on time.
    static constexpr int kMessagesPerTurn = 1000;
    static constexpr size_t kBytesPerTurn = 256 * 1024;
    static constexpr size_t kReadPerTurn = 64 * 1024;
    void ProcessCrosspointMap(const std::string& m, int16_t link);
    void ProcessTake(const std::string& m, int16_t link);
    void ProcessQuery(const std::string& m, int16_t link);
    void ProcessInfoReply(const std::string& m, int16_t link);
    // Sends an information request with the 4-byte selector (the map request is
    // frames::MapRequestSelector) on the link.
    void SendInfoRequest(const std::string& request, int16_t link);

    // Sending: every command frame on link 0 and, when a slave is configured, on link 1; true
    // when the write on link 0 went without a fault.
    bool SendToSwitcher(const std::string& frame);
    void SendOnLink(const std::string& frame, int16_t link);

    // Command senders for the event at NextEventIndex. The crosspoint sender returns true when
    // its frame went out (to link 0 at least).
    bool SendCrosspointChange();
    void SendSalvoExecute();
    void SendRelayAction();
    void SendGainChange();
    void SendSwitcherMessage(const std::string& text, uint8_t frame, uint8_t slot, uint8_t port);

    // Socket events, index 0 or 1.
    void scktServer_Connect(int16_t index);
    void scktServer_Read(int16_t index, int32_t dataLength);
    void scktServer_Disconnect(int16_t index);

    // When set, the links reach their switchers through it instead of TCP (the preview's
    // in-process simulator); every connection made after it is set uses it.
    SocketWrench::LocalDialer Dialer;

    // Called after a link's crosspoint map entries first .. first + count - 1 (0-based
    // destinations) were set from a take report (fromMap false) or a map message (true).
    std::function<void(int16_t link, int16_t first, int16_t count, bool fromMap)> CrosspointsShown;

    // The socket of a link; nullptr for link 1 before LoadSlaveSocket.
    SocketWrench* Socket(int16_t index);

  private:
    SocketWrench& LinkSocket(int16_t link);  // faults (24057) for a socket not created
    void ConnectLink(int16_t index, const std::string& address, int32_t port);
    std::vector<CrosspointEntry>& MapOf(int16_t link);
    void ResetMap(std::vector<CrosspointEntry>& map);
    void BindEvents(int16_t index);
    // Handles the message at pos of RecvBuffer (link); returns the bytes it took (0: the message
    // has not arrived whole).
    size_t TakeMessage(int16_t link, size_t pos);

    Variables& vars_;
    Logs& logs_;
    MainWindow& view_;
    EventLoop& loop_;
    std::array<std::unique_ptr<SocketWrench>, 2> scktServer_;
    std::array<uint32_t, 2> recvResets_{0, 0};  // counts the discards of each receive buffer
};

}  // namespace qtx
