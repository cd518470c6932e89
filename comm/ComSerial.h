#pragma once
// Channels over a serial port ("COM" and the port number) at 8 data bits, no parity, one stop bit and
// no flow control. The port is opened in the constructor and closed, with its earlier line settings
// put back, in the destructor. Frames are written as they are, in one write or byte by byte with a
// pause; reads poll the input queue with three time-outs and hand out what came when the answer
// stops early. ComSerialHalfDuplex serves a line that returns every transmitted byte.

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "comm/Communication.h"
#include "comm/UtilCriticalSection.h"
#include "platform/serial_port.h"

class ComSerial : public Communication {
  public:
    struct bad_open_serial : Communication::bad_open {
        explicit bad_open_serial(int64_t errorNumber);
        // port names the device and says why it did not open, as "/dev/ttyS0: No such file or
        // directory".
        bad_open_serial(int64_t errorNumber, const std::string& port);
        bad_open_serial(const bad_open_serial& other);
        ~bad_open_serial() override;

        // "Error opening serial port", followed by a blank and the port when one is given.
        const std::string& description() const override;

      private:
        std::string text;
    };

    // One run of equal line levels in a UART frame: the line held in break (a zero bit) or idle
    // (a one bit) for durationUs microseconds.
    struct LineRun {
        bool breakLevel;
        uint32_t durationUs;

        bool operator==(const LineRun&) const = default;
    };

    // Keeps its own copy of params (time-outs included). The id argument is not used.
    ComSerial(const ComParamsSerial& params, uint32_t id);
    // Puts back the line settings the port had and closes it.
    ~ComSerial() override;

    uint32_t typeCode() const override;
    // The port is opened by the constructor: true when it is open; otherwise the open check's report
    // is printed and the result is false.
    bool open() override;
    const std::string& name() const override;
    // Throws bad_open_serial with the system error number when the port did not open.
    bool checkOpen() override;
    bool checkClose() override;
    bool write(uint32_t txId, uint32_t rxId, const std::vector<uint8_t>& frame) override;
    // Waits for count bytes within the first-byte, inter-byte and overall time-outs; true with fewer
    // when some came and then stopped, false when none came.
    bool read(uint32_t txId, uint32_t rxId, std::vector<uint8_t>& out, uint32_t count) override;
    // Holds the line in break for duration microseconds, then flushes what was received.
    bool sendBreak(uint32_t duration) override;
    // Drops the input and output queues of the port and the bytes taken from it but not handed out.
    bool flushReceive(uint32_t rxId) override;
    // Sends one 8N1 frame of byte at any baud rate by driving the break line (sendBreakLocked for
    // zeros, an idle wait for ones). False for a baud rate of 0 or below.
    bool sendByteAtBaud(uint8_t byte, double baud) override;

    virtual bool writeBytes(const std::vector<uint8_t>& bytes);
    // Bytes in the port's input queue and those taken from it but not yet handed out.
    uint64_t bytesAvailable();

    // The runs of the 10-bit frame (start bit, eight data bits from the least significant, stop bit)
    // with the given bit time; breaks and idles alternate, starting with a break.
    static std::vector<LineRun> frameRuns(uint8_t byte, uint32_t bitTimeUs);

  protected:
    // The count the port's input queue holds, 0 when it cannot be read.
    uint64_t queuedBytes();
    // Moves what the port's input queue holds into rxBuffer and answers the size of rxBuffer. The
    // queue holds a few kilobytes only, so every wait for more than that drains it on each poll.
    uint64_t drainInput();
    // Moves the port's input queue into rxBuffer, then hands out the first n bytes of rxBuffer;
    // answers the number handed out.
    uint64_t readBytes(std::vector<uint8_t>& out, uint64_t n);
    const ComParamsSerial& serialParams() const;

    std::deque<uint8_t> rxBuffer;

  private:
    bool openPort();
    bool closePort();
    // Longest wait for room in the output queue for a write of n bytes.
    uint32_t writeTimeoutMs(size_t n) const;

    // The port's descriptor with the line settings set at open and those it had before.
    platform::SerialPort port;
    uint32_t lastError = 0;
    // The device tried and why it did not open, for the open check's report.
    std::string openFailure;
    bool isOpen = false;
};

class ComSerialHalfDuplex : public ComSerial {
  public:
    ComSerialHalfDuplex(const ComParamsSerial& params, uint32_t id);
    ~ComSerialHalfDuplex() override;

    const std::string& name() const override;
    // Writes, then waits for the echo of what was written, takes it out of the received bytes and
    // compares it.
    bool writeBytes(const std::vector<uint8_t>& bytes) override;

    // How long the echo of n bytes may take at baud: (n * 10) / (baud / 1000) ms, cut, plus 1000.
    static uint64_t echoLimitMs(uint64_t n, uint32_t baud);

  private:
    bool checkEcho(const std::vector<uint8_t>& written);

    uint64_t bufferedBefore = 0;
    uint64_t queuedBefore = 0;
    UtilCriticalSection echoLock;
};
