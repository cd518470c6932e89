#pragma once
// The file layer: whole files read at construction, as text lines or as raw bytes, and text written
// back. A file that cannot be opened or read throws Io::bad_open; nothing else leaves these classes.

#include <cstddef>
#include <deque>
#include <exception>
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

class TextInFile : public File {
  public:
    explicit TextInFile(const char* fileName);
    ~TextInFile() override;

    std::deque<std::string> getLines() const;

    // The lines without copying them.
    LineCursor lineCursor() const { return LineCursor(std::string_view(text.data(), text.size())); }
    bool hasLines() const { return !text.empty(); }
    std::string_view lastLine() const;

  protected:
    std::size_t textSize() const { return text.size(); }
    // A reader that has parsed its lines keeps the data, not the text; it gives the text back here.
    void releaseLines();

  private:
    // The whole file as read; the lines are its pieces between line ends.
    std::vector<char, LargeAllocator<char>> text;
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
    // Replaces the file with the text handed to append once commit is called. The text goes to a new
    // file beside the target that takes the target's name only when it is complete, so a failure (or
    // a replacement dropped without commit) leaves an existing file as it was. A target that is not a
    // regular file (a device, a pipe) cannot be replaced and is written in place. Every failure to
    // open, write or rename throws bad_open.
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

        std::string target;
        std::string temporary;  // empty when the target is written in place
        int fd = -1;
        std::string pending;
    };
};

}  // namespace Io
