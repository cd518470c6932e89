#include "app/Options.h"

#include <exception>

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

void storeCommandLine(int argc, char* argv[], const po::options_description& description,
                      po::variables_map& map) {
    try {
        po::store(po::parse_command_line(argc, argv, description), map);
        po::notify(map);
    } catch (...) {
        // An error found while storing (an option given twice) comes after the options before it
        // are stored; none of them may run without the rest of the command line.
        map.clear();
        throw;
    }
}

void parseCommandLine(int argc, char* argv[]) {
    po::variables_map& map = getVariablesMap();
    po::options_description& description = getOptionsDescription();
    try {
        if (map.empty()) {
            // A second call after a failed parse must not add the table twice (every option would
            // then be ambiguous).
            if (description.options().empty()) {
                addStandardOptions(description);
            }
            storeCommandLine(argc, argv, description, map);
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
