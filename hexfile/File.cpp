#include "hexfile/File.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
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
    if (text.substr(0, byteOrderMark.size()) == byteOrderMark) {
        text.remove_prefix(byteOrderMark.size());
    }
    while (!text.empty() && text.back() == '\x1A') {
        text.remove_suffix(1);
    }
    return text;
}

LastNonBlankLine lastNonBlankLine(std::string_view text) {
    // The lines from the last one backwards: each begins after the line feed before its last byte.
    while (!text.empty()) {
        const std::size_t previous =
            text.size() < 2 ? std::string_view::npos : text.rfind('\n', text.size() - 2);
        const std::size_t start = previous == std::string_view::npos ? 0 : previous + 1;
        const std::string_view line = withoutLineEnd(text.substr(start));
        text = text.substr(0, start);
        if (!isBlankLine(line)) {
            return {true, line, text};
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
    Replacement file(fileName);
    for (const std::string& entry : fileContent) {
        file.append(entry);
    }
    file.commit();
}

namespace {

constexpr std::size_t flushSize = 1 << 20;

}  // namespace

TextOutFile::Replacement::Replacement(const std::string& fileName) : target(fileName) {
    struct stat status {};
    if (::lstat(target.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) {
        // Replace the file the link points to, not the link.
        if (char* resolved = ::realpath(target.c_str(), nullptr)) {
            target = resolved;
            std::free(resolved);
        }
    }
    pending.reserve(flushSize + 4096);
    const bool exists = ::stat(target.c_str(), &status) == 0;
    if (exists && (!S_ISREG(status.st_mode) || status.st_nlink > 1)) {
        openInPlace();
        return;
    }

    const std::size_t slash = target.rfind('/');
    const std::string directory = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    const std::string base =
        (slash == std::string::npos ? target : target.substr(slash + 1)).substr(0, NAME_MAX - 40);
    int error = 0;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary = directory + "." + base + ".tmp" + std::to_string(::getpid()) + "-" +
                    std::to_string(temporaryCounter++);
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        error = errno;
        if (fd < 0 && error != EEXIST) {
            break;
        }
    }
    if (fd < 0) {
        temporary.clear();
        if (exists && (error == EACCES || error == EPERM)) {
            openInPlace();
            return;
        }
        throw bad_open();
    }
    if (exists) {
        ::fchmod(fd, status.st_mode & 07777);
    }
}

void TextOutFile::Replacement::openInPlace() {
    fd = ::open(target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) {
        throw bad_open();
    }
}

void TextOutFile::Replacement::copyIntoTarget() {
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
}

TextOutFile::Replacement::~Replacement() {
    if (fd >= 0) {
        ::close(fd);
    }
    if (!temporary.empty()) {
        ::unlink(temporary.c_str());
    }
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
    // A folder that lets no one but the target's owner replace it (sticky) or a target that is a
    // mount point: the target takes the text in place, as a plain write would give it.
    if (errno != EACCES && errno != EPERM && errno != EBUSY) {
        throw bad_open();
    }
    copyIntoTarget();
}

}  // namespace Io
