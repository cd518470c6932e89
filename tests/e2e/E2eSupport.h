#pragma once
// End-to-end runs as a user makes them: the real voflash executable against ecu-sim on a virtual bus
// of the test's own. An E2eEnv holds a scratch folder with the XL driver configuration (the tool's
// channels and the simulator's channel), the bus folder and a lock-name prefix of its own; SimProcess
// starts ecu-sim in it and waits for its ready line; runVoflash runs the tool with standard input
// from /dev/null (or a given text) and captures its output and exit code.
//
// The image helpers write Intel HEX and S-record files and read them back into byte maps with code
// of their own, so a fault of the tool's hex-file library cannot hide itself in the comparison.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/scratch_dir.h"

namespace e2e {

using Bytes = std::vector<uint8_t>;
// Address -> byte.
using ByteMap = std::map<uint64_t, uint8_t>;

// Paths of the executables under test (from the build).
const char* voflashPath();
const char* ecuSimPath();

struct Block {
    uint64_t address;
    Bytes bytes;
};

// n pseudo-random bytes from seed (never all 0xFF, so a written block differs from erased flash).
Bytes patternBytes(size_t n, uint32_t seed);

// The RAM routine's CRC: reflected CRC-32, initial value and final inversion 0xFFFFFFFF.
uint32_t crc32(const Bytes& bytes);

// File texts of blocks: Intel HEX with extended linear address records, 16 bytes per record;
// Motorola S-records with S3 records, 32 bytes per record.
std::string intelHexText(const std::vector<Block>& blocks);
std::string srecordText(const std::vector<Block>& blocks);
// Reads either format (detected by its first character); nullopt for a malformed file.
std::optional<ByteMap> readImageText(const std::string& text);

struct RunResult {
    int exitCode = -1;  // -1: killed after its time limit
    std::string out;
    std::string err;
    double seconds = 0;
};

struct BusLayout {
    // Detected tool channels "VN1640 Channel 1" ... (hardware type 59), CAN and LIN.
    int toolChannels = 1;
    // The tool channel (from 1) that shares its bus with the simulator; the others have buses
    // of their own with nobody on them.
    int simOnToolChannel = 1;
    // false: no tool channel at all in the driver's list (the simulator's alone).
    bool withToolHardware = true;
};

class E2eEnv {
  public:
    explicit E2eEnv(BusLayout layout = {});
    ~E2eEnv();
    E2eEnv(const E2eEnv&) = delete;
    E2eEnv& operator=(const E2eEnv&) = delete;

    const std::string& dir() const { return dir_.path(); }
    std::string path(const std::string& name) const { return dir_.path(name); }
    // Writes a file in the scratch folder and gives its path.
    std::string write(const std::string& name, const std::string& text) const;
    std::optional<std::string> read(const std::string& name) const;
    bool exists(const std::string& name) const;

    // The simulator's index in the driver's channel list.
    int simChannel() const { return simChannel_; }
    // Extra environment for the children (NAME=value), after the env's own.
    void setEnv(const std::string& name, const std::string& value);
    std::vector<std::string> environment() const;

    // Runs voflash with args (argv[0] added) and standard input from stdinText, or /dev/null.
    RunResult runVoflash(const std::vector<std::string>& args, int timeoutMs = 120000,
                         const std::optional<std::string>& stdinText = std::nullopt) const;
    // The same through the command of prefix (a program and its arguments, voflash's path after them).
    RunResult runVoflashThrough(const std::vector<std::string>& prefix,
                                const std::vector<std::string>& args) const;

  private:
    RunResult runCommand(const std::vector<std::string>& argv, int timeoutMs,
                         const std::optional<std::string>& stdinText) const;

    testing_support::ScratchDir dir_;
    std::string lockPrefix_;
    int simChannel_ = 0;
    std::vector<std::pair<std::string, std::string>> extraEnv_;
};

// ecu-sim on the env's simulator channel; --channel is added. The destructor stops it.
class SimProcess {
  public:
    SimProcess(const E2eEnv& env, const std::vector<std::string>& args, const std::string& name = "sim");
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // The ready line came within the start time limit.
    bool ready() const { return ready_; }
    // SIGTERM and wait; the exit code (-1 when it had to be killed or was not running).
    int stop();
    // SIGKILL, as a crash ends it, and wait.
    void crash();
    // What the simulator printed so far (stdout and stderr).
    std::string output() const;

  private:
    const E2eEnv& env_;
    std::string outPath_;
    int pid_ = -1;
    bool ready_ = false;
    int exitCode_ = -1;
};

// Runs a process with the environment given (added to this process's own) and standard input from
// stdinPath; output into outPath and errPath. Gives the exit code, -1 when killed at timeoutMs.
int runProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
               const std::string& stdinPath, const std::string& outPath, const std::string& errPath,
               int timeoutMs);

// A file of the env's scratch folder read as an image; a file that is missing or malformed fails the
// test and gives an empty map.
ByteMap readImageFile(const E2eEnv& env, const std::string& name);

// A run's exit code and output, for failure messages.
std::string describe(const RunResult& r);

// The bytes of map over [start, start + length), with fill where the map has none.
Bytes bytesOf(const ByteMap& map, uint64_t start, uint64_t length, uint8_t fill = 0xFF);

}  // namespace e2e
