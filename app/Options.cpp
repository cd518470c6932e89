#include "app/Options.h"

#include <algorithm>
#include <cctype>
#include <exception>
#include <optional>

#include "console/console.h"

namespace po = boost::program_options;

po::variables_map& getVariablesMap() {
    static po::variables_map map;
    return map;
}

po::options_description& getOptionsDescription() {
    static po::options_description description("Options", 80, 40);
    return description;
}

void addStandardOptions(po::options_description& description) {
    const auto text = [] { return po::value<std::string>(); };
    // clang-format off
    description.add_options()
        ("help,h", "help")
        ("nonVerbose,n", "non verbose / non-interactive / batch mode")
        ("com,c", text(), "com interface( [20(auto)], 5 (CANcase), ... )")
        ("listCom,l", "shows possible devices for --com  ")
        ("port,p", text(), "port (CAN channel [0(auto)], 1, 2,...)")
        ("baud,b", text(), "baudrate [500000]")
        ("hwIndex", text(), "hardware index (interface hardware index], 0, 1,...)")
        ("lin", "use LIN with vector interfaces that have both CAN and LIN")
        ("receiveTimeout", text(), "timeout for receive first char [3000]")
        ("ram,r", text(), "RAM Routine")
        ("ecuInfo,i", text(), "target ECU")
        ("ecuType,t", text(), "ECU type")
        ("ecuClass", text(), "ECU class (KES2, DRO, CYT2, NXP, RH850)")
        ("ecuReset", "Restart ECU after flash programming")
        ("ecuFlashRequest", text(), "host send the flash request command to the ECU over LIN")
        ("txId", text(), "Tx CAN-ID [0x6F1]")
        ("rxId", text(), "Rx CAN-ID [0x643]")
        ("pktlen", text(), "UDS packet length (classic CAN: 256, [512], 1024, 2048)")
        ("readCode", text(), "read code area")
        ("writeCode", text(), "write code area")
        ("codeStartAddr", text(), "code start address (default is 0x00006000)")
        ("codePageSize", text(), "code page size (default is 256 bytes)")
        ("codeLength", text(), "code length (there is no default)")
        ("dataStartAddr", text(), "data start address (default is 0xFF200000)")
        ("dataPageSize", text(), "data page size (default is 64 bytes)")
        ("dataLength", text(), "data length (there is no default)")
        ("eraseCode", text(), "erase code area (startBlock,endBlock)")
        ("eraseData", text(), "erase all data flash area")
        ("noEraseCode", "write code area with no erase")
        ("progSession", "reboot ECU to PBL and start progrmming session")
        ("readOpt", "read option byte 0")
        ("writeOpt", text(), "write option byte 0 (hex 0x...)")
        ("readData", text(), "read data")
        ("writeData", text(), "write data")
        ("cmdFile", text(), "command file")
        ("jumpAddr", text(), "Jump to the specified RAM address");
    // clang-format on
}

namespace {

bool isBlank(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// The digits of text in base 16 or 10, without the blanks around them (and a "0x" before hexadecimal
// digits); empty when anything else is in the text.
std::string numberDigits(const std::string& text, bool hex) {
    std::size_t from = 0;
    std::size_t to = text.size();
    while (from < to && isBlank(text[from])) {
        ++from;
    }
    while (to > from && isBlank(text[to - 1])) {
        --to;
    }
    if (hex && to - from > 2 && text[from] == '0' && (text[from + 1] == 'x' || text[from + 1] == 'X')) {
        from += 2;
    }
    const std::string digits = text.substr(from, to - from);
    const auto isDigit = [hex](char c) {
        return hex ? std::isxdigit(static_cast<unsigned char>(c)) != 0
                   : std::isdigit(static_cast<unsigned char>(c)) != 0;
    };
    return std::all_of(digits.begin(), digits.end(), isDigit) ? digits : std::string();
}

// The digits as a number; none when they are none or the number does not fit bits.
std::optional<uint64_t> digitsValue(const std::string& digits, bool hex, unsigned bits) {
    if (digits.empty()) {
        return std::nullopt;
    }
    const uint64_t limit = bits >= 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1;
    const uint64_t base = hex ? 16 : 10;
    uint64_t value = 0;
    for (const char c : digits) {
        const uint64_t digit =
            std::isdigit(static_cast<unsigned char>(c)) != 0
                ? static_cast<uint64_t>(c - '0')
                : static_cast<uint64_t>(std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
        if (value > (limit - digit) / base) {
            return std::nullopt;
        }
        value = value * base + digit;
    }
    return value;
}

// Why text breaks form; empty when it does not.
std::string valueFault(const std::string& text, OptionValueForm form) {
    if (form == OptionValueForm::blockPair) {
        uint64_t first = 0;
        uint64_t last = 0;
        return readBlockPair(text, first, last) ? "" : "not two decimal block numbers as first,last";
    }
    const bool hex =
        form == OptionValueForm::hex16 || form == OptionValueForm::hex32 || form == OptionValueForm::hex64;
    unsigned bits = 64;
    if (form == OptionValueForm::hex16) {
        bits = 16;
    } else if (form == OptionValueForm::hex32 || form == OptionValueForm::dec32 ||
               form == OptionValueForm::positiveDec32) {
        bits = 32;
    }
    const std::string digits = numberDigits(text, hex);
    if (digits.empty()) {
        return hex ? "not a hexadecimal number" : "not a decimal number";
    }
    const std::optional<uint64_t> value = digitsValue(digits, hex, bits);
    if (!value) {
        return "more than " + std::to_string(bits) + " bits";
    }
    if (form == OptionValueForm::positiveDec32 && *value == 0) {
        return "not above 0";
    }
    return "";
}

}  // namespace

const OptionValueRules& standardValueRules() {
    using F = OptionValueForm;
    static const OptionValueRules rules = {
        {"com", F::dec32},
        {"port", F::dec32},
        {"baud", F::dec32},
        {"hwIndex", F::dec32},
        {"ecuFlashRequest", F::hex64},
        {"txId", F::hex16},
        {"rxId", F::hex16},
        {"pktlen", F::dec32},
        {"codeStartAddr", F::hex64},
        {"codePageSize", F::hex32},
        {"codeLength", F::hex64},
        {"dataStartAddr", F::hex64},
        {"dataPageSize", F::hex32},
        {"dataLength", F::hex64},
        {"writeOpt", F::hex32},
        {"jumpAddr", F::hex64},
    };
    return rules;
}

void checkOptionValues(const po::variables_map& map, const OptionValueRules& rules) {
    for (const OptionValueRule& rule : rules) {
        const auto found = map.find(rule.name);
        if (found == map.end()) {
            continue;
        }
        const auto* text = boost::any_cast<std::string>(&found->second.value());
        const std::string value = text != nullptr ? *text : std::string();
        const std::string fault = valueFault(value, rule.form);
        if (!fault.empty()) {
            throw po::error("the argument ('" + value + "') for option '--" + rule.name +
                            "' is invalid: " + fault);
        }
    }
}

std::optional<uint64_t> readWholeDecimal(const std::string& text) {
    return digitsValue(numberDigits(text, false), false, 64);
}

bool readBlockPair(const std::string& text, uint64_t& first, uint64_t& last) {
    const std::size_t comma = text.find(',');
    if (comma == std::string::npos) {
        return false;
    }
    const std::optional<uint64_t> a = readWholeDecimal(text.substr(0, comma));
    const std::optional<uint64_t> b = readWholeDecimal(text.substr(comma + 1));
    if (!a || !b) {
        return false;
    }
    first = *a;
    last = *b;
    return true;
}

void storeCommandLine(int argc, char* argv[], const po::options_description& description,
                      po::variables_map& map, const OptionValueRules& rules) {
    try {
        po::store(po::parse_command_line(argc, argv, description), map);
        po::notify(map);
        checkOptionValues(map, rules);
    } catch (...) {
        // An error found while storing (an option given twice) comes after the options before it
        // are stored; none of them may run without the rest of the command line.
        map.clear();
        throw;
    }
}

void parseCommandLine(int argc, char* argv[], const OptionValueRules& rules) {
    po::variables_map& map = getVariablesMap();
    po::options_description& description = getOptionsDescription();
    try {
        if (map.empty()) {
            // A second call after a failed parse must not add the table twice (every option would
            // then be ambiguous).
            if (description.options().empty()) {
                addStandardOptions(description);
            }
            storeCommandLine(argc, argv, description, map, rules);
        }
        const bool noOption = map.empty();
        if (map.count("help") != 0 || noOption) {
            normalOut << description << '\n';
        }
        if (map.count("listCom") != 0 || noOption) {
            ComInterfaceSelector selector;
            selector.printInterfaceList();
        }
    } catch (const std::exception& e) {
        errorOut << '\n' << "Error: Exception of type " << e.what() << '\n';
    } catch (...) {
        errorOut << '\n' << "Error: Exception of unknown type!" << '\n';
    }
}

std::string getOptionText(const std::string& name) {
    const po::variable_value& value = getVariablesMap()[name];
    if (value.empty()) {
        return {};
    }
    const auto* text = boost::any_cast<std::string>(&value.value());
    return text == nullptr ? std::string() : *text;
}

bool optionGiven(const std::string& name) {
    return getVariablesMap().count(name) != 0;
}

uint64_t optionHex64(const std::string& name, uint64_t fallback) {
    return optionGiven(name) ? getOptionHex<uint64_t>(name) : fallback;
}

uint32_t optionHex32(const std::string& name, uint32_t fallback) {
    return optionGiven(name) ? getOptionHex<uint32_t>(name) : fallback;
}

uint32_t optionDec32(const std::string& name, uint32_t fallback) {
    return optionGiven(name) ? getOptionDec<uint32_t>(name) : fallback;
}

uint64_t fromHexString(const std::string& text) {
    return readNumber<uint64_t>(text, std::hex);
}

uint64_t fromDecString(const std::string& text) {
    return readNumber<uint64_t>(text, std::dec);
}
