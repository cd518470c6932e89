#include "sim/SimConfig.h"

#ifndef SIM_DEFAULT_LOGIN_CODE
#error "SIM_DEFAULT_LOGIN_CODE is set by sim/CMakeLists.txt from VOFLASH_LOGIN_CODE"
#endif

namespace sim {

namespace {

// Blocks one after another from base: count blocks of size, for each group.
std::vector<FlashBlock> consecutiveBlocks(uint32_t base,
                                          std::initializer_list<std::pair<unsigned, uint32_t>> groups) {
    std::vector<FlashBlock> blocks;
    uint32_t at = base;
    for (const auto& [count, size] : groups) {
        for (unsigned i = 0; i < count; ++i) {
            blocks.push_back({at, size});
            at += size;
        }
    }
    return blocks;
}

// CYT2 and NXP: 62 blocks of 32 KiB and 16 of 8 KiB from 0x10000000; data flash 64 KiB at 0x14000000
// in 64-byte units.
EcuProfile cypressLikeProfile(bool cyt2) {
    EcuProfile p{};
    p.codeBase = 0x10000000;
    p.codeBlocks = consecutiveBlocks(p.codeBase, {{62, 0x8000}, {16, 0x2000}});
    p.codeSize = 0x210000;
    p.dataSize = 0x10000;
    p.dataUnit = 64;
    p.dataWriteBase = 0x14000000;
    p.dataReadBase = cyt2 ? 0x14000000 : 0;
    p.dataEraseByCount = false;
    p.dataReadPagesFromSetting = cyt2;
    p.hasOptionBytes = true;
    p.hasProgrammingSession = true;
    p.loginRequiredByDefault = true;
    return p;
}

// RH850: 8 blocks of 8 KiB and 126 of 32 KiB from 0 (4 MiB); data flash 64 KiB at 0xFF200000 in
// 64-byte units, read from 0.
EcuProfile rh850Profile() {
    EcuProfile p{};
    p.codeBase = 0;
    p.codeBlocks = consecutiveBlocks(0, {{8, 0x2000}, {126, 0x8000}});
    p.codeSize = 0x400000;
    p.dataSize = 0x10000;
    p.dataUnit = 64;
    p.dataWriteBase = 0xFF200000;
    p.dataReadBase = 0;
    p.dataEraseByCount = false;
    p.dataReadPagesFromSetting = false;
    p.hasOptionBytes = true;
    p.hasProgrammingSession = true;
    p.loginRequiredByDefault = true;
    return p;
}

// DRO: the 12 blocks of the DRO code flash from 0x70000 (4 of 16 KiB, 8 of 128 KiB); data flash
// 64 KiB from 0 in 32-byte units.
EcuProfile droProfile() {
    EcuProfile p{};
    p.codeBase = 0x70000;
    p.codeBlocks = consecutiveBlocks(p.codeBase, {{4, 0x4000}, {8, 0x20000}});
    p.codeSize = 0x110000;
    p.dataSize = 0x10000;
    p.dataUnit = 32;
    p.dataWriteBase = 0;
    p.dataReadBase = 0;
    p.dataEraseByCount = true;
    p.dataReadPagesFromSetting = false;
    p.hasOptionBytes = false;
    p.hasProgrammingSession = false;
    p.loginRequiredByDefault = false;
    return p;
}

// KES2: 512 KiB of code from 0. Block 0 is the boot area 0-0x7FFF, which the boot-area write erases
// alone; blocks 1 to 3 hold the application area 0x8000-0x7FFFF (96, 128 and 256 KiB), which every
// application write erases whole. Data flash 32 KiB from 0 in 32-byte units.
EcuProfile kes2Profile() {
    EcuProfile p = droProfile();
    p.codeBase = 0;
    p.codeBlocks = consecutiveBlocks(0, {{1, 0x8000}, {1, 0x18000}, {1, 0x20000}, {1, 0x40000}});
    p.codeSize = 0x80000;
    p.dataSize = 0x8000;
    return p;
}

}  // namespace

std::optional<EcuClass> ecuClassFromName(const std::string& name) {
    static const std::map<std::string, EcuClass> kNames = {{"CYT2", EcuClass::kCyt2},
                                                           {"NXP", EcuClass::kNxp},
                                                           {"RH850", EcuClass::kRh850},
                                                           {"KES2", EcuClass::kKes2},
                                                           {"DRO", EcuClass::kDro}};
    const auto it = kNames.find(name);
    if (it == kNames.end()) {
        return std::nullopt;
    }
    return it->second;
}

const char* ecuClassName(EcuClass c) {
    switch (c) {
        case EcuClass::kCyt2:
            return "CYT2";
        case EcuClass::kNxp:
            return "NXP";
        case EcuClass::kRh850:
            return "RH850";
        case EcuClass::kKes2:
            return "KES2";
        case EcuClass::kDro:
            return "DRO";
    }
    return "?";
}

const EcuProfile& profileOf(EcuClass c) {
    static const EcuProfile kCyt2 = cypressLikeProfile(true);
    static const EcuProfile kNxp = cypressLikeProfile(false);
    static const EcuProfile kRh850 = rh850Profile();
    static const EcuProfile kKes2 = kes2Profile();
    static const EcuProfile kDro = droProfile();
    switch (c) {
        case EcuClass::kCyt2:
            return kCyt2;
        case EcuClass::kNxp:
            return kNxp;
        case EcuClass::kKes2:
            return kKes2;
        case EcuClass::kDro:
            return kDro;
        case EcuClass::kRh850:
            break;
    }
    return kRh850;
}

std::array<uint8_t, 5> Config::defaultLoginCode() {
    constexpr uint64_t kCode = SIM_DEFAULT_LOGIN_CODE;
    std::array<uint8_t, 5> code{};
    for (size_t i = 0; i < code.size(); ++i) {
        code[i] = static_cast<uint8_t>(kCode >> (8 * (code.size() - 1 - i)));
    }
    return code;
}

}  // namespace sim
