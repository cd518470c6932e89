#include "app/standard/StepHelpers.h"

#include <algorithm>
#include <chrono>
#include <ios>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "app/ComInterfaceSelector.h"
#include "app/FlashFile.h"
#include "app/Options.h"
#include "comm/Protocol.h"
#include "comm/UtilTimeout.h"
#include "console/console.h"
#include "ecu/CodeBlockGroups.h"
#include "ecu/VOCyt2Gen.h"
#include "ecu/VOEcuGenBase.h"
#include "ecu/VOKesGen.h"

namespace {

constexpr uint64_t k4G = uint64_t{1} << 32;
constexpr uint16_t kDataEraseLastUnit = 303;

// The protocols the connections were built on. A channel keeps a pointer to its protocol and may be
// left open when the process ends through exit, so the list is never destroyed.
std::vector<std::unique_ptr<Protocol>>& keptProtocols() {
    static auto* protocols = new std::vector<std::unique_ptr<Protocol>>();
    return *protocols;
}

// Repeats attempt until it succeeds or limitMs have passed, with the ECU's receive time-out set to
// attemptMs meanwhile. An attempt that fails before its time-out (a send error, a refusal) is followed
// by a pause up to that time-out, so a refusing ECU is asked about once per attempt time, not as fast
// as the bus allows.
template <typename Attempt>
bool repeatWithin(VOEcuGenBase& ecu, uint32_t attemptMs, uint32_t limitMs, Attempt attempt) {
    using Clock = std::chrono::steady_clock;
    const uint32_t saved = ecu.getReceiveTimeout();
    ecu.setReceiveTimeout(attemptMs);
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(limitMs);
    UtilTimeout overall(limitMs);
    bool result = false;
    while (!overall.expired() && !result) {
        const Clock::time_point started = Clock::now();
        result = attempt();
        if (!result) {
            const Clock::time_point pauseEnd = std::min(started + std::chrono::milliseconds(attemptMs), end);
            const auto rest = std::chrono::ceil<std::chrono::milliseconds>(pauseEnd - Clock::now());
            if (rest.count() > 0) {
                sleepMs(static_cast<uint32_t>(rest.count()));
            }
        }
    }
    ecu.setReceiveTimeout(saved);
    return result;
}

// --eraseData of RH850: the option is the size in KiB; the data-flash erase units that make it up are
// erased, from the first, whatever --dataPageSize says (a page of 0 is refused as everywhere). One
// request names at most 0xFFFF units.
bool eraseDataRh850(VOKesGen& ecu) {
    constexpr uint64_t kMaxUnits = 0xFFFF;
    constexpr uint64_t kMaxKiB = kMaxUnits * VOKesGen::kDataUnit / 1024;
    if (!checkNotZero("data page size", optionHex32("dataPageSize", 0x40), "Error: ")) {
        return false;
    }
    const uint64_t size = fromDecString(getOptionText("eraseData"));
    if (size > kMaxKiB) {
        errorOut << "Error: --eraseData " << std::dec << size << " KiB is more than one erase request names ("
                 << kMaxKiB << " KiB). Nothing erased." << std::endl;
        return false;
    }
    return ecu.EraseDataBlocks(0, static_cast<uint16_t>(size * 1024 / VOKesGen::kDataUnit));
}

// The one of the three that belongs to the class.
template <typename T>
const T& ofClass(StandardEcuClass ecuClass, const T& cyt2, const T& nxp, const T& rh850) {
    switch (ecuClass) {
        case StandardEcuClass::Cyt2:
            return cyt2;
        case StandardEcuClass::Nxp:
            return nxp;
        case StandardEcuClass::Rh850:
            break;
    }
    return rh850;
}

}  // namespace

const StepDefaults& stepDefaults(StandardEcuClass ecuClass) {
    static const StepDefaults cyt2{0x14000000, 0, 0x10000000, 0x8000, 0x1F0000, 0, 0x800};
    static const StepDefaults nxp{0x14000000, 0x14000000, 0x10000000, 0x8000, 0x1F0000, 0, 0x800};
    static const StepDefaults rh850{0xFF200000, 0xFF200000, 0, 0x100, 0x80000, 0x8000, 0x40};
    return ofClass(ecuClass, cyt2, nxp, rh850);
}

const OptionValueRules& optionValueRules(StandardEcuClass ecuClass) {
    const auto with = [](std::initializer_list<OptionValueRule> extra) {
        OptionValueRules rules = standardValueRules();
        rules.insert(rules.end(), extra);
        return rules;
    };
    static const OptionValueRules cyt2 = standardValueRules();
    static const OptionValueRules nxp = with({{"eraseCode", OptionValueForm::blockPair}});
    static const OptionValueRules rh850 =
        with({{"eraseCode", OptionValueForm::blockPair}, {"eraseData", OptionValueForm::positiveDec32}});
    return ofClass(ecuClass, cyt2, nxp, rh850);
}

bool checkRangeBelow4G(const char* what, uint64_t start, uint64_t length) {
    if (start >= k4G || length > k4G - start) {
        errorOut << "Error: The " << what << " range from 0x" << std::hex << start << " of 0x" << length
                 << " bytes ends beyond 0xffffffff." << std::endl;
        return false;
    }
    return true;
}

bool allocateReadBuffer(const char* what, std::vector<uint8_t>& out, uint64_t length) {
    // Asked for without an exception first: some allocators (the address sanitizer's among them) end
    // the process on a failed throwing allocation instead of throwing.
    if (length <= out.max_size() && std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[length])) {
        try {
            out.assign(length, 0);
            return true;
        } catch (const std::bad_alloc&) {
        }
    }
    out.clear();
    out.shrink_to_fit();
    errorOut << "Error: Not enough memory to read 0x" << std::hex << length << " bytes of " << what << "."
             << std::endl;
    return false;
}

bool initEcuConnection(VOEcuGenBase& ecu, ComInterfaceSelector& selector, uint32_t busMode,
                       uint8_t frameAddress, uint16_t txId, uint16_t rxId) {
    std::unique_ptr<Protocol> created = selector.createProtocol(busMode);
    bool attached = false;
    if (created) {
        Protocol* protocol = keptProtocols().emplace_back(std::move(created)).get();
        protocol->setAddress(frameAddress);
        attached = ecu.useProtocol(protocol);
    }
    const bool idsSet = ecu.setCanIds(txId, rxId);
    return attached && idsSet;
}

void printTargetInfo() {
    if (optionGiven("ecuInfo")) {
        normalOut << " Target: " << getOptionText("ecuInfo") << std::endl;
    }
    if (optionGiven("ecuType")) {
        normalOut << " Type:   " << getOptionText("ecuType") << std::endl;
    }
    normalOut << std::endl << std::flush;
    setCursorInfo(false, 1);
}

bool sendEcuFlashRequest(VOEcuGenBase& ecu) {
    const uint64_t key = fromHexString(getOptionText("ecuFlashRequest"));
    return repeatWithin(ecu, kFlashRequestAttemptMs, kFlashRequestLimitMs,
                        [&] { return ecu.EcuFlashRequest(key); });
}

bool loginWithRetry(VOEcuGenBase& ecu) {
    return repeatWithin(ecu, kLoginAttemptMs, kLoginLimitMs, [&] { return ecu.Login(); });
}

bool readCodeStep(VOEcuGenBase& ecu, uint32_t pktlen, StandardEcuClass ecuClass) {
    const StepDefaults& defaults = stepDefaults(ecuClass);
    const uint64_t codeStartAddr = optionHex64("codeStartAddr", defaults.codeStartAddr);
    const uint64_t codeLength = optionHex64("codeLength", defaults.codeReadLength);
    const uint32_t codePageSize = optionHex32("codePageSize", defaults.codePageSize);
    normalOut << std::endl << "Read code:          " << std::endl;
    if (!checkRangeBelow4G("code", codeStartAddr, codeLength)) {
        return false;
    }
    uint32_t last = 0;
    if (ecuClass == StandardEcuClass::Cyt2) {
        last = pktlen;
    } else if (ecuClass == StandardEcuClass::Nxp) {
        last = pktlen / 256;
    } else {
        if (!checkNotZero("code page size", codePageSize, "Error: ")) {
            return false;
        }
        last = pktlen / codePageSize;
        if (last == 0) {
            errorOut << "Error: Invalid page count 0 (code page size 0x" << std::hex << codePageSize
                     << " above the packet length " << std::dec << pktlen << ")" << std::endl;
            return false;
        }
    }
    std::vector<uint8_t> bytes;
    if (!allocateReadBuffer("code", bytes, codeLength)) {
        return false;
    }
    const bool read = ecu.ReadCode(bytes, codeStartAddr, codeLength, nullptr, last);
    // A read whose file could not be written is a failed step.
    return read && saveDataFile(getOptionText("readCode"), bytes, codeStartAddr);
}

bool readOptionBytesStep(VOKesGen& ecu) {
    normalOut << std::endl << "Read option bytes:        " << std::endl;
    uint32_t value = 0;
    const bool read = ecu.ReadOptionBytes(0, &value);
    // A failed read shows 0, in lower-case digits on this line only: an upload before may have set
    // upper case for the run.
    const std::ios_base::fmtflags flags = normalOut.flags();
    normalOut << "   0x" << std::hex << std::nouppercase << (read ? value : 0) << std::endl;
    normalOut.flags(flags);
    normalOut << std::hex;
    return read;
}

bool readDataFlash(VOEcuGenBase& ecu, uint32_t pktlen, StandardEcuClass ecuClass) {
    const StepDefaults& defaults = stepDefaults(ecuClass);
    const uint64_t dataStartAddr = optionHex64("dataStartAddr", defaults.dataStartAddr);
    const uint64_t dataLength = optionHex64("dataLength", 0);
    if (dataLength == 0) {
        normalOut << std::endl
                  << std::endl
                  << "Error: Flash data length not provided. Please use the --dataLength cmd lind parameter."
                  << std::endl;
        return false;
    }
    normalOut << std::endl << "Read data:          " << std::endl;
    if (!checkRangeBelow4G("data", dataStartAddr, dataLength)) {
        return false;
    }
    // The file labels each byte with the address it was read from.
    if (dataStartAddr < defaults.dataReadBase) {
        errorOut << "Error: The data start address 0x" << std::hex << dataStartAddr
                 << " lies below the data flash at 0x" << defaults.dataReadBase << "." << std::endl;
        return false;
    }
    std::vector<uint8_t> bytes;
    if (!allocateReadBuffer("data", bytes, dataLength)) {
        return false;
    }
    const uint32_t pages = pktlen / 256;
    const bool read = ecu.ReadData(bytes, dataStartAddr - defaults.dataReadBase, dataLength, nullptr, pages);
    // A read whose file could not be written is a failed step.
    return read && saveDataFile(getOptionText("readData"), bytes, dataStartAddr);
}

bool eraseCodeCyt2(VOCyt2Gen& ecu) {
    const uint64_t codeStartAddr = optionHex64("codeStartAddr", 0);
    const uint64_t codeLength = optionHex64("codeLength", 0);
    const std::string value = getOptionText("eraseCode");
    normalOut << std::endl << "Erase code:          " << std::endl;
    const bool ranged = optionGiven("codeStartAddr") || optionGiven("codeLength");
    uint64_t first = 0;
    uint64_t last = 0;
    if (!ranged && (readWholeDecimal(value) || readBlockPair(value, first, last))) {
        errorOut << "Error: --eraseCode \"" << value
                 << "\" names blocks, but CYT2 erases the blocks of --codeStartAddr and --codeLength, and "
                    "neither is given. Nothing erased."
                 << std::endl;
        return false;
    }
    if (ranged) {
        normalOut << "  The --eraseCode value \"" << value
                  << "\" is not used: CYT2 erases the blocks of --codeStartAddr and --codeLength."
                  << std::endl;
    }
    const uint64_t lastAddress = codeLength == 0 ? codeStartAddr : codeStartAddr + codeLength - 1;
    if (ranged && (lastAddress < codeStartAddr || !inCodeBlockGroups(codeStartAddr) ||
                   !inCodeBlockGroups(lastAddress))) {
        errorOut << "Error: The code range 0x" << std::hex << codeStartAddr << " to 0x" << lastAddress
                 << " leaves the code flash blocks." << std::endl;
        return false;
    }
    return ecu.EraseCodeBlocks(ecu.GetBlockNumber(codeStartAddr), ecu.GetBlockNumber(lastAddress));
}

bool eraseCodeBlocksStep(VOKesGen& ecu) {
    const std::string value = getOptionText("eraseCode");
    uint64_t first = 0;
    uint64_t last = 0;
    if (!readBlockPair(value, first, last) || last > 0xFF || first > last) {
        errorOut << std::endl
                 << "Error: Invalid --eraseCode \"" << value
                 << "\": give the first and the last block (0 to 255) as first,last. Nothing erased."
                 << std::endl;
        return false;
    }
    const auto firstBlock = static_cast<uint8_t>(first);
    const auto lastBlock = static_cast<uint8_t>(last);
    if (const std::optional<VOKesGen::BlockRangeFault> fault =
            ecu.FindCodeBlockRangeFault(firstBlock, lastBlock)) {
        errorOut << std::endl
                 << "Error: Invalid --eraseCode \"" << value << "\": " << fault->text(firstBlock)
                 << ". Nothing erased." << std::endl;
        return false;
    }
    normalOut << std::endl << "Erase code:          " << std::endl;
    return ecu.EraseCodeBlocks(firstBlock, lastBlock);
}

bool writeCodeFlash(VOEcuGenBase& ecu, FlashFile& file, uint32_t pktlen, StandardEcuClass ecuClass) {
    const StepDefaults& defaults = stepDefaults(ecuClass);
    bool erase = true;
    bool result = true;
    normalOut << std::endl << std::endl << "Flash code:          " << std::endl;
    if (optionGiven("noEraseCode")) {
        erase = false;
        normalOut << "   Write with NoErase detected!" << std::endl << std::endl;
    }
    file.setFileName(getOptionText("writeCode"));
    const uint64_t codeStartAddr = optionHex64("codeStartAddr", defaults.codeStartAddr);
    const uint64_t codeLength = optionHex64("codeLength", 0);
    const uint32_t codePageSize = optionHex32("codePageSize", defaults.codePageSize);
    const uint64_t dataStartAddr = optionHex64("dataStartAddr", defaults.dataStartAddr);
    normalOut << std::endl
              << "Start writing code beginning at address 0x" << std::hex << codeStartAddr << ". ";
    if (codeLength == 0) {
        normalOut << "Using all code blocks above the start address." << std::endl << std::endl;
        result &= file.writeCode(codeStartAddr, dataStartAddr, ecu, erase, pktlen, codePageSize);
    } else {
        normalOut << "Using code length 0x" << std::hex << codeLength << "." << std::endl << std::endl;
        if (!checkRangeBelow4G("code", codeStartAddr, codeLength)) {
            return false;
        }
        result &= file.writeCodeRange(codeStartAddr, dataStartAddr, codeLength, true, ecu, erase, pktlen,
                                      codePageSize);
    }
    return result;
}

bool writeOptionBytesStep(VOKesGen& ecu) {
    normalOut << std::endl << "Write option bytes:           " << std::endl;
    auto value = static_cast<uint32_t>(fromHexString(getOptionText("writeOpt")));
    return ecu.WriteOptionBytes(0, &value);
}

bool eraseDataStep(VOKesGen& ecu, StandardEcuClass ecuClass) {
    normalOut << std::endl << "Erase all flash data:" << std::endl << std::endl;
    if (ecuClass == StandardEcuClass::Rh850) {
        return eraseDataRh850(ecu);
    }
    return ecu.EraseDataBlocks(0, kDataEraseLastUnit);
}

bool writeDataFlash(VOEcuGenBase& ecu, FlashFile& file, uint32_t pktlen, StandardEcuClass ecuClass) {
    const StepDefaults& defaults = stepDefaults(ecuClass);
    const uint64_t dataStartAddr = optionHex64("dataStartAddr", defaults.dataStartAddr);
    const uint64_t dataLength = optionHex64("dataLength", defaults.dataLength);
    const uint32_t dataPageSize = optionHex32("dataPageSize", defaults.dataPageSize);
    if (dataLength == 0) {
        normalOut << std::endl
                  << std::endl
                  << "Error: Flash data length not provided. Please use the --dataLength cmd line parameter."
                  << std::endl;
        return false;
    }
    if (defaults.dataLength != 0 && dataLength == defaults.dataLength) {
        normalOut << std::endl
                  << std::endl
                  << "Info: Flash data length defaulted to: " << std::dec << defaults.dataLength << std::endl;
    }
    normalOut << std::endl << std::endl << "FlashData:           " << std::endl;
    normalOut << std::endl << "Write data flash" << std::endl;
    if (!checkRangeBelow4G("data", dataStartAddr, dataLength)) {
        return false;
    }
    file.setFileName(getOptionText("writeData"));
    return file.writeDataRange(dataStartAddr, dataLength, true, ecu, pktlen, dataPageSize);
}
