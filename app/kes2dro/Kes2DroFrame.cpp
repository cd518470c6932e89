#include "app/kes2dro/Kes2DroFrame.h"

#include <exception>
#include <ios>
#include <memory>
#include <ostream>

#include "app/Options.h"
#include "app/kes2dro/Kes2DroHelpers.h"
#include "comm/Communication.h"
#include "comm/ProtocolFiatTP.h"
#include "console/console.h"
#include "ecu/VODroGen.h"

namespace po = boost::program_options;
using namespace OptionNames;

namespace {

constexpr uint8_t kFrameAddress = 'C';
constexpr uint32_t kReceiveTimeoutMs = 10000;
constexpr uint32_t kFirstByteTimeoutMs = 10000;
constexpr uint32_t kInterByteTimeoutMs = 5000;
// The RAM routine's bytes lie below this address, and it holds at most kRamRoutineLimit of them.
constexpr uint64_t kRamAddressSpace = uint64_t{1} << 32;
constexpr uint64_t kRamRoutineLimit = 0x1000000;

struct RunFlags {
    bool loggedIn = false;
    bool ramOk = true;
    bool startOk = true;

    int exitCode() const {
        if (!loggedIn) {
            return 3;
        }
        if (!ramOk) {
            return 4;
        }
        return startOk ? 0 : 5;
    }
};

}  // namespace

int runKes2DroFrame(const Kes2DroFrame& frame, int argc, char* argv[]) {
    Kes2DroRunValues values;
    RunFlags flags;
    frame.describeOptions(argc, argv);
    const po::variables_map& map = getVariablesMap();
    if (map.count(ram()) != 0) {
        printVersionNote(frame.versionText);
        values.ramFile = map[ram()].as<std::string>();
    }
    frame.readValues(map, values);
    values.packetLength = checkPacketLength(values.packetLength);

    StepScreen screen;
    try {
        const auto type = static_cast<enumInterfaceType>(values.interfaceType);
        // Released in reverse order: the ECU object first, then the channel (its receive thread
        // stopped), then the protocol registered in it, then the record it was made from.
        const std::unique_ptr<ComParams> params = createComParamsForType(type, values.port, values.baud, 0);
        std::unique_ptr<ProtocolFiatTP> protocol;
        const std::unique_ptr<Communication> channel =
            createCommunicationForType(type, values.rxId, params.get());
        if (!channel) {
            normalOut << "Invalid parameters: ";
            return 2;
        }
        ComParams* timing = channel->getComParams();
        timing->rxTimeoutMs = kReceiveTimeoutMs;
        timing->firstByteTimeoutMs = kFirstByteTimeoutMs;
        timing->interByteTimeoutMs = kInterByteTimeoutMs;

        VODroGen ecu(channel.get(), kFrameAddress);
        protocol = std::make_unique<ProtocolFiatTP>(kFrameAddress);
        protocol->setStandardized(true);
        bool setUp = ecu.useProtocol(protocol.get());
        setUp = ecu.setCanIds(values.txId, values.rxId) && setUp;
        if (!setUp) {
            normalOut << "Invalid parameters: ";
            return 2;
        }

        screen = showStepList(map);
        if (map.count(ram()) != 0) {
            screen.enter(ScreenStep::connecting);
            flags.loggedIn = ecu.Login();
        }
        if (flags.loggedIn) {
            runRamRoutine(ecu, map, values, flags.ramOk, flags.startOk, screen);
        }
        if (map.count(CmdFile()) != 0) {
            screen.enterFreeArea();
            runCommandFile(map[CmdFile()].as<std::string>(), ecu);
        }
        frame.fileSteps(ecu, map, values.packetLength, screen);
    } catch (const std::exception& e) {
        screen.leave();
        normalOut << "Error: " << e.what();
        if (frame.lineBreakAfterError) {
            normalOut << std::endl;
        }
        return 1;
    }
    screen.leave();
    normalOut << std::endl;
    return flags.exitCode();
}

void runRamRoutine(VODroGen& ecu, const po::variables_map& map, const Kes2DroRunValues& values, bool& ramOk,
                   bool& startOk, StepScreen& screen) {
    if (map.count(ECU()) != 0) {
        uint32_t info = readHexOption<uint32_t>(map, ECU());
        ecu.SetEcuInfo(info);
        if (ecu.GetEcuInfo(info)) {
            normalOut << "ActEcuInfo: " << std::dec << info;
        }
    }
    screen.enter(ScreenStep::uploadApplRam);
    std::vector<uint8_t> image;
    uint64_t start = 0;
    const uint64_t wholeFile = 0;
    // The routine is uploaded to 32-bit addresses, and a RAM routine is a small program: a file that
    // spans more (a code file, or one with far apart blocks) is refused before an image of it is built.
    const SpanCheck fitsRam = [&](uint64_t lowest, uint64_t span) {
        if (span <= kRamRoutineLimit && lowest <= kRamAddressSpace - span) {
            return true;
        }
        const std::ios_base::fmtflags flags = errorOut.flags();
        errorOut << "Error: RAM routine " << values.ramFile << " spans 0x" << std::hex << span
                 << " bytes from 0x" << lowest;
        if (span <= kRamRoutineLimit) {
            errorOut << ", past the 32-bit addresses of the upload";
        } else {
            errorOut << ", more than the 0x" << kRamRoutineLimit << " bytes a RAM routine may hold";
        }
        errorOut << ": nothing uploaded" << std::endl;
        errorOut.flags(flags);
        return false;
    };
    // A routine that cannot be read is a failed RAM step, as one that cannot be uploaded.
    if (!loadHexFile(values.ramFile, &image, &start, &wholeFile, nullptr, fitsRam)) {
        ramOk = false;
        return;
    }
    normalOut << std::endl;
    ramOk = ecu.UploadApplRam(image, start, image.size(), values.packetLength);
    if (!ramOk) {
        return;
    }
    if (map.count(Jump()) != 0) {
        start = readHexOption<uint64_t>(map, Jump());
    }
    startOk = ecu.StartApplRam(static_cast<uint32_t>(start));
}
