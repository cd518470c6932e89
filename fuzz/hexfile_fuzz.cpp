// Fuzz target of the hex-file readers and the format detection: every input is read as Intel HEX, as
// S-records, as raw binary and through detection, and each import operation is called on the result.
// What a text reader gives is written back with the writer of its format and read again; the bytes
// must come back unchanged. A text reader that reads data without a word must be the reader that
// detection chooses: data that a reader takes silently is never flashed as raw bytes or read by the
// other reader. A file that holds a record line (a record of either format whose count and checksum
// are right) is never read as raw binary, whatever else it holds. Built as a libFuzzer target with
// -DVOFLASH_FUZZ=ON (scripts/fuzz-hexfile), and into hexfile_fuzz_replay, which feeds it the seed
// corpus.

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
#include <string_view>
#include <system_error>
#include <vector>

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

// The value of a hexadecimal digit, -1 for any other character.
int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// The bytes that the digit pairs of text stand for; false when text is no run of digit pairs.
bool hexBytes(std::string_view text, std::vector<unsigned>& bytes) {
    bytes.clear();
    if (text.size() % 2 != 0) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int high = hexValue(text[i]);
        const int low = hexValue(text[i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        bytes.push_back(static_cast<unsigned>(high * 16 + low));
    }
    return true;
}

// Whether the line is an Intel HEX record (codes 00 to 05) or an S-record (S0, S1, S2, S3, S5, S7,
// S8, S9; 's' too) whose count and checksum are right.
bool isRecord(std::string_view line) {
    std::vector<unsigned> bytes;
    unsigned sum = 0;
    if (line.size() > 1 && line[0] == ':' && hexBytes(line.substr(1), bytes) && bytes.size() >= 5) {
        for (const unsigned b : bytes) {
            sum += b;
        }
        return bytes.size() == bytes[0] + 5u && bytes[3] <= 5 && sum % 256 == 0;
    }
    const std::string_view types = "01235789";
    if (line.size() < 2 || (line[0] != 'S' && line[0] != 's') ||
        types.find(line[1]) == std::string_view::npos || !hexBytes(line.substr(2), bytes) || bytes.empty()) {
        return false;
    }
    const unsigned addressBytes = line[1] == '2' || line[1] == '8'   ? 3
                                  : line[1] == '3' || line[1] == '7' ? 4
                                                                     : 2;
    for (const unsigned b : bytes) {
        sum += b;
    }
    return bytes.size() == bytes[0] + 1u && bytes[0] >= addressBytes + 1 && sum % 256 == 0xFF;
}

// The input as the readers look at it for records: a UTF-16 input (its byte-order mark first, whole
// code units, surrogates in pairs) as its text, with 0x80 for every character that is no ASCII one.
std::string recordText(const std::string& input) {
    const bool little = input.rfind("\xFF\xFE", 0) == 0;
    if ((!little && input.rfind("\xFE\xFF", 0) != 0) || input.size() % 2 != 0) {
        return input;
    }
    std::string text;
    for (std::size_t at = 2; at < input.size(); at += 2) {
        const auto a = static_cast<unsigned char>(input[at]);
        const auto b = static_cast<unsigned char>(input[at + 1]);
        const unsigned unit = little ? a | b << 8 : a << 8 | b;
        if (unit >= 0xDC00 && unit <= 0xDFFF) {
            return input;
        }
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            const std::size_t next = at + 2;
            if (next + 1 >= input.size()) {
                return input;
            }
            const auto c = static_cast<unsigned char>(input[next]);
            const auto d = static_cast<unsigned char>(input[next + 1]);
            const unsigned low = little ? c | d << 8 : c << 8 | d;
            if (low < 0xDC00 || low > 0xDFFF) {
                return input;
            }
            at = next;
        }
        text += unit < 0x80 ? static_cast<char>(unit) : '\x80';
    }
    return text;
}

// Whether a line of the input, without the blanks around it, is a record; lines end at a line feed
// or a carriage return.
bool holdsRecordLine(const std::string& input) {
    const std::string text = recordText(input);
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; };
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find_first_of("\r\n", start);
        end = end == std::string::npos ? text.size() : end;
        std::size_t first = start;
        std::size_t last = end;
        while (first < last && blank(text[first])) {
            ++first;
        }
        while (last > first && blank(text[last - 1])) {
            --last;
        }
        if (isRecord(std::string_view(text).substr(first, last - first))) {
            return true;
        }
        start = end + 1;
    }
    return false;
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
    // A UTF-16 file holds lines when it holds text after its byte-order mark.
    const std::string input(reinterpret_cast<const char*>(data), size);
    check(intelHex.reader.hasLines() == !recordText(input).empty(), "a reader's hasLines is not the file's");

    const Io::Import::GenericInFile generic(file);
    exercise(generic);

    // Data that a text reader takes without a word is read by that reader, never as raw bytes.
    check(!intelHex.readDataSilently() || generic.getFileType() == Io::Import::GenericInFile::kIntelHex,
          "the Intel HEX reader reads data without a message, detection chose another format");
    check(!sRecord.readDataSilently() || generic.getFileType() == Io::Import::GenericInFile::kSRecords,
          "the S-record reader reads data without a message, detection chose another format");

    // A file with a record is a record file: its reader takes the records or refuses the file by name.
    check(!holdsRecordLine(input) || !generic.isRawBinary(), "a file with a record line was read as raw");

    // A text file with a byte-order mark before it and a DOS end-of-file byte after it reads as without
    // (a UTF-16 one is text only with its own mark first).
    if (!generic.isRawBinary() && input.rfind("\xEF\xBB\xBF", 0) != 0 && input.rfind("\xFF\xFE", 0) != 0 &&
        input.rfind("\xFE\xFF", 0) != 0) {
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
