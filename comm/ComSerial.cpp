#include "comm/ComSerial.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <system_error>

#include "comm/UtilTimeout.h"
#include "platform/clock.h"

namespace {

constexpr uint32_t kSerialChannelId = 0xFFFFFFFF;
constexpr uint32_t kReadPollMs = 5;
constexpr uint32_t kFlushSettleUs = 100;
constexpr uint32_t kBitsPerFrame = 10;
// Beyond the time the bytes take on the line, a write or an echo may take this long.
constexpr uint64_t kLineMarginMs = 1000;

}  // namespace

// ---- exception

namespace {

const char kOpenError[] = "Error opening serial port";

}  // namespace

ComSerial::bad_open_serial::bad_open_serial(int64_t errorNumber) : bad_open(errorNumber), text(kOpenError) {}

ComSerial::bad_open_serial::bad_open_serial(int64_t errorNumber, const std::string& port)
    : bad_open(errorNumber), text(port.empty() ? std::string(kOpenError) : kOpenError + (" " + port)) {}

ComSerial::bad_open_serial::bad_open_serial(const bad_open_serial& other)
    : bad_open(other.errorNumber), text(other.text) {}

ComSerial::bad_open_serial::~bad_open_serial() = default;

const std::string& ComSerial::bad_open_serial::description() const {
    return text;
}

// ---- full duplex

ComSerial::ComSerial(const ComParamsSerial& params, uint32_t)
    : Communication(new ComParamsSerial(params), kSerialChannelId) {
    isOpen = openPort();
}

ComSerial::~ComSerial() {
    if (isOpen) {
        closePort();
    }
}

const ComParamsSerial& ComSerial::serialParams() const {
    return static_cast<const ComParamsSerial&>(*getComParams());
}

bool ComSerial::openPort() {
    const ComParamsSerial& p = serialParams();
    const std::string path = platform::SerialPort::devicePath(p.port);
    // COM0 has no device path: the port's own name says which one it was.
    const std::string device = path.empty() ? "COM" + std::to_string(p.port) : path;
    const int error = port.open(path);
    if (error != 0) {
        lastError = static_cast<uint32_t>(error);
        openFailure = device + ": " + std::error_code(error, std::generic_category()).message();
        return false;
    }
    if (!port.saveSettings()) {
        port.close();
        openFailure = device + ": its line settings cannot be read";
        return false;
    }
    if (!port.configure(p.baud)) {
        port.restoreSettings();
        port.close();
        openFailure = device + ": it does not take the line settings at " + std::to_string(p.baud) + " baud";
        return false;
    }
    return true;
}

bool ComSerial::closePort() {
    // Every step is tried: a line without modem signals must still get its settings back and its
    // descriptor closed.
    const bool rts = port.clearRts();
    const bool dtr = port.clearDtr();
    const bool purged = port.purge();
    const bool restored = port.restoreSettings();
    const bool closed = port.close();
    return rts && dtr && purged && restored && closed;
}

uint32_t ComSerial::typeCode() const {
    return 4;
}

bool ComSerial::open() {
    // A port that did not open fails the initialisation, so the channel's user learns it at set-up
    // with one report of why, rather than from every later exchange.
    return checkOpenReported();
}

const std::string& ComSerial::name() const {
    static const std::string text = "COM_SerPort";
    return text;
}

bool ComSerial::checkOpen() {
    if (!isOpen) {
        throw bad_open_serial(lastError, openFailure);
    }
    return true;
}

bool ComSerial::checkClose() {
    return true;
}

bool ComSerial::write(uint32_t, uint32_t, const std::vector<uint8_t>& frame) {
    if (frame.empty()) {
        return true;
    }
    return writeBytes(frame);
}

uint32_t ComSerial::writeTimeoutMs(size_t n) const {
    const uint64_t baud = std::max<uint64_t>(serialParams().baud, 1);
    const uint64_t lineMs = static_cast<uint64_t>(n) * kBitsPerFrame * 1000 / baud;
    return static_cast<uint32_t>(std::min<uint64_t>(lineMs + kLineMarginMs, 0xFFFFFFFFu));
}

bool ComSerial::writeBytes(const std::vector<uint8_t>& bytes) {
    if (!isOpen) {
        return false;
    }
    const uint32_t delayMs = serialParams().interByteDelayMs;
    if (delayMs == 0) {
        return port.writeAll(bytes.data(), bytes.size(), writeTimeoutMs(bytes.size()));
    }
    for (uint8_t byte : bytes) {
        if (!port.writeAll(&byte, 1, writeTimeoutMs(1))) {
            return false;
        }
        sleepMs(delayMs);
    }
    return true;
}

uint64_t ComSerial::queuedBytes() {
    const int64_t queued = port.inputQueued();
    return queued > 0 ? static_cast<uint64_t>(queued) : 0;
}

uint64_t ComSerial::bytesAvailable() {
    return queuedBytes() + rxBuffer.size();
}

uint64_t ComSerial::drainInput() {
    const uint64_t queued = queuedBytes();
    if (queued > 0) {
        std::vector<uint8_t> chunk(queued);
        const int64_t got = port.read(chunk.data(), chunk.size());
        if (got > 0) {
            rxBuffer.insert(rxBuffer.end(), chunk.begin(), chunk.begin() + got);
        }
    }
    return rxBuffer.size();
}

uint64_t ComSerial::readBytes(std::vector<uint8_t>& out, uint64_t n) {
    drainInput();
    const uint64_t k = std::min<uint64_t>(n, rxBuffer.size());
    const auto end = rxBuffer.begin() + static_cast<std::ptrdiff_t>(k);
    out.assign(rxBuffer.begin(), end);
    rxBuffer.erase(rxBuffer.begin(), end);
    return out.size();
}

bool ComSerial::read(uint32_t, uint32_t, std::vector<uint8_t>& out, uint32_t count) {
    if (count == 0) {
        out.clear();
        return true;
    }
    if (!isOpen) {
        out.clear();
        return false;
    }
    const ComParams& p = serialParams();
    UtilTimeout firstByte(p.firstByteTimeoutMs);
    UtilTimeout interByte(p.interByteTimeoutMs);
    UtilTimeout overall(p.rxTimeoutMs);

    uint64_t available = drainInput();
    const uint64_t start = available;
    uint64_t last = available;
    while (available < count) {
        platform::sleepFor(kReadPollMs);
        available = drainInput();
        if (available >= count || overall.expired()) {
            break;
        }
        if (available == start && firstByte.expired()) {
            break;
        }
        if (available > start) {
            if (available > last) {
                interByte.restart(p.interByteTimeoutMs);
            }
            if (interByte.expired()) {
                break;
            }
        }
        last = available;
    }

    const uint64_t n = std::min<uint64_t>(count, available);
    if (n == 0) {
        out.clear();
        return false;
    }
    return readBytes(out, n) == n;
}

bool ComSerial::sendBreak(uint32_t duration) {
    if (!isOpen) {
        return false;
    }
    const bool set = port.setBreak(true);
    delayUs(duration);
    const bool cleared = port.setBreak(false);
    const bool flushed = flushReceive(0);
    return set && cleared && flushed;
}

bool ComSerial::flushReceive(uint32_t) {
    if (!isOpen) {
        return false;
    }
    delayUs(kFlushSettleUs);
    // A read takes the whole input queue, so what is left of a frame after it (the tail of a flow
    // control read for its first four bytes) is held here, and must go as well.
    rxBuffer.clear();
    // Only the input: the discard runs before every request, and a write returns once its bytes are
    // queued, so dropping the output queue could cut the end of the request before it.
    return port.purgeInput();
}

std::vector<ComSerial::LineRun> ComSerial::frameRuns(uint8_t byte, uint32_t bitTimeUs) {
    bool bits[kBitsPerFrame];
    bits[0] = false;
    for (int i = 0; i < 8; ++i) {
        bits[1 + i] = ((byte >> i) & 1) != 0;
    }
    bits[kBitsPerFrame - 1] = true;

    std::vector<LineRun> runs;
    uint32_t length = 0;
    for (uint32_t i = 0; i < kBitsPerFrame; ++i) {
        ++length;
        if (i + 1 == kBitsPerFrame || bits[i + 1] != bits[i]) {
            runs.push_back(LineRun{!bits[i], length * bitTimeUs});
            length = 0;
        }
    }
    return runs;
}

bool ComSerial::sendByteAtBaud(uint8_t byte, double baud) {
    if (!isOpen || !(baud > 0)) {
        return false;
    }
    const double bitTimeUs = std::floor(1000000.0 / baud);
    if (bitTimeUs * kBitsPerFrame > static_cast<double>(std::numeric_limits<uint32_t>::max())) {
        return false;
    }
    bool lastBreak = false;
    for (const LineRun& run : frameRuns(byte, static_cast<uint32_t>(bitTimeUs))) {
        if (run.breakLevel) {
            lastBreak = sendBreakLocked(run.durationUs);
        } else {
            delayUs(run.durationUs);
        }
    }
    return lastBreak;
}

// ---- half duplex

ComSerialHalfDuplex::ComSerialHalfDuplex(const ComParamsSerial& params, uint32_t id)
    : ComSerial(params, id) {}

ComSerialHalfDuplex::~ComSerialHalfDuplex() = default;

const std::string& ComSerialHalfDuplex::name() const {
    static const std::string text = "COM_SerPortHalfDuplex";
    return text;
}

uint64_t ComSerialHalfDuplex::echoLimitMs(uint64_t n, uint32_t baud) {
    if (baud == 0) {
        return kLineMarginMs;
    }
    const double lineMs = static_cast<double>(n * kBitsPerFrame) / (baud / 1000.0);
    constexpr double kLongest = 1e15;
    return static_cast<uint64_t>(std::min(lineMs, kLongest)) + kLineMarginMs;
}

bool ComSerialHalfDuplex::writeBytes(const std::vector<uint8_t>& bytes) {
    if (!echoLock.lock()) {
        return false;
    }
    bufferedBefore = rxBuffer.size();
    queuedBefore = queuedBytes();
    const bool ok = ComSerial::writeBytes(bytes) && checkEcho(bytes);
    const bool unlocked = echoLock.unlock();
    return ok && unlocked;
}

bool ComSerialHalfDuplex::checkEcho(const std::vector<uint8_t>& written) {
    const uint64_t n = written.size();
    UtilTimeout limit(echoLimitMs(n, serialParams().baud));
    // The echo follows what was there before the write.
    const uint64_t offset = bufferedBefore + queuedBefore;
    uint32_t waits = 0;
    while (drainInput() < offset + n) {
        if (limit.expired()) {
            return false;
        }
        ++waits;
        sleepMs(waits % 8 == 0 ? 20 : 3);
    }
    const auto first = rxBuffer.begin() + static_cast<std::ptrdiff_t>(offset);
    const auto last = first + static_cast<std::ptrdiff_t>(n);
    const bool same = std::equal(first, last, written.begin(), written.end());
    rxBuffer.erase(first, last);
    return same;
}
