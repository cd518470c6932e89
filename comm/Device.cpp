#include "comm/Device.h"

#include <algorithm>
#include <array>
#include <utility>

#include "comm/ComParams.h"
#include "comm/Communication.h"
#include "comm/Protocol.h"
#include "comm/UtilTimeout.h"

namespace {

constexpr uint32_t kIdentifyLength = 1000;
constexpr uint32_t kIdentifyPauseMs = 50;
constexpr uint32_t kStopWaitMs = 1000;
constexpr std::array<int32_t, 7> kPriorities = {-15, -2, -1, 0, 1, 2, 15};

std::vector<uint8_t> bytesOf(const std::string& text) {
    return {text.begin(), text.end()};
}

void prepend(std::string& text, const std::vector<uint8_t>& bytes) {
    text.insert(0, std::string(bytes.begin(), bytes.end()));
}

}  // namespace

Device::Device(Communication* comm, uint32_t id) : comm(comm), id(id) {
    if (comm != nullptr) {
        comm->selectProtocolUnlocked(Communication::defaultLineProtocol().name());
    }
}

Device::Device() : comm(&Communication::defaultInstance()), id(kNoAnswerId), initDone(true) {}

Device::~Device() {
    if (!stopThread()) {
        // A worker that missed its stop is still reading this object: it is waited for, never left.
        thread->join(platform::kInfinite);
        thread.reset();
    }
}

// ---- base behaviour of the virtual operations

bool Device::isPresent() {
    std::string scratch;
    return identify(scratch);
}

bool Device::identify(std::string& answer) {
    const bool answered = query(answer, "*IDN?", kIdentifyLength);
    if (answered) {
        sleepMs(kIdentifyPauseMs);
    }
    return answered && !answer.empty();
}

bool Device::release() {
    return underLock([&] { return comm->releaseDeviceLocked(answerId); });
}

bool Device::auxRequest() {
    return underLock([&] { return comm->auxDeviceRequestLocked(answerId); });
}

bool Device::connect() {
    return false;
}

uint32_t Device::maxResponseLength() const {
    return 0x10000;
}

const std::string& Device::name() const {
    static const std::string text = "DEV_UnnamedDev";
    return text;
}

const std::string& Device::querySuffix() const {
    static const std::string text = "?";
    return text;
}

const std::string& Device::parameterSeparator() const {
    static const std::string text = " ";
    return text;
}

const std::string& Device::listSeparator() const {
    static const std::string text = ",";
    return text;
}

bool Device::threadMain() {
    return true;
}

// ---- set-up and initialisation

bool Device::addProtocol(Protocol* protocol) {
    return comm != nullptr && comm->registerProtocol(protocol);
}

bool Device::selectProtocol(const std::string& protocolName) {
    return comm != nullptr && comm->selectProtocolUnlocked(protocolName);
}

bool Device::ensureInit() {
    if (!initDone) {
        // Marked first: isPresent and connect run device operations, which must not start it again.
        initDone = true;
        init();
    }
    return valid;
}

void Device::init() {
    // Valid while the checks below run, so that the device operations they call pass ensureInit.
    valid = true;
    const bool lockOpened = mutex.open(name(), id);
    bool channelOpen = false;
    answerId = kNoAnswerId;
    if (lockOpened && comm != nullptr) {
        channelOpen = comm->ensureInit();
        if (channelOpen) {
            answerId = comm->lookupAnswerId(id);
        }
    }
    valid = lockOpened && channelOpen && answerId != kNoAnswerId && isPresent() && connect();
}

// ---- device-locked operations

template <typename Call>
bool Device::underLock(Call&& call) {
    if (!ensureInit() || !mutex.lock()) {
        return false;
    }
    bool done = false;
    try {
        done = std::forward<Call>(call)();
    } catch (...) {
        mutex.unlock();
        throw;
    }
    const bool released = mutex.unlock();
    return done && released;
}

bool Device::send(const std::vector<uint8_t>& payload) {
    return underLock([&] { return comm->send(payload, id, answerId); });
}

bool Device::send(const std::string& text) {
    return send(bytesOf(text));
}

bool Device::sendAndReceive(std::vector<uint8_t>& response, const std::vector<uint8_t>& request,
                            uint32_t maxLength, const ReplyFilter& accept) {
    return underLock(
        [&] { return comm->sendAndReceive(request, response, maxLength, id, answerId, accept); });
}

bool Device::receive(std::vector<uint8_t>& out, uint32_t count) {
    return underLock([&] { return comm->receive(out, count, id, answerId); });
}

bool Device::query(std::string& answer, const std::string& command, uint32_t maxLength) {
    std::vector<uint8_t> response;
    if (!underLock(
            [&] { return comm->sendAndReceive(bytesOf(command), response, maxLength, id, answerId); })) {
        return false;
    }
    prepend(answer, response);
    return true;
}

bool Device::readString(std::string& out, uint32_t count) {
    std::vector<uint8_t> received;
    if (!underLock([&] { return comm->receive(received, count, id, answerId); })) {
        return false;
    }
    prepend(out, received);
    return true;
}

bool Device::sendTo(const std::vector<uint8_t>& payload, uint32_t txId, uint32_t rxId) {
    return underLock([&] { return comm->send(payload, txId, rxId); });
}

bool Device::sendRawTo(const std::vector<uint8_t>& frame, uint32_t txId, uint32_t rxId) {
    return underLock([&] { return comm->sendRaw(frame, txId, rxId); });
}

bool Device::receiveFrom(std::vector<uint8_t>& out, uint32_t count, uint32_t txId, uint32_t rxId,
                         const ReplyFilter& accept) {
    return underLock([&] { return comm->receive(out, count, txId, rxId, accept); });
}

bool Device::sendBreak(uint32_t duration) {
    return underLock([&] { return comm->sendBreakLocked(duration); });
}

bool Device::flushReceive(uint32_t rxId) {
    return underLock([&] { return comm->flushReceiveLocked(rxId); });
}

bool Device::sendByteAtBaud(uint8_t byte, double baud) {
    return underLock([&] { return comm->sendByteAtBaudLocked(byte, baud); });
}

// ---- unlocked operations

bool Device::transfer(const std::vector<uint8_t>& request, std::vector<uint8_t>& response, uint32_t count,
                      uint32_t txId, uint32_t rxId, const ReplyFilter& accept) {
    return comm != nullptr && comm->sendAndReceive(request, response, count, txId, rxId, accept);
}

namespace {

using TimeoutField = uint32_t ComParams::*;

// The channel's own record; the default channel has none, and then nothing is read or written.
void setTimeout(Communication* comm, TimeoutField field, uint32_t ms) {
    if (ComParams* p = comm != nullptr ? comm->getComParams() : nullptr) {
        p->*field = ms;
    }
}

uint32_t getTimeout(const Communication* comm, TimeoutField field) {
    const ComParams* p = comm != nullptr ? comm->getComParams() : nullptr;
    return p != nullptr ? p->*field : 0;
}

}  // namespace

void Device::setRxTimeout(uint32_t ms) {
    setTimeout(comm, &ComParams::rxTimeoutMs, ms);
}

uint32_t Device::getRxTimeout() const {
    return getTimeout(comm, &ComParams::rxTimeoutMs);
}

void Device::setFirstByteTimeout(uint32_t ms) {
    setTimeout(comm, &ComParams::firstByteTimeoutMs, ms);
}

uint32_t Device::getFirstByteTimeout() const {
    return getTimeout(comm, &ComParams::firstByteTimeoutMs);
}

void Device::setInterByteTimeout(uint32_t ms) {
    setTimeout(comm, &ComParams::interByteTimeoutMs, ms);
}

uint32_t Device::getInterByteTimeout() const {
    return getTimeout(comm, &ComParams::interByteTimeoutMs);
}

// ---- worker thread

bool Device::setThreadPriority(int32_t priority) {
    const bool accepted = std::find(kPriorities.begin(), kPriorities.end(), priority) != kPriorities.end();
    threadPriority = accepted ? priority : 0;
    return accepted;
}

bool Device::startThread() {
    if (thread) {
        return false;
    }
    // A stop signal left from a worker that ended on its own must not stop the new one.
    stopEvent.reset();
    thread = std::make_unique<platform::Thread>([this] { return threadMain() ? 1u : 0u; });
    const bool prioritySet = thread->setPriority(threadPriority);
    if (!thread->resume()) {
        thread.reset();
        return false;
    }
    return prioritySet;
}

bool Device::stopThread() {
    if (!thread) {
        return true;
    }
    stopEvent.set();
    if (thread->started() && !thread->join(kStopWaitMs)) {
        return false;
    }
    thread.reset();
    return true;
}
