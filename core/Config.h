#pragma once
// The ini file beside the program and the conversions of its values.
#include <cstdint>
#include <optional>
#include <string>

// Reads <program dir>/kiv.ini into Settings. 0 on success, 1 on failure
// (after logging the error and calling StopOperation).
int ReadConfig();
// Same, for an explicit file (tests).
int ReadConfigFile(const std::string& path);

// Private-profile lookup: sections and keys without regard to case, the value
// cut to 749 characters, `def` when the key is missing.
std::string ReadIniValue(const std::string& section, const std::string& key, const std::string& path,
                         const std::string& def);

// "#RRGGBB" (hex digits in any case) to red + green*256 + blue*65536; any other
// text gives 0 (black).
uint32_t ParseColor(const std::string& text);

// A decimal number rounded to the nearest integer, ties to even; nullopt when
// the text is not a number or the result does not fit 32 bits.
std::optional<int32_t> ToInt32HalfEven(const std::string& text);
