#pragma once
// Names for the cases of parameterized suites, so that a failing case says which one it is.

#include <string>
#include <string_view>

namespace testing_support {

// A case name made from a description: letters and digits stay, every other character becomes an
// underscore ("LIN on a CAN-only channel" gives "LIN_on_a_CAN_only_channel"); no text gives "Empty".
inline std::string caseName(std::string_view text) {
    if (text.empty()) {
        return "Empty";
    }
    std::string name(text);
    for (char& c : name) {
        const bool letterOrDigit = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        if (!letterOrDigit) {
            c = '_';
        }
    }
    return name;
}

}  // namespace testing_support
