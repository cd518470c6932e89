#pragma once
// The file layer: whole files read at construction, as text lines or as raw bytes, and text written
// back. A file that cannot be opened or read throws Io::bad_open; nothing else leaves these classes.

#include <cstddef>
#include <deque>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "hexfile/LargeAllocator.h"

namespace Io {

struct exception : std::exception {
    ~exception() override;
};

struct bad_open : exception {
    ~bad_open() override;
    const char* what() const noexcept override;
};

// A file that could not be written because the memory for its content could not be had; the file is
// left as it was.
struct out_of_memory : bad_open {
    ~out_of_memory() override;
};

class File {
  public:
    explicit File(const char* fileName);
    virtual ~File();

  protected:
    std::string fileName;
};

// Walks the lines of a text: a line ends at a line feed, and a carriage return right before the line
// feed belongs to the line end. The text after the last line feed is a last line when it is not empty.
class LineCursor {
  public:
    explicit LineCursor(std::string_view text) : rest(text) {}

    // The next line, without its line end; false when there is none left.
    bool next(std::string_view& line);
    // True once the line last returned was the last one.
    bool atEnd() const { return rest.empty(); }

  private:
    std::string_view rest;
};

// What editors and tools put around the records of a text file: UTF-8 byte-order marks before the
// first line, and DOS end-of-file bytes (0x1A) after the last one, with line ends and blanks between
// and after them. The text without them.
std::string_view withoutTextMarks(std::string_view text);

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
// A comment line of a record file: text whose first character after its blanks is ';', '#' or '/'.
// It holds no data, so the readers pass over it.
bool isCommentLine(std::string_view line);

// Walks the lines of a text backwards, from the last one (lines as LineCursor gives them).
class ReverseLineCursor {
  public:
    explicit ReverseLineCursor(std::string_view text) : rest(text) {}

    // The line before the one last returned, without its line end; false when there is none left.
    bool next(std::string_view& line);
    // The text of the lines before the one last returned.
    std::string_view before() const { return rest; }

  private:
    std::string_view rest;
};

// The last line of a text that is neither blank nor a comment line, and the text of the lines before
// it.
struct LastContentLine {
    bool found = false;
    std::string_view line;
    std::string_view before;
};
LastContentLine lastContentLine(std::string_view text);

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

class TextInFile : public File {
  public:
    explicit TextInFile(const char* fileName);
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
    ~BinaryInFile() override;

  protected:
    std::vector<char> bytes;
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
    static void writeHeld(bool everyImageHeld, Write&& write) {
        if (!everyImageHeld) {
            throw out_of_memory();
        }
        try {
            write();
        } catch (const std::bad_alloc&) {
            throw out_of_memory();
        }
    }

    // Replaces the file with the text handed to append once commit is called. The text goes to a new
    // file beside the target that takes the target's name only when it is complete, so a failure (or
    // a replacement dropped without commit) leaves an existing file as it was. A target that the user
    // may not write is never replaced: it throws bad_open before anything is written. Where a
    // replacement cannot be made but a plain write can, the target is written in place from the
    // start: a target that is not a regular file (a device, a pipe), one with other hard links (which
    // must keep seeing it), one of another owner (a replacement would change its owner, and a sticky
    // folder refuses it), and one in a folder that takes no new file. A link is written through, to
    // the file it names, as a plain write would. Every failure to open, write or rename throws
    // bad_open; a lack of memory throws out_of_memory before the target is touched.
    class Replacement {
      public:
        explicit Replacement(const std::string& fileName);
        Replacement(const Replacement&) = delete;
        Replacement& operator=(const Replacement&) = delete;
        ~Replacement();

        // Text is gathered and written in large pieces.
        void append(std::string_view text);
        std::string& buffer() { return pending; }
        // Writes the gathered text when it has grown large.
        void flushIfFull();
        void commit();

      private:
        void flush();
        // Opens the target itself for writing, emptied.
        void openInPlace();
        // Creates the temporary file beside the target; false when the folder takes no new file.
        bool createTemporary();
        void dropTemporary();
        // Copies the complete temporary file into the target, for a target that a rename cannot
        // replace. When that fails the temporary file is kept and named.
        void copyIntoTarget();

        std::string target;
        std::string temporary;  // empty when the target is written in place
        bool keepTemporary = false;
        int fd = -1;
        std::string pending;
    };
};

}  // namespace Io
