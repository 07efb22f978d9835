#pragma once
// Message events: the text of the event at NextEventIndex, sent to a TCP port at an IP address
// (one connection per message), to a serial port, or to a display on the switcher. Each sender
// writes its own activity line and reports its own faults; nothing here throws to the caller
// except SendSerialMessage's buffer-size step (which the dispatcher catches).
#include <cstdint>
#include <string>

#include "common/Clock.h"
#include "common/EventLoop.h"
#include "common/Variables.h"
#include "logging/Logs.h"
#include "messages/MSComm.h"
#include "switcher/SocketWrench.h"

namespace qtx {

class TcpComm;

// Error-log locations of this module.
inline constexpr const char* ErrorSendingMessageEvent = "Error Sending Message Event";
inline constexpr const char* ErrorSendingMessageToIP = "Error Sending Message to IP";
inline constexpr const char* ErrorSendingMessageToSerial = "Error Sending Message to Serial";

class MessageEvents {
  public:
    MessageEvents(Variables& vars, Logs& logs, Clock& clock, EventLoop& loop, TcpComm& tcp);
    MessageEvents(const MessageEvents&) = delete;
    MessageEvents& operator=(const MessageEvents&) = delete;

    // Sends the message of the event at NextEventIndex: the text by mcontrol (1 the Message
    // with caret escapes decoded, 3 the contents of the file named by Message, any other value
    // an empty text), the destination by mtype (1 IP, 2 serial, 3 switcher display, any other
    // value nothing). Faults while preparing are reported as "Error Sending Message Event".
    void SendMessageEvent();

    // Connects to address:port, waits 100 ms (running the loop), writes the text in pieces of
    // 16384 characters, waits 100 ms, closes and logs "Message Sent to <address>".
    void SendIPMessage(const std::string& text, const std::string& address, int32_t port);

    // Opens serial port `port` (from 1) at "<baud>,n,8,1" unless it is open, writes the text one
    // character at a time, closes it and logs "Message Sent to comm:<port>". Setting the buffer
    // sizes comes first and is not guarded here.
    void SendSerialMessage(const std::string& text, int16_t port, const std::string& baud);

    SocketWrench& MessageSocket() { return scktMessage_; }
    MSComm& Comm() { return MSComm1_; }

    // The waits before the first and after the last write of an IP message.
    static constexpr uint32_t IpSettleMs = 100;

  private:
    // Waits ms on the tick counter, running the loop after each reading; a wrap of the counter
    // during the wait is harmless because only the unsigned difference is compared.
    void WaitTicks(uint32_t ms);
    // The Title of the event at NextEventIndex, read afresh (the loop may have run), or an
    // empty text when the index is out of range. Never throws.
    std::string CurrentTitle() const;

    Variables& vars_;
    Logs& logs_;
    Clock& clock_;
    EventLoop& loop_;
    TcpComm& tcp_;
    SocketWrench scktMessage_;
    MSComm MSComm1_;
};

}  // namespace qtx
