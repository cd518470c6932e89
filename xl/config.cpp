#include "xl/config.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>

#include "xl/bus.h"
#include "xl/xl_api.h"

namespace xl::config {

const char* const kDefaultText =
    "# name,           hwType, hwIndex, hwChannel, capabilities, serial, bus\n"
    "VN1640 Channel 1, 59, 0, 0, CAN+LIN, 40001, vbus1\n"
    "VN1640 Channel 2, 59, 0, 1, CAN+LIN, 40001, vbus2\n"
    "VN1640 Channel 3, 59, 0, 2, CAN+LIN, 40001, vbus3\n"
    "VN1640 Channel 4, 59, 0, 3, CAN+LIN, 40001, vbus4\n";

namespace {

std::string trim(const std::string& s) {
    const size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) {
        return "";
    }
    const size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

bool parseNumber(const std::string& s, uint64_t max, uint64_t* out) {
    if (s.empty() || s[0] == '-' || s[0] == '+') {
        return false;
    }
    const bool hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
    const std::string digits = hex ? s.substr(2) : s;
    if (digits.empty() || digits.size() > 16) {
        return false;
    }
    for (char c : digits) {
        const bool ok = hex ? std::isxdigit(static_cast<unsigned char>(c)) != 0 : (c >= '0' && c <= '9');
        if (!ok) {
            return false;
        }
    }
    errno = 0;
    const unsigned long long v = std::strtoull(digits.c_str(), nullptr, hex ? 16 : 10);
    if (errno != 0 || v > max) {
        return false;
    }
    *out = v;
    return true;
}

bool parseCapabilities(const std::string& s, uint32_t* out) {
    if (s == "CAN") {
        *out = XL_BUS_ACTIVE_CAP_CAN;
    } else if (s == "LIN") {
        *out = XL_BUS_ACTIVE_CAP_LIN;
    } else if (s == "CAN+LIN" || s == "LIN+CAN") {
        *out = XL_BUS_ACTIVE_CAP_CAN | XL_BUS_ACTIVE_CAP_LIN;
    } else {
        uint64_t v = 0;
        if (!parseNumber(s, 0xFFFFFFFFu, &v)) {
            return false;
        }
        *out = static_cast<uint32_t>(v);
    }
    return true;
}

// Parses one channel line; returns the problem, empty when the line is good.
std::string parseLine(const std::string& line, Channel* c) {
    std::vector<std::string> fields;
    std::stringstream ss(line);
    std::string f;
    while (std::getline(ss, f, ',')) {
        fields.push_back(trim(f));
    }
    if (!line.empty() && line.back() == ',') {
        fields.emplace_back();
    }
    if (fields.size() != 7) {
        return "expected 7 comma-separated fields (name, hwType, hwIndex, hwChannel, capabilities, "
               "serial, bus), found " +
               std::to_string(fields.size());
    }
    if (fields[0].empty() || fields[0].size() > XL_MAX_LENGTH) {
        return "the name must have 1 to " + std::to_string(XL_MAX_LENGTH) + " characters";
    }
    for (const char ch : fields[0]) {
        const auto u = static_cast<unsigned char>(ch);
        if (u < 0x20 || u == 0x7F) {
            return "the name holds a control character";
        }
    }
    c->name = fields[0];
    const char* labels[3] = {"hwType", "hwIndex", "hwChannel"};
    uint8_t* targets[3] = {&c->hwType, &c->hwIndex, &c->hwChannel};
    for (int i = 0; i < 3; ++i) {
        uint64_t v = 0;
        if (!parseNumber(fields[1 + i], 255, &v)) {
            return std::string(labels[i]) + " \"" + fields[1 + i] + "\" is not a number from 0 to 255";
        }
        *targets[i] = static_cast<uint8_t>(v);
    }
    if (!parseCapabilities(fields[4], &c->busCapabilities)) {
        return "capabilities \"" + fields[4] + "\" must be CAN, LIN, CAN+LIN or a number";
    }
    uint64_t serial = 0;
    if (!parseNumber(fields[5], 0xFFFFFFFFu, &serial)) {
        return "serial \"" + fields[5] + "\" is not a number from 0 to 4294967295";
    }
    c->serialNumber = static_cast<uint32_t>(serial);
    if (!bus::isValidName(fields[6])) {
        return "bus \"" + fields[6] + "\" must be 1 to 31 of A-Z a-z 0-9 _ - . and not start with '.'";
    }
    c->bus = fields[6];
    return "";
}

}  // namespace

const char* programName() {
    // The name the process was started by, without its folder (glibc keeps it from argv[0]).
    const char* name = program_invocation_short_name;
    return name != nullptr && *name != '\0' ? name : "xl";
}

bool parse(const std::string& text, const std::string& source, std::vector<Channel>* channels,
           std::string* error) {
    channels->clear();
    std::stringstream in(text);
    std::string raw;
    for (unsigned lineNo = 1; std::getline(in, raw); ++lineNo) {
        const std::string line = trim(raw.substr(0, raw.find('#')));
        if (line.empty()) {
            continue;
        }
        Channel c;
        std::string problem = parseLine(line, &c);
        if (problem.empty() && channels->size() == XL_CONFIG_MAX_CHANNELS) {
            problem = "more than " + std::to_string(XL_CONFIG_MAX_CHANNELS) + " channels";
        }
        for (const Channel& o : *channels) {
            if (problem.empty() && o.hwType == c.hwType && o.hwIndex == c.hwIndex &&
                o.hwChannel == c.hwChannel) {
                problem = "hwType " + std::to_string(c.hwType) + ", hwIndex " + std::to_string(c.hwIndex) +
                          ", hwChannel " + std::to_string(c.hwChannel) + " is configured twice";
            }
        }
        if (!problem.empty()) {
            *error = source + ", line " + std::to_string(lineNo) + ": " + problem;
            channels->clear();
            return false;
        }
        channels->push_back(std::move(c));
    }
    return true;
}

std::vector<Channel> load() {
    std::vector<Channel> channels;
    std::string error;
    const char* path = std::getenv("VOFLASH_XL_CONFIG");
    if (path == nullptr || *path == '\0') {
        parse(kDefaultText, "built-in configuration", &channels, &error);
        return channels;
    }
    struct stat st {};
    std::ifstream file;
    std::stringstream text;
    if (stat(path, &st) == 0 && S_ISREG(st.st_mode)) {
        file.open(path, std::ios::binary);
        if (file && st.st_size > 0) {
            text << file.rdbuf();
        }
    }
    if (!file.is_open() || file.bad()) {
        std::cerr << programName() << ": XL driver configuration " << path
                  << " (VOFLASH_XL_CONFIG) cannot be read; "
                  << "the driver has no channels" << std::endl;
        return {};
    }
    if (!parse(text.str(), path, &channels, &error)) {
        std::cerr << programName() << ": XL driver configuration " << error << "; the driver has no channels"
                  << std::endl;
        return {};
    }
    return channels;
}

}  // namespace xl::config
