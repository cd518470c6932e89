#include "tests/e2e/E2eSupport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/shared_names.h"

extern char** environ;

namespace e2e {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSimReadyMs = 15000;
constexpr int kSimStopMs = 10000;

std::string hexByte(unsigned value) {
    char text[3];
    std::snprintf(text, sizeof text, "%02X", value & 0xFF);
    return text;
}

// The bytes of one record line after its start character; nullopt for a bad digit.
std::optional<Bytes> recordBytes(const std::string& line) {
    Bytes bytes;
    if (line.size() % 2 != 0) {
        return std::nullopt;
    }
    for (size_t i = 0; i + 1 < line.size(); i += 2) {
        unsigned value = 0;
        if (std::sscanf(line.substr(i, 2).c_str(), "%2x", &value) != 1 ||
            !std::isxdigit(static_cast<unsigned char>(line[i])) ||
            !std::isxdigit(static_cast<unsigned char>(line[i + 1]))) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<uint8_t>(value));
    }
    return bytes;
}

// The next line that is not empty, without its carriage return; false at the end.
bool nextRecordLine(std::istream& in, std::string& line) {
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (!line.empty()) {
            return true;
        }
    }
    return false;
}

std::optional<ByteMap> readIntelHex(std::istream& in) {
    ByteMap map;
    uint64_t base = 0;
    std::string line;
    while (nextRecordLine(in, line)) {
        if (line[0] != ':') {
            return std::nullopt;
        }
        const auto bytes = recordBytes(line.substr(1));
        if (!bytes || bytes->size() < 5 || bytes->size() != 5u + (*bytes)[0]) {
            return std::nullopt;
        }
        uint8_t sum = 0;
        for (uint8_t b : *bytes) {
            sum = static_cast<uint8_t>(sum + b);
        }
        if (sum != 0) {
            return std::nullopt;
        }
        const uint8_t count = (*bytes)[0];
        const uint32_t offset = static_cast<uint32_t>((*bytes)[1] << 8 | (*bytes)[2]);
        const uint8_t type = (*bytes)[3];
        const uint8_t* data = bytes->data() + 4;
        if (type == 0) {
            for (uint8_t i = 0; i < count; ++i) {
                map[base + offset + i] = data[i];
            }
        } else if (type == 1) {
            break;
        } else if (type == 2 && count == 2) {
            base = static_cast<uint64_t>(data[0] << 8 | data[1]) << 4;
        } else if (type == 4 && count == 2) {
            base = static_cast<uint64_t>(data[0] << 8 | data[1]) << 16;
        }
    }
    return map;
}

std::optional<ByteMap> readSrecord(std::istream& in) {
    ByteMap map;
    std::string line;
    while (nextRecordLine(in, line)) {
        if (line.size() < 4 || line[0] != 'S') {
            return std::nullopt;
        }
        const char type = line[1];
        const auto bytes = recordBytes(line.substr(2));
        if (!bytes || bytes->empty() || bytes->size() != 1u + (*bytes)[0]) {
            return std::nullopt;
        }
        unsigned sum = 0;
        for (uint8_t b : *bytes) {
            sum += b;
        }
        if ((sum & 0xFF) != 0xFF) {
            return std::nullopt;
        }
        const int addressBytes = type == '1' ? 2 : type == '2' ? 3 : type == '3' ? 4 : 0;
        if (addressBytes == 0) {
            continue;
        }
        if (bytes->size() < 2u + addressBytes) {
            return std::nullopt;
        }
        uint64_t address = 0;
        for (int i = 0; i < addressBytes; ++i) {
            address = address << 8 | (*bytes)[1 + i];
        }
        for (size_t i = 1 + addressBytes; i + 1 < bytes->size(); ++i) {
            map[address++] = (*bytes)[i];
        }
    }
    return map;
}

std::string busConfig(const BusLayout& layout, int* simIndex) {
    std::ostringstream text;
    int index = 0;
    if (layout.withToolHardware) {
        for (int i = 1; i <= layout.toolChannels; ++i, ++index) {
            text << "VN1640 Channel " << i << ", 59, 0, " << (i - 1) << ", CAN+LIN, 40001, "
                 << (i == layout.simOnToolChannel ? "ecu" : "idle" + std::to_string(i)) << "\n";
        }
    }
    text << "ECU sim, 1, 0, 0, CAN+LIN, 1, ecu\n";
    *simIndex = index;
    return text.str();
}

std::vector<std::string> mergedEnvironment(const std::vector<std::string>& extra) {
    std::vector<std::string> merged;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const std::string& x : extra) {
            if (x.compare(0, name.size() + 1, name + "=") == 0) {
                replaced = true;
            }
        }
        if (!replaced) {
            merged.push_back(entry);
        }
    }
    merged.insert(merged.end(), extra.begin(), extra.end());
    return merged;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> out;
    for (std::string& t : texts) {
        out.push_back(t.data());
    }
    out.push_back(nullptr);
    return out;
}

int spawn(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
          const std::string& stdinPath, const std::string& outPath, const std::string& errPath) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, stdinPath.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (errPath == outPath) {
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
    } else {
        posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    std::vector<std::string> args = argv;
    std::vector<std::string> env = mergedEnvironment(environment);
    std::vector<char*> argp = pointers(args);
    std::vector<char*> envp = pointers(env);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, args[0].c_str(), &actions, nullptr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

// The exit code, or -1 after killing the process at the deadline (or when it died of a signal).
int waitFor(int pid, int timeoutMs) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (r < 0) {
            return -1;
        }
        if (Clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

const char* voflashPath() {
    return VOFLASH_EXE;
}

const char* ecuSimPath() {
    return ECU_SIM_EXE;
}

uint32_t crc32(const Bytes& bytes) {
    uint32_t crc = 0xFFFFFFFF;
    for (uint8_t b : bytes) {
        crc ^= b;
        for (int i = 0; i < 8; ++i) {
            crc = (crc >> 1) ^ ((crc & 1) != 0 ? 0xEDB88320u : 0u);
        }
    }
    return ~crc;
}

Bytes patternBytes(size_t n, uint32_t seed) {
    Bytes bytes(n);
    uint32_t x = seed * 2654435761u + 12345u;
    for (size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        bytes[i] = static_cast<uint8_t>(x % 0xFF);  // never 0xFF
    }
    return bytes;
}

std::string intelHexText(const std::vector<Block>& blocks) {
    std::string text;
    auto record = [&](uint8_t type, uint16_t offset, const uint8_t* data, size_t count) {
        unsigned sum = static_cast<unsigned>(count) + (offset >> 8) + (offset & 0xFF) + type;
        text += ":" + hexByte(static_cast<unsigned>(count)) + hexByte(offset >> 8) + hexByte(offset) +
                hexByte(type);
        for (size_t i = 0; i < count; ++i) {
            text += hexByte(data[i]);
            sum += data[i];
        }
        text += hexByte(0x100 - (sum & 0xFF)) + "\n";
    };
    int64_t upper = -1;
    for (const Block& block : blocks) {
        for (size_t i = 0; i < block.bytes.size();) {
            const uint64_t address = block.address + i;
            if (static_cast<int64_t>(address >> 16) != upper) {
                upper = static_cast<int64_t>(address >> 16);
                const uint8_t high[2] = {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)};
                record(4, 0, high, 2);
            }
            const size_t toBoundary = 0x10000 - (address & 0xFFFF);
            const size_t count = std::min({size_t{16}, block.bytes.size() - i, toBoundary});
            record(0, static_cast<uint16_t>(address & 0xFFFF), block.bytes.data() + i, count);
            i += count;
        }
    }
    record(1, 0, nullptr, 0);
    return text;
}

std::string srecordText(const std::vector<Block>& blocks) {
    std::string text;
    auto record = [&](char type, uint32_t address, const uint8_t* data, size_t count, int addressBytes) {
        const size_t length = count + addressBytes + 1;
        unsigned sum = static_cast<unsigned>(length);
        text += std::string("S") + type + hexByte(static_cast<unsigned>(length));
        for (int i = addressBytes - 1; i >= 0; --i) {
            const unsigned b = (address >> (8 * i)) & 0xFF;
            text += hexByte(b);
            sum += b;
        }
        for (size_t i = 0; i < count; ++i) {
            text += hexByte(data[i]);
            sum += data[i];
        }
        text += hexByte(~sum & 0xFF) + "\n";
    };
    const uint8_t header[] = {'e', '2', 'e'};
    record('0', 0, header, sizeof header, 2);
    for (const Block& block : blocks) {
        for (size_t i = 0; i < block.bytes.size(); i += 32) {
            const size_t count = std::min<size_t>(32, block.bytes.size() - i);
            record('3', static_cast<uint32_t>(block.address + i), block.bytes.data() + i, count, 4);
        }
    }
    record('7', 0, nullptr, 0, 4);
    return text;
}

std::optional<ByteMap> readImageText(const std::string& text) {
    std::istringstream in(text);
    if (!text.empty() && text[0] == ':') {
        return readIntelHex(in);
    }
    if (!text.empty() && text[0] == 'S') {
        return readSrecord(in);
    }
    return std::nullopt;
}

ByteMap readImageFile(const E2eEnv& env, const std::string& name) {
    const auto text = env.read(name);
    EXPECT_TRUE(text.has_value()) << name << " not written";
    const auto map = readImageText(text.value_or(""));
    EXPECT_TRUE(map.has_value()) << name << " malformed";
    return map.value_or(ByteMap{});
}

std::string describe(const RunResult& r) {
    return "exit " + std::to_string(r.exitCode) + "\n--- stdout\n" + r.out + "\n--- stderr\n" + r.err;
}

Bytes bytesOf(const ByteMap& map, uint64_t start, uint64_t length, uint8_t fill) {
    Bytes out(length, fill);
    for (auto it = map.lower_bound(start); it != map.end() && it->first < start + length; ++it) {
        out[it->first - start] = it->second;
    }
    return out;
}

int runProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
               const std::string& stdinPath, const std::string& outPath, const std::string& errPath,
               int timeoutMs) {
    const int pid = spawn(argv, environment, stdinPath, outPath, errPath);
    if (pid < 0) {
        return -1;
    }
    return waitFor(pid, timeoutMs);
}

// ---- E2eEnv

E2eEnv::E2eEnv(BusLayout layout) {
    static std::atomic<int> counter{0};
    lockPrefix_ = "e2e" + std::to_string(getpid()) + "n" + std::to_string(counter++);
    write("xl.cfg", busConfig(layout, &simChannel_));
    std::filesystem::create_directories(path("bus"));
}

E2eEnv::~E2eEnv() {
    // The env's processes have ended: each run is waited for, and a SimProcess does not outlive it.
    testing_support::removeSegmentsOfPrefix(lockPrefix_);
    if (std::getenv("VOFLASH_E2E_KEEP") != nullptr) {
        dir_.keep();
    }
}

std::string E2eEnv::write(const std::string& name, const std::string& text) const {
    return dir_.writeText(name, text);
}

std::optional<std::string> E2eEnv::read(const std::string& name) const {
    if (!exists(name)) {
        return std::nullopt;
    }
    return fileText(path(name));
}

bool E2eEnv::exists(const std::string& name) const {
    return std::filesystem::exists(path(name));
}

void E2eEnv::setEnv(const std::string& name, const std::string& value) {
    extraEnv_.emplace_back(name, value);
}

std::vector<std::string> E2eEnv::environment() const {
    std::vector<std::string> env = {
        "VOFLASH_XL_CONFIG=" + path("xl.cfg"),
        "VOFLASH_BUS_DIR=" + path("bus"),
        "VOFLASH_MUTEX_PREFIX=" + lockPrefix_,
        "TERM=dumb",
    };
    for (const auto& [name, value] : extraEnv_) {
        env.push_back(name + "=" + value);
    }
    return env;
}

RunResult E2eEnv::runVoflashThrough(const std::vector<std::string>& prefix,
                                    const std::vector<std::string>& args) const {
    std::vector<std::string> all = prefix;
    all.push_back(voflashPath());
    all.insert(all.end(), args.begin(), args.end());
    return runCommand(all, 120000, std::nullopt);
}

RunResult E2eEnv::runVoflash(const std::vector<std::string>& args, int timeoutMs,
                             const std::optional<std::string>& stdinText) const {
    std::vector<std::string> argv = {voflashPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    return runCommand(argv, timeoutMs, stdinText);
}

RunResult E2eEnv::runCommand(const std::vector<std::string>& argv, int timeoutMs,
                             const std::optional<std::string>& stdinText) const {
    static std::atomic<int> runs{0};
    const std::string tag = "run" + std::to_string(runs++);
    const std::string in = stdinText ? write(tag + ".in", *stdinText) : "/dev/null";
    const std::string out = path(tag + ".out");
    const std::string err = path(tag + ".err");
    RunResult result;
    const Clock::time_point started = Clock::now();
    result.exitCode = runProcess(argv, environment(), in, out, err, timeoutMs);
    result.seconds = std::chrono::duration<double>(Clock::now() - started).count();
    result.out = fileText(out);
    result.err = fileText(err);
    return result;
}

// ---- SimProcess

SimProcess::SimProcess(const E2eEnv& env, const std::vector<std::string>& args, const std::string& name)
    : env_(env), outPath_(env.path(name + ".log")) {
    // The env's simulator channel unless the caller names one (a second node on the same bus).
    std::vector<std::string> argv = {ecuSimPath()};
    if (std::find(args.begin(), args.end(), "--channel") == args.end()) {
        argv.insert(argv.end(), {"--channel", std::to_string(env.simChannel())});
    }
    argv.insert(argv.end(), args.begin(), args.end());
    pid_ = spawn(argv, env.environment(), "/dev/null", outPath_, outPath_);
    if (pid_ < 0) {
        return;
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kSimReadyMs);
    while (Clock::now() < deadline) {
        if (output().find("ecu-sim: ready") != std::string::npos) {
            ready_ = true;
            return;
        }
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

SimProcess::~SimProcess() {
    stop();
}

int SimProcess::stop() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        exitCode_ = waitFor(pid_, kSimStopMs);
        pid_ = -1;
    }
    return exitCode_;
}

void SimProcess::crash() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        waitFor(pid_, kSimStopMs);
        pid_ = -1;
        exitCode_ = -1;
    }
}

std::string SimProcess::output() const {
    return fileText(outPath_);
}

}  // namespace e2e
