#pragma once
// What the KES2 and DRO programs read their files with, the read-back into a file, their command-file
// runner and their fixed channel factory (no detection, no menu, no LIN).
//
// The file routines read any input file the generic importer recognises, once (a pipe too), and name a
// file read as raw binary on one line. With a length of 0 they take the file's whole range from its
// lowest address; otherwise exactly [*startAddress, *startAddress + *length), which the importer
// refuses (printing why, and giving an empty image at 0) when the file begins above *startAddress.
// *startAddress comes back as the image's start.

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/ComInterfaceSelector.h"
#include "hexfile/MemoryBuffer.h"
#include "hexfile/MorvaneImportApi.h"

class ComParams;
class Communication;
class VODroGen;

// The bytes of a file that lie outside the range a file routine read: how many, and the lowest and
// highest address among them (count 0: none).
struct LeftOutBytes {
    uint64_t count = 0;
    uint64_t first = 0;
    uint64_t last = 0;
};

// What loadHexFile tells besides the image's bytes.
struct ImageCoverage {
    // Per image byte: whether the file holds it.
    std::vector<bool> held;
    // The length of the image up to and including the last byte the file holds (0 when it holds none).
    uint64_t dataLength = 0;
    // The file's bytes outside the range read (none when the whole file was read, or when the
    // importer refused the range).
    LeftOutBytes leftOut;
    // The file's own blocks, whatever range was read.
    std::deque<Io::Import::BlockStartLengthPair> fileBlocks;
};

// What a step can hold of a file it reads whole, asked with the file's lowest address and the length
// of its span (lowest to highest address) before any image of the file is built: false, after the
// step's own message, refuses the file. An image of a file is never larger than its step needs.
using SpanCheck = std::function<bool(uint64_t lowest, uint64_t span)>;

// One byte per address of the image, the fill value where the file has none. Shows "...Parsing: " and
// the name's last 34 characters while it reads and wipes them afterwards; a file error is printed after
// the name, which then stays, with its line ended, and the result is false. With a length of 0 a span
// that fits refuses is a false result too.
bool loadHexFile(const std::string& fileName, std::vector<uint8_t>* image, uint64_t* startAddress,
                 const uint64_t* length, ImageCoverage* coverage = nullptr, const SpanCheck& fits = {});

// The image's cells, set where the file has data; false after a printed file error (on its own line),
// which leaves *cells as it was. leftOut, when given, gets the file's bytes outside the range read.
bool loadDataCells(const std::string& fileName, uint64_t* startAddress, const uint64_t* length,
                   std::vector<Buffer::MemoryBufferElement>* cells, LeftOutBytes* leftOut = nullptr);

// One line on warningOut that names the bytes a write leaves out because they lie outside area,
// [start, start + length); nothing when there are none.
void reportLeftOut(const LeftOutBytes& leftOut, const char* area, uint64_t start, uint64_t length);

// A write step with nothing of its file to write says so on one line, after the progress bar is
// closed: "Nothing tbd!(File len: 0x", the file's length in hexadecimal, ")".
void reportNothingToWrite(VODroGen& ecu, uint64_t fileLength);

// Whether every cell of the image is set (true for an empty image); false after a printed file error.
bool isCompleteImage(const std::string& fileName, uint64_t* startAddress, const uint64_t* length);

// The next run of set cells at or after *index into *run (empty when none is left); *index ends just
// past the run, so the run begins at cell *index - run->size().
void nextSetRun(const std::vector<Buffer::MemoryBufferElement>& cells, uint64_t* index,
                std::vector<uint8_t>* run);

// Code- or data-flash bytes [address, address + length) read in packets of packetLength and, when the
// whole range came, written to fileName as Intel HEX with its first byte at baseAddress. A file that
// could not be written is named on one line on errorOut, after the writer's reason; false then, and
// when the read failed.
bool readFlashToFile(VODroGen& ecu, bool codeFlash, uint64_t address, uint64_t length, uint64_t packetLength,
                     const std::string& fileName, uint64_t baseAddress);

// Parses the whole command file, then sends each section's request once, in file order, through the
// raw-command service. A section without bytes is skipped. A section line of just "Name" has no label
// and throws std::out_of_range before anything is sent.
void runCommandFile(std::string fileName, VODroGen& device);

// Interface types 1 and 2 (serial port) and 3 to 11 (Vector CAN on channel port - 1, with the KES2 and
// DRO receive-queue limit); null for any other type.
std::unique_ptr<ComParams> createComParamsForType(enumInterfaceType interfaceType, uint32_t port,
                                                  uint32_t baud, uint32_t hwIndex);
std::unique_ptr<Communication> createCommunicationForType(enumInterfaceType interfaceType, uint32_t rxId,
                                                          const ComParams* params);
