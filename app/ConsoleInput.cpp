#include "app/ConsoleInput.h"

#include "core/Ansi.h"
#include "core/Log.h"
#include "protocol/modCommandQueueManager.h"

ConsoleKey ApplyConsoleKey(char32_t code) {
    std::string& pending = PendingInput();
    if (code == 13) return ConsoleKey::Enter;
    if (code == 8) {
        if (pending.empty()) return ConsoleKey::Ignored;
        pending.pop_back();
        return ConsoleKey::Changed;
    }
    if (code >= 32 && code <= 126) {
        pending.push_back(static_cast<char>(code));
        return ConsoleKey::Changed;
    }
    if (code > 255) {
        // What the code page puts at 128-159 (the euro sign, curly quotes...)
        // is refused like the rest of the upper half; a character it lacks
        // becomes "?".
        const std::string ansi = UnicodeToAnsi(code);
        if (static_cast<unsigned char>(ansi[0]) >= 127) return ConsoleKey::Ignored;
        pending += ansi;
        return ConsoleKey::Changed;
    }
    return ConsoleKey::Ignored;
}

std::string TakeConsoleLine() {
    std::string line;
    line.swap(PendingInput());
    const size_t first = line.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    const size_t last = line.find_last_not_of(' ');
    return line.substr(first, last - first + 1);
}

void AppendConsolePaste(const std::string& text) { PendingInput() += text; }

void QueueConsoleLine(const std::string& line) { AddCommand(line, 0, "\r\n"); }
