#pragma once
// MD5 message digest (RFC 1321), used to name cache files.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

// The 16 digest bytes in the standard order (A, B, C, D, each least
// significant byte first).
std::array<uint8_t, 16> MD5Digest(std::string_view message);

// The digest as 32 upper-case hexadecimal digits.
std::string MD5Hex(std::string_view message);
