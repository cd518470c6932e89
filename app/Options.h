#pragma once
// The command line of the flash programs: the process-wide option map and option description, the
// option table of the standard programs, the parse with its help, interface list and error reports,
// and every reader that turns an option's text into a number.

#include <boost/program_options.hpp>
#include <cstdint>
#include <ios>
#include <sstream>
#include <string>
#include <type_traits>

#include "app/ComInterfaceSelector.h"

// The option map every flash program fills and reads; an option is present when it holds its long
// name. Flags hold no value, value options a std::string.
boost::program_options::variables_map& getVariablesMap();
// The option description ("Options", line length 80, description column at least 40).
boost::program_options::options_description& getOptionsDescription();

// Adds the option table of the standard programs to the description.
void addStandardOptions(boost::program_options::options_description& description);

// Parses the whole command line (argv[0] is the program path) into map. Every error of the option
// library is thrown on with map left empty, so a rejected command line runs no step.
void storeCommandLine(int argc, char* argv[], const boost::program_options::options_description& description,
                      boost::program_options::variables_map& map);

// Fills the option map from the whole command line (argv[0] is the program path) unless it holds
// options already, then prints the help text (--help, or no option at all) and the interface list
// (--listCom, or no option at all) on normalOut. Errors of the option library are reported on
// errorOut ("Error: Exception of type " and the library's text) and leave the map empty; nothing
// is thrown.
void parseCommandLine(int argc, char* argv[]);

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
