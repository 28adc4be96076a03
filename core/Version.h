#pragma once
// The program's version information, in one place. The version text of the
// engine is major "." minor ".0." revision, e.g. 1.1.0.1.
#include <string>

namespace Version {
inline constexpr const char* ProductName = "Kiv";
inline constexpr int Major = 1;
inline constexpr int Minor = 1;
inline constexpr int Revision = 1;
inline constexpr const char* FileDescription = "Realtime graphics playout engine";
inline constexpr const char* ExeName = "kiv";  // program file name without extension

// "1.1.0.<revision>"
inline std::string Text() {
    return std::to_string(Major) + "." + std::to_string(Minor) + ".0." + std::to_string(Revision);
}
}  // namespace Version
