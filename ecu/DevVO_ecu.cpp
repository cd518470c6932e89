#include "ecu/DevVO_ecu.h"

#include <algorithm>
#include <array>

namespace {

// The bootloader's service with a sub-function byte, and its sub-functions; the flash request
// carries key bytes in that place.
constexpr uint8_t kBootloaderService = 0xBB;
constexpr std::array<uint8_t, 10> kBootloaderSubFunctions = {0x70, 0x71, 0x72, 0x80, 0x81,
                                                             0x82, 0x91, 0x92, 0xFE, 0xFF};
constexpr size_t kFlashRequestLength = 5;
constexpr uint8_t kWrongKeyAnswer = 0x7E;
// The RAM CRC query, answered with the service byte plus 0x40 or, as the bootloader's BB services are,
// with FB; its CRC follows at once, so no sub-function is looked at.
constexpr uint8_t kCrcQueryService = 0xBC;
constexpr uint8_t kBootloaderAnswer = 0xFB;
// The jump to a RAM application is answered like its start.
constexpr uint8_t kJumpService = 0xBF;
constexpr uint8_t kJumpSubFunction = 0x01;
constexpr uint8_t kStartAnswer = 0xFE;

bool isBootloaderSubFunction(uint8_t b) {
    return std::find(kBootloaderSubFunctions.begin(), kBootloaderSubFunctions.end(), b) !=
           kBootloaderSubFunctions.end();
}

}  // namespace

DevVO_ecu::DevVO_ecu(Communication* comm, uint32_t id) : Device(comm, id) {}

DevVO_ecu::~DevVO_ecu() = default;

bool DevVO_ecu::isPresent() {
    return true;
}

bool DevVO_ecu::release() {
    return Logout();
}

bool DevVO_ecu::connect() {
    return Login();
}

const std::string& DevVO_ecu::name() const {
    static const std::string text("DEV_VO_ecu");
    return text;
}

bool DevVO_ecu::Login() {
    return request(true);
}

bool DevVO_ecu::Logout() {
    return request(false);
}

bool DevVO_ecu::ReadMemoryByAddress(const std::vector<uint8_t>&, uint32_t, std::vector<uint8_t>&) {
    return false;
}

bool DevVO_ecu::WriteMemoryByAddress(const std::vector<uint8_t>&, const std::vector<uint8_t>&) {
    return false;
}

bool DevVO_ecu::setCanIds(uint32_t, uint32_t) {
    return false;
}

bool DevVO_ecu::setProgSessionId(uint8_t) {
    return false;
}

bool DevVO_ecu::setSizeAndAddressLength(uint8_t, uint8_t) {
    return false;
}

uint8_t DevVO_ecu::loginSessionId() const {
    return 0xFE;
}
uint8_t DevVO_ecu::standardSessionId() const {
    return 0x81;
}
uint8_t DevVO_ecu::defaultSessionId() const {
    return 0x81;
}
uint8_t DevVO_ecu::startSessionSid() const {
    return 0x10;
}
uint8_t DevVO_ecu::stopSessionSid() const {
    return 0x20;
}
uint8_t DevVO_ecu::readMemorySid() const {
    return 0x23;
}
uint8_t DevVO_ecu::startRoutineSid() const {
    return 0x31;
}
uint8_t DevVO_ecu::writeMemorySid() const {
    return 0x3D;
}
uint8_t DevVO_ecu::serviceIdDF() const {
    return 0xDF;
}
uint8_t DevVO_ecu::positiveResponseOffset() const {
    return 0x40;
}
uint8_t DevVO_ecu::negativeResponseSid() const {
    return 0x7F;
}

bool DevVO_ecu::request(bool login) {
    const std::vector<uint8_t> req = {startSessionSid(), login ? loginSessionId() : standardSessionId()};
    std::vector<uint8_t> reply;
    const bool ok = sendAndReceive(reply, req, maxResponseLength(), answerFilter(req));
    if (!login) {
        return ok;
    }
    return ok && !reply.empty() && reply.front() == startSessionSid() + positiveResponseOffset();
}

bool DevVO_ecu::answersRequest(const std::vector<uint8_t>& request, const std::vector<uint8_t>& reply) const {
    if (request.empty() || reply.empty()) {
        return true;
    }
    const uint8_t service = request[0];
    // A negative reply too short to name a service cannot be told apart either.
    if (reply[0] == negativeResponseSid()) {
        return reply.size() < 2 || reply[1] == service;
    }
    const bool bootloader = service == kBootloaderService && request.size() >= 2;
    if (bootloader && request.size() == kFlashRequestLength && reply[0] == kWrongKeyAnswer) {
        return true;
    }
    if (service == kCrcQueryService && reply[0] == kBootloaderAnswer) {
        return true;
    }
    const bool jump = service == kJumpService && request.size() >= 2 && request[1] == kJumpSubFunction;
    const unsigned positive = jump ? kStartAnswer : service + positiveResponseOffset();
    if (reply[0] != positive) {
        return false;
    }
    // FB FE is the answer to BB FE and to no other BB request; FB 00 names none.
    if (bootloader && reply.size() >= 2 && isBootloaderSubFunction(reply[1])) {
        return reply[1] == request[1];
    }
    return true;
}

bool DevVO_ecu::answersMayLookAlike(const std::vector<uint8_t>& first,
                                    const std::vector<uint8_t>& second) const {
    // Every reply of one or two bytes: what answersRequest looks at. A longer reply passes where its
    // first two bytes do; a one-byte reply other than the lone negativeResponseSid passes where it
    // does followed by a byte that names no service, so the pairs cover it.
    std::vector<uint8_t> reply(2);
    for (unsigned b0 = 0; b0 <= 0xFF; ++b0) {
        reply[0] = static_cast<uint8_t>(b0);
        for (unsigned b1 = 0; b1 <= 0xFF; ++b1) {
            reply[1] = static_cast<uint8_t>(b1);
            if (answersRequest(first, reply) && answersRequest(second, reply)) {
                return true;
            }
        }
    }
    return false;
}

Device::ReplyFilter DevVO_ecu::answerFilter(const std::vector<uint8_t>& request) const {
    return [this, &request](const std::vector<uint8_t>& reply) { return answersRequest(request, reply); };
}
