#include "messages/MessageEvents.h"

#include "common/Checked.h"
#include "messages/BaudTable.h"
#include "messages/CaretText.h"
#include "messages/MessageFile.h"
#include "messages/PieceWriter.h"
#include "switcher/TcpComm.h"

namespace qtx {

MessageEvents::MessageEvents(Variables& vars, Logs& logs, Clock& clock, EventLoop& loop,
                             TcpComm& tcp)
    : vars_(vars), logs_(logs), clock_(clock), loop_(loop), tcp_(tcp), scktMessage_(loop) {
    // Whatever a receiver sends back is read and dropped, so it cannot pile up in the socket.
    scktMessage_.OnRead = [this](int32_t) {
        std::string discard;
        try {
            while (scktMessage_.Read(discard, 4096) > 0) {
            }
        } catch (...) {
        }
    };
}

void MessageEvents::SendMessageEvent() {
    try {
        // A copy: the IP sender runs the loop, and the table must not be referenced across it.
        const AutomationEvent ev = At(vars_.EventTable, vars_.NextEventIndex);
        std::string text;
        if (ev.mcontrol == 1)
            text = DecodeCarets(ev.Message);
        else if (ev.mcontrol == 3)
            text = ReadMessageFile(ev.Message, vars_.AppDir);
        switch (ev.mtype) {
            case 1:
                SendIPMessage(text, ev.MIPAddress, ev.MIPPort);
                break;
            case 2: {
                const std::string baud = BaudText(ToInt16(ev.MBaudRate));
                SendSerialMessage(text, static_cast<int16_t>(ev.MCommPort + 1), baud);
                break;
            }
            case 3:
                tcp_.SendSwitcherMessage(text, ev.MFrame, ev.MSlot, ev.MPort);
                break;
            default:
                break;  // no destination: nothing is sent and nothing is logged
        }
    } catch (...) {
        logs_.ReportError(ErrorSendingMessageEvent);
    }
}

void MessageEvents::SendIPMessage(const std::string& text, const std::string& address,
                                  int32_t port) {
    try {
        SocketWrench& s = scktMessage_;
        // Releases what an earlier message left. A connection that cannot start is not a
        // fault: the socket stays unwritable, so nothing is written below.
        StartConnection(s, address, port);
        WaitTicks(IpSettleMs);
        if (WriteInPieces(s, text, clock_, loop_) == PieceOutcome::StoppedUnwritable)
            return;  // the connection is left for the next message to release
        WaitTicks(IpSettleMs);
        s.Release();
        s.SetAction(7);
        logs_.WriteActivityLog("Message Sent to " + address);
    } catch (...) {
        logs_.WriteRefusal(CurrentTitle(), "Unable to connect to IP");
        logs_.ReportError(ErrorSendingMessageToIP);
    }
}

void MessageEvents::SendSerialMessage(const std::string& text, int16_t port,
                                      const std::string& baud) {
    const std::string settings = baud + ",n,8,1";
    MSComm1_.SetInBufferSize(32000);
    MSComm1_.SetOutBufferSize(32000);
    try {
        if (!MSComm1_.PortOpen()) {
            MSComm1_.SetSettings(settings);
            MSComm1_.SetCommPort(port);
            MSComm1_.LinkFolder = vars_.AppDir;
            MSComm1_.SetPortOpen(true);
        }
        if (!MSComm1_.PortOpen()) {
            logs_.WriteRefusal(CurrentTitle(), "Unable to open Serial Port");
            logs_.ReportError(ErrorSendingMessageToSerial);
            return;
        }
        // The count of characters is a 16-bit number: a longer text is refused before any of
        // it goes out.
        const int16_t count = ToInt16(static_cast<int64_t>(text.size()));
        for (int16_t i = 0; i < count; ++i)
            MSComm1_.Output(std::string(1, text[static_cast<size_t>(i)]));
        MSComm1_.SetPortOpen(false);
        logs_.WriteActivityLog("Message Sent to comm:" + std::to_string(port));
    } catch (...) {
        logs_.WriteRefusal(CurrentTitle(), "Unable to open Serial Port");
        logs_.ReportError(ErrorSendingMessageToSerial);
        // A port left open would carry the next message with this one's port and settings, so
        // it is closed here (output still waiting is dropped).
        try {
            MSComm1_.SetPortOpen(false);
        } catch (...) {
        }
    }
}

void MessageEvents::WaitTicks(uint32_t ms) {
    const uint32_t start = clock_.TickCount();
    while (clock_.TickCount() - start < ms) {
        loop_.Pump();
        clock_.SleepMs(1);
    }
}

std::string MessageEvents::CurrentTitle() const {
    const int16_t i = vars_.NextEventIndex;
    if (i < 0 || static_cast<size_t>(i) >= vars_.EventTable.size())
        return {};
    return vars_.EventTable[static_cast<size_t>(i)].Title;
}

}  // namespace qtx
