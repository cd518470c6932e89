// The KES2 program: code flash 512 KiB from address 0 whose first 32 KiB, the boot area, is read and
// written only with --Bmg; data flash 32 KiB at 0xFE000000, written by runs of the file's cells. A
// file's bytes outside the flash it is written to are named on one line; a write of nothing says so.

#include "app/kes2dro/Kes2Program.h"

#include <algorithm>
#include <ostream>

#include "app/FlashPrograms.h"
#include "app/kes2dro/Kes2DroFrame.h"
#include "app/kes2dro/Kes2DroHelpers.h"
#include "comm/ProtocolFiatTP.h"
#include "console/console.h"
#include "ecu/VODroGen.h"

namespace po = boost::program_options;
using namespace OptionNames;

namespace {

constexpr uint64_t kCodeLength = 0x80000;
constexpr uint64_t kBootAreaLength = 0x8000;
// A file holds the application too when it has a byte here.
constexpr uint64_t kImageCheckAddress = 0x8001;
constexpr uint64_t kDataFlashStart = 0xFE000000;
constexpr uint64_t kDataFlashLength = 0x8000;
constexpr uint64_t kPage = VODroGen::kPageSize;
// The data bytes of one raw data-write request: its seven header bytes and these fill one message.
constexpr uint64_t kRawPiece = ProtocolFiatTP::kMaxPayload - 7;

// Whether the file holds its byte at kImageCheckAddress; a file that begins above it counts as holding
// it (it is no image from address 0 at all).
bool hasApplicationByte(const std::deque<Io::Import::BlockStartLengthPair>& fileBlocks) {
    // The blocks come in ascending order.
    bool bytesBelow = false;
    for (const Io::Import::BlockStartLengthPair& block : fileBlocks) {
        if (block.length == 0) {
            continue;
        }
        if (block.start > kImageCheckAddress) {
            return !bytesBelow;
        }
        if (kImageCheckAddress - block.start < block.length) {
            return true;
        }
        bytesBelow = true;
    }
    return false;
}

void writeCode(VODroGen& ecu, const std::string& fileName, bool bootArea, uint64_t packetLength) {
    std::vector<uint8_t> image;
    uint64_t start = 0;
    const uint64_t length = kCodeLength;
    ImageCoverage coverage;
    if (!loadHexFile(fileName, &image, &start, &length, &coverage)) {
        return;
    }
    if (!bootArea && !hasApplicationByte(coverage.fileBlocks)) {
        normalOut << "Expected 512k HexFile!" << std::endl;
        return;
    }
    // The write ends with the file's last byte: the fill after it is no data of the file. With --Bmg
    // a file that holds nothing above the boot area is so cut to the boot area.
    image.resize(coverage.dataLength);
    // Without --Bmg the boot area is never written.
    const uint64_t skip = !bootArea && start < kBootAreaLength ? kBootAreaLength - start : 0;
    if (skip >= image.size()) {
        reportNothingToWrite(ecu, image.size());
        return;
    }
    reportLeftOut(coverage.leftOut, "the code flash", 0, kCodeLength);
    const std::vector<uint8_t> data(image.begin() + static_cast<std::ptrdiff_t>(skip), image.end());
    int mode = 0;
    ecu.FlashCode(data, start + skip, data.size(), true, &mode, static_cast<uint32_t>(packetLength / kPage),
                  static_cast<uint32_t>(kPage));
}

// One run of set cells at its data-flash offset. A run of whole pages from a page start goes in
// packets; any other run in raw requests, as many as the transport's message length needs, of which
// a failed one (false) ends the data step.
bool writeDataRun(VODroGen& ecu, const std::vector<uint8_t>& run, uint64_t offset, uint64_t packetLength) {
    const uint64_t length = run.size();
    if (length % kPage == 0 && offset % kPage == 0) {
        ecu.FlashData(run, offset, length, nullptr,
                      static_cast<uint32_t>(std::min(packetLength, length) / kPage),
                      static_cast<uint32_t>(kPage));
        return true;
    }
    for (uint64_t from = 0; from < length; from += kRawPiece) {
        const uint64_t at = offset + from;
        std::vector<uint8_t> request = {
            0xBB, 0x80, 0x00, 0x00, static_cast<uint8_t>(at >> 8), static_cast<uint8_t>(at), 0x00};
        const auto first = run.begin() + static_cast<std::ptrdiff_t>(from);
        request.insert(request.end(), first,
                       first + static_cast<std::ptrdiff_t>(std::min(kRawPiece, length - from)));
        if (!ecu.SendCommand(request)) {
            errorOut << "Data write failed: the run at 0x" << std::hex << kDataFlashStart + offset << " of 0x"
                     << length
                     << " bytes (no whole pages, so sent without an erase) is not written; the data "
                        "step stopped there."
                     << std::endl;
            return false;
        }
    }
    return true;
}

void writeData(VODroGen& ecu, const std::string& fileName, uint64_t packetLength) {
    std::vector<Buffer::MemoryBufferElement> cells;
    uint64_t start = kDataFlashStart;
    const uint64_t length = kDataFlashLength;
    LeftOutBytes leftOut;
    if (!loadDataCells(fileName, &start, &length, &cells, &leftOut)) {
        return;
    }
    reportLeftOut(leftOut, "the data flash", kDataFlashStart, kDataFlashLength);
    if (std::none_of(cells.begin(), cells.end(),
                     [](const Buffer::MemoryBufferElement& c) { return c.isSet; })) {
        reportNothingToWrite(ecu, 0);
        return;
    }
    std::vector<uint8_t> run;
    for (uint64_t index = 0; index < cells.size();) {
        nextSetRun(cells, &index, &run);
        if (!run.empty() && !writeDataRun(ecu, run, index - run.size(), packetLength)) {
            return;
        }
    }
}

void readKes2Values(const po::variables_map& map, Kes2DroRunValues& values) {
    readRunValues<uint64_t>(map, values);
}

}  // namespace

void runKes2FileSteps(VODroGen& ecu, const po::variables_map& map, uint64_t packetLength,
                      StepScreen& screen) {
    const bool bootArea = map.count(Bmg()) != 0;
    if (map.count(rP()) != 0) {
        screen.enter(ScreenStep::readCode);
        readFlashToFile(ecu, true, 0, bootArea ? kBootAreaLength : kCodeLength, packetLength,
                        map[rP()].as<std::string>(), 0);
    }
    if (map.count(rD()) != 0) {
        screen.enter(ScreenStep::readData);
        readFlashToFile(ecu, false, 0, kDataFlashLength, packetLength, map[rD()].as<std::string>(),
                        kDataFlashStart);
    }
    if (map.count(wP()) != 0) {
        screen.enter(ScreenStep::flashCode);
        writeCode(ecu, map[wP()].as<std::string>(), bootArea, packetLength);
    }
    if (map.count(wD()) != 0) {
        screen.enter(ScreenStep::flashData);
        writeData(ecu, map[wD()].as<std::string>(), packetLength);
    }
}

int runKes2Program(int argc, char* argv[]) {
    static const Kes2DroFrame frame = {describeKes2Options, " - v1.6 ", readKes2Values, runKes2FileSteps,
                                       false};
    return runKes2DroFrame(frame, argc, argv);
}
