#include "app/CommandFile.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <ostream>
#include <string_view>

#include "console/console.h"
#include "ecu/VOEcuGenBase.h"
#include "hexfile/File.h"

namespace {

constexpr std::size_t kLabelStart = 5;
constexpr unsigned long long kMax32 = 0xFFFFFFFFull;

// What a 32-bit strtoul in base 16 makes of the piece: leading white space and one sign skipped, an
// optional "0x", digits up to the first other character (none: 0), a magnitude beyond 32 bits
// saturated to 0xFFFFFFFF, a negative value taken modulo 2^32.
uint32_t hexValue32(std::string_view piece) {
    std::string text(piece);
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // A second sign or white space after the sign is no number.
    if (i >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i]))) {
        return 0;
    }
    errno = 0;
    const unsigned long long magnitude = std::strtoull(text.c_str() + i, nullptr, 16);
    if (errno == ERANGE || magnitude > kMax32) {
        return static_cast<uint32_t>(kMax32);
    }
    const auto value = static_cast<uint32_t>(magnitude);
    return negative ? static_cast<uint32_t>(0u - value) : value;
}

}  // namespace

void appendCommandBytes(std::string_view line, std::vector<uint8_t>& request) {
    std::size_t pos = 0;
    while (pos < line.size()) {
        const std::size_t blank = line.find(' ', pos);
        const std::size_t end = blank == std::string_view::npos ? line.size() : blank;
        if (end > pos) {
            request.push_back(static_cast<uint8_t>(hexValue32(line.substr(pos, end - pos)) & 0xFF));
        }
        pos = end + 1;
    }
}

CommandFile::CommandFile() = default;

CommandFile::CommandFile(const std::string& fileName) {
    load(fileName);
}

CommandFile::CommandFile(const std::string& fileName, VOEcuGenBase& ecu) {
    load(fileName);
    execute(ecu);
}

void CommandFile::load(const std::string& fileName) {
    std::optional<Io::TextInFile> file;
    try {
        file.emplace(fileName.c_str());
    } catch (const Io::exception&) {
        normalOut << "\n.....Command file not found! " << fileName << std::endl;
        return;
    }
    entryList.clear();
    Io::LineCursor cursor = file->lineCursor();
    std::string_view line;
    while (cursor.next(line)) {
        if (line.find("Name") == std::string_view::npos) {
            continue;
        }
        // A line of just "Name" has no label.
        CommandFileEntry entry{std::string(line.size() > kLabelStart ? line.substr(kLabelStart) : ""), {}};
        std::vector<uint8_t> request;
        while (cursor.next(line) && !line.empty()) {
            appendCommandBytes(line, request);
        }
        entry.commands.push_back(std::move(request));
        entryList.push_back(std::move(entry));
    }
}

void CommandFile::execute(VOEcuGenBase& ecu) const {
    for (const CommandFileEntry& entry : entryList) {
        for (const std::vector<uint8_t>& request : entry.commands) {
            // An empty request has nothing to send.
            if (request.empty()) {
                continue;
            }
            normalOut << "\nCmd (Len: " << std::dec << request.size() << " dec): " << entry.label;
            ecu.SendCommand(request);
        }
    }
}
