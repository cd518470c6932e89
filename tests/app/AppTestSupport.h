#pragma once
// What the front-end tests share: a scratch folder for input and output files, hex files made from
// address/byte runs, command lines for the programs' readers, checks of the channel records the
// factories build, and ECU objects whose code, data and raw-command services are recorded instead of
// sent.

#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "comm/ComParams.h"
#include "ecu/VOCyt2Gen.h"
#include "ecu/VOKesGen.h"
#include "tests/ecu/EcuTestSupport.h"
#include "tests/support/scratch_dir.h"

namespace apptest {

using ecutest::Bytes;
using testing_support::ScratchDir;

struct FileRun {
    uint64_t address;
    Bytes bytes;
};

// An Intel HEX file holding the runs in the order given; returns the path.
std::string writeHexFile(const ScratchDir& dir, const std::string& name, const std::vector<FileRun>& runs);

// A command line as a program gets it: "voflash", then the arguments; argv()[argc()] is null.
class CommandLine {
  public:
    explicit CommandLine(std::vector<std::string> args);
    CommandLine(const CommandLine&) = delete;
    CommandLine& operator=(const CommandLine&) = delete;

    int argc() const { return static_cast<int>(words.size()); }
    char** argv() { return pointers.data(); }

  private:
    std::vector<std::string> words;
    std::vector<char*> pointers;
};

// A Vector CAN record as the factories build it, notification level 32 and no CAN FD.
struct CanRecordFields {
    uint32_t hwType;
    uint32_t hwIndex;
    uint32_t channel;
    uint32_t bitrate;
    uint32_t rxQueueLimit;
};
void expectCanRecord(const ComParams* record, const CanRecordFields& expected);
// A serial record as the factories build it: time-outs of 200 ms (first byte), 100 ms (between bytes)
// and 5000 ms (receive), no delay between bytes.
void expectSerialRecord(const ComParams* record, uint32_t port, uint32_t baud);

struct CodeCall {
    uint64_t start;
    uint64_t length;
    bool erase;
    uint32_t pages;
    uint32_t pageSize;
    Bytes data;
};

struct DataCall {
    uint64_t address;
    uint64_t length;
    uint32_t pages;
    uint32_t pageSize;
    Bytes data;
};

// An ECU object of class Base with its real block map and block numbers, whose erase, code write,
// data write and raw commands are recorded (and fail on demand) instead of sent.
template <typename Base>
class Recording : public Base {
  public:
    Recording(Communication* comm, uint8_t frameAddress) : Base(comm, frameAddress) {}

    bool EraseCodeBlocks(uint8_t first, uint8_t last) override {
        erases.emplace_back(first, last);
        return !failErase.contains(erases.size() - 1);
    }
    bool FlashCode(const std::vector<uint8_t>& data, uint64_t start, uint64_t length, bool erase, int*,
                   uint32_t pages, uint32_t pageSize) const override {
        codeWrites.push_back({start, length, erase, pages, pageSize, data});
        return !failCode.contains(codeWrites.size() - 1);
    }
    bool FlashData(const std::vector<uint8_t>& data, uint64_t address, uint64_t length, int*, uint32_t pages,
                   uint32_t pageSize) override {
        dataWrites.push_back({address, length, pages, pageSize, data});
        return !failData.contains(dataWrites.size() - 1);
    }
    bool SendCommand(const std::vector<uint8_t>& request) override {
        commands.push_back(request);
        return !failCommand.contains(commands.size() - 1);
    }

    // The index-th call (from 0) of that kind fails.
    std::set<size_t> failErase, failCode, failData, failCommand;

    std::vector<std::pair<uint8_t, uint8_t>> erases;
    mutable std::vector<CodeCall> codeWrites;
    std::vector<DataCall> dataWrites;
    std::vector<Bytes> commands;
};

// The CYT2 map: blocks 0-61 of 32 KiB from 0x10000000, 62-77 of 8 KiB up to 0x1020FFFF.
using RecordingEcu = Recording<VOCyt2Gen>;
// The map of the other standard classes: a lower area from 0 numbered 0-133, an upper area from
// 0x1000000 numbered from 0x80.
using RecordingKesEcu = Recording<VOKesGen>;

}  // namespace apptest
