#pragma once
// The input-file planner of the standard flash programs: reads a code, data or RAM-routine file through
// the format-detecting importer, lists its contiguous blocks, plans the code-flash erase by sectors and
// writes code and data through the ECU object. Also the two functions that save data read back from
// the ECU as Intel HEX or Motorola S-records.

#include <cstdint>
#include <deque>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "hexfile/MorvaneImportApi.h"

namespace Io::Import {
class GenericInFile;
}

class VOEcuGenBase;

// A file read as raw binary is flashed byte for byte from address 0, whatever it holds (a text file, an
// ELF file), so every write step names it on one line on warningOut, after lead, as soon as it is read
// and before anything is erased: "<file> read as raw binary: N bytes from 0x0". Nothing for a file read
// as records.
void noteRawBinary(const Io::Import::GenericInFile& file, const std::string& fileName, const char* lead);

class FlashFile {
  public:
    FlashFile();
    explicit FlashFile(const std::string& name);
    ~FlashFile();
    FlashFile(const FlashFile&) = delete;
    FlashFile& operator=(const FlashFile&) = delete;

    // Points the planner at another file; the parsed file and its blocks are dropped unless the name
    // is the current one.
    void setFileName(const std::string& name);
    const std::string& getFileName() const { return fileName; }
    // The name for messages: the whole name below 56 characters, else at most 55 characters of its
    // last path component.
    std::string displayName() const;

    // Parses the file and fetches its block list unless that was done already; a failure is printed
    // and leaves the planner ready to try again.
    void scanBlocks();

    // adjust: whether a block holds start; length becomes the rest of that block. Otherwise whether
    // one block holds the whole range [start, start + length); length is unchanged.
    bool containsRange(uint64_t start, uint64_t& length, bool adjust);
    // Trims a block to begin no earlier than windowStart; true when the block lies wholly outside the
    // window and is to be skipped. A block that starts inside the window keeps its end.
    static bool clipBlock(Io::Import::BlockStartLengthPair& block, uint64_t windowStart, uint64_t windowEnd);

    // The file's bytes of [start, start + length) into out (0x00 where the file has no data); with
    // length 0 the whole file, start and length then give its first address and size.
    bool readRange(std::vector<uint8_t>& out, uint64_t& start, uint64_t& length);
    bool readRange(std::vector<uint8_t>& out, Io::Import::BlockStartLengthPair& block);
    // readRange on the named file, switching to it first.
    bool readFromFile(const std::string& name, std::vector<uint8_t>& out, uint64_t& start, uint64_t& length);

    // Writes every block that starts inside [windowStart, windowEnd) to code flash, trimmed at
    // windowStart, as the whole pages it touches (pages of pageSize, or of 256 bytes where a page is
    // larger than the packet); with erase, first erases the sectors those pages lie in, in merged
    // runs. Every write is checked before anything is erased or written.
    bool writeCode(uint64_t windowStart, uint64_t windowEnd, VOEcuGenBase& ecu, bool erase,
                   uint32_t packetLength, uint32_t pageSize);
    // Writes the file's bytes of [start, start + length) (with limitToLength; else of the rest of
    // the file block that holds start) as the whole 256-byte pages they touch, packetLength / 256
    // pages per request; start must lie in a file block. One block goes out in one code write with
    // its own erase; blocks with gaps between them as writeCode writes them. windowEnd and pageSize
    // are not used.
    bool writeCodeRange(uint64_t start, uint64_t windowEnd, uint64_t length, bool limitToLength,
                        VOEcuGenBase& ecu, bool erase, uint32_t packetLength, uint32_t pageSize);
    // Writes the file's bytes of [start, start + length) (with limitToLength; else of the rest of
    // the file block that holds start) to data flash, one request per page of pageSize bytes from
    // start, each cut to the file bytes it holds; the data-flash erase units of the class that hold
    // none are left alone. Pages that are not whole units, or a start inside a unit, are refused
    // before any page is written. packetLength is not used.
    bool writeDataRange(uint64_t start, uint64_t length, bool limitToLength, VOEcuGenBase& ecu,
                        uint32_t packetLength, uint32_t pageSize);

  private:
    // The file blocks that reach into [start, end), cut to it.
    std::vector<Io::Import::BlockStartLengthPair> blocksWithin(uint64_t start, uint64_t end) const;
    // Creates the importer unless there is one; false (the failure printed) when the file cannot be
    // read.
    bool ensureImporter();
    // Drops the importer and the blocks.
    void forget();
    // What a range writer checks and says before it writes: the size that must not be 0 (named
    // sizeName), the stream for the refusals of the range, and their lines for a start outside the
    // file and for a length of 0.
    struct RangeOpening {
        const char* sizeName;
        uint64_t size;
        std::ostream& report;
        const char* notInFile;
        const char* lengthZero;
    };
    // The range writers' opening: the size must not be 0 and start must lie in a file block. The file
    // blocks of [start, start + length) with limitToLength, else of the rest of the block that holds
    // start, cut to it; nothing, with the refusal printed, when there is nothing to write.
    std::optional<std::vector<Io::Import::BlockStartLengthPair>> openRange(uint64_t start, uint64_t length,
                                                                           bool limitToLength,
                                                                           const RangeOpening& opening);

    std::unique_ptr<Io::Import::MorvaneImportApi> importer;
    std::string fileName;
    std::deque<Io::Import::BlockStartLengthPair> blocks;
};

// A page size, page count or packet length must not be 0: false, with lead, "Invalid ", what and ": 0"
// on errorOut.
bool checkNotZero(const char* what, uint64_t value, const char* lead);

// Writes data (first byte at baseAddress) as Motorola S-records when the file name's extension is
// S19 in any case, else as Intel HEX. True when the file was written.
bool saveDataFile(const std::string& fileName, const std::vector<uint8_t>& data, uint64_t baseAddress);
// format 1: Motorola S-records; any other value: Intel HEX. True when the file was written.
bool writeDataFile(const std::string& fileName, uint32_t format, const std::vector<uint8_t>& data,
                   uint64_t baseAddress);
