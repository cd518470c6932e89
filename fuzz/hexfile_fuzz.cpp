// Fuzz target of the hex-file readers and the format detection: every input is read as Intel HEX, as
// S-records, as raw binary and through detection, and each import operation is called on the result.
// What a text reader gives is written back with the writer of its format and read again; the bytes
// must come back unchanged. A text reader that reads data without a word must be the reader that
// detection chooses: data that a reader takes silently is never flashed as raw bytes or read by the
// other reader. Built as a libFuzzer target with -DVOFLASH_FUZZ=ON (scripts/fuzz-hexfile), and into
// hexfile_fuzz_replay, which feeds it the seed corpus.

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <iostream>
#include <streambuf>
#include <string>
#include <system_error>

#include "hexfile/GenericInFile.h"
#include "hexfile/IntelHexInFile.h"
#include "hexfile/IntelHexOutFile.h"
#include "hexfile/MotorolaS_InFile.h"
#include "hexfile/MotorolaS_OutFile.h"
#include "hexfile/RawBinaryInFile.h"

namespace {

// Takes the readers' messages, drops them and tells whether any came.
class Messages : public std::streambuf {
  public:
    // Forgets the messages so far.
    void clear() { written = false; }
    bool any() const { return written; }

  protected:
    int overflow(int c) override {
        written = true;
        return c;
    }
    std::streamsize xsputn(const char*, std::streamsize n) override {
        written = written || n > 0;
        return n;
    }

  private:
    bool written = false;
};

Messages messages;
std::streambuf* standardOutput = nullptr;
int inputFd = -1;
std::string inputPath;
int markedFd = -1;
std::string markedPath;
std::string outputDirectory;

// The scratch folders are named after the process that made them, so that the folder of a process
// that ended without removing it (a finding ends it at once) is removed by the next one.
constexpr const char* scratchPrefix = "hexfile-fuzz-";

// Images up to this size are written back and compared.
constexpr uint64_t roundTripLimit = 1 << 16;

void removeOutputDirectory() {
    if (!outputDirectory.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(outputDirectory, ignored);
    }
}

// Gives standard output its own buffer back (the messages' one goes before it) and removes the scratch
// folder.
void atExit() {
    std::cout.rdbuf(standardOutput);
    removeOutputDirectory();
}

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "hexfile_fuzz: %s\n", what);
        removeOutputDirectory();
        std::abort();
    }
}

// Removes the scratch folders of processes that are gone.
void removeFoldersOfEndedProcesses(const std::filesystem::path& parent) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(parent, error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(scratchPrefix, 0) != 0) {
            continue;
        }
        const long pid =
            std::strtol(name.c_str() + std::char_traits<char>::length(scratchPrefix), nullptr, 10);
        if (pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
            std::error_code ignored;
            std::filesystem::remove_all(entry.path(), ignored);
        }
    }
}

void exercise(const Io::Import::MorvaneImportApi& importer) {
    const auto blocks = importer.getBlockList();
    const uint64_t minAddress = importer.getMinAddress();
    const uint64_t length = importer.getDataLength();
    for (const auto& block : blocks) {
        check(block.length == 0 || block.start >= minAddress, "block below the lowest address");
    }
    // Images of the whole span are made lazily, so even a span of 4 GiB costs only the pages with data.
    const Buffer::MemoryBuffer whole = importer.getWholeMemory();
    check(whole.getLength() == length || whole.getLength() == 0, "whole image of the wrong length");
    const Buffer::MemoryBuffer below = importer.getMemory(minAddress == 0 ? 0 : minAddress - 1, 3);
    const Buffer::MemoryBuffer past = importer.getMemory(minAddress + length, 2);
    Buffer::MemoryBuffer small(minAddress, length < 16 ? length : 16);
    importer.fillMemoryBuffer(small);
    (void)importer.hasStartAddress();
    (void)importer.getStartAddress();
    (void)below;
    (void)past;
}

// Whether the writer can hold an image from start on of that many cells: an Intel HEX writer with
// linear addressing any image whose pieces start at or below 0xFFFFFFFF, an S-record writer one that
// ends at or below 0x100000000.
bool intelHexHolds(uint64_t start, uint64_t length) {
    const uint64_t last = start + length - 1;
    const uint64_t lastPieceStart = start > (last & ~uint64_t{0xFFFF}) ? start : last & ~uint64_t{0xFFFF};
    return lastPieceStart <= 0xFFFFFFFFu;
}
bool sRecordHolds(uint64_t start, uint64_t length) {
    return start + length <= 0x100000000u;
}

template <class Reader, class Writer, class Style>
void roundTrip(const Reader& reader, const Style& style, const std::string& name,
               bool (*holds)(uint64_t, uint64_t)) {
    const uint64_t length = reader.getDataLength();
    if (length == 0 || length > roundTripLimit || !holds(reader.getMinAddress(), length)) {
        return;
    }
    const Buffer::MemoryBuffer image = reader.getWholeMemory();
    const std::string file = outputDirectory + "/" + name;
    Writer writer(file.c_str(), style);
    writer.insertMemoryBuffer(image);
    writer.writeFile();
    const Reader again(file.c_str());
    const Buffer::MemoryBuffer back = again.getMemory(image.getStartAddress(), image.getLength());
    const auto a = image.cells();
    const auto b = back.cells();
    check(a.size() == b.size(), "written image read back with another length");
    for (std::size_t i = 0; i < a.size(); ++i) {
        // Unset cells are written as their fill value, 0.
        const uint8_t expected = a[i].isSet ? a[i].value : a[i].fillValue;
        check(b[i].isSet && b[i].value == expected, "written image read back with other bytes");
    }
    ::unlink(file.c_str());
}

// The file's name, with the messages so far forgotten.
const char* withoutMessages(const char* file) {
    messages.clear();
    return file;
}

// The reader of that kind on the file, and whether it read data without a message.
template <class Reader>
struct Read {
    explicit Read(const char* file) : reader(withoutMessages(file)), silent(!messages.any()) {}
    bool readDataSilently() const { return silent && !reader.getBlockList().empty(); }

    Reader reader;
    bool silent;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    standardOutput = std::cout.rdbuf(&messages);
    inputFd = ::memfd_create("hexfile-fuzz-input", 0);
    check(inputFd >= 0, "memfd_create failed");
    inputPath = "/proc/self/fd/" + std::to_string(inputFd);
    markedFd = ::memfd_create("hexfile-fuzz-marked", 0);
    check(markedFd >= 0, "memfd_create failed");
    markedPath = "/proc/self/fd/" + std::to_string(markedFd);
    const std::filesystem::path parent = std::filesystem::temp_directory_path();
    removeFoldersOfEndedProcesses(parent);
    std::string pattern = (parent / (scratchPrefix + std::to_string(::getpid()) + "-XXXXXX")).string();
    check(::mkdtemp(pattern.data()) != nullptr, "mkdtemp failed");
    outputDirectory = pattern;
    std::atexit(atExit);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    check(::ftruncate(inputFd, 0) == 0 && ::pwrite(inputFd, data, size, 0) == static_cast<ssize_t>(size),
          "writing the input failed");
    const char* file = inputPath.c_str();

    const Read<Io::Import::IntelHexInFile> intelHex(file);
    exercise(intelHex.reader);
    roundTrip<Io::Import::IntelHexInFile, Io::Export::IntelHexOutFile>(
        intelHex.reader, Io::Export::IntelHexOutFile::OutputStyle{false, 16}, "out.hex", intelHexHolds);

    const Read<Io::Import::MotorolaS_InFile> sRecord(file);
    exercise(sRecord.reader);
    roundTrip<Io::Import::MotorolaS_InFile, Io::Export::MotorolaS_OutFile>(
        sRecord.reader, Io::Export::MotorolaS_OutFile::OutputStyle{}, "out.s19", sRecordHolds);

    const Io::Import::RawBinaryInFile raw(file);
    exercise(raw);

    // The readers answer for the lines they parsed.
    const std::deque<std::string> lines = Io::TextInFile(file).getLines();
    check(intelHex.reader.getLines() == lines && sRecord.reader.getLines() == lines,
          "a reader's lines are not the file's");
    check(intelHex.reader.hasLines() == (size != 0), "a reader's hasLines is not the file's");

    const Io::Import::GenericInFile generic(file);
    exercise(generic);

    // Data that a text reader takes without a word is read by that reader, never as raw bytes.
    check(!intelHex.readDataSilently() || generic.getFileType() == 0,
          "the Intel HEX reader reads data without a message, detection chose another format");
    check(!sRecord.readDataSilently() || generic.getFileType() == 1,
          "the S-record reader reads data without a message, detection chose another format");

    // A text file with a byte-order mark before it and a DOS end-of-file byte after it reads as without.
    const std::string input(reinterpret_cast<const char*>(data), size);
    if (generic.getFileType() != 2 && input.rfind("\xEF\xBB\xBF", 0) != 0) {
        const std::string marked = "\xEF\xBB\xBF" + input + "\x1A";
        check(::ftruncate(markedFd, 0) == 0 &&
                  ::pwrite(markedFd, marked.data(), marked.size(), 0) == static_cast<ssize_t>(marked.size()),
              "writing the marked input failed");
        const Io::Import::GenericInFile markedGeneric(markedPath.c_str());
        check(markedGeneric.getFileType() == generic.getFileType(), "the marks changed the format");
        check(markedGeneric.getBlockList() == generic.getBlockList(), "the marks changed the blocks");
    }
    return 0;
}
