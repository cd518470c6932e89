#pragma once
// The calendar fields of a time in its asctime text form ("Thu Jan 28 09:05:07 2021\n").

#include <cstdint>
#include <string>

struct UtilDateTime {
    // Parses the text; fields it cannot read stay 0, and so does a month name it does not know.
    explicit UtilDateTime(const std::string& text);

    // The local time now.
    static UtilDateTime now();

    uint8_t day = 0;
    uint8_t month = 0;  // 1 to 12
    uint16_t year = 0;
    uint8_t hour = 0;
    uint8_t minute = 0;
    uint8_t second = 0;
};
