#include "hexfile/File.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <new>
#include <stdexcept>
#include <system_error>

namespace Io {

namespace {

class Descriptor {
  public:
    explicit Descriptor(int fd) : fd(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    int get() const { return fd; }

  private:
    int fd;
};

FileIdentity identityOf(const struct stat& status) {
    constexpr long long nano = 1000000000;
    FileIdentity identity;
    identity.regular = S_ISREG(status.st_mode);
    identity.device = status.st_dev;
    identity.inode = status.st_ino;
    identity.size = status.st_size;
    identity.modified = status.st_mtim.tv_sec * nano + status.st_mtim.tv_nsec;
    identity.changed = status.st_ctim.tv_sec * nano + status.st_ctim.tv_nsec;
    return identity;
}

// A line as it stands in the text, its line end included when it has one, without that end: the
// line feed and a carriage return right before it. A carriage return with no line feed after it
// belongs to the line, unless ends takes it as a line end of its own.
std::string_view withoutLineEnd(std::string_view line, LineEnds ends) {
    if (!line.empty() && line.back() == '\n') {
        line.remove_suffix(1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
    } else if (ends == LineEnds::anyBreak && !line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    return line;
}

// The length of the first line of rest, its line end included. A line is looked for up to its line
// feed first: a carriage return alone is rare and is then looked for in that line only.
std::size_t firstLineLength(std::string_view rest, LineEnds ends) {
    const void* feed = std::memchr(rest.data(), '\n', rest.size());
    const std::size_t length =
        feed == nullptr ? rest.size()
                        : static_cast<std::size_t>(static_cast<const char*>(feed) - rest.data()) + 1;
    if (ends == LineEnds::anyBreak) {
        // A carriage return right before the line feed is part of the line end.
        const std::size_t searched = feed == nullptr ? length : length - 1;
        const void* carriage = std::memchr(rest.data(), '\r', searched);
        if (carriage != nullptr) {
            const auto at = static_cast<std::size_t>(static_cast<const char*>(carriage) - rest.data());
            if (at + 1 < searched) {
                return at + 1;
            }
        }
    }
    return length;
}

// The start of the last line of rest (which ends with that line's end, if it has one).
std::size_t lastLineStart(std::string_view rest, LineEnds ends) {
    // The line feed and a carriage return before it end the last line; the line begins after the
    // line end before them.
    std::size_t end = rest.size();
    if (end > 0 && rest[end - 1] == '\n') {
        --end;
        if (end > 0 && rest[end - 1] == '\r') {
            --end;
        }
    } else if (ends == LineEnds::anyBreak && end > 0 && rest[end - 1] == '\r') {
        --end;
    }
    for (std::size_t at = end; at > 0; --at) {
        const char c = rest[at - 1];
        if (c == '\n' || (ends == LineEnds::anyBreak && c == '\r')) {
            return at;
        }
    }
    return 0;
}

std::deque<std::string> linesOf(std::string_view text) {
    std::deque<std::string> lines;
    LineCursor cursor(text);
    std::string_view line;
    while (cursor.next(line)) {
        lines.emplace_back(line);
    }
    return lines;
}

// Reads up to count bytes, resuming after signals; -1 on a read error.
ssize_t readSome(int fd, char* buffer, std::size_t count) {
    for (;;) {
        const ssize_t got = ::read(fd, buffer, count);
        if (got >= 0 || errno != EINTR) {
            return got;
        }
    }
}

const char* const kNoMemoryToRead = "not enough memory to read it";

// Reads the whole file into the container (see readFile).
template <class Container>
FileIdentity readWholeFile(const std::string& fileName, Container& content) {
    Descriptor file(::open(fileName.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) {
        throw bad_open(fileName, systemReason(errno));
    }
    FileIdentity identity;
    try {
        std::size_t used = 0;
        struct stat status {};
        if (::fstat(file.get(), &status) == 0) {
            identity = identityOf(status);
        }
        if (identity.regular && status.st_size > 0) {
            content.resize(static_cast<std::size_t>(status.st_size));
        }
        char more[64 * 1024];
        for (;;) {
            // Into the room the file's size promised, then (the file may have grown, or its size was
            // not known) through a small buffer until the end.
            const bool intoContent = used < content.size();
            const ssize_t got = intoContent
                                    ? readSome(file.get(), content.data() + used, content.size() - used)
                                    : readSome(file.get(), more, sizeof more);
            if (got < 0) {
                throw bad_open(fileName, systemReason(errno));
            }
            if (got == 0) {
                break;
            }
            if (!intoContent) {
                content.insert(content.end(), more, more + got);
            }
            used += static_cast<std::size_t>(got);
        }
        content.resize(used);
        content.shrink_to_fit();
    } catch (const std::bad_alloc&) {
        throw bad_open(fileName, kNoMemoryToRead);
    } catch (const std::length_error&) {
        throw bad_open(fileName, kNoMemoryToRead);
    }
    return identity;
}

// The text of a file as its readers take it: a UTF-16 file as UTF-8, any other as it is.
void takeText(std::vector<char, LargeAllocator<char>>& bytes) {
    std::vector<char, LargeAllocator<char>> decoded;
    if (decodeUtf16(std::string_view(bytes.data(), bytes.size()), decoded)) {
        bytes.swap(decoded);
    }
}

// Appends the code point as UTF-8.
void appendUtf8(std::vector<char, LargeAllocator<char>>& text, uint32_t point) {
    const auto add = [&](uint32_t byte) { text.push_back(static_cast<char>(byte)); };
    if (point < 0x80) {
        add(point);
    } else if (point < 0x800) {
        add(0xC0 | point >> 6);
        add(0x80 | (point & 0x3F));
    } else if (point < 0x10000) {
        add(0xE0 | point >> 12);
        add(0x80 | (point >> 6 & 0x3F));
        add(0x80 | (point & 0x3F));
    } else {
        add(0xF0 | point >> 18);
        add(0x80 | (point >> 12 & 0x3F));
        add(0x80 | (point >> 6 & 0x3F));
        add(0x80 | (point & 0x3F));
    }
}

bool writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

std::atomic<unsigned> temporaryCounter{0};

}  // namespace

exception::~exception() = default;

bad_open::bad_open(const std::string& fileName, const std::string& reason)
    : message(std::make_shared<const std::string>("Could not open file " + fileName + ": " + reason)) {}

bad_open::~bad_open() = default;

const char* bad_open::what() const noexcept {
    return message ? message->c_str() : "Could not open file";
}

std::string systemReason(int errorNumber) {
    return std::error_code(errorNumber, std::generic_category()).message();
}

out_of_memory::out_of_memory(const std::string& fileName)
    : bad_open(fileName, "not enough memory for its content; it was left as it was") {}

out_of_memory::~out_of_memory() = default;

File::File(const char* fileName) : fileName(fileName != nullptr ? fileName : "") {}

File::~File() = default;

bool LineCursor::next(std::string_view& line) {
    if (rest.empty()) {
        return false;
    }
    const std::size_t length = firstLineLength(rest, ends);
    line = withoutLineEnd(rest.substr(0, length), ends);
    rest.remove_prefix(length);
    return true;
}

namespace {

bool isPaddingByte(char c) {
    return c == '\x1A' || c == '\0' || c == '\xFF';
}

}  // namespace

std::string_view withoutTextMarks(std::string_view text) {
    constexpr std::string_view byteOrderMark = "\xEF\xBB\xBF";
    while (text.substr(0, byteOrderMark.size()) == byteOrderMark) {
        text.remove_prefix(byteOrderMark.size());
    }
    // The text ends at the first padding byte of what follows its last character that is no line
    // end, no blank and no padding byte.
    std::size_t end = text.size();
    while (end > 0 &&
           (isPaddingByte(text[end - 1]) || text[end - 1] == '\n' || isBlankCharacter(text[end - 1]))) {
        --end;
    }
    for (std::size_t at = end; at < text.size(); ++at) {
        if (isPaddingByte(text[at])) {
            return text.substr(0, at);
        }
    }
    return text;
}

bool decodeUtf16(std::string_view bytes, std::vector<char, LargeAllocator<char>>& text) {
    if (bytes.size() < 2 || bytes.size() % 2 != 0) {
        return false;
    }
    const auto byte = [&](std::size_t at) {
        return static_cast<uint32_t>(static_cast<unsigned char>(bytes[at]));
    };
    bool littleEndian = false;
    if (byte(0) == 0xFF && byte(1) == 0xFE) {
        littleEndian = true;
    } else if (byte(0) != 0xFE || byte(1) != 0xFF) {
        return false;
    }
    const auto unit = [&](std::size_t at) {
        return littleEndian ? byte(at) | byte(at + 1) << 8 : byte(at) << 8 | byte(at + 1);
    };
    std::vector<char, LargeAllocator<char>> decoded;
    decoded.reserve(bytes.size() / 2);
    for (std::size_t at = 2; at < bytes.size(); at += 2) {
        uint32_t point = unit(at);
        if (point >= 0xDC00 && point <= 0xDFFF) {
            return false;
        }
        if (point >= 0xD800 && point <= 0xDBFF) {
            const uint32_t low = at + 2 < bytes.size() ? unit(at + 2) : 0;
            if (low < 0xDC00 || low > 0xDFFF) {
                return false;
            }
            point = 0x10000 + ((point - 0xD800) << 10) + (low - 0xDC00);
            at += 2;
        }
        appendUtf8(decoded, point);
    }
    text.swap(decoded);
    return true;
}

bool holdsOnlyText(std::string_view text) {
    // Sixteen bytes at a time: a byte below the tab, one from the shift-out to the unit separator, or
    // DEL marks the block. Blocks are looked at in runs, so a binary file is told after a few bytes.
    using Bytes16 = unsigned char __attribute__((vector_size(16)));
    using Marks16 = signed char __attribute__((vector_size(16)));
    constexpr std::size_t blocksPerRun = 16;
    const char* p = text.data();
    std::size_t left = text.size();
    while (left >= sizeof(Bytes16)) {
        Marks16 marks{};
        for (std::size_t block = 0; block < blocksPerRun && left >= sizeof(Bytes16); ++block) {
            Bytes16 bytes;
            std::memcpy(&bytes, p, sizeof bytes);
            marks |= (bytes < '\t') | (static_cast<Bytes16>(bytes - ('\r' + 1)) < 0x20 - ('\r' + 1)) |
                     (bytes == 0x7F);
            p += sizeof bytes;
            left -= sizeof bytes;
        }
        uint64_t halves[2];
        std::memcpy(halves, &marks, sizeof halves);
        if ((halves[0] | halves[1]) != 0) {
            return false;
        }
    }
    for (; left > 0; ++p, --left) {
        if (!isTextByte(*p)) {
            return false;
        }
    }
    return true;
}

bool isCommentLine(std::string_view line) {
    const std::string_view text = withoutLeadingBlanks(line);
    return !text.empty() && (text.front() == ';' || text.front() == '#' || text.front() == '/') &&
           holdsOnlyText(text);
}

bool ReverseLineCursor::next(std::string_view& line) {
    if (rest.empty()) {
        return false;
    }
    const std::size_t start = lastLineStart(rest, ends);
    line = withoutLineEnd(rest.substr(start), ends);
    rest = rest.substr(0, start);
    return true;
}

LastContentLine lastContentLine(std::string_view text, LineEnds ends) {
    ReverseLineCursor cursor(text, ends);
    std::string_view line;
    while (cursor.next(line)) {
        if (!isBlankLine(line) && !isCommentLine(line)) {
            return {true, line, cursor.before()};
        }
    }
    return {};
}

FileBytes readFile(const std::string& fileName) {
    FileBytes file;
    file.identity = readWholeFile(fileName, file.bytes);
    return file;
}

TextInFile::TextInFile(const char* fileName) : TextInFile(fileName, readFile(fileName)) {}

TextInFile::TextInFile(const char* fileName, FileBytes&& file)
    : File(fileName), text(std::move(file.bytes)), identity(file.identity) {
    takeText(text);
    textLength = text.size();
}

TextInFile::~TextInFile() = default;

std::deque<std::string> TextInFile::getLines() const {
    if (!released) {
        return linesOf(content());
    }
    FileBytes again = readFile(fileName);
    takeText(again.bytes);
    if (again.identity != identity || again.bytes.size() != textLength) {
        throw bad_open(fileName, "it has changed since it was read");
    }
    return linesOf(std::string_view(again.bytes.data(), again.bytes.size()));
}

void TextInFile::releaseLines() {
    if (identity.regular) {
        decltype(text)().swap(text);
        released = true;
    }
}

BinaryInFile::BinaryInFile(const char* fileName) : BinaryInFile(fileName, readFile(fileName)) {}

BinaryInFile::BinaryInFile(const char* fileName, FileBytes&& file)
    : File(fileName), bytes(std::move(file.bytes)) {}

BinaryInFile::~BinaryInFile() = default;

TextOutFile::TextOutFile(const char* fileName) : File(fileName) {}

TextOutFile::~TextOutFile() = default;

void TextOutFile::writeLines(const std::deque<std::string>& fileContent) {
    writeHeld(true, [&] {
        Replacement file(fileName);
        for (const std::string& entry : fileContent) {
            file.append(entry);
        }
        file.commit();
    });
}

namespace {

constexpr std::size_t flushSize = 1 << 20;
// The room of the write buffer: a flush leaves it with less than one record.
constexpr std::size_t bufferRoom = flushSize + 4096;
// Links followed in a row before a name counts as a loop, as the system counts them.
constexpr int maxLinks = 40;

// The missing file that a link names once the links after it are followed, as opening the link
// for writing would create it.
std::string fileNamedByDanglingLink(const std::string& fileName) {
    std::string name = fileName;
    for (int followed = 0;; ++followed) {
        struct stat status {};
        if (::lstat(name.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) {
            return name;
        }
        char link[PATH_MAX];
        const ssize_t length = ::readlink(name.c_str(), link, sizeof link);
        if (length < 0) {
            throw bad_open(fileName, systemReason(errno));
        }
        if (followed == maxLinks || length == 0 || static_cast<std::size_t>(length) == sizeof link) {
            throw bad_open(fileName, systemReason(ELOOP));
        }
        const std::size_t slash = name.rfind('/');
        name = (link[0] == '/' || slash == std::string::npos ? "" : name.substr(0, slash + 1)) +
               std::string(link, static_cast<std::size_t>(length));
    }
}

// Gives the new file the owner, group and mode of the target it replaces; false when it cannot have
// that owner or group (only the owner's own processes and the superuser may give them).
bool takeOver(int fd, const struct stat& target) {
    struct stat own {};
    if (::fstat(fd, &own) != 0) {
        return false;
    }
    if ((own.st_uid != target.st_uid || own.st_gid != target.st_gid) &&
        ::fchown(fd, target.st_uid, target.st_gid) != 0) {
        return false;
    }
    ::fchmod(fd, target.st_mode & 07777);
    return true;
}

}  // namespace

TextOutFile::Replacement::Replacement(const std::string& fileName) : name(fileName), target(fileName) {
    try {
        pending.reserve(bufferRoom);
        struct stat status {};
        bool exists = ::stat(target.c_str(), &status) == 0;
        if (!exists && errno != ENOENT) {
            fail(errno);
        }
        struct stat link {};
        if (::lstat(target.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
            // The file the link points to is written, not the link. A link of the system's own that
            // names no path (a pipe, say) is opened as it stands.
            if (!exists) {
                target = fileNamedByDanglingLink(target);
            } else if (char* resolved = ::realpath(target.c_str(), nullptr)) {
                target = resolved;
                std::free(resolved);
                exists = ::stat(target.c_str(), &status) == 0;
            }
        }
        if (exists && (!S_ISREG(status.st_mode) || status.st_nlink > 1)) {
            openInPlace();
            return;
        }
        if (exists) {
            // A file the user may not write is not replaced, whatever the folder lets the user do.
            const Descriptor writable(::open(target.c_str(), O_WRONLY | O_CLOEXEC));
            if (writable.get() < 0) {
                fail(errno);
            }
        }
        if (!createTemporary()) {
            if (!exists) {
                fail(EACCES);
            }
            openInPlace();
            return;
        }
        if (exists && !takeOver(fd, status)) {
            dropTemporary();
            openInPlace();
        }
    } catch (const std::bad_alloc&) {
        dropTemporary();
        throw out_of_memory(name);
    } catch (...) {
        dropTemporary();
        throw;
    }
}

void TextOutFile::Replacement::fail(int errorNumber) const {
    throw bad_open(name, systemReason(errorNumber));
}

bool TextOutFile::Replacement::createTemporary() {
    const std::size_t slash = target.rfind('/');
    const std::string directory = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    const std::string base =
        (slash == std::string::npos ? target : target.substr(slash + 1)).substr(0, NAME_MAX - 40);
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary = directory + "." + base + ".tmp" + std::to_string(::getpid()) + "-" +
                    std::to_string(temporaryCounter++);
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            return true;
        }
        const int error = errno;
        if (error != EEXIST) {
            temporary.clear();
            if (error == EACCES || error == EPERM) {
                return false;
            }
            fail(error);
        }
    }
    temporary.clear();
    fail(EEXIST);
}

void TextOutFile::Replacement::dropTemporary() {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
    if (!temporary.empty() && !keepTemporary) {
        ::unlink(temporary.c_str());
    }
    temporary.clear();
}

void TextOutFile::Replacement::openInPlace() {
    fd = ::open(target.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        fail(errno);
    }
    struct stat status {};
    holdText = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
}

void TextOutFile::Replacement::reserveInPlace(uint64_t length) {
    struct stat before {};
    if (::fstat(fd, &before) != 0) {
        fail(errno);
    }
    if (length == 0) {
        return;
    }
    int error = 0;
    do {
        error = ::posix_fallocate(fd, 0, static_cast<off_t>(length));
    } while (error == EINTR);
    if (error == 0) {
        return;
    }
    // A file system that reserves by writing may have grown the file before it gave up.
    struct stat after {};
    if (::fstat(fd, &after) == 0 && after.st_size > before.st_size) {
        static_cast<void>(::ftruncate(fd, before.st_size));
    }
    throw bad_open(name, "no room for the " + std::to_string(length) + " bytes of its new content (" +
                             systemReason(error) + "); it was left as it was");
}

void TextOutFile::Replacement::writeInPlace() {
    reserveInPlace(pending.size());
    if (!writeAll(fd, pending) || ::ftruncate(fd, static_cast<off_t>(pending.size())) != 0) {
        fail(errno);
    }
    pending.clear();
}

void TextOutFile::Replacement::copyIntoTarget() {
    bool reserved = false;
    try {
        const Descriptor from(::open(temporary.c_str(), O_RDONLY | O_CLOEXEC));
        struct stat status {};
        if (from.get() < 0 || ::fstat(from.get(), &status) != 0) {
            fail(errno);
        }
        openInPlace();
        reserveInPlace(static_cast<uint64_t>(status.st_size));
        reserved = true;
        pending.resize(flushSize);
        uint64_t copied = 0;
        for (;;) {
            const ssize_t got = readSome(from.get(), pending.data(), pending.size());
            if (got < 0) {
                fail(errno);
            }
            if (got == 0) {
                break;
            }
            if (!writeAll(fd, std::string_view(pending.data(), static_cast<std::size_t>(got)))) {
                fail(errno);
            }
            copied += static_cast<uint64_t>(got);
        }
        pending.clear();
        if (holdText && ::ftruncate(fd, static_cast<off_t>(copied)) != 0) {
            fail(errno);
        }
        const int closing = fd;
        fd = -1;
        if (::close(closing) != 0) {
            fail(errno);
        }
    } catch (const bad_open&) {
        // The whole text stays in the temporary file; the target is as it was when it had no room,
        // else it may now hold a part of the text.
        keepTemporary = true;
        std::cout << "TextOutFile(writeFile-Operation). The file (" << target
                  << (reserved ? ") could not be written in full." : ") was left as it was.") << std::endl;
        std::cout << "  Its complete content was kept in (" << temporary << ")." << std::endl;
        throw;
    }
}

TextOutFile::Replacement::~Replacement() {
    dropTemporary();
}

void TextOutFile::Replacement::append(std::string_view text) {
    pending.append(text);
    flushIfFull();
}

void TextOutFile::Replacement::flushIfFull() {
    if (pending.size() >= flushSize && !holdText) {
        flush();
    }
}

void TextOutFile::Replacement::flush() {
    if (!writeAll(fd, pending)) {
        fail(errno);
    }
    pending.clear();
}

void TextOutFile::Replacement::commit() {
    if (holdText) {
        writeInPlace();
    } else {
        flush();
    }
    const int closing = fd;
    fd = -1;
    if (::close(closing) != 0) {
        fail(errno);
    }
    if (temporary.empty()) {
        return;
    }
    if (::rename(temporary.c_str(), target.c_str()) == 0) {
        temporary.clear();
        return;
    }
    // A target that is a mount point, or a folder that refuses the rename after all: the target takes
    // the text in place, as a plain write would give it.
    const int error = errno;
    if (error != EACCES && error != EPERM && error != EBUSY) {
        fail(error);
    }
    copyIntoTarget();
}

}  // namespace Io
