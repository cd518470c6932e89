#include "ecu/DevVO_ecu.h"

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
    const bool ok = sendAndReceive(reply, req, maxResponseLength());
    if (!login) {
        return ok;
    }
    return ok && !reply.empty() && reply.front() == startSessionSid() + positiveResponseOffset();
}
