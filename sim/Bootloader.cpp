#include "sim/Bootloader.h"

#include <algorithm>

#include "checksum/UtilChecksum.h"

namespace sim {

namespace {

Bytes negative(uint8_t service, uint8_t code) {
    return {0x7F, service, code};
}

uint32_t be32(const Bytes& r, size_t at) {
    return uint32_t{r[at]} << 24 | uint32_t{r[at + 1]} << 16 | uint32_t{r[at + 2]} << 8 | r[at + 3];
}

uint16_t be16(const Bytes& r, size_t at) {
    return static_cast<uint16_t>(r[at] << 8 | r[at + 1]);
}

void appendBe32(Bytes& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<uint8_t>(v >> shift));
    }
}

void appendLe32(Bytes& out, uint32_t v) {
    for (int shift = 0; shift <= 24; shift += 8) {
        out.push_back(static_cast<uint8_t>(v >> shift));
    }
}

// The negative code of a memory operation that did not succeed.
uint8_t codeOf(MemResult r) {
    return r == MemResult::kNotErased ? nrc::kProgrammingFailure : nrc::kRequestOutOfRange;
}

constexpr uint8_t kBB = 0xBB;

}  // namespace

Bootloader::Bootloader(const Config& config)
    : config_(config),
      profile_(profileOf(config.ecuClass)),
      memory_(profile_),
      ecuInfo_(config.ecuInfo),
      optionBytes_(config.optionBytes) {}

uint32_t Bootloader::optionBytes(uint8_t index) const {
    const auto it = optionBytes_.find(index);
    return it == optionBytes_.end() ? 0xFFFFFFFFu : it->second;
}

uint32_t Bootloader::flashRequestCrc(uint64_t key) {
    Bytes bytes;
    for (int i = 0; i < 8; ++i) {
        bytes.push_back(static_cast<uint8_t>(key >> (8 * i)));
    }
    return calcCrc32Msb(bytes, 0);
}

Bytes Bootloader::handle(const Bytes& r) {
    if (r.empty()) {
        return {};
    }
    const uint8_t service = r[0];
    const bool open = service == 0xBA || service == 0x34 || (service == kBB && r.size() == 5) ||
                      (service == 0xBF && r.size() >= 2 && r[1] == 0x00);
    if (!open && config_.loginRequired() && !loggedIn_ &&
        (service == kBB || service == 0xBC || service == 0xBD || service == 0xBE || service == 0xBF)) {
        return negative(service, nrc::kSecurityAccessDenied);
    }
    switch (service) {
        case 0xBA:
            return login(r);
        case 0x34:
            return programmingSession(r);
        case kBB:
            return serviceBB(r);
        case 0xBC:
            return ramCrc(r);
        case 0xBD:
            return download(r);
        case 0xBE:
            return start(r);
        case 0xBF:
            return resetOrJump(r);
        default:
            return negative(service, nrc::kServiceNotSupported);
    }
}

Bytes Bootloader::login(const Bytes& r) {
    if (r.size() != 6) {
        return negative(0xBA, nrc::kIncorrectLength);
    }
    if (!std::equal(config_.loginCode.begin(), config_.loginCode.end(), r.begin() + 1)) {
        return negative(0xBA, nrc::kInvalidKey);
    }
    loggedIn_ = true;
    return {0xFA, 0x00};
}

Bytes Bootloader::programmingSession(const Bytes& r) {
    if (!profile_.hasProgrammingSession) {
        return negative(0x34, nrc::kServiceNotSupported);
    }
    if (r.size() != 6) {
        return negative(0x34, nrc::kIncorrectLength);
    }
    if (!std::equal(config_.loginCode.begin(), config_.loginCode.end(), r.begin() + 1)) {
        return negative(0x34, nrc::kInvalidKey);
    }
    return {0x74, 0x00};
}

Bytes Bootloader::serviceBB(const Bytes& r) {
    if (r.size() == 5) {
        return flashRequest(r);
    }
    if (r.size() < 2) {
        return negative(kBB, nrc::kIncorrectLength);
    }
    switch (r[1]) {
        case 0xFF:
            if (r.size() != 2) {
                return negative(kBB, nrc::kIncorrectLength);
            } else {
                Bytes reply{0xFB, 0xFF};
                appendBe32(reply, ecuInfo_);
                return reply;
            }
        case 0xFE:
            if (r.size() != 6) {
                return negative(kBB, nrc::kIncorrectLength);
            }
            ecuInfo_ = be32(r, 2);
            return {0xFB, 0xFE};
        case 0x72:
            return eraseCode(r);
        case 0x82:
            return eraseData(r);
        case 0x70:
            return writeCode(r);
        case 0x80:
            return writeData(r);
        case 0x71:
            return readCode(r);
        case 0x81:
            return readData(r);
        case 0x92:
            return readOptionBytes(r);
        case 0x91:
            return writeOptionBytes(r);
        default:
            return negative(kBB, nrc::kSubFunctionNotSupported);
    }
}

Bytes Bootloader::flashRequest(const Bytes& r) {
    if (config_.flashKey) {
        const uint32_t received =
            uint32_t{r[1]} | uint32_t{r[2]} << 8 | uint32_t{r[3]} << 16 | uint32_t{r[4]} << 24;
        if (received != flashRequestCrc(*config_.flashKey)) {
            return {0x7E};
        }
    }
    return {0xFB, 0x00};
}

// BB 72, first block, last block, 00 00 00: the blocks first to last. The client sends one block
// twice; a range is taken as a range.
Bytes Bootloader::eraseCode(const Bytes& r) {
    if (r.size() != 7) {
        return negative(kBB, nrc::kIncorrectLength);
    }
    const unsigned first = r[2];
    const unsigned last = r[3];
    if (first > last || last >= profile_.codeBlocks.size()) {
        return negative(kBB, nrc::kRequestOutOfRange);
    }
    for (unsigned b = first; b <= last; ++b) {
        memory_.eraseCodeBlock(b);
    }
    return {0xFB, 0x72};
}

// BB 82, first unit (2 bytes), end unit (exclusive) or count (2 bytes), 00.
Bytes Bootloader::eraseData(const Bytes& r) {
    if (r.size() != 7) {
        return negative(kBB, nrc::kIncorrectLength);
    }
    const uint32_t first = be16(r, 2);
    const uint32_t second = be16(r, 4);
    if (!profile_.dataEraseByCount && second < first) {
        return negative(kBB, nrc::kRequestOutOfRange);
    }
    const uint32_t count = profile_.dataEraseByCount ? second : second - first;
    const MemResult result = memory_.eraseDataUnits(first, count);
    if (result != MemResult::kOk) {
        return negative(kBB, codeOf(result));
    }
    return {0xFB, 0x82};
}

// BB 70, address (4), pages, data. The page byte is not needed: the data says how much.
Bytes Bootloader::writeCode(const Bytes& r) {
    if (r.size() < 8) {
        return negative(kBB, nrc::kIncorrectLength);
    }
    const MemResult result = memory_.writeCode(be32(r, 2), Bytes(r.begin() + 7, r.end()));
    if (result != MemResult::kOk) {
        return negative(kBB, codeOf(result));
    }
    return {0xFB, 0x70};
}

// BB 80, address (4), pages, data.
Bytes Bootloader::writeData(const Bytes& r) {
    if (r.size() < 8) {
        return negative(kBB, nrc::kIncorrectLength);
    }
    const uint32_t address = be32(r, 2);
    if (address < profile_.dataWriteBase) {
        return negative(kBB, nrc::kRequestOutOfRange);
    }
    const MemResult result =
        memory_.writeData(address - profile_.dataWriteBase, Bytes(r.begin() + 7, r.end()));
    if (result != MemResult::kOk) {
        return negative(kBB, codeOf(result));
    }
    return {0xFB, 0x80};
}

Bytes Bootloader::readReply(uint8_t sub, uint32_t pages,
                            const std::function<MemResult(uint32_t, Bytes*)>& read) {
    if (pages == 0) {
        return negative(kBB, nrc::kRequestOutOfRange);
    }
    if (2 + pages * 256 > kMaxMessage) {
        return negative(kBB, nrc::kResponseTooLong);
    }
    Bytes bytes;
    const MemResult result = read(pages * 256, &bytes);
    if (result != MemResult::kOk) {
        return negative(kBB, codeOf(result));
    }
    Bytes reply{0xFB, sub};
    reply.insert(reply.end(), bytes.begin(), bytes.end());
    return reply;
}

// BB 71, address (4), pages: pages x 256 bytes.
Bytes Bootloader::readCode(const Bytes& r) {
    if (r.size() != 7) {
        return negative(kBB, nrc::kIncorrectLength);
    }
    const uint32_t address = be32(r, 2);
    return readReply(0x71, r[6], [&](uint32_t n, Bytes* out) { return memory_.readCode(address, n, out); });
}

// BB 81, address (4), pages. A class whose client sends no page count (00) reads the setting's.
Bytes Bootloader::readData(const Bytes& r) {
    if (r.size() != 7) {
        return negative(kBB, nrc::kIncorrectLength);
    }
    const uint32_t address = be32(r, 2);
    uint32_t pages = r[6];
    if (pages == 0 && profile_.dataReadPagesFromSetting) {
        pages = config_.dataReadPages;
    }
    if (address < profile_.dataReadBase) {
        return negative(kBB, nrc::kRequestOutOfRange);
    }
    const uint32_t offset = address - profile_.dataReadBase;
    return readReply(0x81, pages, [&](uint32_t n, Bytes* out) { return memory_.readData(offset, n, out); });
}

std::optional<Bytes> Bootloader::optionBytesRefusal(const Bytes& r, size_t length) const {
    if (!profile_.hasOptionBytes) {
        return negative(kBB, nrc::kSubFunctionNotSupported);
    }
    if (r.size() != length) {
        return negative(kBB, nrc::kIncorrectLength);
    }
    if (r[2] >= kOptionByteCount) {
        return negative(kBB, nrc::kRequestOutOfRange);
    }
    return std::nullopt;
}

// BB 92, index: the option bytes of the index.
Bytes Bootloader::readOptionBytes(const Bytes& r) {
    if (std::optional<Bytes> refusal = optionBytesRefusal(r, 3)) {
        return *refusal;
    }
    Bytes reply{0xFB, 0x92};
    appendBe32(reply, optionBytes(r[2]));
    return reply;
}

// BB 91, index, value (4).
Bytes Bootloader::writeOptionBytes(const Bytes& r) {
    if (std::optional<Bytes> refusal = optionBytesRefusal(r, 7)) {
        return *refusal;
    }
    optionBytes_[r[2]] = be32(r, 3);
    return {0xFB, 0x91};
}

// BC, address (4), length (4): the CRC-32 of the RAM range, least significant byte first.
Bytes Bootloader::ramCrc(const Bytes& r) {
    if (r.size() != 9) {
        return negative(0xBC, nrc::kIncorrectLength);
    }
    const uint32_t address = be32(r, 1);
    const uint32_t length = be32(r, 5);
    Bytes bytes;
    if (memory_.readRam(address, length, &bytes) != MemResult::kOk) {
        return negative(0xBC, nrc::kRequestOutOfRange);
    }
    lastCrcRange_ = {address, length};
    Bytes reply{0xFC};
    appendLe32(reply, calcCrc32(bytes, 0xFFFFFFFFu));
    return reply;
}

// BD, address (4), data.
Bytes Bootloader::download(const Bytes& r) {
    if (r.size() < 6) {
        return negative(0xBD, nrc::kIncorrectLength);
    }
    if (memory_.writeRam(be32(r, 1), Bytes(r.begin() + 5, r.end())) != MemResult::kOk) {
        return negative(0xBD, nrc::kRequestOutOfRange);
    }
    return {0xFD, 0x00};
}

// BE 01, address (4). Only after a download; with startChecksCrc only when the last CRC query's
// range is followed by its CRC.
Bytes Bootloader::start(const Bytes& r) {
    if (r.size() != 6) {
        return negative(0xBE, nrc::kIncorrectLength);
    }
    if (r[1] != 0x01) {
        return negative(0xBE, nrc::kSubFunctionNotSupported);
    }
    if (!memory_.ramUsed()) {
        return negative(0xBE, nrc::kConditionsNotCorrect);
    }
    if (config_.startChecksCrc) {
        Bytes covered;
        Bytes trailer;
        if (!lastCrcRange_ ||
            uint64_t{lastCrcRange_->first} + lastCrcRange_->second + 4 > (uint64_t{1} << 32) ||
            memory_.readRam(lastCrcRange_->first, lastCrcRange_->second, &covered) != MemResult::kOk ||
            memory_.readRam(lastCrcRange_->first + lastCrcRange_->second, 4, &trailer) != MemResult::kOk) {
            return negative(0xBE, nrc::kConditionsNotCorrect);
        }
        Bytes expected;
        appendLe32(expected, calcCrc32(covered, 0xFFFFFFFFu));
        if (expected != trailer) {
            return negative(0xBE, nrc::kConditionsNotCorrect);
        }
    }
    return {0xFE, 0x01};
}

// BF 00 00 00 00 00 resets the ECU: the session ends and the RAM is lost. BF 01, address (4) is the
// jump to a RAM application, answered FE; the ECU stays in its bootloader.
Bytes Bootloader::resetOrJump(const Bytes& r) {
    if (r.size() != 6) {
        return negative(0xBF, nrc::kIncorrectLength);
    }
    if (r[1] == 0x01) {
        return {0xFE, 0x01};
    }
    if (r[1] != 0x00) {
        return negative(0xBF, nrc::kSubFunctionNotSupported);
    }
    loggedIn_ = false;
    memory_.clearRam();
    lastCrcRange_.reset();
    return {0xFF, 0x00};
}

}  // namespace sim
