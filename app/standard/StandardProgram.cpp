// The flash program of the CYT2, NXP and RH850 classes: one sequence of steps, with the ECU object,
// the defaults and a few step variants per class.

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <utility>
#include <vector>

#include "app/ComInterfaceSelector.h"
#include "app/CommandFile.h"
#include "app/FlashFile.h"
#include "app/FlashPrograms.h"
#include "app/Options.h"
#include "app/VersionInfo.h"
#include "app/standard/StepHelpers.h"
#include "comm/ComVXLapiLIN.h"
#include "comm/Communication.h"
#include "comm/UtilTimeout.h"
#include "console/console.h"
#include "ecu/VOCyt2Gen.h"
#include "ecu/VOEcuGenBase.h"
#include "ecu/VOKesGen.h"
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

// The settings of a run from its options, for the interface and the connection.
struct RunSettings {
    uint16_t rxId = 0x643;
    uint16_t txId = 0x6F1;
    enumInterfaceType interfaceType = AutoDetectHW;
    bool lin = false;
    uint32_t busMode = ComInterfaceSelector::kBusCan;
    uint8_t frameAddress = 'C';
    uint32_t port = 0;
    uint32_t baud = 500000;
    uint32_t hwIndex = 0;
    uint32_t pktlen = 512;
};

// How the RAM routine or the jump went: the exit code of the run follows from it.
struct RamOutcome {
    bool loaded = true;
    bool started = true;
};

// The settings from the options; a packet length outside 256 to 4095 gives way to 512, with a notice.
RunSettings readSettings() {
    RunSettings settings;
    if (optionGiven("rxId")) {
        settings.rxId = getOptionHex<uint16_t>("rxId");
    }
    if (optionGiven("txId")) {
        settings.txId = getOptionHex<uint16_t>("txId");
    }
    settings.lin = optionGiven("lin");
    if (settings.lin) {
        settings.busMode = ComInterfaceSelector::kBusLin;
        settings.frameAddress = 's';
    }
    settings.port = optionDec32("port", settings.port);
    settings.baud = optionDec32("baud", settings.baud);
    settings.hwIndex = optionDec32("hwIndex", settings.hwIndex);
    if (optionGiven("com")) {
        settings.interfaceType = getOptionDec<enumInterfaceType>("com");
    }
    settings.pktlen = optionDec32("pktlen", settings.pktlen);
    if (settings.pktlen < 256 || settings.pktlen > 4095) {
        normalOut << "An invalid Packet Length (pktlen) has been provided.\n" << std::flush;
        normalOut << "The default value will be used [512 bytes]." << std::endl;
        settings.pktlen = 512;
    }
    return settings;
}

// Without --com, the Vector hardware found: chosen by the user, or in batch mode listed. False when
// there is no channel to build on.
bool selectInterface(ComInterfaceSelector& selector, RunSettings& settings) {
    if (settings.interfaceType != AutoDetectHW) {
        return true;
    }
    selector.detectVectorHw();
    if (!optionGiven("nonVerbose")) {
        settings.port = 0;
        selector.selectDetectedHw();
    } else {
        selector.printDetectedHw();
    }
    if (settings.port == 0) {
        settings.port = static_cast<uint32_t>(selector.getDetectedChannel());
    }
    // A port given in batch mode still needs a detected channel to build on.
    if (settings.port == 0 || selector.getDetectedChannel() == 0) {
        normalOut << std::endl << "Error: No CAN hardware found!" << std::endl << std::endl;
        return false;
    }
    return true;
}

// The run's channel on the selected interface; none when the parameters do not make one.
std::unique_ptr<Communication> createChannel(ComInterfaceSelector& selector, const RunSettings& settings) {
    std::unique_ptr<Communication> channel =
        selector.createCommunication(settings.interfaceType, settings.port, settings.baud, settings.hwIndex,
                                     settings.rxId, settings.busMode);
    // The checksum model belongs to the Vector LIN channel; a serial line has none.
    if (settings.lin) {
        if (auto* linChannel = dynamic_cast<ComVXLapiLIN*>(channel.get())) {
            linChannel->setChecksumModel(settings.txId, false);
            linChannel->setChecksumModel(settings.rxId, false);
        }
    }
    return channel;
}

// The ECU object on its protocol and identifiers, then the connection lines. False when the
// connection could not be set up.
bool connect(VOEcuGenBase& ecu, RunChannel& channel, ComInterfaceSelector& selector,
             const RunSettings& settings) {
    if (!initEcuConnection(ecu, selector, settings.busMode, settings.frameAddress, settings.txId,
                           settings.rxId)) {
        return false;
    }
    // The connection set-up opened the channel.
    channel.closeOnEveryExit();
    normalOut << "Connecting:" << std::endl;
    normalOut << "  Interface: " << selector.getInterfaceName() << std::endl;
    normalOut << "  Port:      " << std::dec << settings.port << std::endl;
    normalOut << "  Baud:      " << std::dec << settings.baud << std::endl;
    printTargetInfo();
    return true;
}

// The flash request and the programming session when asked for, the login and the ECU information.
// A failed flash request ends the process with exit code 4, a failed login with exit code 3.
template <typename Ecu>
void openSession(Ecu& ecu, RunChannel& channel) {
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
}

// --ram: the routine uploaded and started at --jumpAddr (its own start by default); else the jump to
// --jumpAddr.
RamOutcome startRamRoutine(VOKesGen& ecu, FlashFile& flashFile, uint32_t pktlen) {
    RamOutcome outcome;
    if (!optionGiven("ram")) {
        const uint64_t start = optionHex64("jumpAddr", kDefaultJumpAddress);
        outcome.started = ecu.JumpApplRam(static_cast<uint32_t>(start));
        return outcome;
    }
    normalOut << std::endl << "Upload RAM application:           " << std::endl;
    std::vector<uint8_t> image;
    uint64_t start = 0;
    uint64_t length = 0;
    // A routine that cannot be read is a failed RAM step, as one that cannot be uploaded.
    outcome.loaded = flashFile.readFromFile(getOptionText("ram"), image, start, length) &&
                     ecu.UploadApplRam(image, start, image.size(), pktlen);
    if (outcome.loaded) {
        start = optionHex64("jumpAddr", start);
        outcome.started = ecu.StartApplRam(static_cast<uint32_t>(start));
    }
    return outcome;
}

// The requested steps, in their fixed order; each runs whatever the ones before gave. True when
// every one succeeded.
template <typename Ecu>
bool runRequestedSteps(Ecu& ecu, FlashFile& flashFile, uint32_t pktlen) {
    constexpr StandardEcuClass ecuClass = ClassTraits<Ecu>::kClass;
    bool verdict = true;
    if (optionGiven("cmdFile")) {
        CommandFile commands;
        commands.load(getOptionText("cmdFile"));
        commands.execute(ecu);
    }
    if (optionGiven("readCode")) {
        verdict &= readCodeStep(ecu, pktlen, ecuClass);
    }
    if (optionGiven("readOpt")) {
        verdict &= readOptionBytesStep(ecu);
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
        verdict &= writeOptionBytesStep(ecu);
    }
    if (optionGiven("eraseData")) {
        verdict &= eraseDataStep(ecu, ecuClass);
    }
    if (optionGiven("writeData")) {
        verdict &= writeDataFlash(ecu, flashFile, pktlen, ecuClass);
    }
    return verdict;
}

// The verdict line, then the reset to the application and the end of the programming session when
// asked for.
template <typename Ecu>
void finishRun(Ecu& ecu, bool verdict) {
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
}

template <typename Ecu>
int runStandardProgram(int argc, char* argv[]) {
    printVersionInfo(argc > 0 ? argv[0] : "");
    parseCommandLine(argc, argv, optionValueRules(ClassTraits<Ecu>::kClass));
    FlashFile flashFile;
    if (optionGiven("help") || getVariablesMap().empty()) {
        return 0;
    }
    RunSettings settings = readSettings();
    ComInterfaceSelector selector;
    if (!selectInterface(selector, settings)) {
        return 1;
    }
    RunChannel channel(createChannel(selector, settings));
    if (!channel) {
        normalOut << "Invalid parameters: " << std::endl;
        return 2;
    }
    Ecu ecu(channel.get(), settings.frameAddress);
    if (!connect(ecu, channel, selector, settings)) {
        normalOut << "Invalid parameters: " << std::endl;
        return 2;
    }
    openSession(ecu, channel);
    const RamOutcome ram = startRamRoutine(ecu, flashFile, settings.pktlen);
    const bool stepsOk = runRequestedSteps(ecu, flashFile, settings.pktlen);
    finishRun(ecu, ram.loaded && stepsOk);
    channel.close();
    normalOut << std::endl;
    if (!ram.loaded) {
        return 4;
    }
    if (!ram.started) {
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
