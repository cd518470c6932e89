#pragma once
// What the KES2 and DRO tests share: data patterns, command lines parsed into a fresh option map, and
// a VODroGen whose reads, writes and raw commands are recorded instead of sent.

#include <boost/program_options.hpp>
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/kes2dro/DroProgram.h"
#include "app/kes2dro/Kes2DroOptions.h"
#include "app/kes2dro/Kes2Program.h"
#include "ecu/VODroGen.h"
#include "tests/app/AppTestSupport.h"
#include "tests/ecu/EcuTestSupport.h"
#include "tests/support/scripted_channel.h"
#include "tests/support/shared_names.h"

namespace kes2dro_test {

using Bytes = std::vector<uint8_t>;

// n bytes of a pattern that differs from address to address and from seed to seed, never 0xFF.
inline Bytes pattern(size_t n, uint8_t seed = 0) {
    Bytes bytes(n);
    for (size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<uint8_t>((i * 7 + (i >> 8) + seed) % 0xFF);
    }
    return bytes;
}

// The arguments after the program path, read by the table's option reader into a map of their own.
inline boost::program_options::variables_map parseOptions(Kes2DroTable table, std::vector<std::string> args) {
    boost::program_options::options_description description("Options", 80, 40);
    boost::program_options::variables_map map;
    apptest::CommandLine line(std::move(args));
    readKes2DroOptions(table, line.argc(), line.argv(), description, map);
    return map;
}

struct ReadCall {
    bool codeFlash;
    uint64_t address;
    uint64_t length;
    uint32_t pages;
};

// Built before the ECU object that uses it.
struct ChannelHolder {
    testing_support::ScriptedChannel channel;
};

struct UploadCall {
    uint64_t address;
    uint64_t length;
    uint64_t chunk;

    bool operator==(const UploadCall&) const = default;
};

// Reads answer from the flash contents given (0xFF where none is given), and fail on demand; RAM
// downloads and starts are recorded.
class RecordingDro : private ChannelHolder, public apptest::Recording<VODroGen> {
  public:
    RecordingDro() : Recording(&channel, 'C') {}

    bool ReadCode(std::vector<uint8_t>& out, uint64_t address, uint64_t length, int*,
                  uint32_t pages) override {
        return record(true, out, address, length, pages);
    }
    bool ReadData(std::vector<uint8_t>& out, uint64_t address, uint64_t length, int*,
                  uint32_t pages) override {
        return record(false, out, address, length, pages);
    }
    void ShowProgress(uint32_t, bool) override {}
    bool UploadApplRam(const std::vector<uint8_t>&, uint64_t address, uint64_t length,
                       uint64_t chunk) override {
        uploads.push_back({address, length, chunk});
        return !failUpload;
    }
    bool StartApplRam(uint32_t address) override {
        starts.push_back(address);
        return true;
    }

    // Code-flash bytes by address.
    std::map<uint64_t, uint8_t> code;
    bool failReads = false;
    std::vector<ReadCall> reads;
    bool failUpload = false;
    std::vector<UploadCall> uploads;
    std::vector<uint32_t> starts;

  private:
    bool record(bool codeFlash, std::vector<uint8_t>& out, uint64_t address, uint64_t length,
                uint32_t pages) {
        reads.push_back({codeFlash, address, length, pages});
        if (failReads) {
            return false;
        }
        for (uint64_t i = 0; i < length; ++i) {
            const auto byte = code.find(address + i);
            out[i] = codeFlash && byte != code.end() ? byte->second : 0xFF;
        }
        return true;
    }
};

// The file steps of a program's command line on a recording ECU object, and what they printed.
struct Steps {
    RecordingDro ecu;
    std::string normal;
    std::string error;
    std::string warning;

    void run(Kes2DroTable table, const std::vector<std::string>& args) {
        const auto map = parseOptions(table, args);
        const uint64_t packetLength =
            map.count("pktlen") != 0 ? readDecOption<uint64_t>(map, "pktlen") : uint64_t{512};
        testing_support::CoutCapture cout;
        ecutest::StreamCapture out;
        StepScreen screen;
        if (table == Kes2DroTable::kes2) {
            runKes2FileSteps(ecu, map, packetLength, screen);
        } else {
            runDroFileSteps(ecu, map, packetLength, screen);
        }
        normal = out.normal();
        error = out.error();
        warning = out.warning();
    }
};

}  // namespace kes2dro_test
