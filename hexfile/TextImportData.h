#pragma once
// What a text reader (Intel HEX, S-record) holds once its file is parsed, and the import operations
// the two share. The data bytes are kept in file order as runs of consecutive addresses, one byte per
// data byte plus one entry per run, so the state grows with the data, not with the span it covers.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "hexfile/LargeAllocator.h"
#include "hexfile/MemoryBuffer.h"
#include "hexfile/MorvaneImportApi.h"

namespace Io::Import {

struct TextImportData {
    explicit TextImportData(const char* className) : className(className) {}

    bool hasStartAddress = false;
    uint64_t startAddress = 0;
    uint64_t minAddress = 0;
    uint64_t dataLength = 0;
    uint64_t maxAddress = 0;

    // Room for the data bytes of a text of that many characters (two digits a byte at the most).
    void reserveFor(std::size_t textLength);
    // Stores count data bytes at address, address + 1, ... (repeats included).
    void storeData(uint64_t address, const uint8_t* bytes, std::size_t count);
    // Forgets every data byte; minAddress and maxAddress become 0.
    void discardData();
    // Refuses the file for one of its lines: forgets every data byte and prints "file: ", the file
    // name, " line: ", the line as it may be shown, and the reason.
    void refuseLine(const std::string& fileName, std::string_view line, std::string_view reason);
    bool hasData() const { return !runs.empty(); }
    // Sets dataLength from the bounds and gives back unused room; called once parsing is over.
    void finishParsing();

    Buffer::MemoryBuffer getMemory(uint64_t startAddress, uint64_t dataLength) const;
    std::deque<BlockStartLengthPair> getBlockList() const;
    void fillMemoryBuffer(Buffer::MemoryBuffer& buffer) const;

  private:
    struct Run {
        uint64_t address;
        uint64_t length;
    };

    // Sets the cells of the image inside [first, first + count) from the runs, later bytes winning.
    void writeRuns(Buffer::MemoryBuffer& image, uint64_t first, uint64_t count) const;
    void printInformation() const;

    const char* className;
    std::vector<uint8_t, LargeAllocator<uint8_t>> bytes;
    std::vector<Run> runs;
};

// The import operations of a text reader over its parsed state.
class TextImporter : public MorvaneImportApi {
  public:
    uint64_t getMinAddress() const override { return state.minAddress; }
    uint64_t getDataLength() const override { return state.dataLength; }
    Buffer::MemoryBuffer getWholeMemory() const override {
        return getMemory(getMinAddress(), getDataLength());
    }
    Buffer::MemoryBuffer getMemory(uint64_t startAddress, uint64_t dataLength) const override {
        return state.getMemory(startAddress, dataLength);
    }
    bool hasStartAddress() const override { return state.hasStartAddress; }
    uint64_t getStartAddress() const override { return state.startAddress; }
    std::deque<BlockStartLengthPair> getBlockList() const override { return state.getBlockList(); }
    void fillMemoryBuffer(Buffer::MemoryBuffer& buffer) const override { state.fillMemoryBuffer(buffer); }

  protected:
    // The class name goes into the messages of the operations.
    explicit TextImporter(const char* className) : state(className) {}

    TextImportData state;
};

// The line as it may be shown on the console: control characters appear as \xNN.
std::string printableLine(std::string_view line);

// Why a text reader refuses a line: it does not have the form of a record, or it does but its
// content is wrong.
inline constexpr std::string_view noRecordPattern =
    " did not match parsing pattern. Execution aboarded. The file was not parsed.";
inline constexpr std::string_view recordLogicalError =
    " contains logical error. Please check line for Crc or Address/Type conflicts. Execution aboarded. The "
    "file was not parsed.";

}  // namespace Io::Import
