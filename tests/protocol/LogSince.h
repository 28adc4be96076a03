#pragma once
// The engine's log written since `mark`, without the time stamps; `mark` moves to its end.
#include <string>

#include "core/Log.h"

inline std::string LogSince(size_t& mark) {
    const std::string& text = ConsoleText();
    std::string out;
    for (size_t at = mark, end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
        out += text.substr(at + 23, end + 2 - at - 23);
    mark = text.size();
    return out;
}
