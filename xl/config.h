#pragma once
// The virtual driver's channel list.
//
// It comes from the text file named by $VOFLASH_XL_CONFIG, else from the built-in default below.
// One channel per line, seven fields separated by commas (blanks around a field are dropped):
//
//     name, hwType, hwIndex, hwChannel, capabilities, serial, bus
//
//   name          up to 31 characters, no comma (the interface detection shows its first word)
//   hwType        hardware type 0..255 (59 VN1640; 1 marks a virtual channel, which detection skips)
//   hwIndex       interface index 0..255, hwChannel channel on the interface 0..255
//   capabilities  CAN, LIN or CAN+LIN, or a number (bus capability bits, 0x10000 CAN, 0x20000 LIN)
//   serial        serial number 0..4294967295
//   bus           the virtual bus the channel is wired to (1 to 31 of A-Z a-z 0-9 _ - ., not
//                 starting with '.'); channels on one bus name talk to each other
//
// Numbers are decimal or 0x-hexadecimal. A '#' starts a comment; blank lines are skipped. At most 64
// channels; no two with the same hwType, hwIndex and hwChannel. A file that breaks a rule gives one
// message on stderr, naming the file and the line, and the driver then has no channels.

#include <cstdint>
#include <string>
#include <vector>

namespace xl::config {

struct Channel {
    std::string name;
    uint8_t hwType = 0;
    uint8_t hwIndex = 0;
    uint8_t hwChannel = 0;
    uint32_t busCapabilities = 0;
    uint32_t serialNumber = 0;
    std::string bus;
};

// The built-in configuration: one VN1640 (hardware type 59, index 0, serial 40001) with four
// CAN and LIN channels "VN1640 Channel 1" to "VN1640 Channel 4" on the buses vbus1 to vbus4.
extern const char* const kDefaultText;

// Parses a configuration text. On a broken rule: false, *error = "<source>, line <n>: <what>".
bool parse(const std::string& text, const std::string& source, std::vector<Channel>* channels,
           std::string* error);

// The name of the running program (its file name, without the folder), which the driver's messages
// on stderr begin with.
const char* programName();

// The configuration now in force ($VOFLASH_XL_CONFIG or the default); a file that cannot be read
// or parsed prints its message on stderr and gives no channels.
std::vector<Channel> load();

}  // namespace xl::config
