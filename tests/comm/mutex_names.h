#pragma once
// Reading the full name of a UtilMutex ("VO_MUTEX_<name>_<id hex>__0x<counter>").

#include <cstdint>
#include <string>

// The counter at the end of a full name ("..._0x<16 hex digits>").
inline uint64_t counterOf(const std::string& fullName) {
    return fullName.size() < 16 ? ~0ull : std::stoull(fullName.substr(fullName.size() - 16), nullptr, 16);
}
