#include "app/FlashFile.h"

#include <algorithm>
#include <cctype>
#include <ios>
#include <new>
#include <optional>
#include <ostream>
#include <utility>

#include "console/console.h"
#include "ecu/EcuPacketRequest.h"
#include "ecu/VOEcuGenBase.h"
#include "ecu/VOKesGen.h"
#include "hexfile/File.h"
#include "hexfile/GenericInFile.h"
#include "hexfile/IntelHexOutFile.h"
#include "hexfile/MemoryBuffer.h"
#include "hexfile/MotorolaS_OutFile.h"

using Io::Import::BlockStartLengthPair;

namespace {

constexpr std::size_t kShortNameLimit = 56;
constexpr std::size_t kDisplayNameLength = 55;
// Each code-range request carries pages of this many bytes.
constexpr uint32_t kCodeRangePageSize = 256;
// Both output formats address at most 32 bits.
constexpr uint64_t kOutputAddressSpace = 0x100000000ull;

const char* const kNoMemory = "  Not enough memory for the file data";
// The planner's refusals are indented under the step's heading.
const char* const kPlannerLead = "  ";

// Start of the last path component: after the last '/' or backslash.
std::size_t lastComponentStart(const std::string& name) {
    const std::size_t separator = name.find_last_of("/\\");
    return separator == std::string::npos ? 0 : separator + 1;
}

// How the code writes go out: requests of pages x pageLength bytes, the last request of a write
// with only the pages left.
struct CodeRequests {
    uint32_t pages;
    uint32_t pageLength;
};

// One code write: the pages [start, start + length), and [dataStart, dataEnd), the bytes of the file
// block it was planned for that lie in them.
struct PlannedCodeWrite {
    uint64_t start;
    uint64_t length;
    uint64_t dataStart;
    uint64_t dataEnd;
};

uint64_t roundDown(uint64_t value, uint64_t unit) {
    return value - value % unit;
}

uint64_t roundUp(uint64_t value, uint64_t unit) {
    const uint64_t remainder = value % unit;
    return remainder == 0 ? value : value + (unit - remainder);
}

// Whether the planned write may be sent as it stands: a page count the code write takes; with erase,
// whether the class's block map lets its sectors be erased; and whether its pages stay in the erase
// blocks of the file bytes they carry, so that no block the file has nothing in is erased or written.
// Checked for every write before anything is erased or written, so a write that the ECU object would
// refuse half-way never leaves erased sectors behind. ECU classes without a block map leave the map
// to their erase service.
bool writeFits(VOEcuGenBase& ecu, const PlannedCodeWrite& write, bool erase, const CodeRequests& requests) {
    if (requests.pages == 0) {
        errorOut << "Incorrect data length: 0x" << std::hex << write.length << std::endl;
        return false;
    }
    if (!ecupacket::checkPageCount(requests.pages) ||
        !ecupacket::checkRequestLength(
            std::min<uint64_t>(static_cast<uint64_t>(requests.pages) * requests.pageLength, write.length),
            ecu.maxRequestLength())) {
        return false;
    }
    auto* kes = dynamic_cast<VOKesGen*>(&ecu);
    if (kes == nullptr) {
        return true;
    }
    if (erase && !kes->CheckCodeEraseRange(write.start, write.length)) {
        return false;
    }
    const uint64_t end = write.start + write.length;
    if (!kes->InCodeBlockMap(write.start) || !kes->InCodeBlockMap(end - 1)) {
        return true;
    }
    const bool headStays = kes->GetBlockNumber(write.start) == kes->GetBlockNumber(write.dataStart);
    if (!headStays || kes->GetBlockNumber(end - 1) != kes->GetBlockNumber(write.dataEnd - 1)) {
        errorOut << "Incorrect page size: 0x" << std::hex << requests.pageLength << " (the page at 0x"
                 << (headStays ? roundDown(end - 1, requests.pageLength) : write.start)
                 << " reaches into an erase block the file has no data in)" << std::endl;
        return false;
    }
    return true;
}

// The code-flash area of the write's first byte; sector runs never reach from one area into the other.
unsigned areaOf(const VOEcuGenBase& ecu, const PlannedCodeWrite& write) {
    return dynamic_cast<const VOKesGen*>(&ecu) != nullptr ? VOKesGen::CodeAreaOf(write.start) : 0;
}

struct SectorRun {
    unsigned area;
    uint8_t first;
    uint8_t last;
};

// The requests of the code write: whole pages of pageSize per packet; a page larger than the packet
// goes out in pages of the code-range write, so that which bytes a write covers never depends on the
// packet length.
CodeRequests codeRequests(uint32_t packetLength, uint32_t pageSize) {
    const uint32_t pageLength =
        pageSize <= packetLength ? pageSize : std::min(kCodeRangePageSize, packetLength);
    return {packetLength / pageLength, pageLength};
}

// The writes of blocks (ascending, each already cut to its range): the pages each block touches, its
// start rounded down and its end rounded up to whole pages. A block that begins in the last page of
// the write before shares that page, which carries its first bytes (the pages are read from the
// file), and is written from that write's end, so no page is written twice.
std::vector<PlannedCodeWrite> planCodeWrites(const std::vector<BlockStartLengthPair>& blocks,
                                             uint32_t pageLength) {
    std::vector<PlannedCodeWrite> writes;
    uint64_t writtenEnd = 0;
    for (const BlockStartLengthPair& block : blocks) {
        const uint64_t dataEnd = block.start + block.length;
        uint64_t from = roundDown(block.start, pageLength);
        const uint64_t to = roundUp(dataEnd, pageLength);
        if (!writes.empty() && from < writtenEnd) {
            if (to <= writtenEnd) {
                continue;
            }
            from = writtenEnd;
        }
        writes.push_back({from, to - from, std::max(block.start, from), dataEnd});
        writtenEnd = to;
    }
    return writes;
}

// The bytes of write: the file's bytes of blocks (the blocks written, cut to their window or range)
// where they lie in it, 0x00 elsewhere, so that the file's bytes that a page rounded out of the window
// or range reaches are not written. Only the span of the blocks is read: the file has no bytes before
// its first. False, with the line printed, when the file cannot be read.
bool readWrite(FlashFile& file, const PlannedCodeWrite& write,
               const std::vector<BlockStartLengthPair>& blocks, std::vector<uint8_t>& bytes) {
    const uint64_t end = write.start + write.length;
    uint64_t spanStart = end;
    uint64_t spanEnd = write.start;
    for (const BlockStartLengthPair& block : blocks) {
        const uint64_t from = std::max(block.start, write.start);
        const uint64_t to = std::min(block.start + block.length, end);
        if (from < to) {
            spanStart = std::min(spanStart, from);
            spanEnd = std::max(spanEnd, to);
        }
    }
    std::vector<uint8_t> span;
    uint64_t readStart = spanStart;
    uint64_t readLength = spanStart < spanEnd ? spanEnd - spanStart : 0;
    if (readLength == 0 || !file.readRange(span, readStart, readLength)) {
        normalOut << "  Unable to read data from file" << std::endl;
        return false;
    }
    bytes.assign(write.length, 0x00);
    for (const BlockStartLengthPair& block : blocks) {
        const uint64_t from = std::max(block.start, write.start);
        const uint64_t to = std::min(block.start + block.length, end);
        if (from < to) {
            std::copy(span.begin() + static_cast<std::ptrdiff_t>(from - spanStart),
                      span.begin() + static_cast<std::ptrdiff_t>(to - spanStart),
                      bytes.begin() + static_cast<std::ptrdiff_t>(from - write.start));
        }
    }
    return true;
}

// Checks every write of blocks, erases (with erase) the sectors they lie in, in merged runs, then
// writes them in order; the write itself never erases. A failed erase or write ends it with false.
bool writePlannedCode(FlashFile& file, const std::vector<BlockStartLengthPair>& blocks,
                      const std::vector<PlannedCodeWrite>& writes, VOEcuGenBase& ecu, bool erase,
                      const CodeRequests& requests) {
    for (const PlannedCodeWrite& write : writes) {
        if (!writeFits(ecu, write, erase, requests)) {
            return false;
        }
    }
    bool result = false;
    if (erase) {
        std::vector<SectorRun> runs;
        for (const PlannedCodeWrite& write : writes) {
            const unsigned area = areaOf(ecu, write);
            const uint8_t startSector = ecu.GetBlockNumber(write.start);
            const uint8_t endSector = ecu.GetBlockNumber(write.start + write.length - 1);
            if (endSector < startSector) {
                errorOut << "Incorrect data length: 0x" << std::hex << write.length << std::endl;
                return false;
            }
            // A write continues the run when it starts in or right after it, in the same area; a
            // write that overlaps an earlier one never shrinks the run.
            if (!runs.empty() && runs.back().area == area && runs.back().first <= startSector &&
                startSector <= static_cast<uint32_t>(runs.back().last) + 1) {
                runs.back().last = std::max(runs.back().last, endSector);
            } else {
                runs.push_back({area, startSector, endSector});
            }
        }
        if (runs.empty()) {
            normalOut << "  No Data found!" << std::endl;
            return false;
        }
        for (const SectorRun& run : runs) {
            normalOut << std::endl;
            result = ecu.EraseCodeBlocks(run.first, run.last);
            normalOut << std::endl;
            if (!result) {
                return false;
            }
        }
    }

    bool nothing = true;
    for (const PlannedCodeWrite& write : writes) {
        std::vector<uint8_t> bytes;
        if (readWrite(file, write, blocks, bytes)) {
            nothing = false;
            normalOut << std::endl;
            result = ecu.FlashCode(bytes, write.start, bytes.size(), false, nullptr, requests.pages,
                                   requests.pageLength);
        }
        if (!result) {
            break;
        }
    }
    if (nothing) {
        normalOut << "  No Data found!" << std::endl;
    }
    return result;
}

// The data writes of blocks (ascending, each cut to the range from start): the pages of pageSize from
// start, each cut to the file bytes it holds, a page's runs of units that hold file bytes written
// apart. Units that hold none are neither erased nor written; blocks that share a unit are written in
// one piece.
std::vector<BlockStartLengthPair> dataPieces(const std::vector<BlockStartLengthPair>& within, uint64_t start,
                                             uint32_t pageSize, uint64_t unit) {
    std::vector<BlockStartLengthPair> pieces;
    for (const BlockStartLengthPair& block : within) {
        const uint64_t blockEnd = block.start + block.length;
        for (uint64_t at = block.start; at < blockEnd;) {
            const uint64_t pageStart = start + (at - start) / pageSize * pageSize;
            const uint64_t end = std::min(blockEnd, pageStart + pageSize);
            BlockStartLengthPair* last = pieces.empty() ? nullptr : &pieces.back();
            if (last != nullptr && last->start >= pageStart &&
                roundDown(at, unit) < roundUp(last->start + last->length, unit)) {
                last->length = std::max(last->start + last->length, end) - last->start;
            } else {
                const uint64_t pieceStart = std::max(pageStart, roundDown(at, unit));
                pieces.push_back({pieceStart, end - pieceStart});
            }
            at = end;
        }
    }
    return pieces;
}

}  // namespace

FlashFile::FlashFile() = default;

FlashFile::FlashFile(const std::string& name) {
    setFileName(name);
}

FlashFile::~FlashFile() = default;

void FlashFile::forget() {
    // The importer refers to the characters of the name, so it goes first.
    importer.reset();
    blocks.clear();
}

void FlashFile::setFileName(const std::string& name) {
    if (name == fileName) {
        return;
    }
    forget();
    fileName = name;
}

std::string FlashFile::displayName() const {
    if (fileName.size() < kShortNameLimit) {
        return fileName;
    }
    return fileName.substr(lastComponentStart(fileName), kDisplayNameLength);
}

void noteRawBinary(const Io::Import::GenericInFile& file, const std::string& fileName, const char* lead) {
    if (!file.isRawBinary()) {
        return;
    }
    const std::ios_base::fmtflags flags = warningOut.flags();
    warningOut << lead << fileName << " read as raw binary: " << std::dec << file.getDataLength()
               << " bytes from 0x0" << std::endl;
    warningOut.flags(flags);
}

bool FlashFile::ensureImporter() {
    if (importer) {
        return true;
    }
    normalOut << "    Parse: " << displayName() << std::endl;
    try {
        auto file = std::make_unique<Io::Import::GenericInFile>(fileName.c_str());
        noteRawBinary(*file, fileName, "    ");
        importer = std::move(file);
    } catch (const Io::exception& e) {
        normalOut << e.what() << std::endl;
        return false;
    } catch (const std::bad_alloc&) {
        normalOut << kNoMemory << std::endl;
        return false;
    }
    return true;
}

void FlashFile::scanBlocks() {
    if (!ensureImporter() || !blocks.empty()) {
        return;
    }
    normalOut << "    Check: " << displayName() << std::endl;
    try {
        blocks = importer->getBlockList();
    } catch (const Io::exception& e) {
        blocks.clear();
        normalOut << e.what() << std::endl;
    } catch (const std::bad_alloc&) {
        blocks.clear();
        normalOut << kNoMemory << std::endl;
    }
}

bool FlashFile::containsRange(uint64_t start, uint64_t& length, bool adjust) {
    scanBlocks();
    for (const BlockStartLengthPair& block : blocks) {
        if (start < block.start || start - block.start >= block.length) {
            continue;
        }
        const uint64_t rest = block.length - (start - block.start);
        if (adjust) {
            length = rest;
            return true;
        }
        if (length <= rest) {
            return true;
        }
    }
    return false;
}

bool FlashFile::clipBlock(BlockStartLengthPair& block, uint64_t windowStart, uint64_t windowEnd) {
    if (block.start >= windowEnd) {
        return true;
    }
    if (block.start < windowStart) {
        if (block.start + block.length <= windowStart) {
            return true;
        }
        block.length = block.start + block.length - windowStart;
        block.start = windowStart;
    }
    return false;
}

bool FlashFile::readRange(std::vector<uint8_t>& out, uint64_t& start, uint64_t& length) {
    if (!ensureImporter()) {
        return false;
    }
    try {
        const Buffer::MemoryBuffer image =
            length != 0 ? importer->getMemory(start, length) : importer->getWholeMemory();
        // An image that could not be had comes back empty; the memory image has said why.
        if (length != 0 && image.getLength() != length) {
            normalOut << kNoMemory << std::endl;
            return false;
        }
        const auto cells = image.cells();
        out.resize(cells.size());
        std::transform(cells.begin(), cells.end(), out.begin(), [](const Buffer::MemoryBufferElement& cell) {
            return cell.isSet ? cell.value : cell.fillValue;
        });
        start = image.getStartAddress();
        if (length == 0) {
            length = cells.size();
        }
    } catch (const Io::exception& e) {
        normalOut << e.what() << std::endl;
        return false;
    } catch (const std::bad_alloc&) {
        normalOut << kNoMemory << std::endl;
        return false;
    }
    normalOut << std::string(displayName().size() + 15, ' ') << std::flush;
    return true;
}

bool FlashFile::readRange(std::vector<uint8_t>& out, BlockStartLengthPair& block) {
    return readRange(out, block.start, block.length);
}

bool FlashFile::readFromFile(const std::string& name, std::vector<uint8_t>& out, uint64_t& start,
                             uint64_t& length) {
    setFileName(name);
    return readRange(out, start, length);
}

std::vector<BlockStartLengthPair> FlashFile::blocksWithin(uint64_t start, uint64_t end) const {
    std::vector<BlockStartLengthPair> within;
    for (BlockStartLengthPair block : blocks) {
        if (clipBlock(block, start, end)) {
            continue;
        }
        block.length = std::min(block.start + block.length, end) - block.start;
        within.push_back(block);
    }
    return within;
}

bool FlashFile::writeCode(uint64_t windowStart, uint64_t windowEnd, VOEcuGenBase& ecu, bool erase,
                          uint32_t packetLength, uint32_t pageSize) {
    if (!checkNotZero("packet length", packetLength, kPlannerLead) ||
        !checkNotZero("page size", pageSize, kPlannerLead)) {
        return false;
    }
    const CodeRequests requests = codeRequests(packetLength, pageSize);
    scanBlocks();
    // A block that starts inside the window is written whole.
    std::vector<BlockStartLengthPair> inWindow;
    for (BlockStartLengthPair block : blocks) {
        if (!clipBlock(block, windowStart, windowEnd)) {
            inWindow.push_back(block);
        }
    }
    return writePlannedCode(*this, inWindow, planCodeWrites(inWindow, requests.pageLength), ecu, erase,
                            requests);
}

std::optional<std::vector<BlockStartLengthPair>> FlashFile::openRange(uint64_t start, uint64_t length,
                                                                      bool limitToLength,
                                                                      const RangeOpening& opening) {
    if (!checkNotZero(opening.sizeName, opening.size, kPlannerLead)) {
        return std::nullopt;
    }
    const uint64_t requested = length;
    if (!containsRange(start, length, true)) {
        opening.report << opening.notInFile << std::endl;
        return std::nullopt;
    }
    // The range runs over the blocks after the one that holds start too, up to the length asked for.
    if (limitToLength) {
        length = std::min(requested, ~uint64_t{0} - start);
    }
    // A length of 0 would read the whole file, from wherever it starts.
    if (length == 0) {
        opening.report << opening.lengthZero << std::endl;
        return std::nullopt;
    }
    return blocksWithin(start, start + length);
}

bool FlashFile::writeCodeRange(uint64_t start, uint64_t, uint64_t length, bool limitToLength,
                               VOEcuGenBase& ecu, bool erase, uint32_t packetLength, uint32_t) {
    const std::optional<std::vector<BlockStartLengthPair>> within =
        openRange(start, length, limitToLength,
                  {"packet length", packetLength, normalOut,
                   "  File does not include data to program. First one in file.",
                   "  Code length 0: nothing to program."});
    if (!within) {
        return false;
    }
    // Whole requests of whole pages: a packet length that is not a multiple of the page is rounded
    // down to the pages one request carries.
    const CodeRequests requests = {packetLength / kCodeRangePageSize, kCodeRangePageSize};
    const std::vector<PlannedCodeWrite> writes = planCodeWrites(*within, requests.pageLength);
    if (writes.size() != 1) {
        // Blocks with gaps between them: each is written alone, after the erase of the sectors they
        // lie in, so that nothing between them is erased.
        return writePlannedCode(*this, *within, writes, ecu, erase, requests);
    }
    std::vector<uint8_t> bytes;
    return readWrite(*this, writes[0], *within, bytes) &&
           ecu.FlashCode(bytes, writes[0].start, bytes.size(), erase, nullptr, requests.pages,
                         requests.pageLength);
}

bool FlashFile::writeDataRange(uint64_t start, uint64_t length, bool limitToLength, VOEcuGenBase& ecu,
                               uint32_t, uint32_t pageSize) {
    const std::optional<std::vector<BlockStartLengthPair>> within = openRange(
        start, length, limitToLength,
        {"page size", pageSize, warningOut, "  File does not include data to program. Second one in file.",
         "  Data length 0: nothing to program."});
    if (!within || within->empty()) {
        return false;
    }
    const uint64_t dataEnd = within->back().start + within->back().length;
    const bool units = dynamic_cast<const VOKesGen*>(&ecu) != nullptr;
    const uint64_t unit = units ? VOKesGen::kDataUnit : 1;
    // Each piece erases the units it touches: a piece that begins inside a unit would lose the unit's
    // first bytes, and pages that end inside a unit would have the next page erase that unit again.
    if (start % unit != 0) {
        errorOut << "Incorrect start Addr.: 0x" << std::hex << start << std::endl;
        return false;
    }
    if (dataEnd - start > pageSize && pageSize % unit != 0) {
        errorOut << "  Invalid page size: 0x" << std::hex << pageSize << " (not a whole number of 0x" << unit
                 << "-byte erase units)" << std::endl;
        return false;
    }
    const std::vector<BlockStartLengthPair> pieces = dataPieces(*within, start, pageSize, unit);
    // Each piece goes out in one request after the erase of its units: a piece that one message
    // cannot carry would be erased and not written.
    const uint64_t maxRequest = ecu.maxRequestLength();
    for (const BlockStartLengthPair& piece : pieces) {
        if (!ecupacket::fitsOneMessage(piece.length, maxRequest)) {
            errorOut << "  Invalid page size: 0x" << std::hex << pageSize
                     << " (--dataPageSize: the page at 0x" << piece.start << " goes out in one request of 0x"
                     << ecupacket::kPacketHeaderLength + piece.length << " bytes, and one message carries 0x"
                     << maxRequest << " bytes at most)" << std::endl;
            return false;
        }
    }
    bool result = true;
    // Every piece is tried, also after a failed one.
    for (const BlockStartLengthPair& piece : pieces) {
        std::vector<uint8_t> bytes;
        uint64_t pieceStart = piece.start;
        uint64_t pieceLength = piece.length;
        if (!readRange(bytes, pieceStart, pieceLength)) {
            normalOut << "  Unable to read data from file" << std::endl;
            return false;
        }
        result =
            ecu.FlashData(bytes, pieceStart, bytes.size(), nullptr, 1, static_cast<uint32_t>(bytes.size())) &&
            result;
    }
    return result;
}

bool checkNotZero(const char* what, uint64_t value, const char* lead) {
    if (value == 0) {
        errorOut << lead << "Invalid " << what << ": 0" << std::endl;
        return false;
    }
    return true;
}

bool saveDataFile(const std::string& fileName, const std::vector<uint8_t>& data, uint64_t baseAddress) {
    const std::string component = fileName.substr(lastComponentStart(fileName));
    const std::size_t dot = component.rfind('.');
    std::string extension = dot == std::string::npos ? component : component.substr(dot + 1);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return writeDataFile(fileName, extension == "S19" ? 1 : 0, data, baseAddress);
}

bool writeDataFile(const std::string& fileName, uint32_t format, const std::vector<uint8_t>& data,
                   uint64_t baseAddress) {
    try {
        Buffer::MemoryBuffer image(baseAddress, data.size());
        // An image that could not be made comes back empty; the memory image has said why.
        if (image.getLength() != data.size()) {
            return false;
        }
        if (!data.empty() && !image.writeBytes(baseAddress, data.data(), data.size())) {
            return false;
        }
        // The writers refuse data beyond their address range with a message of their own and write the
        // file without it.
        const bool addressable = data.empty() || (baseAddress < kOutputAddressSpace &&
                                                  data.size() <= kOutputAddressSpace - baseAddress);
        if (format == 1) {
            Io::Export::MotorolaS_OutFile out(fileName.c_str(), Io::Export::MotorolaS_OutFile::OutputStyle{});
            out.insertMemoryBuffer(image);
            out.writeFile();
        } else {
            Io::Export::IntelHexOutFile::OutputStyle style;
            style.segmentAddressing = false;
            style.dataRecordLength = 16;
            Io::Export::IntelHexOutFile out(fileName.c_str(), style);
            out.insertMemoryBuffer(image);
            out.writeFile();
        }
        return addressable;
    } catch (const Io::out_of_memory&) {
        normalOut << kNoMemory << std::endl;
    } catch (const Io::exception& e) {
        normalOut << e.what() << std::endl;
    } catch (const std::bad_alloc&) {
        normalOut << kNoMemory << std::endl;
    }
    return false;
}
