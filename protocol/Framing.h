#pragma once
// Cutting received text into command lines. Pure text work, no sockets.
#include <functional>
#include <string>
#include <string_view>

inline constexpr std::string_view kTermCRLF = "\r\n";
inline constexpr std::string_view kTermNUL = std::string_view("\0", 1);
inline constexpr std::string_view kTermCR = "\r";
inline constexpr std::string_view kTermLF = "\n";

// Takes every complete line off the front of `buffer`, in order, and hands
// each to `onLine` with the terminator that ended it; an unfinished line stays
// in the buffer. The separator is chosen once per call from what the buffer
// holds (NUL, then CR LF, then CR, then LF), so a line may contain the other
// terminators. The views handed to `onLine` point into `buffer`, which the
// callback must not change.
void FrameReceivedText(std::string& buffer,
                       const std::function<void(std::string_view line, std::string_view terminator)>& onLine);
