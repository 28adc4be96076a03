#pragma once
// The log lines written while it lives, as "[CAT]S message" (timestamp cut).
#include <algorithm>
#include <string>
#include <vector>

#include "core/Log.h"

struct LogCapture {
    LogCapture() {
        SetLogEcho([this](const std::string& line) {
            const size_t at = line.find(" [");
            lines.push_back(line.substr(at + 1, line.size() - at - 3));  // without CR LF
        });
    }
    ~LogCapture() { SetLogEcho({}); }
    int IndexOf(const std::string& entry) const {
        const auto it = std::find(lines.begin(), lines.end(), entry);
        return it == lines.end() ? -1 : int(it - lines.begin());
    }
    std::vector<std::string> lines;
};
