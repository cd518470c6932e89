#pragma once
// The 5-byte code the bootloader expects after the login service byte BA and after the
// programming-session request 34. It is fixed when the program is built (CMake cache variable
// VOFLASH_LOGIN_CODE, 10 hexadecimal digits, first byte first) and never printed.

#include <array>
#include <cstdint>

std::array<uint8_t, 5> ecuLoginCode();
