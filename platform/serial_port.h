#pragma once
// A serial line on a POSIX terminal device: raw 8N1 at any baud rate, no flow control, the line
// settings found at open kept for restoring. The descriptor is non-blocking; writes wait for room
// only up to a given time, reads take what the input queue holds.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

class SerialPort {
  public:
    SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;
    // Closes the descriptor if it is still open, without touching the line settings.
    ~SerialPort();

    // The device of "COM<n>": the path in the environment variable VOFLASH_COM<n> when it is set,
    // else /dev/ttyS<n-1>. COM0 has no device: empty.
    static std::string devicePath(uint32_t port);

    // Opens the device for reading and writing, exclusively, without becoming its controlling
    // terminal. 0 on success, else the system error number (ENOENT for an empty path).
    int open(const std::string& path);
    bool isOpen() const;

    // Keeps the current line settings for restoreSettings.
    bool saveSettings();
    // Raw mode, 8 data bits, no parity, one stop bit, receiver on, modem lines ignored, no hardware
    // or software flow control, input and output at baud; DTR and RTS raised where the line has
    // them. False when the terminal refuses the settings or baud is 0.
    bool configure(uint32_t baud);
    bool restoreSettings();

    bool clearRts();
    bool clearDtr();
    // Drops what waits in the input and the output queue.
    bool purge();
    // Drops what waits in the input queue only; bytes still going out are sent.
    bool purgeInput();
    bool setBreak(bool on);

    // Bytes waiting in the input queue; -1 when they cannot be counted.
    int64_t inputQueued() const;
    // Reads at most size bytes without waiting; the count read, -1 on an error.
    int64_t read(uint8_t* data, size_t size);
    // Writes all bytes, waiting for room at most timeoutMs in all; true when all went out.
    bool writeAll(const uint8_t* data, size_t size, uint32_t timeoutMs);

    // Closes the descriptor; true when the close succeeded.
    bool close();

  private:
    struct State;
    std::unique_ptr<State> state;
};

}  // namespace platform
