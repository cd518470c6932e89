// The DRO program: code flash from 0x70000, its length set by the chip type; the first 16 KiB block
// holds the BMG area, the traceability blocks (TA) and the configuration blocks (CFG) and is written
// only with --Bmg, optionally keeping the ECU's own TA and CFG data. Data flash 64 KiB from 0.

#include "app/DroProgram.h"

#include <algorithm>
#include <map>
#include <ostream>

#include "app/FlashPrograms.h"
#include "app/Kes2DroFrame.h"
#include "app/Kes2DroHelpers.h"
#include "console/console.h"
#include "ecu/VODroGen.h"

namespace po = boost::program_options;
using namespace OptionNames;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint64_t kCodeStart = 0x70000;
constexpr uint64_t kDefaultCodeLength = 0xD0000;
constexpr uint64_t kBootBlockLength = 0x4000;
constexpr uint64_t kApplicationStart = 0x74000;
constexpr uint64_t kDataFlashLength = 0x10000;
constexpr uint64_t kBlock = 0x100;

// The boot block, as offsets from kCodeStart.
constexpr uint64_t kBmgLength = 0x3700;
constexpr uint64_t kTaOffset = 0x3700;
constexpr uint64_t kTaLength = 0x700;
constexpr uint64_t kCfgOffset = 0x3E00;
constexpr uint64_t kCfgLength = 0x200;
constexpr uint8_t kTaBlockByte = 0x37;
constexpr uint8_t kCfgBlockByte = 0x3E;

using Offset = std::ptrdiff_t;

Bytes slice(const Bytes& bytes, uint64_t from, uint64_t length) {
    return Bytes(bytes.begin() + static_cast<Offset>(from),
                 bytes.begin() + static_cast<Offset>(from + length));
}

// BB 70 00 07 <block> 00 01 and one block of 256 bytes: a TA or CFG block written in one page.
Bytes blockWriteRequest(uint8_t blockByte, const Bytes& source, uint64_t from) {
    Bytes request = {0xBB, 0x70, 0x00, 0x07, blockByte, 0x00, 0x01};
    request.insert(request.end(), source.begin() + static_cast<Offset>(from),
                   source.begin() + static_cast<Offset>(from + kBlock));
    return request;
}

struct KeepOptions {
    bool ta;
    bool lastTa;
    bool cfg;

    bool anyTa() const { return ta || lastTa; }
    bool any() const { return ta || lastTa || cfg; }
};

// The TA blocks up to the last used one (a block is used unless its first four bytes are FF), or
// with KeepLastTa that last one alone, moved to the first TA block with its first byte cleared.
void writeTa(VODroGen& ecu, const Bytes& ta, const KeepOptions& keep) {
    uint64_t used = kTaLength / kBlock;
    while (used > 0 && std::all_of(ta.begin() + static_cast<Offset>((used - 1) * kBlock),
                                   ta.begin() + static_cast<Offset>((used - 1) * kBlock + 4),
                                   [](uint8_t b) { return b == 0xFF; })) {
        --used;
    }
    if (used == 0) {
        return;
    }
    const uint64_t length = keep.lastTa ? kBlock : used * kBlock;
    const uint64_t from = keep.lastTa ? (used - 1) * kBlock : 0;
    if (keep.anyTa()) {
        normalOut << "Restore TA, 0x" << std::hex << length << " bytes found";
    } else {
        normalOut << "Flash TA, 0x" << std::hex << length << " bytes found in the input-file";
    }
    for (uint64_t i = 0; i < length; i += kBlock) {
        Bytes request = blockWriteRequest(static_cast<uint8_t>(kTaBlockByte + i / kBlock), ta, from + i);
        if (keep.lastTa) {
            request[7] = 0;
        }
        ecu.SendCommand(request);
        normalOut << std::endl;
    }
}

// Every CFG block with a byte other than FF, the last block first.
void writeCfg(VODroGen& ecu, const Bytes& cfg, bool kept) {
    for (uint64_t index = cfg.size(); index > 0;) {
        --index;
        if (cfg[index] == 0xFF) {
            continue;
        }
        const uint64_t block = index & ~(kBlock - 1);
        normalOut << (kept ? "Restore CFG at addr. 0x" : "Flash CFG at addr. 0x") << std::hex
                  << kCodeStart + kCfgOffset + block;
        ecu.SendCommand(blockWriteRequest(static_cast<uint8_t>(kCfgBlockByte + block / kBlock), cfg, block));
        index = block;
    }
}

// --Bmg: the BMG area from the file, then TA and CFG from the file or, with the Keep options, as the
// ECU held them before the BMG write erased the block.
void writeBootBlock(VODroGen& ecu, const Bytes& image, uint64_t start, const KeepOptions& keep) {
    Bytes kept(kTaLength + kCfgLength, 0);
    if (keep.any()) {
        normalOut << "Read TA/Cfg";
        // One page per request: the area is no multiple of a larger packet.
        if (!ecu.ReadCode(kept, kCodeStart + kTaOffset, kept.size(), nullptr, 1)) {
            errorOut << "Read TA/Cfg failed: the boot block is left as it is." << std::endl;
            return;
        }
    }
    if (image.size() < kBmgLength || start != kCodeStart) {
        ecu.ShowProgress(0, true);
        normalOut << "Invalid File. len: 0x" << std::hex << image.size() << ", StartAddr:0x" << start << ")"
                  << std::endl;
        return;
    }
    Bytes bmg(kBootBlockLength, 0);
    std::copy(image.begin(), image.begin() + static_cast<Offset>(kBmgLength), bmg.begin());
    normalOut << "Flash BMG";
    int mode = 0;
    ecu.FlashCode(bmg, kCodeStart, kBmgLength, true, &mode, 1, VODroGen::kPageSize);
    if (keep.anyTa() || image.size() >= kCfgOffset) {
        writeTa(ecu, keep.anyTa() ? slice(kept, 0, kTaLength) : slice(image, kTaOffset, kTaLength), keep);
    }
    if (keep.cfg || image.size() >= kBootBlockLength) {
        writeCfg(ecu, keep.cfg ? slice(kept, kTaLength, kCfgLength) : slice(image, kCfgOffset, kCfgLength),
                 keep.cfg);
    }
}

void writeCode(VODroGen& ecu, const po::variables_map& map, uint64_t packetLength) {
    Bytes image;
    uint64_t start = 0;
    const uint64_t wholeFile = 0;
    if (!loadHexFile(map[wP()].as<std::string>(), &image, &start, &wholeFile)) {
        return;
    }
    if (start < kCodeStart) {
        normalOut << "Unexpected Start address" << std::hex << start << std::endl;
        return;
    }
    if (map.count(Bmg()) != 0) {
        writeBootBlock(ecu, image, start,
                       {map.count(KeepTa()) != 0, map.count(KeepLastTa()) != 0, map.count(KeepCfg()) != 0});
        return;
    }
    // Without --Bmg the boot block is never written.
    const uint64_t skip = start < kApplicationStart ? kApplicationStart - start : 0;
    if (skip >= image.size()) {
        return;
    }
    const Bytes data = slice(image, skip, std::min<uint64_t>(image.size(), droCodeLength(map)) - skip);
    int mode = 0;
    ecu.FlashCode(data, start + skip, data.size(), true, &mode,
                  static_cast<uint32_t>(packetLength / VODroGen::kPageSize), VODroGen::kPageSize);
}

void writeData(VODroGen& ecu, const std::string& fileName, uint64_t packetLength) {
    Bytes image;
    uint64_t start = 0;
    const uint64_t wholeFile = 0;
    if (!loadHexFile(fileName, &image, &start, &wholeFile)) {
        return;
    }
    // The file's lowest byte goes to address 0, whatever the file's own addresses.
    ecu.FlashData(image, 0, image.size(), nullptr, static_cast<uint32_t>(packetLength / VODroGen::kPageSize),
                  VODroGen::kPageSize);
}

void readDroValues(const po::variables_map& map, Kes2DroRunValues& values) {
    readRunValues<uint32_t>(map, values);
    // The compression level is accepted and has no effect.
    if (map.count(Zip()) != 0) {
        static_cast<void>(readDecOption<uint32_t>(map, Zip()));
    }
}

}  // namespace

uint64_t droCodeLength(const po::variables_map& map) {
    static const std::map<std::string, uint64_t> chips = {
        {"MB91F522D", 0x50000}, {"MB91F523D", 0x70000},  {"MB91F524D", 0x90000},
        {"MB91F525D", 0xD0000}, {"MB91F526D", 0x110000},
    };
    if (map.count(t()) == 0) {
        return kDefaultCodeLength;
    }
    const auto chip = chips.find(map[t()].as<std::string>());
    return chip == chips.end() ? kDefaultCodeLength : chip->second;
}

void runDroFileSteps(VODroGen& ecu, const po::variables_map& map, uint64_t packetLength) {
    if (map.count(rP()) != 0) {
        const uint64_t length = map.count(Bmg()) != 0 ? kBootBlockLength : droCodeLength(map);
        readFlashToFile(ecu, true, kCodeStart, length, packetLength, map[rP()].as<std::string>(), kCodeStart);
    }
    if (map.count(rD()) != 0) {
        readFlashToFile(ecu, false, 0, kDataFlashLength, packetLength, map[rD()].as<std::string>(), 0);
    }
    if (map.count(wP()) != 0) {
        writeCode(ecu, map, packetLength);
    }
    if (map.count(wD()) != 0) {
        writeData(ecu, map[wD()].as<std::string>(), packetLength);
    }
}

int runDroProgram(int argc, char* argv[]) {
    static const Kes2DroFrame frame = {describeDroOptions, " - v1.1 ", readDroValues, runDroFileSteps, true};
    return runKes2DroFrame(frame, argc, argv);
}
