// The flash program of the CYT2, NXP and RH850 classes: one sequence of steps, with the ECU object,
// the defaults and a few step variants per class.

#include <cstdlib>
#include <ios>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "app/ComInterfaceSelector.h"
#include "app/CommandFile.h"
#include "app/FlashFile.h"
#include "app/FlashPrograms.h"
#include "app/Options.h"
#include "app/StepHelpers.h"
#include "app/VersionInfo.h"
#include "comm/ComVXLapiLIN.h"
#include "comm/Communication.h"
#include "comm/UtilTimeout.h"
#include "console/console.h"
#include "ecu/VOCyt2Gen.h"
#include "ecu/VONxpGen.h"
#include "ecu/VORh850Gen.h"

namespace {

// The class of each ECU object; its option defaults are stepDefaults(kClass).
template <typename Ecu>
struct ClassTraits;

template <>
struct ClassTraits<VOCyt2Gen> {
    static constexpr StandardEcuClass kClass = StandardEcuClass::Cyt2;
};
template <>
struct ClassTraits<VONxpGen> {
    static constexpr StandardEcuClass kClass = StandardEcuClass::Nxp;
};
template <>
struct ClassTraits<VORh850Gen> {
    static constexpr StandardEcuClass kClass = StandardEcuClass::Rh850;
};

constexpr uint32_t kDefaultJumpAddress = 0xFEDF8000;
constexpr uint16_t kDataEraseLastUnit = 303;

// The one owner of a run's channel: every way out of the run closes the channel through it, so no
// receive thread outlives the run. A return closes it at the end of the owner's scope, the run's own
// exits through exitProcess, and, once closeOnEveryExit was called, an exit inside the ECU library
// (which runs no destructors) through the exit handler.
class RunChannel {
  public:
    explicit RunChannel(std::unique_ptr<Communication> created) : channel(std::move(created)) {}
    ~RunChannel() { close(); }
    RunChannel(const RunChannel&) = delete;
    RunChannel& operator=(const RunChannel&) = delete;

    // Has the exit handler close the channel on any exit from here on. Called once the channel is
    // open: the handler is then registered after the exit handlers that the opening set up in the
    // layers below, and runs before them.
    void closeOnEveryExit() {
        openOwner() = this;
        static const bool registered = std::atexit(closeAtExit) == 0;
        (void)registered;
    }

    Communication* get() const { return channel.get(); }
    explicit operator bool() const { return channel != nullptr; }

    // Closes the channel, its receive thread stopped; a second call does nothing.
    void close() {
        if (openOwner() == this) {
            openOwner() = nullptr;
        }
        channel.reset();
    }

    // Closes the channel, gives the console back and ends the process with code.
    [[noreturn]] void exitProcess(int code) {
        close();
        restoreConsole();
        std::exit(code);
    }

  private:
    // The owner whose channel is still open, for the exit handler.
    static RunChannel*& openOwner() {
        static RunChannel* owner = nullptr;
        return owner;
    }

    static void closeAtExit() {
        if (openOwner() != nullptr) {
            openOwner()->close();
        }
    }

    std::unique_ptr<Communication> channel;
};

// --readCode: the class's read into the --readCode file, saved only when the read succeeded.
template <typename Ecu>
bool readCodeStep(Ecu& ecu, uint32_t pktlen) {
    const StepDefaults& defaults = stepDefaults(ClassTraits<Ecu>::kClass);
    const uint64_t codeStartAddr = optionHex64("codeStartAddr", defaults.codeStartAddr);
    const uint64_t codeLength = optionHex64("codeLength", defaults.codeReadLength);
    const uint32_t codePageSize = optionHex32("codePageSize", defaults.codePageSize);
    normalOut << std::endl << "Read code:          " << std::endl;
    if (!checkRangeBelow4G("code", codeStartAddr, codeLength)) {
        return false;
    }
    uint32_t last = 0;
    if constexpr (ClassTraits<Ecu>::kClass == StandardEcuClass::Cyt2) {
        last = pktlen;
    } else if constexpr (ClassTraits<Ecu>::kClass == StandardEcuClass::Nxp) {
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
    VOEcuGenBase& base = ecu;
    const bool read = base.ReadCode(bytes, codeStartAddr, codeLength, nullptr, last);
    // A read whose file could not be written is a failed step.
    return read && saveDataFile(getOptionText("readCode"), bytes, codeStartAddr);
}

// --eraseCode of CYT2: the blocks of the code range, from its first to its last byte. Without a
// range, the block of the start address alone. A range outside the block map is refused.
bool eraseCodeCyt2(VOCyt2Gen& ecu) {
    const uint64_t codeStartAddr = optionHex64("codeStartAddr", 0);
    const uint64_t codeLength = optionHex64("codeLength", 0);
    normalOut << std::endl << "Erase code:          " << std::endl;
    const bool ranged = optionGiven("codeStartAddr") || optionGiven("codeLength");
    const uint64_t lastAddress = codeLength == 0 ? codeStartAddr : codeStartAddr + codeLength - 1;
    if (ranged && (lastAddress < codeStartAddr || !inCodeBlockGroups(codeStartAddr) ||
                   !inCodeBlockGroups(lastAddress))) {
        errorOut << "Error: The code range 0x" << std::hex << codeStartAddr << " to 0x" << lastAddress
                 << " leaves the code flash blocks." << std::endl;
        return false;
    }
    const uint8_t first = ecu.GetBlockNumber(codeStartAddr);
    const uint8_t last = ecu.GetBlockNumber(lastAddress);
    return ecu.EraseCodeBlocks(first, last);
}

// --eraseCode of NXP and RH850: "first,last" in decimal, two block numbers, the first not above the
// last. Any other text erases nothing and fails the step with a line saying why: cut to 8 bits, a
// number above 255 would name another block.
bool eraseCodeBlocksStep(VOKesGen& ecu) {
    const std::string value = getOptionText("eraseCode");
    std::istringstream text(value);
    int first = 0;
    int last = 0;
    char separator = 0;
    const bool read =
        static_cast<bool>(text >> first >> separator >> last) && separator == ',' && (text >> std::ws).eof();
    if (!read || first < 0 || last > 0xFF || first > last) {
        errorOut << std::endl
                 << "Error: Invalid --eraseCode \"" << value
                 << "\": give the first and the last block (0 to 255) as first,last. Nothing erased."
                 << std::endl;
        return false;
    }
    normalOut << std::endl << "Erase code:          " << std::endl;
    return ecu.EraseCodeBlocks(static_cast<uint8_t>(first), static_cast<uint8_t>(last));
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

template <typename Ecu>
int runStandardProgram(int argc, char* argv[]) {
    constexpr StandardEcuClass ecuClass = ClassTraits<Ecu>::kClass;

    // Start and options.
    printVersionInfo(argc > 0 ? argv[0] : "");
    parseCommandLine(argc, argv);
    bool ramOk = true;
    bool startOk = true;
    uint16_t rxId = 0x643;
    uint16_t txId = 0x6F1;
    enumInterfaceType interfaceType = AutoDetectHW;
    uint32_t busMode = ComInterfaceSelector::kBusCan;
    uint32_t port = 0;
    uint32_t baud = 500000;
    uint32_t hwIndex = 0;
    uint32_t pktlen = 512;
    FlashFile flashFile;

    if (optionGiven("help") || getVariablesMap().empty()) {
        return 0;
    }
    if (optionGiven("rxId")) {
        rxId = getOptionHex<uint16_t>("rxId");
    }
    if (optionGiven("txId")) {
        txId = getOptionHex<uint16_t>("txId");
    }
    const bool lin = optionGiven("lin");
    if (lin) {
        busMode = ComInterfaceSelector::kBusLin;
    }
    port = optionDec32("port", port);
    baud = optionDec32("baud", baud);
    hwIndex = optionDec32("hwIndex", hwIndex);
    if (optionGiven("com")) {
        interfaceType = getOptionDec<enumInterfaceType>("com");
    }
    pktlen = optionDec32("pktlen", pktlen);
    if (pktlen < 256 || pktlen > 4095) {
        normalOut << "An invalid Packet Length (pktlen) has been provided.\n" << std::flush;
        normalOut << "The default value will be used [512 bytes]." << std::endl;
        pktlen = 512;
    }

    // Interface and connection.
    ComInterfaceSelector selector;
    if (interfaceType == AutoDetectHW) {
        selector.detectVectorHw();
        if (!optionGiven("nonVerbose")) {
            port = 0;
            selector.selectDetectedHw();
        } else {
            selector.printDetectedHw();
        }
        if (port == 0) {
            port = static_cast<uint32_t>(selector.getDetectedChannel());
        }
        // A port given in batch mode still needs a detected channel to build on.
        if (port == 0 || selector.getDetectedChannel() == 0) {
            normalOut << std::endl << "Error: No CAN hardware found!" << std::endl << std::endl;
            return 1;
        }
    }
    RunChannel channel(selector.createCommunication(interfaceType, port, baud, hwIndex, rxId, busMode));
    if (!channel) {
        normalOut << "Invalid parameters: " << std::endl;
        return 2;
    }
    uint8_t frameAddress = 'C';
    if (lin) {
        // The checksum model belongs to the Vector LIN channel; a serial line has none.
        if (auto* linChannel = dynamic_cast<ComVXLapiLIN*>(channel.get())) {
            linChannel->setChecksumModel(txId, false);
            linChannel->setChecksumModel(rxId, false);
        }
        frameAddress = 's';
    }
    Ecu ecu(channel.get(), frameAddress);
    bool verdict = initEcuConnection(ecu, selector, busMode, frameAddress, txId, rxId);
    if (!verdict) {
        normalOut << "Invalid parameters: " << std::endl;
        return 2;
    }
    // The connection set-up opened the channel.
    channel.closeOnEveryExit();
    normalOut << "Connecting:" << std::endl;
    normalOut << "  Interface: " << selector.getInterfaceName() << std::endl;
    normalOut << "  Port:      " << std::dec << port << std::endl;
    normalOut << "  Baud:      " << std::dec << baud << std::endl;
    printTargetInfo();

    // Session.
    if (optionGiven("ecuFlashRequest")) {
        if (sendEcuFlashRequest(ecu)) {
            successOut << std::endl << "ECU is in bootloader mode (OK)" << std::endl;
        } else {
            errorOut << std::endl << std::endl << "ECU flash request failed (KO) !!!" << std::endl;
            channel.exitProcess(4);
        }
    }
    if (optionGiven("progSession")) {
        ecu.RequestDownload();
        ecu.ProgSessionHook();
        sleepMs(200);
    }
    // A failed login ends the process with exit code 3.
    if (loginWithRetry(ecu)) {
        successOut << std::endl << "ECU responding (OK)" << std::endl;
    } else {
        errorOut << std::endl << std::endl << "Login failed (KO) !!!" << std::endl << std::endl;
        channel.exitProcess(3);
    }
    if (optionGiven("ecuInfo")) {
        auto info = static_cast<uint32_t>(fromHexString(getOptionText("ecuInfo")));
        ecu.SetEcuInfo(info);
        if (ecu.GetEcuInfo(info)) {
            infoOut << "ActEcuInfo: " << std::dec << info;
        }
    }

    // RAM routine or jump.
    if (optionGiven("ram")) {
        normalOut << std::endl << "Upload RAM application:           " << std::endl;
        std::vector<uint8_t> image;
        uint64_t start = 0;
        uint64_t length = 0;
        // A routine that cannot be read is a failed RAM step, as one that cannot be uploaded.
        ramOk = flashFile.readFromFile(getOptionText("ram"), image, start, length) &&
                ecu.UploadApplRam(image, start, image.size(), pktlen);
        if (ramOk) {
            start = optionHex64("jumpAddr", start);
            startOk = ecu.StartApplRam(static_cast<uint32_t>(start));
        }
        verdict &= ramOk;
    } else {
        const uint64_t start = optionHex64("jumpAddr", kDefaultJumpAddress);
        startOk = ecu.JumpApplRam(static_cast<uint32_t>(start));
    }

    // The requested steps, in their fixed order.
    if (optionGiven("cmdFile")) {
        CommandFile commands;
        commands.load(getOptionText("cmdFile"));
        commands.execute(ecu);
    }
    if (optionGiven("readCode")) {
        verdict &= readCodeStep(ecu, pktlen);
    }
    if (optionGiven("readOpt")) {
        normalOut << std::endl << "Read option bytes:        " << std::endl;
        uint32_t value = 0;
        const bool read = ecu.ReadOptionBytes(0, &value);
        // A failed read shows 0, in lower-case digits on this line only: an upload before may have set
        // upper case for the run.
        const std::ios_base::fmtflags flags = normalOut.flags();
        normalOut << "   0x" << std::hex << std::nouppercase << (read ? value : 0) << std::endl;
        normalOut.flags(flags);
        normalOut << std::hex;
        verdict &= read;
    }
    if (optionGiven("readData")) {
        verdict &= readDataFlash(ecu, pktlen, ecuClass);
    }
    if (optionGiven("eraseCode")) {
        if constexpr (ecuClass == StandardEcuClass::Cyt2) {
            verdict &= eraseCodeCyt2(ecu);
        } else {
            verdict &= eraseCodeBlocksStep(ecu);
        }
    }
    if (optionGiven("writeCode")) {
        verdict &= writeCodeFlash(ecu, flashFile, pktlen, ecuClass);
    }
    if (optionGiven("writeOpt")) {
        normalOut << std::endl << "Write option bytes:           " << std::endl;
        auto value = static_cast<uint32_t>(fromHexString(getOptionText("writeOpt")));
        verdict &= ecu.WriteOptionBytes(0, &value);
    }
    if (optionGiven("eraseData")) {
        normalOut << std::endl << "Erase all flash data:" << std::endl << std::endl;
        if constexpr (ecuClass == StandardEcuClass::Rh850) {
            verdict &= eraseDataRh850(ecu);
        } else {
            verdict &= ecu.EraseDataBlocks(0, kDataEraseLastUnit);
        }
    }
    if (optionGiven("writeData")) {
        verdict &= writeDataFlash(ecu, flashFile, pktlen, ecuClass);
    }

    // End.
    if (verdict) {
        successOut << std::endl
                   << std::endl
                   << "ECU is programmed successfully (OK)" << std::endl
                   << std::endl;
    } else {
        errorOut << std::endl
                 << std::endl
                 << "ECU is not programmed successfully (KO)" << std::endl
                 << std::endl;
    }
    if (optionGiven("ecuReset")) {
        if (ecu.EcuReset()) {
            successOut << std::endl
                       << std::endl
                       << "---> ECU is in application mode now (OK)" << std::endl
                       << std::endl;
        } else {
            warningOut << std::endl
                       << std::endl
                       << "---> ECU is still in bootloader mode, Please restart it manually !!! " << std::endl
                       << std::endl;
        }
    }
    if (optionGiven("progSession")) {
        ecu.ProgSessionHook();
    }
    channel.close();
    normalOut << std::endl;

    if (!ramOk) {
        return 4;
    }
    if (!startOk) {
        return 5;
    }
    return 0;
}

}  // namespace

int runCyt2Program(int argc, char* argv[]) {
    return runStandardProgram<VOCyt2Gen>(argc, argv);
}

int runNxpProgram(int argc, char* argv[]) {
    return runStandardProgram<VONxpGen>(argc, argv);
}

int runRh850Program(int argc, char* argv[]) {
    return runStandardProgram<VORh850Gen>(argc, argv);
}
