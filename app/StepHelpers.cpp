#include "app/StepHelpers.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <new>
#include <vector>

#include "app/ComInterfaceSelector.h"
#include "app/FlashFile.h"
#include "app/Options.h"
#include "comm/Protocol.h"
#include "comm/UtilTimeout.h"
#include "console/console.h"
#include "ecu/VOEcuGenBase.h"

namespace {

constexpr uint64_t k4G = uint64_t{1} << 32;

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

}  // namespace

const StepDefaults& stepDefaults(StandardEcuClass ecuClass) {
    static const StepDefaults cyt2{0x14000000, 0, 0x10000000, 0x8000, 0x1F0000, 0, 0x800};
    static const StepDefaults nxp{0x14000000, 0x14000000, 0x10000000, 0x8000, 0x1F0000, 0, 0x800};
    static const StepDefaults rh850{0xFF200000, 0xFF200000, 0, 0x100, 0x80000, 0x8000, 0x40};
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
