#pragma once
// What a simulated ECU is: its class (memory layout and service variants), its bus identifiers and
// address byte, its secrets and preset values, and the faults it is told to show.

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace sim {

using Bytes = std::vector<uint8_t>;

enum class EcuClass { kCyt2, kNxp, kRh850, kKes2, kDro };

// "CYT2", "NXP", "RH850", "KES2", "DRO" (exactly as the flash programs name them).
std::optional<EcuClass> ecuClassFromName(const std::string& name);
const char* ecuClassName(EcuClass c);

// One erase block of the code flash; its number is its index in EcuProfile::codeBlocks.
struct FlashBlock {
    uint32_t start;
    uint32_t size;
};

// The memory layout and the service variants of a class.
struct EcuProfile {
    uint32_t codeBase;
    uint32_t codeSize;
    std::vector<FlashBlock> codeBlocks;
    uint32_t dataSize;
    uint32_t dataUnit;              // bytes of one data-flash erase unit
    uint32_t dataWriteBase;         // address of data-flash byte 0 in data writes (BB 80)
    uint32_t dataReadBase;          // address of data-flash byte 0 in data reads (BB 81)
    bool dataEraseByCount;          // BB 82 carries first unit and a count (else first unit and end unit)
    bool dataReadPagesFromSetting;  // BB 81 sends no page count (00): the setting gives it
    bool hasOptionBytes;            // BB 91 / BB 92
    bool hasProgrammingSession;     // 34 with the login code
    bool loginRequiredByDefault;
};

const EcuProfile& profileOf(EcuClass c);

// Bounds of the RAM a download may fill: any address, at most this many bytes in 4 KiB pages.
inline constexpr uint32_t kRamPageSize = 0x1000;
inline constexpr uint32_t kRamLimit = 0x100000;
inline constexpr unsigned kOptionByteCount = 16;

enum class FaultKind {
    kNoAnswer,         // the request is not answered (and not acted on): an ECU still powering up
    kNegative,         // answered 7F, service, value (not acted on)
    kWrongRamCrc,      // the RAM CRC reply (BC) carries a CRC that does not fit
    kDelay,            // the reply is sent value ms late
    kDuplicate,        // the reply is sent twice
    kPending,          // value times 7F, service, 78 before the reply
    kShortFrames,      // the reply's frames are not padded to 8 bytes
    kDropConsecutive,  // consecutive frame number value (from 1) of the reply is not sent
};

struct Fault {
    FaultKind kind = FaultKind::kNoAnswer;
    // Requests it applies to: empty every request, one byte a service, two bytes a service and its
    // sub-function (for example BB 70).
    Bytes service;
    uint32_t value = 0;
    // How many matching requests it applies to; 0 is every one.
    uint32_t times = 0;
};

struct Config {
    EcuClass ecuClass = EcuClass::kRh850;
    uint32_t requestId = 0x6F1;      // the tool's requests arrive here
    uint32_t responseId = 0x643;     // replies go out here
    std::optional<uint8_t> address;  // frame address byte; default 0x43 on CAN, 0x73 on LIN
    bool lin = false;
    std::array<uint8_t, 5> loginCode = defaultLoginCode();
    std::optional<uint64_t> flashKey;  // none: every flash-request key is accepted
    uint32_t ecuInfo = 0;
    std::map<uint8_t, uint32_t> optionBytes;  // unset indexes read 0xFFFFFFFF
    std::optional<bool> requireLogin;         // default per class
    uint8_t dataReadPages = 2;                // pages of a data read that names none (CYT2)
    uint8_t blockSize = 0;                    // of the flow control the ECU sends; 0 no limit
    uint8_t stMin = 0;                        // ms, of the flow control the ECU sends
    bool startChecksCrc = false;  // BE 01 refused (22) unless the last CRC query's range is followed
                                  // by its own CRC, least significant byte first
    std::vector<Fault> faults;

    uint8_t frameAddress() const { return address.value_or(lin ? 0x73 : 0x43); }
    bool loginRequired() const { return requireLogin.value_or(profileOf(ecuClass).loginRequiredByDefault); }

    // The tool's build-time login code.
    static std::array<uint8_t, 5> defaultLoginCode();
};

}  // namespace sim
