#include "app/kes2dro/Kes2DroHelpers.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <ostream>

#include "app/CommandFile.h"
#include "app/FlashFile.h"
#include "comm/ComParams.h"
#include "comm/Communication.h"
#include "console/console.h"
#include "ecu/VODroGen.h"
#include "hexfile/File.h"
#include "hexfile/GenericInFile.h"

namespace {

constexpr std::size_t kDisplayNameLength = 34;
constexpr uint16_t kParsingColumn = 17;
constexpr int kParsingFieldWidth = 49;
constexpr std::size_t kLabelStart = 5;

// Adds the part of [from, to) to leftOut.
void addLeftOut(LeftOutBytes& leftOut, uint64_t from, uint64_t to) {
    if (from >= to) {
        return;
    }
    leftOut.first = leftOut.count == 0 ? from : std::min(leftOut.first, from);
    leftOut.last = leftOut.count == 0 ? to - 1 : std::max(leftOut.last, to - 1);
    leftOut.count += to - from;
}

// The file's image over the range the arguments ask for (see the header). leftOut, when given, gets
// the file's bytes outside a range that the importer took.
Buffer::MemoryBuffer imageOf(const Io::Import::GenericInFile& file, uint64_t* startAddress,
                             const uint64_t* length, LeftOutBytes* leftOut = nullptr,
                             std::deque<Io::Import::BlockStartLengthPair>* fileBlocks = nullptr) {
    const uint64_t from = *startAddress;
    Buffer::MemoryBuffer image = *length != 0 ? file.getMemory(from, *length) : file.getWholeMemory();
    *startAddress = image.getStartAddress();
    if (leftOut == nullptr && fileBlocks == nullptr) {
        return image;
    }
    const std::deque<Io::Import::BlockStartLengthPair> blocks = file.getBlockList();
    if (leftOut != nullptr) {
        *leftOut = {};
        if (*length != 0 && image.getLength() == *length) {
            const uint64_t to = from + *length;
            for (const Io::Import::BlockStartLengthPair& block : blocks) {
                const uint64_t end = block.start + block.length;
                addLeftOut(*leftOut, block.start, std::min(end, from));
                addLeftOut(*leftOut, std::max(block.start, to), end);
            }
        }
    }
    if (fileBlocks != nullptr) {
        *fileBlocks = blocks;
    }
    return image;
}

// The importer of the file; the raw-binary notice goes on a line of its own. May throw Io::exception.
std::unique_ptr<Io::Import::GenericInFile> openFile(const std::string& fileName) {
    auto file = std::make_unique<Io::Import::GenericInFile>(fileName.c_str());
    noteRawBinary(*file, fileName, "");
    return file;
}

// The cells of the file over the range the arguments ask for; may throw Io::exception.
std::vector<Buffer::MemoryBufferElement> readCells(const std::string& fileName, uint64_t* startAddress,
                                                   const uint64_t* length, LeftOutBytes* leftOut = nullptr) {
    const std::unique_ptr<Io::Import::GenericInFile> file = openFile(fileName);
    const Buffer::MemoryBuffer image = imageOf(*file, startAddress, length, leftOut);
    const auto cells = image.cells();
    return {cells.begin(), cells.end()};
}

}  // namespace

bool loadHexFile(const std::string& fileName, std::vector<uint8_t>* image, uint64_t* startAddress,
                 const uint64_t* length, ImageCoverage* coverage, const SpanCheck& fits) {
    const std::string displayName = fileName.size() > kDisplayNameLength
                                        ? fileName.substr(fileName.size() - kDisplayNameLength)
                                        : fileName;
    setCursorColumn(kParsingColumn);
    normalOut << "...Parsing: " << displayName;
    std::unique_ptr<Io::Import::GenericInFile> file;
    try {
        file = std::make_unique<Io::Import::GenericInFile>(fileName.c_str());
    } catch (const Io::exception& e) {
        normalOut << e.what() << std::endl;
        return false;
    }
    setCursorColumn(kParsingColumn);
    normalOut << std::setw(kParsingFieldWidth) << " " << std::flush;
    if (file->isRawBinary()) {
        normalOut << std::endl;
        noteRawBinary(*file, fileName, "");
    }
    // The span is checked before an image of it is built.
    if (*length == 0 && fits && !fits(file->getMinAddress(), file->getDataLength())) {
        return false;
    }
    const Buffer::MemoryBuffer read =
        imageOf(*file, startAddress, length, coverage != nullptr ? &coverage->leftOut : nullptr,
                coverage != nullptr ? &coverage->fileBlocks : nullptr);
    file.reset();
    const auto all = read.cells();
    image->resize(all.size());
    for (std::size_t i = 0; i < all.size(); ++i) {
        (*image)[i] = all[i].isSet ? all[i].value : all[i].fillValue;
    }
    if (coverage != nullptr) {
        coverage->held.resize(all.size());
        coverage->dataLength = 0;
        for (std::size_t i = 0; i < all.size(); ++i) {
            coverage->held[i] = all[i].isSet;
            if (all[i].isSet) {
                coverage->dataLength = i + 1;
            }
        }
    }
    return true;
}

bool loadDataCells(const std::string& fileName, uint64_t* startAddress, const uint64_t* length,
                   std::vector<Buffer::MemoryBufferElement>* cells, LeftOutBytes* leftOut) {
    try {
        *cells = readCells(fileName, startAddress, length, leftOut);
        return true;
    } catch (const Io::exception& e) {
        normalOut << e.what() << std::endl;
        return false;
    }
}

void reportLeftOut(const LeftOutBytes& leftOut, const char* area, uint64_t start, uint64_t length) {
    if (leftOut.count == 0) {
        return;
    }
    warningOut << "Left out: 0x" << std::hex << leftOut.count << " bytes of the file at 0x" << leftOut.first
               << " - 0x" << leftOut.last << ", outside " << area << " 0x" << start << " - 0x"
               << start + length - 1 << std::endl;
}

void reportNothingToWrite(VODroGen& ecu, uint64_t fileLength) {
    ecu.ShowProgress(0, true);
    normalOut << "Nothing tbd!(File len: 0x" << std::hex << fileLength << ")" << std::endl;
}

bool isCompleteImage(const std::string& fileName, uint64_t* startAddress, const uint64_t* length) {
    try {
        for (const Buffer::MemoryBufferElement& cell : readCells(fileName, startAddress, length)) {
            if (!cell.isSet) {
                return false;
            }
        }
        return true;
    } catch (const Io::exception& e) {
        normalOut << e.what() << std::endl;
        return false;
    }
}

void nextSetRun(const std::vector<Buffer::MemoryBufferElement>& cells, uint64_t* index,
                std::vector<uint8_t>* run) {
    uint64_t i = *index;
    while (i < cells.size() && !cells[i].isSet) {
        ++i;
    }
    run->clear();
    while (i < cells.size() && cells[i].isSet) {
        run->push_back(cells[i].value);
        ++i;
    }
    *index = i;
}

bool readFlashToFile(VODroGen& ecu, bool codeFlash, uint64_t address, uint64_t length, uint64_t packetLength,
                     const std::string& fileName, uint64_t baseAddress) {
    std::vector<uint8_t> bytes(length, 0);
    const auto pages = static_cast<uint32_t>(packetLength / VODroGen::kPageSize);
    const bool read = codeFlash ? ecu.ReadCode(bytes, address, length, nullptr, pages)
                                : ecu.ReadData(bytes, address, length, nullptr, pages);
    if (!read) {
        return false;
    }
    if (!writeDataFile(fileName, 0, bytes, baseAddress)) {
        errorOut << "The data read from the ECU was not saved in " << fileName << std::endl;
        return false;
    }
    return true;
}

void runCommandFile(std::string fileName, VODroGen& device) {
    std::ifstream file(fileName);
    // A directory opens as a stream here, but holds no lines.
    std::error_code error;
    if (!file.is_open() || std::filesystem::is_directory(fileName, error)) {
        normalOut << "\n.....Command file not found! " << fileName << std::endl;
        return;
    }
    std::vector<std::vector<uint8_t>> requests;
    std::vector<std::string> labels;
    bool inSection = false;
    std::string line;
    while (std::getline(file, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (!inSection) {
            if (line.find("Name") != std::string::npos) {
                // Throws std::out_of_range for a line of just "Name".
                labels.push_back(line.substr(kLabelStart));
                requests.emplace_back();
                inSection = true;
            }
        } else if (line.empty()) {
            inSection = false;
        } else {
            appendCommandBytes(line, requests.back());
        }
    }
    for (std::size_t i = 0; i < requests.size(); ++i) {
        // An empty request has no service byte to send or to check the reply against.
        if (requests[i].empty()) {
            continue;
        }
        normalOut << "\nCmd (Len: " << std::dec << requests[i].size() << " dec): " << labels[i];
        device.SendCommand(requests[i]);
    }
}

std::unique_ptr<ComParams> createComParamsForType(enumInterfaceType interfaceType, uint32_t port,
                                                  uint32_t baud, uint32_t hwIndex) {
    return ComInterfaceSelector::fixedRecord(interfaceType, port, baud, hwIndex,
                                             ComInterfaceSelector::kBusCan,
                                             ComInterfaceSelector::kKes2DroRxQueueLimit);
}

std::unique_ptr<Communication> createCommunicationForType(enumInterfaceType interfaceType, uint32_t rxId,
                                                          const ComParams* params) {
    // A detected channel is no choice here: without a fixed hardware type a Vector type has no channel.
    if (!ComInterfaceSelector::isSerialType(interfaceType) &&
        ComInterfaceSelector::hardwareType(interfaceType) == 0) {
        return nullptr;
    }
    return ComInterfaceSelector::channelFor(interfaceType, params, rxId, ComInterfaceSelector::kBusCan);
}
