#pragma once
// The bootloader's services: one request in, its reply out. No bus and no faults here; the
// simulator carries requests and replies and applies the faults around this.
//
// Replies: the service byte + 0x40 and what the service returns, or 7F, service, code. The jump
// to a RAM application (BF 01) is answered FE and the ECU stays in the bootloader.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>

#include "sim/SimConfig.h"
#include "sim/SimMemory.h"

namespace sim {

// Negative response codes the bootloader gives.
namespace nrc {
inline constexpr uint8_t kServiceNotSupported = 0x11;
inline constexpr uint8_t kSubFunctionNotSupported = 0x12;
inline constexpr uint8_t kIncorrectLength = 0x13;
inline constexpr uint8_t kResponseTooLong = 0x14;
inline constexpr uint8_t kConditionsNotCorrect = 0x22;
inline constexpr uint8_t kRequestOutOfRange = 0x31;
inline constexpr uint8_t kSecurityAccessDenied = 0x33;
inline constexpr uint8_t kInvalidKey = 0x35;
inline constexpr uint8_t kProgrammingFailure = 0x72;
inline constexpr uint8_t kResponsePending = 0x78;
}  // namespace nrc

// The largest message the transport carries.
inline constexpr size_t kMaxMessage = 4095;

class Bootloader {
  public:
    explicit Bootloader(const Config& config);

    // The reply to one request; empty when there is nothing to answer (an empty request).
    Bytes handle(const Bytes& request);

    Memory& memory() { return memory_; }
    const Memory& memory() const { return memory_; }
    bool loggedIn() const { return loggedIn_; }
    uint32_t ecuInfo() const { return ecuInfo_; }
    uint32_t optionBytes(uint8_t index) const;

    // What the flash request's CRC must be for a key: CRC-32 (MSB first, polynomial 0x04C11DB7,
    // initial 0) of the key's 8 bytes, least significant first.
    static uint32_t flashRequestCrc(uint64_t key);

  private:
    Bytes login(const Bytes& r);
    Bytes programmingSession(const Bytes& r);
    Bytes serviceBB(const Bytes& r);
    Bytes flashRequest(const Bytes& r);
    Bytes eraseCode(const Bytes& r);
    Bytes eraseData(const Bytes& r);
    Bytes writeCode(const Bytes& r);
    Bytes writeData(const Bytes& r);
    Bytes readCode(const Bytes& r);
    Bytes readData(const Bytes& r);
    // The refusal of an option-byte request of this length, or none when it may be served.
    std::optional<Bytes> optionBytesRefusal(const Bytes& r, size_t length) const;
    Bytes readOptionBytes(const Bytes& r);
    Bytes writeOptionBytes(const Bytes& r);
    Bytes ramCrc(const Bytes& r);
    Bytes download(const Bytes& r);
    Bytes start(const Bytes& r);
    Bytes resetOrJump(const Bytes& r);
    // FB, sub-function, then the bytes read (pages of 256 from the request's address).
    Bytes readReply(uint8_t sub, uint32_t pages, const std::function<MemResult(uint32_t, Bytes*)>& read);

    Config config_;
    const EcuProfile& profile_;
    Memory memory_;
    bool loggedIn_ = false;
    uint32_t ecuInfo_;
    std::map<uint8_t, uint32_t> optionBytes_;
    // Range of the last RAM CRC query, for the start's CRC check.
    std::optional<std::pair<uint32_t, uint32_t>> lastCrcRange_;
};

}  // namespace sim
