#pragma once
// The full name of a UtilMutex as its own report shows it: an unlock by a thread that does not own
// the mutex fails and prints "... Offending mutex: <name>".

#include <cstdint>
#include <string>

#include "comm/UtilMutex.h"
#include "tests/support/shared_names.h"

inline std::string mutexNameOf(UtilMutex& m) {
    testing_support::CoutCapture out;
    m.unlock();
    const std::string text = out.text();
    const std::string marker = " Offending mutex: ";
    const size_t at = text.find(marker);
    if (at == std::string::npos || text.empty() || text.back() != '\n') {
        return std::string();
    }
    return text.substr(at + marker.size(), text.size() - 1 - at - marker.size());
}

// The counter at the end of a full name ("..._0x<16 hex digits>").
inline uint64_t counterOf(const std::string& fullName) {
    return fullName.size() < 16 ? ~0ull : std::stoull(fullName.substr(fullName.size() - 16), nullptr, 16);
}
