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
// belongs to the line.
std::string_view withoutLineEnd(std::string_view line) {
    if (!line.empty() && line.back() == '\n') {
        line.remove_suffix(1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
    }
    return line;
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

// Reads the whole file into a string or a char vector. A file that cannot be opened, cannot be read
// to its end or does not fit into memory throws bad_open: a part of a file is never handed on as if
// it were the whole.
template <class Container>
FileIdentity readWholeFile(const std::string& fileName, Container& content) {
    Descriptor file(::open(fileName.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) {
        throw bad_open();
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
                throw bad_open();
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
        throw bad_open();
    } catch (const std::length_error&) {
        throw bad_open();
    }
    return identity;
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

bad_open::~bad_open() = default;

out_of_memory::~out_of_memory() = default;

const char* bad_open::what() const noexcept {
    return "Could not open file";
}

File::File(const char* fileName) : fileName(fileName != nullptr ? fileName : "") {}

File::~File() = default;

bool LineCursor::next(std::string_view& line) {
    if (rest.empty()) {
        return false;
    }
    const std::size_t end = rest.find('\n');
    const std::size_t length = end == std::string_view::npos ? rest.size() : end + 1;
    line = withoutLineEnd(rest.substr(0, length));
    rest.remove_prefix(length);
    return true;
}

std::string_view withoutTextMarks(std::string_view text) {
    constexpr std::string_view byteOrderMark = "\xEF\xBB\xBF";
    while (text.substr(0, byteOrderMark.size()) == byteOrderMark) {
        text.remove_prefix(byteOrderMark.size());
    }
    // The text ends at the first end-of-file byte of what follows its last character that is no line
    // end, no blank and no end-of-file byte.
    std::size_t end = text.size();
    while (end > 0 && (text[end - 1] == '\x1A' || text[end - 1] == '\n' || isBlankCharacter(text[end - 1]))) {
        --end;
    }
    const std::size_t mark = text.find('\x1A', end);
    return mark == std::string_view::npos ? text : text.substr(0, mark);
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
    // The line begins after the line feed before its last byte.
    const std::size_t previous = rest.size() < 2 ? std::string_view::npos : rest.rfind('\n', rest.size() - 2);
    const std::size_t start = previous == std::string_view::npos ? 0 : previous + 1;
    line = withoutLineEnd(rest.substr(start));
    rest = rest.substr(0, start);
    return true;
}

LastContentLine lastContentLine(std::string_view text) {
    ReverseLineCursor cursor(text);
    std::string_view line;
    while (cursor.next(line)) {
        if (!isBlankLine(line) && !isCommentLine(line)) {
            return {true, line, cursor.before()};
        }
    }
    return {};
}

TextInFile::TextInFile(const char* fileName) : File(fileName) {
    identity = readWholeFile(this->fileName, text);
    textLength = text.size();
}

TextInFile::~TextInFile() = default;

std::deque<std::string> TextInFile::getLines() const {
    if (!released) {
        return linesOf(content());
    }
    std::vector<char, LargeAllocator<char>> again;
    if (readWholeFile(fileName, again) != identity || again.size() != textLength) {
        throw bad_open();
    }
    return linesOf(std::string_view(again.data(), again.size()));
}

void TextInFile::releaseLines() {
    if (identity.regular) {
        decltype(text)().swap(text);
        released = true;
    }
}

BinaryInFile::BinaryInFile(const char* fileName) : File(fileName) {
    readWholeFile(this->fileName, bytes);
}

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
std::string fileNamedByDanglingLink(std::string name) {
    for (int followed = 0;; ++followed) {
        struct stat status {};
        if (::lstat(name.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) {
            return name;
        }
        char link[PATH_MAX];
        const ssize_t length = ::readlink(name.c_str(), link, sizeof link);
        if (followed == maxLinks || length <= 0 || static_cast<std::size_t>(length) == sizeof link) {
            throw bad_open();
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

TextOutFile::Replacement::Replacement(const std::string& fileName) : target(fileName) {
    try {
        pending.reserve(bufferRoom);
        struct stat status {};
        bool exists = ::stat(target.c_str(), &status) == 0;
        if (!exists && errno != ENOENT) {
            throw bad_open();
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
                throw bad_open();
            }
        }
        if (!createTemporary()) {
            if (!exists) {
                throw bad_open();
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
        throw out_of_memory();
    } catch (...) {
        dropTemporary();
        throw;
    }
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
            throw bad_open();
        }
    }
    temporary.clear();
    throw bad_open();
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
    fd = ::open(target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) {
        throw bad_open();
    }
}

void TextOutFile::Replacement::copyIntoTarget() {
    try {
        const Descriptor from(::open(temporary.c_str(), O_RDONLY | O_CLOEXEC));
        if (from.get() < 0) {
            throw bad_open();
        }
        openInPlace();
        pending.resize(flushSize);
        for (;;) {
            const ssize_t got = readSome(from.get(), pending.data(), pending.size());
            if (got < 0) {
                throw bad_open();
            }
            if (got == 0) {
                break;
            }
            if (!writeAll(fd, std::string_view(pending.data(), static_cast<std::size_t>(got)))) {
                throw bad_open();
            }
        }
        pending.clear();
        const int closing = fd;
        fd = -1;
        if (::close(closing) != 0) {
            throw bad_open();
        }
    } catch (const bad_open&) {
        // The target may now hold a part of the text: the whole of it stays in the temporary file.
        keepTemporary = true;
        std::cout << "TextOutFile(writeFile-Operation). The file (" << target
                  << ") could not be written in full." << std::endl;
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
    if (pending.size() >= flushSize) {
        flush();
    }
}

void TextOutFile::Replacement::flush() {
    if (!writeAll(fd, pending)) {
        throw bad_open();
    }
    pending.clear();
}

void TextOutFile::Replacement::commit() {
    flush();
    const int closing = fd;
    fd = -1;
    if (::close(closing) != 0) {
        throw bad_open();
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
    if (errno != EACCES && errno != EPERM && errno != EBUSY) {
        throw bad_open();
    }
    copyIntoTarget();
}

}  // namespace Io
