#pragma once
// The file layer: whole files read at construction, as text lines or as raw bytes, and text written
// back. A file that cannot be opened or read throws Io::bad_open; nothing else leaves these classes.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "hexfile/LargeAllocator.h"

namespace Io {

struct exception : std::exception {
    ~exception() override;
};

// what() is "Could not open file", followed by the file's name and the reason when they are given.
struct bad_open : exception {
    bad_open() = default;
    bad_open(const std::string& fileName, const std::string& reason);
    ~bad_open() override;
    const char* what() const noexcept override;

  private:
    std::shared_ptr<const std::string> message;
};

// The reason the system gives for an error number.
std::string systemReason(int errorNumber);

// A file that could not be written because the memory for its content could not be had; the file is
// left as it was.
struct out_of_memory : bad_open {
    explicit out_of_memory(const std::string& fileName);
    ~out_of_memory() override;
};

class File {
  public:
    explicit File(const char* fileName);
    virtual ~File();

  protected:
    std::string fileName;
};

// Where the lines of a text end. A line always ends at a line feed, and a carriage return right
// before the line feed belongs to the line end. Record files are also read with a carriage return
// alone as a line end, as old editors leave them.
enum class LineEnds { lineFeed, anyBreak };

// Walks the lines of a text. The text after the last line end is a last line when it is not empty.
class LineCursor {
  public:
    explicit LineCursor(std::string_view text, LineEnds ends = LineEnds::lineFeed) : rest(text), ends(ends) {}

    // The next line, without its line end; false when there is none left.
    bool next(std::string_view& line);
    // True once the line last returned was the last one.
    bool atEnd() const { return rest.empty(); }

  private:
    std::string_view rest;
    LineEnds ends;
};

// What editors and tools put around the records of a text file: UTF-8 byte-order marks before the
// first line, and padding after the last one: DOS end-of-file bytes (0x1A), NUL bytes and 0xFF bytes
// (a file cut from a larger buffer or from erased flash), with line ends and blanks between and after
// them. The text without them.
std::string_view withoutTextMarks(std::string_view text);

// The text of a file that begins with a UTF-16 byte-order mark (little or big endian), as UTF-8 and
// without the mark; false, with nothing stored, when the bytes are no such text (an odd length, a
// surrogate without its partner).
bool decodeUtf16(std::string_view bytes, std::vector<char, LargeAllocator<char>>& text);

// A byte that text holds: anything but the control characters (tab, line feed, vertical tab, form
// feed and carriage return are text) and DEL. Bytes from 0x80 on are text (UTF-8, Latin-1).
inline bool isTextByte(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return (byte >= 0x20 || (byte >= '\t' && byte <= '\r')) && byte != 0x7F;
}
// Whether every byte of the text is one that text holds. Asked of whole files, so it looks at many
// bytes at a time.
bool holdsOnlyText(std::string_view text);

// The characters that count as blank: a line of them alone is an empty line, and they may stand
// before the first character of a line.
inline bool isBlankCharacter(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}
// Asked of every line, so it is kept to a few comparisons for a line of text.
inline bool isBlankLine(std::string_view line) {
    for (const char c : line) {
        if (!isBlankCharacter(c)) {
            return false;
        }
    }
    return true;
}
// The line from its first character that is not blank on.
inline std::string_view withoutLeadingBlanks(std::string_view line) {
    std::size_t first = 0;
    while (first < line.size() && isBlankCharacter(line[first])) {
        ++first;
    }
    return line.substr(first);
}
// The line up to its last character that is not blank: what editors leave after a record.
inline std::string_view withoutTrailingBlanks(std::string_view line) {
    std::size_t end = line.size();
    while (end > 0 && isBlankCharacter(line[end - 1])) {
        --end;
    }
    return line.substr(0, end);
}
// A comment line of a record file: text whose first character after its blanks is ';', '#' or '/'.
// It holds no data, so the readers pass over it.
bool isCommentLine(std::string_view line);

// Walks the lines of a text backwards, from the last one (lines as LineCursor gives them).
class ReverseLineCursor {
  public:
    explicit ReverseLineCursor(std::string_view text, LineEnds ends = LineEnds::lineFeed)
        : rest(text), ends(ends) {}

    // The line before the one last returned, without its line end; false when there is none left.
    bool next(std::string_view& line);
    // The text of the lines before the one last returned.
    std::string_view before() const { return rest; }

  private:
    std::string_view rest;
    LineEnds ends;
};

// The last line of a text that is neither blank nor a comment line, and the text of the lines before
// it.
struct LastContentLine {
    bool found = false;
    std::string_view line;
    std::string_view before;
};
LastContentLine lastContentLine(std::string_view text, LineEnds ends = LineEnds::lineFeed);

// What tells a file from another one, and from itself with other content.
struct FileIdentity {
    bool regular = false;
    unsigned long long device = 0;
    unsigned long long inode = 0;
    long long size = 0;
    long long modified = 0;  // nanoseconds
    long long changed = 0;   // nanoseconds
    bool operator==(const FileIdentity&) const = default;
};

// A whole file as it was read.
struct FileBytes {
    std::vector<char, LargeAllocator<char>> bytes;
    FileIdentity identity;
};
// Reads the whole file. A file that cannot be opened, cannot be read to its end or does not fit into
// memory throws bad_open, naming the file and the reason: a part of a file is never handed on as if it
// were the whole. A pipe or a device is read once, to its end.
FileBytes readFile(const std::string& fileName);
// The same for a name that may be null (an empty name, which no file has).
inline FileBytes readFile(const char* fileName) {
    return readFile(std::string(fileName != nullptr ? fileName : ""));
}

// A text file. One that begins with a UTF-16 byte-order mark is held as its text in UTF-8.
class TextInFile : public File {
  public:
    explicit TextInFile(const char* fileName);
    // The file as read already (a pipe cannot be read a second time).
    TextInFile(const char* fileName, FileBytes&& file);
    ~TextInFile() override;

    // The lines of the file as it was read. Lines that were released are read again; a file that has
    // changed since, or that cannot be read any more, throws bad_open.
    std::deque<std::string> getLines() const;
    bool hasLines() const { return textLength != 0; }

    // The text and its lines without copying them, while the text is held (see releaseLines).
    std::string_view content() const { return {text.data(), text.size()}; }
    LineCursor lineCursor() const { return LineCursor(content()); }

  protected:
    std::size_t textSize() const { return textLength; }
    // A reader that has parsed its lines keeps the data, not the text. The lines of a regular file are
    // then read again when they are asked for; those of a pipe or a device, which cannot be read
    // twice, are kept.
    void releaseLines();

  private:
    // The whole file as read; the lines are its pieces between line ends.
    std::vector<char, LargeAllocator<char>> text;
    std::size_t textLength = 0;
    FileIdentity identity;  // of the file as it was read
    bool released = false;
};

class BinaryInFile : public File {
  public:
    explicit BinaryInFile(const char* fileName);
    // The file as read already.
    BinaryInFile(const char* fileName, FileBytes&& file);
    ~BinaryInFile() override;

  protected:
    std::vector<char, LargeAllocator<char>> bytes;
};

class TextOutFile : public File {
  public:
    explicit TextOutFile(const char* fileName);
    ~TextOutFile() override;

    // Replaces the file with the entries, written one after the other as they are.
    void writeLines(const std::deque<std::string>& fileContent);

  protected:
    // Runs the writing of the file. It throws out_of_memory instead, before the file is touched, when
    // an image of the file was left out for lack of memory; and when the memory for the writing itself
    // cannot be had.
    template <class Write>
    void writeHeld(bool everyImageHeld, Write&& write) const {
        if (!everyImageHeld) {
            throw out_of_memory(fileName);
        }
        try {
            write();
        } catch (const std::bad_alloc&) {
            throw out_of_memory(fileName);
        }
    }

    // Replaces the file with the text handed to append once commit is called. The text goes to a new
    // file beside the target that takes the target's name only when it is complete, so a failure (or
    // a replacement dropped without commit) leaves an existing file as it was. A target that the user
    // may not write is never replaced: it throws bad_open before anything is written. Where a
    // replacement cannot be made but a plain write can, the target is written in place from the
    // start: a target that is not a regular file (a device, a pipe), one with other hard links (which
    // must keep seeing it), one of another owner (a replacement would change its owner, and a sticky
    // folder refuses it), and one in a folder that takes no new file. A regular file written in place
    // gets the room for the whole text before its first byte is overwritten: where the file system
    // has no room for it, the file is left as it was. A link is written through, to the file it names,
    // as a plain write would. Every failure to open, write or rename throws bad_open, naming the file
    // and the reason; a lack of memory throws out_of_memory before the target is touched.
    class Replacement {
      public:
        explicit Replacement(const std::string& fileName);
        Replacement(const Replacement&) = delete;
        Replacement& operator=(const Replacement&) = delete;
        ~Replacement();

        // Text is gathered and written in large pieces.
        void append(std::string_view text);
        std::string& buffer() { return pending; }
        // Writes the gathered text when it has grown large; a regular file written in place holds it
        // until commit.
        void flushIfFull();
        void commit();

      private:
        void flush();
        // Opens the target itself for writing. A regular file keeps its content until the whole text
        // is there and has its room (writeInPlace).
        void openInPlace();
        // Gives the regular file written in place room for length bytes from its start; the file is
        // left as it was when the room cannot be had.
        void reserveInPlace(uint64_t length);
        // Writes the whole text held for a regular target written in place over its old content and
        // cuts the file to the text.
        void writeInPlace();
        // Creates the temporary file beside the target; false when the folder takes no new file.
        bool createTemporary();
        void dropTemporary();
        // Copies the complete temporary file into the target, for a target that a rename cannot
        // replace. When that fails the temporary file is kept and named.
        void copyIntoTarget();

        // Throws bad_open for the target with the reason of the error number.
        [[noreturn]] void fail(int errorNumber) const;

        std::string name;  // as the caller gave it, for the messages
        std::string target;
        std::string temporary;  // empty when the target is written in place
        bool keepTemporary = false;
        // A regular file written in place: the text is held until it is complete.
        bool holdText = false;
        int fd = -1;
        std::string pending;
    };
};

}  // namespace Io
