#include "ecu/EcuLoginCode.h"

#include <cstddef>

#ifndef VOFLASH_LOGIN_CODE
#error "VOFLASH_LOGIN_CODE is set by the ecu library's CMakeLists.txt"
#endif

namespace {

constexpr uint64_t kLoginCode = VOFLASH_LOGIN_CODE;
static_assert(kLoginCode <= 0xFFFFFFFFFFull, "the login code has 5 bytes");

}  // namespace

std::array<uint8_t, 5> ecuLoginCode() {
    std::array<uint8_t, 5> code{};
    for (std::size_t i = 0; i < code.size(); ++i) {
        code[i] = static_cast<uint8_t>(kLoginCode >> (8 * (code.size() - 1 - i)));
    }
    return code;
}
