#include "sim/SimOptions.h"

#include <cctype>
#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <sstream>

namespace sim {

namespace {

bool parseUnsigned(const std::string& text, int base, uint64_t max, uint64_t* out) {
    std::string digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits = digits.substr(2);
        base = 16;
    }
    if (digits.empty() || digits.size() > 16) {
        return false;
    }
    uint64_t v = 0;
    for (char c : digits) {
        const int d = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                      : std::isxdigit(static_cast<unsigned char>(c))
                          ? std::tolower(static_cast<unsigned char>(c)) - 'a' + 10
                          : 99;
        if (d >= base || v > (max - static_cast<uint64_t>(d)) / static_cast<uint64_t>(base)) {
            return false;
        }
        v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
    }
    *out = v;
    return true;
}

// Decimal, or hexadecimal with 0x.
bool number(const std::string& text, uint64_t max, uint64_t* out) {
    return parseUnsigned(text, 10, max, out);
}

// Hexadecimal, 0x optional.
bool hexNumber(const std::string& text, uint64_t max, uint64_t* out) {
    return parseUnsigned(text, 16, max, out);
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator)) {
        parts.push_back(part);
    }
    if (!text.empty() && text.back() == separator) {
        parts.emplace_back();
    }
    return parts;
}

// "*" (every request), "BA" (a service) or "BB70" (a service and its sub-function).
bool serviceSelector(const std::string& text, Bytes* out) {
    out->clear();
    if (text == "*") {
        return true;
    }
    uint64_t v = 0;
    if ((text.size() != 2 && text.size() != 4) || !hexNumber(text, 0xFFFF, &v)) {
        return false;
    }
    if (text.size() == 4) {
        *out = {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
    } else {
        *out = {static_cast<uint8_t>(v)};
    }
    return true;
}

struct FaultForm {
    FaultKind kind;
    bool hasValue;  // SERVICE:VALUE[:TIMES], else SERVICE[:TIMES]
    bool hexValue;
};

// SERVICE[:VALUE][:TIMES] as the form says.
bool parseFault(const FaultForm& form, const std::string& text, Fault* out) {
    const std::vector<std::string> parts = split(text, ':');
    const size_t needed = form.hasValue ? 2 : 1;
    if (parts.size() < needed || parts.size() > needed + 1) {
        return false;
    }
    out->kind = form.kind;
    if (!serviceSelector(parts[0], &out->service)) {
        return false;
    }
    uint64_t v = 0;
    if (form.hasValue) {
        if (!(form.hexValue ? hexNumber(parts[1], 0xFF, &v) : number(parts[1], 0xFFFFFFFF, &v))) {
            return false;
        }
        out->value = static_cast<uint32_t>(v);
    }
    out->times = 0;
    if (parts.size() == needed + 1) {
        if (!number(parts[needed], 0xFFFFFFFF, &v) || v == 0) {
            return false;
        }
        out->times = static_cast<uint32_t>(v);
    }
    return true;
}

using Handler = std::function<bool(const std::string&, CommandLine*)>;

// A number up to max (hexadecimal with hex, else decimal or 0x-hexadecimal) of at least min, handed
// to store.
template <typename Store>
Handler numeric(bool hex, uint64_t max, Store store, uint64_t min = 0) {
    return [=](const std::string& v, CommandLine* c) {
        uint64_t n = 0;
        if (!(hex ? hexNumber(v, max, &n) : number(v, max, &n)) || n < min) {
            return false;
        }
        store(c, n);
        return true;
    };
}

struct Option {
    bool takesValue;
    Handler handle;
    // Given more than once, each adds (a fault, an option byte); any other option is refused then.
    bool repeatable = false;
};

const std::map<std::string, Option>& options() {
    static const std::map<std::string, Option> kOptions = [] {
        std::map<std::string, Option> o;
        o["--help"] = {false, [](const std::string&, CommandLine* c) { return c->help = true; }};
        o["--class"] = {true, [](const std::string& v, CommandLine* c) {
                            const std::optional<EcuClass> cls = ecuClassFromName(v);
                            if (cls) {
                                c->config.ecuClass = *cls;
                            }
                            return cls.has_value();
                        }};
        o["--channel"] = {
            true, numeric(false, 63, [](CommandLine* c, uint64_t n) { c->channel = static_cast<int>(n); })};
        auto id = [](uint32_t Config::*field) {
            return numeric(false, 0x1FFFFFFF, [field](CommandLine* c, uint64_t n) {
                c->config.*field = static_cast<uint32_t>(n);
            });
        };
        o["--req-id"] = {true, id(&Config::requestId)};
        o["--resp-id"] = {true, id(&Config::responseId)};
        o["--address"] = {true, numeric(false, 0xFF, [](CommandLine* c, uint64_t n) {
                              c->config.address = static_cast<uint8_t>(n);
                          })};
        o["--lin"] = {false, [](const std::string&, CommandLine* c) { return c->config.lin = true; }};
        o["--login-code"] = {true, [](const std::string& v, CommandLine* c) {
                                 const std::string digits =
                                     v.size() > 2 && v[0] == '0' && (v[1] == 'x' || v[1] == 'X') ? v.substr(2)
                                                                                                 : v;
                                 uint64_t n = 0;
                                 if (digits.size() != 10 || !hexNumber(digits, 0xFFFFFFFFFFull, &n)) {
                                     return false;
                                 }
                                 for (size_t i = 0; i < 5; ++i) {
                                     c->config.loginCode[i] = static_cast<uint8_t>(n >> (8 * (4 - i)));
                                 }
                                 return true;
                             }};
        o["--flash-key"] = {
            true, numeric(true, ~uint64_t{0}, [](CommandLine* c, uint64_t n) { c->config.flashKey = n; })};
        o["--ecu-info"] = {true, numeric(true, 0xFFFFFFFF, [](CommandLine* c, uint64_t n) {
                               c->config.ecuInfo = static_cast<uint32_t>(n);
                           })};
        o["--option-byte"] = {true,
                              [](const std::string& v, CommandLine* c) {
                                  const std::vector<std::string> parts = split(v, '=');
                                  uint64_t index = 0;
                                  uint64_t value = 0;
                                  if (parts.size() != 2 || !number(parts[0], kOptionByteCount - 1, &index) ||
                                      !hexNumber(parts[1], 0xFFFFFFFF, &value)) {
                                      return false;
                                  }
                                  c->config.optionBytes[static_cast<uint8_t>(index)] =
                                      static_cast<uint32_t>(value);
                                  return true;
                              },
                              true};
        o["--require-login"] = {true, [](const std::string& v, CommandLine* c) {
                                    if (v != "0" && v != "1") {
                                        return false;
                                    }
                                    c->config.requireLogin = v == "1";
                                    return true;
                                }};
        auto byteSetting = [](uint8_t Config::*field, uint64_t min) {
            return numeric(
                false, 0xFF,
                [field](CommandLine* c, uint64_t n) { c->config.*field = static_cast<uint8_t>(n); }, min);
        };
        o["--data-read-pages"] = {true, byteSetting(&Config::dataReadPages, 1)};
        o["--block-size"] = {true, byteSetting(&Config::blockSize, 0)};
        o["--st-min"] = {true, byteSetting(&Config::stMin, 0)};
        o["--start-checks-crc"] = {
            false, [](const std::string&, CommandLine* c) { return c->config.startChecksCrc = true; }};
        o["--memory"] = {true, [](const std::string& v, CommandLine* c) {
                             c->memoryFile = v;
                             return !v.empty();
                         }};
        auto fault = [](FaultForm form) {
            return [form](const std::string& v, CommandLine* c) {
                Fault f;
                if (!parseFault(form, v, &f)) {
                    return false;
                }
                c->config.faults.push_back(f);
                return true;
            };
        };
        o["--no-answer"] = {true, fault({FaultKind::kNoAnswer, false, false}), true};
        o["--nrc"] = {true, fault({FaultKind::kNegative, true, true}), true};
        o["--wrong-ram-crc"] = {false, [](const std::string&, CommandLine* c) {
                                    c->config.faults.push_back({FaultKind::kWrongRamCrc, {0xBC}, 0, 0});
                                    return true;
                                }};
        o["--delay"] = {true, fault({FaultKind::kDelay, true, false}), true};
        o["--duplicate"] = {true, fault({FaultKind::kDuplicate, false, false}), true};
        o["--pending"] = {true, fault({FaultKind::kPending, true, false}), true};
        o["--short-frames"] = {true, fault({FaultKind::kShortFrames, false, false}), true};
        o["--drop-cf"] = {true, fault({FaultKind::kDropConsecutive, true, false}), true};
        return o;
    }();
    return kOptions;
}

// The option byte an --option-byte value sets ("I=..."), as its own option name: one index given
// twice is refused as a repeated option.
std::string optionByteName(const std::string& value) {
    uint64_t index = 0;
    return number(value.substr(0, value.find('=')), kOptionByteCount - 1, &index)
               ? "--option-byte " + std::to_string(index)
               : std::string();
}

}  // namespace

bool parseCommandLine(const std::vector<std::string>& args, CommandLine* out, std::string* error) {
    *out = CommandLine{};
    std::set<std::string> given;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool inlineValue = false;
        const size_t eq = name.find('=');
        if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            inlineValue = true;
        }
        const auto it = options().find(name);
        if (it == options().end()) {
            *error = "unknown option " + args[i];
            return false;
        }
        if (it->second.takesValue && !inlineValue) {
            if (i + 1 >= args.size()) {
                *error = name + " needs a value";
                return false;
            }
            value = args[++i];
        } else if (!it->second.takesValue && inlineValue) {
            *error = name + " takes no value";
            return false;
        }
        const std::string once = !it->second.repeatable    ? name
                                 : name == "--option-byte" ? optionByteName(value)
                                                           : "";
        if (!once.empty() && !given.insert(once).second) {
            *error = once + " given more than once";
            return false;
        }
        if (!it->second.handle(value, out)) {
            *error = "bad value for " + name + ": " + value;
            return false;
        }
    }
    if (!out->help && out->channel < 0) {
        *error = "--channel is required";
        return false;
    }
    return true;
}

std::string helpText() {
    std::ostringstream t;
    const auto loginCode = Config::defaultLoginCode();
    char code[11];
    std::snprintf(code, sizeof code, "%02X%02X%02X%02X%02X", loginCode[0], loginCode[1], loginCode[2],
                  loginCode[3], loginCode[4]);
    t << "Usage: ecu-sim --class <CYT2|NXP|RH850|KES2|DRO> --channel <n> [options]\n"
         "\n"
         "A simulated ECU bootloader on the virtual bus of the XL driver stand-in. It attaches to\n"
         "channel n (from 0) of the driver's channel list ($VOFLASH_XL_CONFIG, else the built-in one),\n"
         "prints \"ecu-sim: ready\" once it serves, and ends on SIGTERM or SIGINT with exit code 0.\n"
         "A channel that another ecu-sim serves is refused at start (exit code 1).\n"
         "\n"
         "Numbers are decimal or 0x-hexadecimal; codes, keys, values and services are hexadecimal.\n"
         "Each option is given once, except --option-byte (once per index) and the faults.\n"
         "\n"
         "ECU:\n"
         "  --class C            ECU class (default RH850)\n"
         "  --channel N          channel index in the driver's channel list (required)\n"
         "  --req-id ID          identifier of the tool's requests (default 0x6F1)\n"
         "  --resp-id ID         identifier of the replies (default 0x643); above 0x7FF: extended\n"
         "  --address A          frame address byte (default 0x43, with --lin 0x73); frames with\n"
         "                       another address byte are ignored\n"
         "  --lin                LIN slave instead of a CAN node: requests are the master's frames of\n"
         "                       --req-id, replies go out one frame per header of --resp-id; ids\n"
         "                       above 0x3F (the CAN defaults) give way to 0x3C and 0x3D\n"
         "  --login-code HEX     5-byte login code after BA and 34, 10 digits (default the tool's\n"
         "                       build-time code, "
      << code
      << ")\n"
         "  --flash-key HEX      the flash-request key (BB and the CRC of the key); a wrong one is\n"
         "                       answered 7E. Default: every key is accepted\n"
         "  --ecu-info HEX       ECU information read by BB FF (default 0); BB FE changes it\n"
         "  --option-byte I=HEX  option bytes index I (0-15) (default FFFFFFFF); repeatable, once\n"
         "                       per index\n"
         "  --require-login 0|1  flash, RAM and ECU-information services answer 7F xx 33 before a\n"
         "                       login (default 1 for CYT2, NXP, RH850; 0 for KES2 and DRO, whose\n"
         "                       programs use the flash without logging in)\n"
         "  --data-read-pages N  pages of a data read that names none, CYT2's BB 81 (default 2,\n"
         "                       as the tool's default packet length of 512)\n"
         "  --block-size N       block size of the ECU's flow control (default 0, no limit)\n"
         "  --st-min MS          separation time of the ECU's flow control (default 0)\n"
         "  --start-checks-crc   BE 01 answered 7F BE 22 unless the range of the last CRC query (BC)\n"
         "                       is followed in RAM by its CRC, least significant byte first\n"
         "  --memory FILE        code flash then data flash, byte for byte: loaded at start when the\n"
         "                       file exists and is not empty (it is made empty when missing),\n"
         "                       saved at exit; a FILE that cannot be written, or that another\n"
         "                       ecu-sim uses, is refused at start\n"
         "\n"
         "Faults (SERVICE is * for every request, XX for a service, XXYY for a service and its\n"
         "sub-function, e.g. BA, BB70; TIMES is how many matching requests, default all):\n"
         "  --no-answer SERVICE[:TIMES]      no answer, request not acted on (an ECU powering up)\n"
         "  --nrc SERVICE:CODE[:TIMES]       answered 7F, service, CODE, request not acted on\n"
         "  --wrong-ram-crc                  the RAM CRC reply (FC) carries a CRC that does not fit\n"
         "  --delay SERVICE:MS[:TIMES]       the reply is sent MS late\n"
         "  --duplicate SERVICE[:TIMES]      the reply is sent twice\n"
         "  --pending SERVICE:N[:TIMES]      N replies 7F, service, 78 (response pending) first\n"
         "  --short-frames SERVICE[:TIMES]   the reply's frames are not padded to 8 bytes\n"
         "  --drop-cf SERVICE:K[:TIMES]      consecutive frame K (from 1) of the reply is left out\n"
         "\n"
         "Memory per class (erased bytes FF; code writes and data writes only into erased bytes,\n"
         "else 7F BB 72; outside the memory 7F BB 31):\n"
         "  CYT2, NXP  code 0x10000000-0x1020FFFF, blocks 0-61 of 32 KiB, 62-77 of 8 KiB;\n"
         "             data 64 KiB at 0x14000000, units of 64 bytes\n"
         "  RH850      code 0-0x3FFFFF, blocks 0-7 of 8 KiB, 8-133 of 32 KiB;\n"
         "             data 64 KiB at 0xFF200000, units of 64 bytes\n"
         "  DRO        code 0x70000-0x17FFFF, blocks 0-3 of 16 KiB, 4-11 of 128 KiB;\n"
         "             data 64 KiB at 0, units of 32 bytes\n"
         "  KES2       code 0-0x7FFFF: block 0 the boot area 0-0x7FFF, blocks 1-3 the application\n"
         "             area, 0x8000-0x1FFFF, 0x20000-0x3FFFF and 0x40000-0x7FFFF; data 32 KiB at 0,\n"
         "             units of 32 bytes\n"
         "  RAM        downloads (BD) anywhere, up to 1 MiB in all; cleared by the reset\n"
         "\n"
         "Choices where the tool's side leaves them open:\n"
         "  - The tool's flow control 30 FF 00 (its only one per reply) means no limit: all\n"
         "    consecutive frames follow it. Block size 0 means the same; any other n lets n go.\n"
         "  - Data reads: CYT2 addresses the data flash absolutely, NXP and RH850 from 0; their data\n"
         "    writes use absolute addresses. KES2 and DRO address it from 0 in both.\n"
         "  - BB 82: first unit and end unit (exclusive) for CYT2, NXP, RH850; first unit and a count\n"
         "    for KES2 and DRO.\n"
         "  - BB 72 carries the first and the last block to erase (the tool sends one block twice).\n"
         "  - Reads of more than 15 pages would not fit a message of 4095 bytes: 7F BB 14.\n"
         "  - The jump BF 01 is answered FE 01 and the ECU stays in its bootloader; BE 01 needs a\n"
         "    download first (else 7F BE 22). BF 00 00 00 00 00 resets: FF 00, logged out, RAM lost.\n"
         "  - Replies: FA 00 login, 74 00 programming session, FB 00 flash request (7E wrong key),\n"
         "    FB and the sub-function for BB services (FB 71/81 then the data), FC and the CRC,\n"
         "    FD 00 download, FE 01 start and jump; unknown services 7F xx 11, unknown BB\n"
         "    sub-functions 7F BB 12, wrong lengths 7F xx 13.\n"
         "  - On LIN a slave sends only after the master's header: every frame of every reply\n"
         "    (first and consecutive frames, a doubled reply, response-pending frames) goes out\n"
         "    on a header of its own, in order. A new request drops what is left of earlier\n"
         "    replies. The tool asks for the flow control with a header right after its first\n"
         "    frame, so the ECU keeps its flow control armed while it has nothing else to send.\n";
    return t.str();
}

}  // namespace sim
