#include "ecu/DevVO_ecuUDS_CAN.h"

#include <algorithm>

#include "checksum/UtilChecksum.h"
#include "ecu/EcuPacketRequest.h"

namespace {

// Resizes bytes to length: zero bytes appended at the end, surplus cut from the end. False, bytes
// unchanged, when a cut byte is not zero.
bool fitToLength(std::vector<uint8_t>& bytes, size_t length) {
    if (bytes.size() > length && std::any_of(bytes.begin() + static_cast<std::ptrdiff_t>(length), bytes.end(),
                                             [](uint8_t b) { return b != 0; })) {
        return false;
    }
    bytes.resize(length, 0);
    return true;
}

}  // namespace

DevVO_ecuUDS_CAN::DevVO_ecuUDS_CAN(Communication* comm, uint32_t frameAddress)
    : DevVO_ecu(comm, 0), frameAddress(frameAddress) {}

DevVO_ecuUDS_CAN::~DevVO_ecuUDS_CAN() = default;

bool DevVO_ecuUDS_CAN::connect() {
    return true;
}

const std::string& DevVO_ecuUDS_CAN::name() const {
    static const std::string text("DevVO_ecuUDS_CAN");
    return text;
}

bool DevVO_ecuUDS_CAN::Login() {
    (void)flushReceive(rxCanId);
    std::vector<uint8_t> request = {sessionControlSid(), withSuppressBit(defaultSessionId(), false)};
    std::vector<uint8_t> reply;
    (void)transferToEcu(request, reply, 8);
    if (reply.empty()) {
        (void)transferToEcu(request, reply, 8);
    }
    request[1] = withSuppressBit(progSessionId(), false);
    reply.clear();
    const bool ok = transferToEcu(request, reply, 8);
    return ok && !reply.empty() && reply.front() != negativeResponseSid();
}

bool DevVO_ecuUDS_CAN::Logout() {
    const std::vector<uint8_t> request = {sessionControlSid(), withSuppressBit(defaultSessionId(), false)};
    std::vector<uint8_t> reply;
    const bool ok = transferToEcu(request, reply, 8);
    return ok && !reply.empty() && reply.front() != negativeResponseSid() &&
           reply.front() == sessionControlSid() + positiveResponseOffset();
}

bool DevVO_ecuUDS_CAN::memoryLengthFields(const std::vector<uint8_t>& address, uint32_t size,
                                          std::vector<uint8_t>& addressBytes,
                                          std::vector<uint8_t>& sizeBytes) const {
    sizeBytes = sizeToBytes(size);
    addressBytes = address;
    if (memorySizeLength != 0 && !fitToLength(sizeBytes, memorySizeLength)) {
        return false;
    }
    return fitToLength(addressBytes, memoryAddressLength);
}

bool DevVO_ecuUDS_CAN::ReadMemoryByAddress(const std::vector<uint8_t>& address, uint32_t size,
                                           std::vector<uint8_t>& out) {
    std::vector<uint8_t> addressBytes;
    std::vector<uint8_t> sizeBytes;
    if (!memoryLengthFields(address, size, addressBytes, sizeBytes)) {
        return false;
    }
    std::vector<uint8_t> request = {readMemorySid(), addressAndLengthFormat(addressBytes, sizeBytes)};
    ecupacket::appendBytes(request, addressBytes.begin(), addressBytes.end());
    request.insert(request.end(), sizeBytes.begin(), sizeBytes.end());
    const bool ok = transferToEcu(request, out, 5000);
    if (!ok || out.empty() || out.front() == negativeResponseSid() ||
        out.front() != readMemorySid() + positiveResponseOffset()) {
        return false;
    }
    out.erase(out.begin());
    return true;
}

bool DevVO_ecuUDS_CAN::WriteMemoryByAddress(const std::vector<uint8_t>& address,
                                            const std::vector<uint8_t>& data) {
    std::vector<uint8_t> addressBytes;
    std::vector<uint8_t> sizeBytes;
    if (data.size() > UINT32_MAX ||
        !memoryLengthFields(address, static_cast<uint32_t>(data.size()), addressBytes, sizeBytes)) {
        return false;
    }
    if (!prepareMemoryWrite(address, data)) {
        return false;
    }
    std::vector<uint8_t> request = {writeMemorySid(), addressAndLengthFormat(addressBytes, sizeBytes)};
    ecupacket::appendBytes(request, addressBytes.begin(), addressBytes.end());
    request.insert(request.end(), sizeBytes.begin(), sizeBytes.end());
    request.insert(request.end(), data.begin(), data.end());
    std::vector<uint8_t> reply;
    const bool ok = transferToEcu(request, reply, 5000);
    return ok && !reply.empty() && reply.front() != negativeResponseSid() &&
           reply.front() == writeMemorySid() + positiveResponseOffset();
}

bool DevVO_ecuUDS_CAN::setCanIds(uint32_t tx, uint32_t rx) {
    txCanId = tx;
    rxCanId = rx;
    return true;
}

bool DevVO_ecuUDS_CAN::setProgSessionId(uint8_t session) {
    progSession = session;
    return true;
}

bool DevVO_ecuUDS_CAN::setSizeAndAddressLength(uint8_t sizeLength, uint8_t addressLength) {
    const bool sizeValid = sizeLength <= 4;
    const bool addressValid = addressLength >= 1 && addressLength <= 4;
    if (sizeValid) {
        memorySizeLength = sizeLength;
    }
    if (addressValid) {
        memoryAddressLength = addressLength;
    }
    return sizeValid && addressValid;
}

uint8_t DevVO_ecuUDS_CAN::defaultSessionId() const {
    return 0x01;
}
uint8_t DevVO_ecuUDS_CAN::sessionControlSid() const {
    return 0x10;
}
uint8_t DevVO_ecuUDS_CAN::progSessionId() const {
    return progSession;
}
uint8_t DevVO_ecuUDS_CAN::routineControlSid() const {
    return 0x31;
}
uint8_t DevVO_ecuUDS_CAN::startRoutineType() const {
    return 0x01;
}
uint8_t DevVO_ecuUDS_CAN::routineIdHigh() const {
    return 0xF0;
}
uint8_t DevVO_ecuUDS_CAN::routineIdLow() const {
    return 0x01;
}

bool DevVO_ecuUDS_CAN::prepareMemoryWrite(const std::vector<uint8_t>& address,
                                          const std::vector<uint8_t>& data) {
    // The request announces the length in 16 bits; a longer write cannot be announced truthfully.
    if (address.size() < 3 || data.size() > 0xFFFF) {
        return false;
    }
    const auto length = static_cast<uint16_t>(data.size());
    std::vector<uint8_t> request = {routineControlSid(),
                                    startRoutineType(),
                                    routineIdHigh(),
                                    routineIdLow(),
                                    address[2],
                                    address[1],
                                    address[0],
                                    static_cast<uint8_t>(length >> 8),
                                    static_cast<uint8_t>(length)};
    request.push_back(crc8Reflected(request.begin() + 4, request.end(), 0));
    std::vector<uint8_t> reply;
    const bool ok = transferToEcu(request, reply, 8);
    return ok && reply.size() > 3 && reply[0] != negativeResponseSid() &&
           reply[0] == routineControlSid() + positiveResponseOffset() && reply[1] == startRoutineType() &&
           reply[2] == routineIdHigh() && reply[3] == routineIdLow();
}

bool DevVO_ecuUDS_CAN::setReceiveTimeout(uint32_t ms) {
    setRxTimeout(ms);
    return true;
}

uint32_t DevVO_ecuUDS_CAN::getReceiveTimeout() {
    return getRxTimeout();
}

std::vector<uint8_t> DevVO_ecuUDS_CAN::sizeToBytes(uint32_t value) {
    size_t count = 1;
    if ((value & 0xFF000000u) != 0) {
        count = 4;
    } else if ((value & 0x00FF0000u) != 0) {
        count = 3;
    } else if ((value & 0x0000FF00u) != 0) {
        count = 2;
    }
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < count; ++i) {
        bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
    return bytes;
}

uint8_t DevVO_ecuUDS_CAN::withSuppressBit(uint8_t subFunction, bool suppress) {
    return suppress ? static_cast<uint8_t>(subFunction | 0x80) : subFunction;
}

uint8_t DevVO_ecuUDS_CAN::addressAndLengthFormat(const std::vector<uint8_t>& address,
                                                 const std::vector<uint8_t>& size) {
    return static_cast<uint8_t>(((size.size() << 4) & 0xF0) | (address.size() & 0x0F));
}

bool DevVO_ecuUDS_CAN::transferToEcu(const std::vector<uint8_t>& request, std::vector<uint8_t>& reply,
                                     uint32_t answerLength) const {
    // Device::transfer keeps no state in the device; the channel it reaches is not part of this object.
    auto* self = const_cast<DevVO_ecuUDS_CAN*>(this);
    self->awaitLateAnswers(request);
    const bool answered =
        self->transfer(request, reply, answerLength, txCanId, rxCanId, answerFilter(request));
    self->noteOutcome(request, answered, reply);
    return answered;
}

bool DevVO_ecuUDS_CAN::sendRequest(const std::vector<uint8_t>& request) {
    awaitLateAnswers(request);
    return sendTo(request, txCanId, rxCanId);
}

bool DevVO_ecuUDS_CAN::receiveAnswer(const std::vector<uint8_t>& request, std::vector<uint8_t>& reply,
                                     uint32_t answerLength) {
    const bool answered = receiveFrom(reply, answerLength, txCanId, rxCanId, answerFilter(request));
    noteOutcome(request, answered, reply);
    return answered;
}

void DevVO_ecuUDS_CAN::awaitLateAnswers(const std::vector<uint8_t>& request) {
    using Clock = std::chrono::steady_clock;
    for (auto it = unanswered.begin(); it != unanswered.end();) {
        const Clock::time_point now = Clock::now();
        if (it->lateUntil <= now) {
            it = unanswered.erase(it);
            continue;
        }
        if (it->request == request || !answersMayLookAlike(it->request, request)) {
            ++it;
            continue;
        }
        // Taken for this request's answer, the late one would pass its reply check; so it is
        // received and dropped first, or the time it may still come in passes.
        const std::vector<uint8_t> earlier = it->request;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(it->lateUntil - now).count();
        const uint32_t saved = getRxTimeout();
        setRxTimeout(static_cast<uint32_t>(left));
        std::vector<uint8_t> late;
        (void)receiveFrom(late, maxResponseLength(), txCanId, rxCanId, answerFilter(earlier));
        setRxTimeout(saved);
        it = unanswered.erase(it);
    }
}

void DevVO_ecuUDS_CAN::noteOutcome(const std::vector<uint8_t>& request, bool answered,
                                   const std::vector<uint8_t>& reply) {
    constexpr uint8_t kResponsePending = 0x78;
    // Kept for the last few requests; older ones are past their time long before.
    constexpr size_t kKept = 16;
    const bool pending =
        answered && reply.size() >= 3 && reply[0] == negativeResponseSid() && reply[2] == kResponsePending;
    const auto sameRequest = [&](const Unanswered& u) { return u.request == request; };
    const bool sentBefore =
        std::find_if(unanswered.begin(), unanswered.end(), sameRequest) != unanswered.end();
    unanswered.erase(std::remove_if(unanswered.begin(), unanswered.end(), sameRequest), unanswered.end());
    // After "response pending" the answer follows; an answer taken for a request sent again may have
    // been the one before's, and then this one's is still to come.
    if (!answered || pending || sentBefore) {
        if (unanswered.size() >= kKept) {
            unanswered.erase(unanswered.begin());
        }
        unanswered.push_back(
            {request, std::chrono::steady_clock::now() + std::chrono::milliseconds(getRxTimeout())});
    }
}

void DevVO_ecuUDS_CAN::appendBigEndian32(std::vector<uint8_t>& bytes, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        bytes.push_back(static_cast<uint8_t>(value >> shift));
    }
}
