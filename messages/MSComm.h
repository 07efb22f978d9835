#pragma once
// A serial port in the manner of the old serial control: buffer sizes, a settings text such as
// "9600,n,8,1", a port number, an open state that is set to open and close the port, and output
// of text. Runs over termios; the device is opened non-blocking and never stalls the caller for
// long: output that the driver cannot take at once waits in a buffer, and closing waits a
// bounded time for it to drain.
#include <cstdint>
#include <string>

namespace qtx {

// Parsed "baud,parity,data,stop" text.
struct SerialSettings {
    uint32_t Baud = 9600;
    char Parity = 'n';  // n, e, o, m or s
    int DataBits = 8;   // 5 .. 8
    int StopBits = 1;   // 1 or 2
};
// Reads a settings text; fault 8015 "Could not set comm state" (invalid property value) when
// it is malformed.
SerialSettings ParseSerialSettings(const std::string& text);

// The device that port number `port` (counted from 1) names: the file or link "COM<port>" in
// folder (which ends in "/") when such an entry exists, otherwise /dev/ttyS<port - 1>.
std::string SerialDevicePath(const std::string& folder, int16_t port);

// True when a speed the driver reports is close enough to the one asked for to talk to a
// device at that speed (within 2 %, the tolerance of an asynchronous receiver).
bool SpeedMatches(uint32_t asked, uint32_t reported);

class MSComm {
  public:
    MSComm() = default;
    ~MSComm();
    MSComm(const MSComm&) = delete;
    MSComm& operator=(const MSComm&) = delete;

    // Buffer sizes in characters, 1 .. 32767; fault 5 otherwise.
    int16_t InBufferSize() const { return inBufferSize_; }
    void SetInBufferSize(int16_t size);
    int16_t OutBufferSize() const { return outBufferSize_; }
    void SetOutBufferSize(int16_t size);

    // Line settings, applied when the port next opens; fault 8015 when malformed.
    const std::string& Settings() const { return settings_; }
    void SetSettings(const std::string& text);

    // Port number counted from 1; fault 8002 when below 1, 8005 while open.
    int16_t CommPort() const { return commPort_; }
    void SetCommPort(int16_t port);

    // Folder searched for "COM<n>" entries before /dev/ttyS<n - 1>; ends in "/".
    std::string LinkFolder;

    bool PortOpen() const { return fd_ >= 0; }
    // Opening: fault 8005 when already open, 8002 when the device does not exist, 8010 when it
    // cannot be opened or is not a terminal, 8015 when the settings cannot be applied or the
    // speed read back differs. Closing: waits up to ClosingWaitMs for the output to leave;
    // output still unsent then is discarded and reported as fault 8019 (the port is closed
    // all the same). Closing a closed port does nothing.
    void SetPortOpen(bool open);

    // Sends data; fault 8012 when the port is not open, 8019 when the device fails or the
    // output buffer (OutBufferSize characters) would overflow.
    void Output(const std::string& data);

    // Characters handed to Output that the driver has not taken yet.
    size_t PendingOutput() const { return pending_.size(); }

    // How long closing waits for unsent output, in milliseconds.
    static constexpr int ClosingWaitMs = 2000;

  private:
    // Hands pending output to the driver as far as it takes it, without waiting; 0 or an errno.
    int Flush();
    void CloseDescriptor();

    int16_t inBufferSize_ = 1024;
    int16_t outBufferSize_ = 512;
    std::string settings_ = "9600,n,8,1";
    int16_t commPort_ = 1;
    int fd_ = -1;
    std::string pending_;
};

}  // namespace qtx
