// The command senders of TcpComm: each builds its frame from the event at NextEventIndex, sends
// it on the links and writes its activity line after the send has returned.
#include <string>

#include "common/Checked.h"
#include "common/Format.h"
#include "switcher/Frames.h"
#include "switcher/TcpComm.h"

namespace qtx {

bool TcpComm::SendCrosspointChange() {
    try {
        const AutomationEvent& e = At(vars_.EventTable, vars_.NextEventIndex);
        int16_t command;
        const char* text;
        switch (e.xcontrol) {
            case 1:
                command = frames::CmdTake;
                text = "Send Take - In:";
                break;
            case 2:
                command = frames::CmdSumOn;
                text = "Send Sum On - In:";
                break;
            case 3:
                command = frames::CmdSumOff;
                text = "Send Sum Off - In:";
                break;
            default:
                // A selector outside 1 to 3 (only negative values get this far) names no
                // crosspoint action: like the relay and gain senders, send and log nothing
                // rather than a frame with command word 0.
                return false;
        }
        const std::string frame = frames::CrosspointFrame(
            command, static_cast<int64_t>(e.SourceChan) - 1, static_cast<int64_t>(e.DestChan) - 1);
        const std::string line =
            text + Format0000(e.SourceChan) + "-->Out:" + Format0000(e.DestChan);
        const bool sent = SendToSwitcher(frame);
        logs_.WriteActivityLog(line);
        return sent;
    } catch (...) {
        logs_.ReportError("Error Sending Crosspoint Change");
        return false;
    }
}

void TcpComm::SendSalvoExecute() {
    try {
        const AutomationEvent& e = At(vars_.EventTable, vars_.NextEventIndex);
        const std::string frame = frames::SalvoFrame(static_cast<int64_t>(e.Salvo) - 1);
        SendToSwitcher(frame);
        logs_.WriteActivityLog("Send Execute Salvo Number " + std::to_string(e.Salvo));
    } catch (...) {
        logs_.ReportError("Error Sending Salvo Execute");
    }
}

void TcpComm::SendRelayAction() {
    try {
        const AutomationEvent& e = At(vars_.EventTable, vars_.NextEventIndex);
        int16_t command;
        const char* text;
        switch (e.rcontrol) {
            case 1:
                command = frames::CmdLatch;
                text = "Latch Relay #";
                break;
            case 2:
                command = frames::CmdRelease;
                text = "Release Relay #";
                break;
            case 3:
                command = frames::CmdMomentary;
                text = "Momentary Relay #";
                break;
            default:
                return;
        }
        const std::string frame = frames::RelayFrame(command, static_cast<int64_t>(e.Relay) - 1);
        SendToSwitcher(frame);
        logs_.WriteActivityLog(text + Format0000(e.Relay));
    } catch (...) {
        logs_.ReportError("Error Sending Relay Action");
    }
}

void TcpComm::SendGainChange() {
    try {
        const AutomationEvent& e = At(vars_.EventTable, vars_.NextEventIndex);
        uint8_t kind;
        const char* text;
        switch (e.vcontrol) {
            case 1:
                kind = frames::SourceGain;
                text = "Source Gain Change Chan. ";
                break;
            case 2:
                kind = frames::DestinationGain;
                text = "Destination Gain Change Chan. ";
                break;
            default:
                return;
        }
        const int64_t channel = static_cast<int64_t>(e.VChan) - 1;
        const std::string frame = frames::GainFrame(kind, channel, e.Gain);
        SendToSwitcher(frame);
        // The line shows the channel as sent, one less than the event's.
        logs_.WriteActivityLog(text + Format0000(channel));
    } catch (...) {
        logs_.ReportError("Error Sending Gain Message");
    }
}

void TcpComm::SendSwitcherMessage(const std::string& text, uint8_t frame, uint8_t slot,
                                  uint8_t port) {
    try {
        // A text longer than 16383 characters has no length word; it faults here (overflow)
        // and nothing is sent, instead of a frame the switcher would read wrongly.
        const std::string f = frames::TextFrame(text, frame, slot, port);
        SendToSwitcher(f);
        logs_.WriteActivityLog("Message sent to Switcher F" + Format00(frame) + "S" +
                               Format00(slot) + "P" + Format00(port));
    } catch (...) {
        logs_.ReportError("Error Sending Message to Switcher");
    }
}

}  // namespace qtx
