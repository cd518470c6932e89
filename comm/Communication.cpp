#include "comm/Communication.h"

#include <iomanip>
#include <iostream>
#include <sstream>
#include <utility>

#include "comm/Protocol.h"
#include "comm/ProtocolSingleByteTailOnSend.h"
#include "comm/ProtocolSingleFrame.h"
#include "comm/ScopedLock.h"
#include "comm/ScopedValue.h"
#include "comm/UtilTimeout.h"

namespace {

constexpr uint32_t kNoId = 0xFFFFFFFF;

}  // namespace

// ---- exceptions

Communication::bad_open::bad_open() : errorNumber(kNoErrorNumber) {}

Communication::bad_open::bad_open(int64_t errorNumber) : errorNumber(errorNumber) {}

Communication::bad_open::~bad_open() = default;

const std::string& Communication::bad_open::description() const {
    static const std::string text = "Unknown communication (base class) type";
    return text;
}

std::string Communication::bad_open::formatMessage() const {
    std::string text = "Could not open Communication: " + description();
    if (errorNumber != kNoErrorNumber) {
        text += ". Error number: " + std::to_string(errorNumber);
    }
    return text;
}

const char* Communication::bad_open::what() const noexcept {
    try {
        if (message.empty()) {
            message = formatMessage();
        }
        return message.c_str();
    } catch (...) {
        return "Could not open Communication: ";
    }
}

const char* Communication::bad_close::what() const noexcept {
    return "Could not close Communication";
}

// ---- construction

Communication::Communication(ComParams* params, uint32_t id) : params(params), id(id) {
    registerDefaultProtocols();
}

Communication::Communication() : id(kNoId), initDone(true) {}

Communication::~Communication() {
    params.reset();
}

Communication& Communication::defaultInstance() {
    static Communication instance;
    return instance;
}

Protocol& Communication::defaultSingleFrameProtocol() {
    static ProtocolSingleFrame protocol;
    return protocol;
}

Protocol& Communication::defaultLineProtocol() {
    static ProtocolSingleByteTailOnSend_LF protocol;
    return protocol;
}

void Communication::registerDefaultProtocols() {
    registerProtocol(&defaultSingleFrameProtocol());
    registerProtocol(&defaultLineProtocol());
    selectProtocolUnlocked(defaultSingleFrameProtocol().name());
}

// ---- base behaviour of the virtual operations

uint32_t Communication::typeCode() const {
    return 0;
}

uint32_t Communication::available(uint32_t) {
    return 0;
}

bool Communication::setRxIds(const std::vector<uint32_t>& ids) {
    if (!rxIdLock.lock()) {
        return false;
    }
    rxIds = ids;
    return rxIdLock.unlock();
}

bool Communication::open() {
    // Nothing to open: a channel that does not supply its opening never becomes open.
    return false;
}

const std::string& Communication::name() const {
    static const std::string text = "COM_UnnamedCom";
    return text;
}

bool Communication::checkOpen() {
    return true;
}

bool Communication::checkClose() {
    return true;
}

bool Communication::write(uint32_t, uint32_t, const std::vector<uint8_t>&) {
    return false;
}

bool Communication::read(uint32_t, uint32_t, std::vector<uint8_t>&, uint32_t) {
    return false;
}

bool Communication::sendBreak(uint32_t) {
    return true;
}

uint32_t Communication::getAnswerId(uint32_t) {
    return 0;
}

bool Communication::flushReceive(uint32_t) {
    return false;
}

bool Communication::releaseDevice(uint32_t) {
    return false;
}

bool Communication::auxDeviceRequest(uint32_t) {
    return false;
}

bool Communication::sendByteAtBaud(uint8_t, double) {
    return false;
}

// ---- initialisation

bool Communication::ensureInit() {
    if (!initDone) {
        initDone = true;
        init();
    }
    return isOpen;
}

void Communication::init() {
    const bool lockOpened = mutex.open(name(), paramId());
    isOpen = lockOpened && openUnderLock();
}

bool Communication::openUnderLock() {
    ScopedLock guard(mutex);
    if (!guard.held()) {
        return false;
    }
    const bool opened = open();
    return guard.release() && opened;
}

uint32_t Communication::paramId() const {
    return params ? params->id : kNoId;
}

// ---- protocol registry

bool Communication::registerProtocol(Protocol* protocol) {
    if (protocol == nullptr) {
        return false;
    }
    return protocols.emplace(protocol->name(), protocol).second;
}

bool Communication::selectProtocolUnlocked(const std::string& protocolName) {
    const auto found = protocols.find(protocolName);
    currentProtocol = found == protocols.end() ? nullptr : found->second;
    return currentProtocol != nullptr;
}

bool Communication::selectProtocol(const std::string& protocolName) {
    return underLock([&] { return selectProtocolUnlocked(protocolName); });
}

// ---- locked operations

template <typename Body>
bool Communication::underLock(Body&& body) {
    if (!ensureInit()) {
        return false;
    }
    ScopedLock guard(mutex);
    if (!guard.held()) {
        return false;
    }
    const bool done = std::forward<Body>(body)();
    return guard.release() && done;
}

template <typename Body>
bool Communication::checkedUnderLock(Body&& body) {
    return underLock([&] {
        if (!checkOpenReported()) {
            return false;
        }
        const bool done = std::forward<Body>(body)();
        const bool closed = checkCloseReported();
        return done && closed;
    });
}

bool Communication::sendAndReceive(const std::vector<uint8_t>& request, std::vector<uint8_t>& response,
                                   uint32_t responseLength, uint32_t txId, uint32_t rxId,
                                   const ReplyFilter& accept) {
    return checkedUnderLock([&] {
        // The inner send and receive take the lock again; it is re-entrant for its owner.
        const bool sent = (txId == 0 && request.empty()) || send(request, txId, rxId);
        const bool received =
            responseLength == 0 || (sent && receive(response, responseLength, txId, rxId, accept));
        return sent && received;
    });
}

bool Communication::send(const std::vector<uint8_t>& payload, uint32_t txId, uint32_t rxId) {
    return checkedUnderLock([&] {
        // Whatever is queued for the reply identifier before a request goes out belongs to an earlier
        // one (a doubled reply, a reply that came after its time-out, the answer behind a "response
        // pending"); the request's own answer must not be taken from it. The result does not matter:
        // a channel with nothing to discard says false.
        flushReceive(rxId);
        return sendUnlocked(txId, rxId, payload, true);
    });
}

bool Communication::sendRaw(const std::vector<uint8_t>& frame, uint32_t txId, uint32_t rxId) {
    return checkedUnderLock([&] { return sendUnlocked(txId, rxId, frame, false); });
}

bool Communication::receive(std::vector<uint8_t>& out, uint32_t count, uint32_t txId, uint32_t rxId,
                            const ReplyFilter& accept) {
    if (count == 0) {
        return true;
    }
    out.clear();
    return checkedUnderLock([&] {
        // The filter of an outer receive comes back whatever this one does.
        const ScopedValue<const ReplyFilter*> filter(awaitedReply, accept ? &accept : nullptr);
        // A protocol that waits for the awaited message delivers no other; what another one delivers
        // is checked here, and said when it is refused: the caller sees only a receive that failed.
        if (!receiveUnlocked(txId, rxId, out, count, true)) {
            return false;
        }
        if (!isAwaitedReply(out)) {
            reportUnansweringReply(out);
            return false;
        }
        return true;
    });
}

void Communication::reportUnansweringReply(const std::vector<uint8_t>& reply) const {
    // The first bytes tell what the reply was; a long one is cut.
    constexpr size_t kShown = 16;
    std::ostringstream text;
    text << "Reply dropped, it does not answer the request (" << std::dec << reply.size()
         << " bytes):" << std::uppercase << std::hex << std::setfill('0');
    for (size_t i = 0; i < reply.size() && i < kShown; ++i) {
        text << ' ' << std::setw(2) << unsigned{reply[i]};
    }
    if (reply.size() > kShown) {
        text << " ...";
    }
    std::cout << text.str() << std::endl
              << " Offending Communication: " << name() << " " << std::dec << paramId() << std::endl;
}

bool Communication::isAwaitedReply(const std::vector<uint8_t>& message) const {
    return awaitedReply == nullptr || (*awaitedReply)(message);
}

bool Communication::flushReceiveLocked(uint32_t rxId) {
    return underLock([&] { return flushReceive(rxId); });
}

bool Communication::sendBreakLocked(uint32_t duration) {
    return underLock([&] { return sendBreak(duration); });
}

bool Communication::sendByteAtBaudLocked(uint8_t byte, double baud) {
    return underLock([&] { return sendByteAtBaud(byte, baud); });
}

bool Communication::releaseDeviceLocked(uint32_t answerId) {
    return underLock([&] { return releaseDevice(answerId); });
}

bool Communication::auxDeviceRequestLocked(uint32_t answerId) {
    return underLock([&] { return auxDeviceRequest(answerId); });
}

uint32_t Communication::lookupAnswerId(uint32_t deviceId) {
    uint32_t answer = kNoId;
    const bool ok = underLock([&] {
        answer = getAnswerId(deviceId);
        return true;
    });
    return ok ? answer : kNoId;
}

// ---- steps under the lock

bool Communication::sendUnlocked(uint32_t txId, uint32_t rxId, const std::vector<uint8_t>& data,
                                 bool viaProtocol) {
    lastTxMs = elapsedMs();
    if (!viaProtocol) {
        return write(txId, rxId, data);
    }
    return currentProtocol != nullptr && currentProtocol->send(this, txId, rxId, data);
}

bool Communication::receiveUnlocked(uint32_t txId, uint32_t rxId, std::vector<uint8_t>& out, uint32_t count,
                                    bool viaProtocol) {
    bool received = false;
    if (!viaProtocol) {
        received = read(txId, rxId, out, count);
    } else if (currentProtocol != nullptr) {
        received = currentProtocol->receive(this, txId, rxId, out, count);
    }
    lastRxMs = elapsedMs();
    return received;
}

bool Communication::checkOpenReported() {
    try {
        return checkOpen();
    } catch (const bad_open& e) {
        std::cout << e.what() << std::endl
                  << " Offending Communication: " << name() << " " << std::dec << paramId() << std::endl;
        return false;
    }
}

bool Communication::checkCloseReported() {
    try {
        return checkClose();
    } catch (const bad_close& e) {
        std::cout << e.what() << std::endl << " Offending Communication: " << name() << std::endl;
        return false;
    }
}
