#pragma once
// The command line of the flash programs: the process-wide option map and option description, the
// option table of the standard programs, the parse with its help, interface list and error reports,
// and every reader that turns an option's text into a number.

#include <boost/program_options.hpp>
#include <cstdint>
#include <ios>
#include <optional>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "app/ComInterfaceSelector.h"

// The option map every flash program fills and reads; an option is present when it holds its long
// name. Flags hold no value, value options a std::string.
boost::program_options::variables_map& getVariablesMap();
// The option description ("Options", line length 80, description column at least 40).
boost::program_options::options_description& getOptionsDescription();

// Adds the option table of the standard programs to the description.
void addStandardOptions(boost::program_options::options_description& description);

// How the value of an option must read for the command line to be taken: a whole hexadecimal or
// decimal number that fits the option's width (blanks around it allowed, "0x" before hexadecimal
// digits), a whole decimal number above 0, or two decimal block numbers as first,last. The number
// readers below take what they can of any text, so a value such as "zz", "4k" or "0x10" for a
// decimal option would be read as a number that was not typed.
enum class OptionValueForm { hex16, hex32, hex64, dec32, dec64, positiveDec32, blockPair };
struct OptionValueRule {
    const char* name;
    OptionValueForm form;
};
using OptionValueRules = std::vector<OptionValueRule>;

// The rules of the standard programs' options that every class reads as numbers.
const OptionValueRules& standardValueRules();
// The option of map that breaks its rule is thrown as a boost::program_options::error whose text names
// the option and the value and says why; options that are absent are not looked at.
void checkOptionValues(const boost::program_options::variables_map& map, const OptionValueRules& rules);

// text as a whole decimal number (blanks around it allowed); none for any other text or a number
// past 64 bits.
std::optional<uint64_t> readWholeDecimal(const std::string& text);
// Two whole decimal numbers as first,last: false for any other text.
bool readBlockPair(const std::string& text, uint64_t& first, uint64_t& last);

// Parses the whole command line (argv[0] is the program path) into map and checks the values of
// rules. Every error of the option library and every value that breaks its rule is thrown on with map
// left empty, so a rejected command line runs no step.
void storeCommandLine(int argc, char* argv[], const boost::program_options::options_description& description,
                      boost::program_options::variables_map& map, const OptionValueRules& rules = {});

// Fills the option map from the whole command line (argv[0] is the program path) unless it holds
// options already, then prints the help text (--help, or no option at all) and the interface list
// (--listCom, or no option at all) on normalOut. Errors of the option library, and values that break
// their rule, are reported on errorOut ("Error: Exception of type " and the library's text) and
// leave the map empty; nothing is thrown.
void parseCommandLine(int argc, char* argv[], const OptionValueRules& rules = standardValueRules());

// The text read as a number of the width of T: leading blanks skipped, digits of the base up to the
// first other character ("0x" accepted in hexadecimal), 0 when none; no error is reported.
template <typename T>
T readNumber(const std::string& text, std::ios_base& (*base)(std::ios_base&)) {
    T value = 0;
    std::stringstream stream(text);
    stream >> base >> value;
    return value;
}

// The text read as a hexadecimal (an optional 0x or 0X first) or decimal number: leading blanks
// skipped, reading stops at the first character that is not a digit, 0 when none comes first.
uint64_t fromHexString(const std::string& text);
uint64_t fromDecString(const std::string& text);

// The text of a value option; empty when the option is absent or holds no text (a flag).
std::string getOptionText(const std::string& name);

// A present value option read as a number and cut to the width of T (uint16_t, uint32_t, uint64_t).
template <typename T>
T getOptionHex(const std::string& name) {
    static_assert(std::is_same_v<T, uint16_t> || std::is_same_v<T, uint32_t> || std::is_same_v<T, uint64_t>);
    return static_cast<T>(fromHexString(getOptionText(name)));
}

// A present value option read as a decimal number cut to 32 bits (uint32_t or enumInterfaceType).
template <typename T>
T getOptionDec(const std::string& name) {
    static_assert(std::is_same_v<T, uint32_t> || std::is_same_v<T, enumInterfaceType>);
    const auto value = static_cast<uint32_t>(fromDecString(getOptionText(name)));
    return static_cast<T>(value);
}

// Options of the process-wide map as the standard programs' steps read them: presence, and values
// with a default for an option not given.
bool optionGiven(const std::string& name);
uint64_t optionHex64(const std::string& name, uint64_t fallback);
uint32_t optionHex32(const std::string& name, uint32_t fallback);
uint32_t optionDec32(const std::string& name, uint32_t fallback);

// A present value option of map read as a number of the width of T (readNumber); the KES2 and DRO
// programs read their options so.
template <typename T>
T readHexOption(const boost::program_options::variables_map& map, const std::string& name) {
    return readNumber<T>(map[name].as<std::string>(), std::hex);
}

template <typename T>
T readDecOption(const boost::program_options::variables_map& map, const std::string& name) {
    return readNumber<T>(map[name].as<std::string>(), std::dec);
}
