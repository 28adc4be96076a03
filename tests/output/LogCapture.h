#pragma once
// Collects the log lines written while it lives, as "[CAT]S message" (the
// timestamp cut off), so tests can check texts, categories and order.
#include <algorithm>
#include <string>
#include <vector>

#include "app/Log.h"

class LogCapture {
public:
    LogCapture() {
        SetLogEcho([this](const std::string& line) {
            const size_t at = line.find(" [");
            std::string tail = at == std::string::npos ? line : line.substr(at + 1);
            if (tail.size() >= 2 && tail.compare(tail.size() - 2, 2, "\r\n") == 0) tail.resize(tail.size() - 2);
            lines.push_back(tail);
        });
    }
    ~LogCapture() { SetLogEcho({}); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    bool Has(const std::string& entry) const { return std::find(lines.begin(), lines.end(), entry) != lines.end(); }
    // Index of the first line equal to `entry`, or -1.
    int IndexOf(const std::string& entry) const {
        const auto it = std::find(lines.begin(), lines.end(), entry);
        return it == lines.end() ? -1 : int(it - lines.begin());
    }
    int CountStartingWith(const std::string& prefix) const {
        return int(std::count_if(lines.begin(), lines.end(),
                                 [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
    }

    std::vector<std::string> lines;
};
