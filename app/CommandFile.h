#pragma once
// Command files: raw bootloader requests, each under a label, sent one after the other through the
// ECU object's raw-command service.
//
// File format, line by line (a carriage return before the line feed is dropped):
//   - a line that contains "Name" opens a section; its label is the line from the sixth character on;
//   - the following lines up to the first empty line (or the end of the file) hold the section's one
//     request: pieces between blanks, each read as a hexadecimal number whose low eight bits are the
//     byte;
//   - lines outside sections are ignored.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class VOEcuGenBase;

// Appends one byte per blank-separated piece of a data line: the low eight bits of what a 32-bit
// strtoul in base 16 makes of the piece.
void appendCommandBytes(std::string_view line, std::vector<uint8_t>& request);

struct CommandFileEntry {
    std::string label;
    // Loading puts exactly one request, the section's, into each entry.
    std::vector<std::vector<uint8_t>> commands;

    bool operator==(const CommandFileEntry&) const = default;
};

class CommandFile {
  public:
    CommandFile();
    explicit CommandFile(const std::string& fileName);
    // Loads the file and executes it.
    CommandFile(const std::string& fileName, VOEcuGenBase& ecu);

    // Replaces the entries with the file's; a file that cannot be opened is reported and leaves them.
    void load(const std::string& fileName);
    // Sends every request in order; a failed one does not stop the rest.
    void execute(VOEcuGenBase& ecu) const;

    const std::vector<CommandFileEntry>& entries() const { return entryList; }

  private:
    std::vector<CommandFileEntry> entryList;
};
