#include "app/FlashFile.h"

#include <algorithm>
#include <cctype>
#include <new>
#include <optional>
#include <ostream>

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

void roundUpToPackets(uint64_t& length, uint32_t packetLength) {
    const uint64_t remainder = length % packetLength;
    if (remainder != 0) {
        length += packetLength - remainder;
    }
}

// Whether the planned write may be sent as it stands: the page count fits its byte and the start
// lies on a page, as the code write wants; with erase, also whether the class's block map lets its
// sectors be erased. Checked for every write before anything is erased or written, so a write that
// the ECU object would refuse half-way never leaves erased sectors behind. ECU classes without a
// block map leave the map to their erase service.
bool writeFits(VOEcuGenBase& ecu, const BlockStartLengthPair& write, bool erase, uint32_t pages,
               uint32_t pageLength) {
    if (!ecupacket::checkPageCount(pages)) {
        return false;
    }
    if (write.start % pageLength != 0) {
        errorOut << "Incorrect start Addr.: 0x" << std::hex << write.start << std::endl;
        return false;
    }
    auto* kes = dynamic_cast<VOKesGen*>(&ecu);
    return !erase || kes == nullptr || kes->CheckCodeEraseRange(write.start, write.length);
}

// The code-flash area of the write's first byte; sector runs never reach from one area into the other.
unsigned areaOf(const VOEcuGenBase& ecu, const BlockStartLengthPair& write) {
    return dynamic_cast<const VOKesGen*>(&ecu) != nullptr ? VOKesGen::CodeAreaOf(write.start) : 0;
}

struct SectorRun {
    unsigned area;
    uint8_t first;
    uint8_t last;
};

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

bool FlashFile::ensureImporter() {
    if (importer) {
        return true;
    }
    normalOut << "    Parse: " << displayName() << std::endl;
    try {
        importer = std::make_unique<Io::Import::GenericInFile>(fileName.c_str());
    } catch (const Io::exception& e) {
        normalOut << e.what();
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
        normalOut << e.what();
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
        normalOut << e.what();
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

std::vector<BlockStartLengthPair> FlashFile::plannedWrites(uint64_t windowStart, uint64_t windowEnd,
                                                           uint32_t chunk) {
    std::vector<BlockStartLengthPair> writes;
    uint64_t writtenEnd = 0;
    for (BlockStartLengthPair block : blocks) {
        if (clipBlock(block, windowStart, windowEnd)) {
            continue;
        }
        // The rounded tail of the write before holds this block's first bytes already (they are read
        // from the file): flash is written once, from where that write ended.
        if (!writes.empty() && block.start < writtenEnd) {
            const uint64_t end = block.start + block.length;
            if (end <= writtenEnd) {
                continue;
            }
            block.length = end - writtenEnd;
            block.start = writtenEnd;
        }
        roundUpToPackets(block.length, chunk);
        writtenEnd = block.start + block.length;
        writes.push_back(block);
    }
    return writes;
}

bool FlashFile::writeCode(uint64_t windowStart, uint64_t windowEnd, VOEcuGenBase& ecu, bool erase,
                          uint32_t packetLength, uint32_t pageSize) {
    if (!checkNotZero("packet length", packetLength, kPlannerLead) ||
        !checkNotZero("page size", pageSize, kPlannerLead)) {
        return false;
    }
    const bool onePage = packetLength < pageSize;
    const uint32_t pageLength = onePage ? packetLength : pageSize;
    const uint32_t pages = onePage ? 1 : packetLength / pageSize;
    // What one request carries; a packet length that is not a whole number of pages rounds the blocks
    // to the requests actually sent.
    const uint32_t chunk = pages * pageLength;
    bool result = false;
    scanBlocks();
    const std::vector<BlockStartLengthPair> writes = plannedWrites(windowStart, windowEnd, chunk);
    // The whole plan is checked before any erase.
    for (const BlockStartLengthPair& write : writes) {
        if (!writeFits(ecu, write, erase, pages, pageLength)) {
            return false;
        }
    }

    if (erase) {
        std::vector<SectorRun> runs;
        for (const BlockStartLengthPair& write : writes) {
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
    for (BlockStartLengthPair write : writes) {
        std::vector<uint8_t> bytes;
        if (readRange(bytes, write)) {
            nothing = false;
            normalOut << std::endl;
            // The sectors were erased above, so the write itself never erases.
            result = ecu.FlashCode(bytes, write.start, bytes.size(), false, nullptr, pages, pageLength);
        } else {
            normalOut << "  Unable to read data from file" << std::endl;
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

bool FlashFile::rangeToWrite(uint64_t start, uint64_t& length, bool limitToLength, std::ostream& report,
                             const char* notInFile, const char* lengthZero) {
    const uint64_t requested = length;
    if (!containsRange(start, length, true)) {
        report << notInFile << std::endl;
        return false;
    }
    if (limitToLength && requested < length) {
        length = requested;
    }
    // A length of 0 would read the whole file, from wherever it starts.
    if (length == 0) {
        report << lengthZero << std::endl;
        return false;
    }
    return true;
}

bool FlashFile::writeCodeRange(uint64_t start, uint64_t, uint64_t length, bool limitToLength,
                               VOEcuGenBase& ecu, bool erase, uint32_t packetLength, uint32_t) {
    if (!checkNotZero("packet length", packetLength, kPlannerLead)) {
        return false;
    }
    if (!rangeToWrite(start, length, limitToLength, normalOut,
                      "  File does not include data to program. First one in file.",
                      "  Code length 0: nothing to program.")) {
        return false;
    }
    // Whole requests of whole pages: a packet length that is not a multiple of the page is rounded
    // down to the pages one request carries.
    const uint32_t pages = packetLength / kCodeRangePageSize;
    roundUpToPackets(length, std::max<uint32_t>(pages, 1) * kCodeRangePageSize);
    std::vector<uint8_t> bytes;
    if (!readRange(bytes, start, length)) {
        normalOut << "  Unable to read data from file" << std::endl;
        return false;
    }
    return ecu.FlashCode(bytes, start, bytes.size(), erase, nullptr, pages, kCodeRangePageSize);
}

bool FlashFile::writeDataRange(uint64_t start, uint64_t length, bool limitToLength, VOEcuGenBase& ecu,
                               uint32_t, uint32_t pageSize) {
    if (!checkNotZero("page size", pageSize, kPlannerLead)) {
        return false;
    }
    if (!rangeToWrite(start, length, limitToLength, warningOut,
                      "  File does not include data to program. Second one in file.",
                      "  Data length 0: nothing to program.")) {
        return false;
    }
    // Each page erases the units it touches: a page that ends inside a unit would have the next page
    // erase that unit again, and lose its own last bytes.
    if (dynamic_cast<const VOKesGen*>(&ecu) != nullptr && length > pageSize &&
        pageSize % VOKesGen::kDataUnit != 0) {
        errorOut << "  Invalid page size: 0x" << std::hex << pageSize << " (not a whole number of 0x"
                 << VOKesGen::kDataUnit << "-byte erase units)" << std::endl;
        return false;
    }
    std::vector<uint8_t> bytes;
    if (!readRange(bytes, start, length)) {
        normalOut << "  Unable to read data from file" << std::endl;
        return false;
    }
    bool result = true;
    // Every page is tried, also after a failed one.
    for (uint64_t offset = 0; offset < bytes.size(); offset += pageSize) {
        const uint64_t count = std::min<uint64_t>(pageSize, bytes.size() - offset);
        const auto first = bytes.begin() + static_cast<std::ptrdiff_t>(offset);
        const std::vector<uint8_t> page(first, first + static_cast<std::ptrdiff_t>(count));
        result =
            ecu.FlashData(page, start + offset, count, nullptr, 1, static_cast<uint32_t>(count)) && result;
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
        normalOut << e.what();
    } catch (const std::bad_alloc&) {
        normalOut << kNoMemory << std::endl;
    }
    return false;
}
