#include "tools/frame_text.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <vector>

#include "xl/xl_api.h"

namespace tools {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool parseData(const std::string& text, std::vector<uint8_t>* out, std::string* error) {
    out->clear();
    for (size_t i = 0; i < text.size();) {
        if (text[i] == '.') {
            ++i;
            continue;
        }
        if (i + 1 >= text.size() || hexValue(text[i]) < 0 || hexValue(text[i + 1]) < 0) {
            *error = "data \"" + text + "\" must be pairs of hex digits (a '.' may stand between bytes)";
            return false;
        }
        out->push_back(static_cast<uint8_t>(hexValue(text[i]) * 16 + hexValue(text[i + 1])));
        i += 2;
    }
    return true;
}

int fdLengthCode(size_t length) {
    for (unsigned code = 0; code <= 15; ++code) {
        if (xlCanFdDlcToLength(code) == length) {
            return static_cast<int>(code);
        }
    }
    return -1;
}

}  // namespace

bool parseFrame(const std::string& text, xl::bus::Frame* frame, std::string* error) {
    *frame = xl::bus::Frame{};
    frame->kind = xl::bus::Kind::kCan;
    const size_t hash = text.find('#');
    if (hash == std::string::npos) {
        *error = "\"" + text + "\" is not a frame: expected <id>#<data>, <id>#R or <id>##<flags><data>";
        return false;
    }
    const std::string idText = text.substr(0, hash);
    if (idText.empty() || idText.size() > 8) {
        *error = "identifier \"" + idText + "\" must have 1 to 8 hex digits";
        return false;
    }
    uint32_t id = 0;
    for (char c : idText) {
        if (hexValue(c) < 0) {
            *error = "identifier \"" + idText + "\" must be hexadecimal";
            return false;
        }
        id = id * 16 + static_cast<uint32_t>(hexValue(c));
    }
    if (idText.size() <= 3) {
        if (id > 0x7FF) {
            *error = "standard identifier " + idText + " is above 7FF (write 8 digits for an extended one)";
            return false;
        }
        frame->id = id;
    } else {
        if (id > 0x1FFFFFFF) {
            *error = "extended identifier " + idText + " is above 1FFFFFFF";
            return false;
        }
        frame->id = id | xl::bus::kExtendedId;
    }
    std::string rest = text.substr(hash + 1);
    std::vector<uint8_t> data;
    if (!rest.empty() && rest[0] == '#') {
        if (rest.size() < 2 || hexValue(rest[1]) < 0) {
            *error = "CAN FD frame \"" + text + "\" needs one hex digit of flags after ##";
            return false;
        }
        const int flags = hexValue(rest[1]);
        if (!parseData(rest.substr(2), &data, error)) {
            return false;
        }
        const int code = fdLengthCode(data.size());
        if (code < 0) {
            *error = "CAN FD data of " + std::to_string(data.size()) +
                     " bytes: a CAN FD frame has 0 to 8, 12, 16, 20, 24, 32, 48 or 64";
            return false;
        }
        frame->flags = xl::bus::kFlagFd | ((flags & 1) ? xl::bus::kFlagBrs : 0);
        frame->dlc = static_cast<uint8_t>(code);
    } else if (!rest.empty() && (rest[0] == 'R' || rest[0] == 'r')) {
        frame->flags = xl::bus::kFlagRemote;
        if (rest.size() > 2 || (rest.size() == 2 && (rest[1] < '0' || rest[1] > '8'))) {
            *error = "remote request \"" + text + "\" takes a data length code 0 to 8 after R";
            return false;
        }
        frame->dlc = rest.size() == 2 ? static_cast<uint8_t>(rest[1] - '0') : 0;
        return true;
    } else {
        if (!parseData(rest, &data, error)) {
            return false;
        }
        if (data.size() > 8) {
            *error = "a classic frame carries at most 8 bytes, \"" + text + "\" has " +
                     std::to_string(data.size()) + " (write <id>##<flags><data> for CAN FD)";
            return false;
        }
        frame->dlc = static_cast<uint8_t>(data.size());
    }
    frame->length = static_cast<uint8_t>(data.size());
    std::copy(data.begin(), data.end(), frame->data);
    return true;
}

std::string formatFrame(const std::string& bus, const xl::bus::Frame& f, const DumpOptions& o,
                        uint64_t previousNs) {
    char buf[512] = {};
    std::string line;
    switch (o.time) {
        case TimeFormat::kRelative: {
            const uint64_t t = f.timeNs > o.startNs ? f.timeNs - o.startNs : 0;
            std::snprintf(buf, sizeof buf, "(%6llu.%06llu)",
                          static_cast<unsigned long long>(t / 1000000000ull),
                          static_cast<unsigned long long>(t % 1000000000ull / 1000));
            break;
        }
        case TimeFormat::kAbsolute: {
            const int64_t t = static_cast<int64_t>(f.timeNs) + o.realOffsetNs;
            std::snprintf(buf, sizeof buf, "(%lld.%06lld)", static_cast<long long>(t / 1000000000ll),
                          static_cast<long long>(t % 1000000000ll / 1000));
            break;
        }
        case TimeFormat::kDelta: {
            const uint64_t t = previousNs != 0 && f.timeNs > previousNs ? f.timeNs - previousNs : 0;
            std::snprintf(buf, sizeof buf, "(%3llu.%06llu)",
                          static_cast<unsigned long long>(t / 1000000000ull),
                          static_cast<unsigned long long>(t % 1000000000ull / 1000));
            break;
        }
    }
    line = buf;
    std::snprintf(buf, sizeof buf, "  %-8s  ", bus.c_str());
    line += buf;
    const auto bytes = [&](const uint8_t* data, unsigned n) {
        std::string s;
        for (unsigned i = 0; i < n; ++i) {
            std::snprintf(buf, sizeof buf, i == 0 ? "%02X" : " %02X", data[i]);
            s += buf;
        }
        return s;
    };
    switch (f.kind) {
        case xl::bus::Kind::kCan: {
            if (f.id & xl::bus::kExtendedId) {
                std::snprintf(buf, sizeof buf, "%08X", f.id & 0x1FFFFFFFu);
            } else {
                std::snprintf(buf, sizeof buf, "%03X     ", f.id & 0x7FFu);
            }
            line += buf;
            if (f.flags & xl::bus::kFlagRemote) {
                std::snprintf(buf, sizeof buf, "  [%u]  remote request", f.dlc);
                line += buf;
                break;
            }
            std::snprintf(buf, sizeof buf, "  [%u]", f.length);
            line += buf;
            if (f.length > 0) {
                line += (f.length < 10 ? "  " : " ") + bytes(f.data, f.length);
            }
            if (f.flags & xl::bus::kFlagFd) {
                line += (f.flags & xl::bus::kFlagBrs) ? "  (FD, BRS)" : "  (FD)";
            } else if (f.dlc > 8) {
                std::snprintf(buf, sizeof buf, "  (dlc %u)", f.dlc);
                line += buf;
            }
            break;
        }
        case xl::bus::Kind::kChipState: {
            const char* state = f.busStatus == XL_CHIPSTAT_BUSOFF          ? "bus off"
                                : f.busStatus == XL_CHIPSTAT_ERROR_PASSIVE ? "error passive"
                                : f.busStatus == XL_CHIPSTAT_ERROR_WARNING ? "error warning"
                                : f.busStatus == XL_CHIPSTAT_ERROR_ACTIVE  ? "error active"
                                                                           : "state";
            std::snprintf(buf, sizeof buf, "CHIPSTATE  %s (0x%02X)  tx errors %u  rx errors %u", state,
                          f.busStatus, f.txErrorCounter, f.rxErrorCounter);
            line += buf;
            break;
        }
        case xl::bus::Kind::kTxFail:
            std::snprintf(buf, sizeof buf,
                          "TXFAIL     the next %u transmits of each port report a full queue", f.count);
            line += buf;
            break;
        case xl::bus::Kind::kLinHeader:
            std::snprintf(buf, sizeof buf, "LIN %02X      header", f.id);
            line += buf;
            break;
        case xl::bus::Kind::kLinFrame:
            std::snprintf(buf, sizeof buf, "LIN %02X    [%u]", f.id, f.length);
            line += buf;
            if (f.length > 0) {
                line += "  " + bytes(f.data, f.length);
            }
            std::snprintf(buf, sizeof buf, "  checksum %02X", f.checksum);
            line += buf;
            break;
    }
    if (o.showSender) {
        std::snprintf(buf, sizeof buf, "  [pid %u]", f.senderPid);
        line += buf;
    }
    return line;
}

}  // namespace tools
