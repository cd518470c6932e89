// Reads and writes a 16 MiB image (random data at 0x10000000) as Intel HEX with 16-byte records and as
// S-records with 32-byte S3 records, each phase in a process of its own so that its peak memory can be
// told, and runs srec_cat on the same files for comparison when it is installed.
//
//   hexfile_bench [directory]   (default: a new directory under /tmp, removed at the end)

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "hexfile/GenericInFile.h"
#include "hexfile/IntelHexOutFile.h"
#include "hexfile/MotorolaS_OutFile.h"

extern char** environ;

namespace {

constexpr uint64_t dataStart = 0x10000000;
constexpr std::size_t dataSize = 16u << 20;
constexpr double mebibyte = 1024.0 * 1024.0;

// The data bytes one after the other, always the same.
class RandomData {
  public:
    uint8_t next() {
        if (used == 8) {
            value = generator();
            used = 0;
        }
        return static_cast<uint8_t>(value >> (8 * used++));
    }

  private:
    std::mt19937_64 generator{42};
    uint64_t value = 0;
    unsigned used = 8;
};

std::vector<uint8_t> randomData() {
    RandomData data;
    std::vector<uint8_t> bytes(dataSize);
    for (uint8_t& byte : bytes) {
        byte = data.next();
    }
    return bytes;
}

Buffer::MemoryBuffer imageOfData() {
    RandomData data;
    Buffer::MemoryBuffer image(dataStart, dataSize);
    // One pass with a pattern as long as the image would double the memory; the cells are set in
    // pieces instead.
    std::vector<Buffer::MemoryBufferElement> piece;
    constexpr std::size_t pieceSize = 1 << 16;
    for (std::size_t i = 0; i < dataSize; i += pieceSize) {
        piece.clear();
        for (std::size_t k = 0; k < pieceSize; ++k) {
            piece.emplace_back(data.next());
        }
        image.fillMemory(piece, dataStart + i);
    }
    return image;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The child phases print the seconds of their timed part on standard output.
int writePhase(const std::string& file, bool intelHex) {
    const Buffer::MemoryBuffer image = imageOfData();
    const auto start = std::chrono::steady_clock::now();
    if (intelHex) {
        Io::Export::IntelHexOutFile writer(file.c_str(), {false, 16});
        writer.insertMemoryBuffer(image);
        writer.writeFile();
    } else {
        Io::Export::MotorolaS_OutFile writer(file.c_str(), {"", "Created By Morvane 2008", 0, 0, 32});
        writer.insertMemoryBuffer(image);
        writer.writeFile();
    }
    std::printf("%.6f\n", secondsSince(start));
    return 0;
}

int readPhase(const std::string& file) {
    const auto start = std::chrono::steady_clock::now();
    const Io::Import::GenericInFile importer(file.c_str());
    const Buffer::MemoryBuffer image = importer.getWholeMemory();
    const double seconds = secondsSince(start);
    // Checked against the data as it is made again, so that the check takes no memory of its own.
    RandomData expected;
    if (image.getStartAddress() != dataStart || image.getLength() != dataSize) {
        std::fprintf(stderr, "read %s: wrong image\n", file.c_str());
        return 1;
    }
    const auto cells = image.cells();
    for (std::size_t i = 0; i < dataSize; ++i) {
        if (!cells[i].isSet || cells[i].value != expected.next()) {
            std::fprintf(stderr, "read %s: wrong byte at %zu\n", file.c_str(), i);
            return 1;
        }
    }
    std::printf("%.6f\n", seconds);
    return 0;
}

struct Result {
    bool ok = false;
    double wallSeconds = 0;
    double phaseSeconds = 0;  // what the phase reported, or the wall time
    long peakKiB = 0;
};

// Runs the command in a child process; its standard output, when it is a number, is the phase's time.
Result measure(const std::vector<std::string>& command) {
    Result result;
    std::vector<char*> arguments;
    for (const std::string& argument : command) {
        arguments.push_back(const_cast<char*>(argument.c_str()));
    }
    arguments.push_back(nullptr);
    int out[2];
    if (::pipe(out) != 0) {
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, arguments[0], &actions, nullptr, arguments.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (spawned != 0) {
        ::close(out[0]);
        return result;
    }
    std::string text;
    char buffer[256];
    for (ssize_t got; (got = ::read(out[0], buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(out[0]);
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    result.wallSeconds = secondsSince(start);
    result.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    result.peakKiB = usage.ru_maxrss;
    char* end = nullptr;
    const double reported = std::strtod(text.c_str(), &end);
    result.phaseSeconds = end != text.c_str() ? reported : result.wallSeconds;
    return result;
}

// The machine may be busy with other work: each measurement is taken three times, and the fastest
// time and the largest peak are kept.
Result measureBest(const std::vector<std::string>& command) {
    Result best = measure(command);
    for (int i = 1; i < 3 && best.ok; ++i) {
        const Result again = measure(command);
        best.ok = again.ok;
        best.wallSeconds = std::min(best.wallSeconds, again.wallSeconds);
        best.phaseSeconds = std::min(best.phaseSeconds, again.phaseSeconds);
        best.peakKiB = std::max(best.peakKiB, again.peakKiB);
    }
    return best;
}

void report(const std::string& what, const Result& result) {
    if (!result.ok) {
        std::printf("%-44s failed\n", what.c_str());
        return;
    }
    std::printf("%-44s %7.3f s %8.1f MB/s  peak %7.1f MiB  %5.2f bytes/data byte  (process %.3f s)\n",
                what.c_str(), result.phaseSeconds, dataSize / mebibyte / result.phaseSeconds,
                result.peakKiB / 1024.0, result.peakKiB * 1024.0 / dataSize, result.wallSeconds);
}

bool installed(const char* tool) {
    const std::string command = std::string("command -v ") + tool + " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

int drive(const std::string& self, const std::filesystem::path& directory) {
    const std::string hex = (directory / "bench.hex").string();
    const std::string srec = (directory / "bench.s37").string();
    const std::string bin = (directory / "bench.bin").string();
    {
        const std::vector<uint8_t> bytes = randomData();
        std::ofstream(bin, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
    std::printf("16 MiB of random data at 0x%llx; MB/s are MiB of data per second\n",
                static_cast<unsigned long long>(dataStart));
    report("write Intel HEX, 16-byte records", measureBest({self, "write-hex", hex}));
    report("write S-records, 32-byte S3 records", measureBest({self, "write-srec", srec}));
    std::printf("(file sizes: %.1f MiB Intel HEX, %.1f MiB S-records)\n",
                std::filesystem::file_size(hex) / mebibyte, std::filesystem::file_size(srec) / mebibyte);
    report("read Intel HEX into its whole image", measureBest({self, "read", hex}));
    report("read S-records into its whole image", measureBest({self, "read", srec}));
    if (!installed("srec_cat")) {
        std::printf("srec_cat is not installed: no comparison\n");
        return 0;
    }
    const std::string out = (directory / "out.bin").string();
    const std::string offset = "-0x10000000";
    report("srec_cat Intel HEX -> binary",
           measure({"srec_cat", hex, "-intel", "-offset", offset, "-o", out, "-binary"}));
    report("srec_cat S-records -> binary",
           measure({"srec_cat", srec, "-motorola", "-offset", offset, "-o", out, "-binary"}));
    const std::string outHex = (directory / "out.hex").string();
    const std::string outSrec = (directory / "out.s37").string();
    report("srec_cat binary -> Intel HEX, 16-byte records",
           measure({"srec_cat", bin, "-binary", "-offset", "0x10000000", "-o", outHex, "-intel", "-obs=16"}));
    report("srec_cat binary -> S3 records, 32 bytes",
           measure({"srec_cat", bin, "-binary", "-offset", "0x10000000", "-o", outSrec, "-motorola",
                    "--address-length=4", "-obs=32"}));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "write-hex" && argc == 3) {
        return writePhase(argv[2], true);
    }
    if (mode == "write-srec" && argc == 3) {
        return writePhase(argv[2], false);
    }
    if (mode == "read" && argc == 3) {
        return readPhase(argv[2]);
    }
    const std::string self = std::filesystem::canonical("/proc/self/exe").string();
    if (argc > 1) {
        std::filesystem::create_directories(argv[1]);
        return drive(self, argv[1]);
    }
    std::string pattern = (std::filesystem::temp_directory_path() / "hexfile-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const int result = drive(self, pattern);
    std::filesystem::remove_all(pattern);
    return result;
}
