#include "comm/UtilDateTime.h"

#include <time.h>

#include <array>
#include <cctype>
#include <istream>
#include <sstream>

namespace {

constexpr std::array<const char*, 12> kMonthNames = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool isDigit(int c) {
    return c != std::char_traits<char>::eof() && std::isdigit(c) != 0;
}

// A field of one or two digits after optional whitespace. asctime pads a day below 10 with a
// space rather than a '0' ("Feb  1"), so a single digit is the units.
uint8_t readTwoDigits(std::istream& in) {
    in >> std::ws;
    if (!isDigit(in.peek())) {
        return 0;
    }
    uint8_t value = static_cast<uint8_t>(in.get() - '0');
    if (isDigit(in.peek())) {
        value = static_cast<uint8_t>(value * 10 + (in.get() - '0'));
    }
    return value;
}

// The character between two time fields (':'), after optional whitespace.
void skipSeparator(std::istream& in) {
    char separator = 0;
    in >> separator;
}

uint8_t monthNumber(const std::string& name) {
    for (size_t i = 0; i < kMonthNames.size(); ++i) {
        if (name == kMonthNames[i]) {
            return static_cast<uint8_t>(i + 1);
        }
    }
    return 0;
}

}  // namespace

UtilDateTime::UtilDateTime(const std::string& text) {
    std::istringstream in(text);
    std::string weekday;
    std::string monthName;
    in >> weekday >> monthName;
    month = monthNumber(monthName);
    day = readTwoDigits(in);
    hour = readTwoDigits(in);
    skipSeparator(in);
    minute = readTwoDigits(in);
    skipSeparator(in);
    second = readTwoDigits(in);
    uint16_t readYear = 0;
    if (in >> readYear) {
        year = readYear;
    }
}

UtilDateTime UtilDateTime::now() {
    const time_t seconds = time(nullptr);
    tm local{};
    // asctime_r needs 26 characters; a year past 9999 does not fit and gives no text.
    char text[26] = {};
    if (localtime_r(&seconds, &local) == nullptr || asctime_r(&local, text) == nullptr) {
        return UtilDateTime(std::string());
    }
    return UtilDateTime(std::string(text));
}
