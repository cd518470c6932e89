// The DRO program: code flash from 0x70000, its length set by the chip type; the first 16 KiB block
// holds the BMG area, the traceability blocks (TA) and the configuration blocks (CFG) and is written
// only with --Bmg, optionally keeping the ECU's own TA and CFG data. Data flash 64 KiB from 0. A code
// file that reaches past the chip's code flash, and a data file longer than the data flash, are refused
// before anything is sent.

#include "app/kes2dro/DroProgram.h"

#include <algorithm>
#include <map>
#include <optional>
#include <ostream>
#include <utility>

#include "app/FlashPrograms.h"
#include "app/kes2dro/Kes2DroFrame.h"
#include "app/kes2dro/Kes2DroHelpers.h"
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

// A code file as read: its image from its lowest address on, and which of the image's bytes it holds.
struct CodeFile {
    Bytes image;
    std::vector<bool> held;
    uint64_t start = 0;

    uint64_t end() const { return start + image.size(); }
};

// The TA or CFG area as its write takes it: the bytes, and per block of 0x100 bytes whether the source
// holds it. The ECU's own area holds every block; a file only the blocks it has a byte in.
struct Area {
    Bytes bytes;
    std::vector<bool> held;
    // Where the bytes came from; a file's block counts as used by other rules than a kept one.
    bool fromFile;

    uint64_t blocks() const { return bytes.size() / kBlock; }
    bool anyByteNotBlank(uint64_t block) const {
        return std::any_of(bytes.begin() + static_cast<Offset>(block * kBlock),
                           bytes.begin() + static_cast<Offset>((block + 1) * kBlock),
                           [](uint8_t b) { return b != 0xFF; });
    }
};

Area keptArea(const Bytes& kept, uint64_t from, uint64_t length) {
    return {slice(kept, from, length), std::vector<bool>(length / kBlock, true), false};
}

// The file's bytes of [kCodeStart + offset, + length); a block the image does not reach is not held.
Area fileArea(const CodeFile& file, uint64_t offset, uint64_t length) {
    Area area = {Bytes(length, 0xFF), std::vector<bool>(length / kBlock, false), true};
    for (uint64_t i = 0; i < length && offset + i < file.image.size(); ++i) {
        area.bytes[i] = file.image[offset + i];
        if (file.held[offset + i]) {
            area.held[i / kBlock] = true;
        }
    }
    return area;
}

// The address of a TA or CFG block write that the ECU did not take.
using FailedBlock = std::optional<uint64_t>;

// The TA blocks up to the last used one, or with KeepLastTa that last one alone, moved to the first
// TA block with its first byte cleared. A kept block is used unless its first four bytes are FF; a
// block of the file when the file holds it and it has a byte other than FF. A block the file does not
// hold is not written. Every block is sent, also after one the ECU did not take; the first of those
// is given back.
FailedBlock writeTa(VODroGen& ecu, const Area& ta, const KeepOptions& keep) {
    const auto used = [&](uint64_t block) {
        if (ta.fromFile) {
            return ta.held[block] && ta.anyByteNotBlank(block);
        }
        return !std::all_of(ta.bytes.begin() + static_cast<Offset>(block * kBlock),
                            ta.bytes.begin() + static_cast<Offset>(block * kBlock + 4),
                            [](uint8_t b) { return b == 0xFF; });
    };
    uint64_t count = ta.blocks();
    while (count > 0 && !used(count - 1)) {
        --count;
    }
    if (count == 0) {
        return std::nullopt;
    }
    std::vector<uint64_t> blocks;
    for (uint64_t block = keep.lastTa ? count - 1 : 0; block < count; ++block) {
        if (ta.held[block]) {
            blocks.push_back(block);
        }
    }
    const uint64_t length = blocks.size() * kBlock;
    if (keep.anyTa()) {
        normalOut << "Restore TA, 0x" << std::hex << length << " bytes found";
    } else {
        normalOut << "Flash TA, 0x" << std::hex << length << " bytes found in the input-file";
    }
    FailedBlock failed;
    for (const uint64_t block : blocks) {
        // KeepLastTa moves its block to the first TA block.
        const uint64_t target = keep.lastTa ? 0 : block;
        Bytes request =
            blockWriteRequest(static_cast<uint8_t>(kTaBlockByte + target), ta.bytes, block * kBlock);
        if (keep.lastTa) {
            request[7] = 0;
        }
        if (!ecu.SendCommand(request) && !failed) {
            failed = kCodeStart + kTaOffset + target * kBlock;
        }
        normalOut << std::endl;
    }
    return failed;
}

// Every CFG block the source holds with a byte other than FF, the last block first. Every block is
// sent, also after one the ECU did not take; the first of those is given back.
FailedBlock writeCfg(VODroGen& ecu, const Area& cfg, bool kept) {
    FailedBlock failed;
    for (uint64_t block = cfg.blocks(); block > 0;) {
        --block;
        if (!cfg.held[block] || !cfg.anyByteNotBlank(block)) {
            continue;
        }
        const uint64_t address = kCodeStart + kCfgOffset + block * kBlock;
        normalOut << (kept ? "Restore CFG at addr. 0x" : "Flash CFG at addr. 0x") << std::hex << address;
        if (!ecu.SendCommand(
                blockWriteRequest(static_cast<uint8_t>(kCfgBlockByte + block), cfg.bytes, block * kBlock)) &&
            !failed) {
            failed = address;
        }
    }
    return failed;
}

// The bytes the file holds from kCodeStart + offset on.
LeftOutBytes heldFrom(const CodeFile& file, uint64_t offset) {
    LeftOutBytes bytes;
    for (uint64_t i = offset; i < file.image.size(); ++i) {
        if (file.held[i]) {
            bytes.first = bytes.count == 0 ? file.start + i : bytes.first;
            bytes.last = file.start + i;
            ++bytes.count;
        }
    }
    return bytes;
}

// --Bmg: the BMG area from the file, then TA and CFG from the file or, with the Keep options, as the
// ECU held them before the BMG write erased the block. The application is not written. A BMG write
// that failed ends the step there, with nothing more sent to the boot block; a failed TA or CFG block
// does not keep the others from being written. Either way the last line says that the boot-block
// write failed.
void writeBootBlock(VODroGen& ecu, const CodeFile& file, const KeepOptions& keep) {
    Bytes kept(kTaLength + kCfgLength, 0);
    if (keep.any()) {
        normalOut << "Read TA/Cfg";
        // One page per request: the area is no multiple of a larger packet.
        if (!ecu.ReadCode(kept, kCodeStart + kTaOffset, kept.size(), nullptr, 1)) {
            errorOut << "Read TA/Cfg failed: the boot block is left as it is." << std::endl;
            return;
        }
    }
    if (file.image.size() < kBmgLength || file.start != kCodeStart) {
        ecu.ShowProgress(0, true);
        normalOut << "Invalid File. len: 0x" << std::hex << file.image.size() << ", StartAddr:0x"
                  << file.start << ")" << std::endl;
        return;
    }
    reportLeftOut(heldFrom(file, kBootBlockLength), "the boot block", kCodeStart, kBootBlockLength);
    Bytes bmg(kBootBlockLength, 0);
    std::copy(file.image.begin(), file.image.begin() + static_cast<Offset>(kBmgLength), bmg.begin());
    normalOut << "Flash BMG";
    int mode = 0;
    if (!ecu.FlashCode(bmg, kCodeStart, kBmgLength, true, &mode, 1, VODroGen::kPageSize)) {
        errorOut << "Boot block write failed: the BMG area at 0x" << std::hex << kCodeStart
                 << " is not written, and nothing more is sent to the boot block." << std::endl;
        return;
    }
    const FailedBlock ta = writeTa(
        ecu, keep.anyTa() ? keptArea(kept, 0, kTaLength) : fileArea(file, kTaOffset, kTaLength), keep);
    const FailedBlock cfg = writeCfg(
        ecu, keep.cfg ? keptArea(kept, kTaLength, kCfgLength) : fileArea(file, kCfgOffset, kCfgLength),
        keep.cfg);
    if (ta || cfg) {
        errorOut << "Boot block write failed: the " << (ta ? "TA" : "CFG") << " block at 0x" << std::hex
                 << (ta ? *ta : *cfg) << " is not written." << std::endl;
    }
}

// The lowest and the highest address in [from, to) of a byte the file holds; none when it holds none.
std::optional<std::pair<uint64_t, uint64_t>> heldIn(const CodeFile& file, uint64_t from, uint64_t to) {
    const uint64_t first = std::max(from, file.start);
    const uint64_t last = std::min(to, file.end());
    std::optional<std::pair<uint64_t, uint64_t>> found;
    for (uint64_t address = first; address < last; ++address) {
        if (file.held[address - file.start]) {
            found = std::make_pair(found ? found->first : address, address);
        }
    }
    return found;
}

// Without --Bmg: the application, from the first page the file holds a byte of to its last byte, in
// one code write per run of consecutive erase blocks that hold bytes of the file, so that no block
// without one is erased. Bytes of the file in the boot block are not written.
void writeApplication(VODroGen& ecu, const CodeFile& file, uint64_t codeEnd, uint64_t packetLength) {
    // From the page of the first byte the file holds to just past its last one.
    struct Range {
        uint64_t start;
        uint64_t firstHeld;
        uint64_t end;
    };
    std::vector<Range> ranges;
    bool previousHeld = false;
    for (const VODroGen::tFlashBlockTag& block : VODroGen::flashBlocks) {
        if (block.start < kApplicationStart || block.start >= codeEnd) {
            continue;
        }
        const auto held = heldIn(file, block.start, uint64_t{block.end} + 1);
        if (held && previousHeld) {
            ranges.back().end = held->second + 1;
        } else if (held) {
            ranges.push_back(
                {held->first / VODroGen::kPageSize * VODroGen::kPageSize, held->first, held->second + 1});
        }
        previousHeld = held.has_value();
    }
    if (ranges.empty()) {
        reportNothingToWrite(ecu, file.image.size());
        return;
    }
    for (const Range& range : ranges) {
        // The bytes of the first page before the file's first byte stay erased.
        Bytes data(range.end - range.start, 0xFF);
        for (uint64_t address = range.firstHeld; address < range.end; ++address) {
            data[address - range.start] = file.image[address - file.start];
        }
        int mode = 0;
        if (!ecu.FlashCode(data, range.start, data.size(), true, &mode,
                           static_cast<uint32_t>(packetLength / VODroGen::kPageSize), VODroGen::kPageSize)) {
            return;
        }
    }
}

void writeCode(VODroGen& ecu, const po::variables_map& map, uint64_t packetLength) {
    CodeFile file;
    const uint64_t wholeFile = 0;
    ImageCoverage coverage;
    // The file's addresses are checked before an image of it is built. One that reaches past the code
    // flash is refused whole: a cut file is no image of the chip's code flash.
    const uint64_t codeEnd = kCodeStart + droCodeLength(map);
    const SpanCheck insideCodeFlash = [&](uint64_t lowest, uint64_t span) {
        if (lowest < kCodeStart) {
            normalOut << "Unexpected Start address" << std::hex << lowest << std::endl;
            return false;
        }
        if (span > codeEnd - lowest) {
            ecu.ShowProgress(0, true);
            errorOut << "Unexpected End address 0x" << std::hex << lowest + span - 1
                     << " (the code flash ends at 0x" << codeEnd - 1 << ")" << std::endl;
            return false;
        }
        return true;
    };
    if (!loadHexFile(map[wP()].as<std::string>(), &file.image, &file.start, &wholeFile, &coverage,
                     insideCodeFlash)) {
        return;
    }
    file.held = std::move(coverage.held);
    if (map.count(Bmg()) != 0) {
        writeBootBlock(ecu, file,
                       {map.count(KeepTa()) != 0, map.count(KeepLastTa()) != 0, map.count(KeepCfg()) != 0});
        return;
    }
    writeApplication(ecu, file, codeEnd, packetLength);
}

void writeData(VODroGen& ecu, const std::string& fileName, uint64_t packetLength) {
    Bytes image;
    uint64_t start = 0;
    const uint64_t wholeFile = 0;
    const SpanCheck fitsDataFlash = [&](uint64_t, uint64_t span) {
        if (span > kDataFlashLength) {
            ecu.ShowProgress(0, true);
            errorOut << "Data file longer than the data flash: 0x" << std::hex << span << " bytes (0x"
                     << kDataFlashLength << " at most)" << std::endl;
            return false;
        }
        return true;
    };
    if (!loadHexFile(fileName, &image, &start, &wholeFile, nullptr, fitsDataFlash)) {
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

void runDroFileSteps(VODroGen& ecu, const po::variables_map& map, uint64_t packetLength, StepScreen& screen) {
    if (map.count(rP()) != 0) {
        screen.enter(ScreenStep::readCode);
        const uint64_t length = map.count(Bmg()) != 0 ? kBootBlockLength : droCodeLength(map);
        readFlashToFile(ecu, true, kCodeStart, length, packetLength, map[rP()].as<std::string>(), kCodeStart);
    }
    if (map.count(rD()) != 0) {
        screen.enter(ScreenStep::readData);
        readFlashToFile(ecu, false, 0, kDataFlashLength, packetLength, map[rD()].as<std::string>(), 0);
    }
    if (map.count(wP()) != 0) {
        screen.enter(ScreenStep::flashCode);
        writeCode(ecu, map, packetLength);
    }
    if (map.count(wD()) != 0) {
        screen.enter(ScreenStep::flashData);
        writeData(ecu, map[wD()].as<std::string>(), packetLength);
    }
}

int runDroProgram(int argc, char* argv[]) {
    static const Kes2DroFrame frame = {describeDroOptions, " - v1.1 ", readDroValues, runDroFileSteps, true};
    return runKes2DroFrame(frame, argc, argv);
}
