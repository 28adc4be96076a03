#include "core/Log.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "core/EngineCounters.h"
#include "core/Settings.h"
#include "core/modMain.h"

namespace {
// The log kept in memory is the newest kConsoleTextLimit bytes, cut at a line
// start: weeks of log would otherwise take all memory. It is cut once it has
// grown by a quarter beyond the limit, so the cost per line stays constant.
constexpr size_t kConsoleTextLimit = size_t(64) << 20;
size_t gConsoleTextLimit = kConsoleTextLimit;
uint64_t gDroppedLines = 0;
std::string gConsoleText;
std::string gPendingInput;
ConsoleViewSink* gSink = nullptr;
LogEcho gEcho;
LogClock gClock;

std::chrono::system_clock::time_point Now() {
    return gClock ? gClock() : std::chrono::system_clock::now();
}

// Local calendar time plus the microseconds within the second, from one
// clock reading.
struct LocalTime {
    std::tm tm{};
    int64_t micros = 0;
};

LocalTime ToLocal(std::chrono::system_clock::time_point t) {
    using namespace std::chrono;
    const auto secs = floor<seconds>(t);
    LocalTime lt;
    lt.micros = duration_cast<microseconds>(t - secs).count();
    const std::time_t tt = system_clock::to_time_t(secs);
    localtime_r(&tt, &lt.tm);
    return lt;
}

// CLOG keeps this many console log files in its folder, the one just
// written among them, so that repeated requests cannot fill the disk.
constexpr size_t kKeptConsoleLogs = 20;

// <program>_yyyymmdd_HHMMSS_clog.txt, as ConsoleLogFileName makes them.
bool IsConsoleLogName(std::string_view name) {
    const std::string prefix = ProgramName() + "_";
    constexpr std::string_view kSuffix = "_clog.txt";
    if (name.size() != prefix.size() + 15 + kSuffix.size() || !name.starts_with(prefix) || !name.ends_with(kSuffix))
        return false;
    const std::string_view stamp = name.substr(prefix.size(), 15);
    for (size_t i = 0; i < stamp.size(); ++i)
        if (i == 8 ? stamp[i] != '_' : (stamp[i] < '0' || stamp[i] > '9')) return false;
    return true;
}

// The names sort as their times do; the newest are kept. The file just
// written is kept whatever its name says (the clock may have gone back).
void RemoveOldConsoleLogs(const std::filesystem::path& written) {
    std::error_code ec;
    std::vector<std::string> older;
    for (const auto& entry : std::filesystem::directory_iterator(written.parent_path(), ec)) {
        const std::string name = entry.path().filename().string();
        if (name != written.filename() && IsConsoleLogName(name) && entry.is_regular_file(ec)) older.push_back(name);
    }
    if (older.size() < kKeptConsoleLogs) return;
    std::sort(older.begin(), older.end());
    for (size_t i = 0; i + kKeptConsoleLogs - 1 < older.size(); ++i) {
        const std::filesystem::path path = written.parent_path() / older[i];
        if (std::filesystem::remove(path, ec)) WriteLog("Removing old console log " + path.string(), "SYS", " ");
    }
}

void TrimConsoleText() {
    if (gConsoleText.size() <= gConsoleTextLimit + gConsoleTextLimit / 4) return;
    const size_t excess = gConsoleText.size() - gConsoleTextLimit;
    const size_t eol = gConsoleText.find("\r\n", excess >= 2 ? excess - 2 : 0);
    const size_t cut = eol == std::string::npos ? excess : eol + 2;
    gDroppedLines += static_cast<uint64_t>(std::count(gConsoleText.begin(), gConsoleText.begin() + static_cast<long>(cut), '\n'));
    gConsoleText.erase(0, cut);
}

std::string SizeText(size_t bytes) {
    return bytes % (size_t(1) << 20) == 0 ? std::to_string(bytes >> 20) + " MiB" : std::to_string(bytes) + " bytes";
}

void AppendNumber(std::string& out, long long v, int minDigits) {
    char buf[32];
    const int n = std::snprintf(buf, sizeof buf, "%0*lld", minDigits, v);
    if (n > 0) out.append(buf, static_cast<size_t>(n));
}
}  // namespace

std::string EscapeLogMessage(std::string_view message) {
    std::string out;
    out.reserve(message.size());
    for (size_t i = 0; i < message.size(); ++i) {
        const char c = message[i];
        if (c == '\0') {
            out += "{NUL}";
        } else if (c == '\r') {
            if (i + 1 < message.size() && message[i + 1] == '\n') {
                out += "{CR}{LF}";
                ++i;
            } else {
                out += "{CR}";
            }
        } else if (c == '\n') {
            out += "{LF}";
        } else {
            out += c;
        }
    }
    return out;
}

std::string FormatLogLine(std::string_view message, std::string_view category, std::string_view severity,
                          std::chrono::system_clock::time_point when, int frameRate) {
    const LocalTime lt = ToLocal(when);
    std::string line;
    line.reserve(message.size() + 40);
    AppendNumber(line, lt.tm.tm_year + 1900LL, 4);
    line += '-';
    AppendNumber(line, lt.tm.tm_mon + 1, 2);
    line += '-';
    AppendNumber(line, lt.tm.tm_mday, 2);
    line += ' ';
    AppendNumber(line, lt.tm.tm_hour, 2);
    line += ':';
    AppendNumber(line, lt.tm.tm_min, 2);
    line += ':';
    AppendNumber(line, lt.tm.tm_sec, 2);
    line += ':';
    // Frame within the second, truncated. A negative rate is meaningless and
    // would print a negative frame number, so it counts as 0 like an unset one.
    const long long frame = frameRate > 0 ? lt.micros * frameRate / 1000000 : 0;
    AppendNumber(line, frame, 2);
    line += " [";
    line += category.empty() ? std::string_view("SYS") : category;
    line += ']';
    line += severity.empty() ? std::string_view(" ") : severity;
    line += ' ';
    line += EscapeLogMessage(message);
    line += "\r\n";
    return line;
}

void WriteLog(std::string_view message, std::string_view category, std::string_view severity) {
    // Logging must never fail towards the caller (not even on allocation
    // failure or an exception thrown by a view).
    try {
        const std::string line = FormatLogLine(message, category, severity, Now(), Settings.DisplayFrameRate);
        gConsoleText += line;
        TrimConsoleText();
        if (gEcho) gEcho(line);
        NoteLogLine(severity, line);
        if (ConsoleShown && gSink) gSink->InsertLogLine(line, gPendingInput);
    } catch (...) {
    }
}

const std::string& ConsoleText() { return gConsoleText; }
uint64_t DroppedLogLines() { return gDroppedLines; }
void SetConsoleTextLimit(size_t bytes) {
    gConsoleTextLimit = bytes ? bytes : kConsoleTextLimit;
    TrimConsoleText();
}
std::string& PendingInput() { return gPendingInput; }

void SetConsoleViewSink(ConsoleViewSink* sink) { gSink = sink; }

void RefillConsoleView() {
    try {
        if (gSink) gSink->Refill(gConsoleText, gPendingInput);
    } catch (...) {
    }
}

void SetLogEcho(LogEcho echo) { gEcho = std::move(echo); }
void SetLogClock(LogClock clock) { gClock = std::move(clock); }

std::string ConsoleLogFileName(std::chrono::system_clock::time_point when) {
    const LocalTime lt = ToLocal(when);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d_%H%M%S", &lt.tm);
    return ProgramName() + "_" + stamp + "_clog.txt";
}

std::string WriteConsoleLog() {
    std::string path;
    try {
        std::error_code ec;
        std::string dir = std::filesystem::current_path(ec).string();
        if (ec) throw std::runtime_error("no working directory");
        if (dir.empty() || dir.back() != '/') dir += '/';
        path = dir + ConsoleLogFileName(Now());
        WriteLog("Writing console log to " + path, "SYS", " ");
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        if (gDroppedLines > 0) {
            const std::string note =
                FormatLogLine("The log kept in memory holds its newest " + SizeText(gConsoleTextLimit) + ": " +
                                  std::to_string(gDroppedLines) + " older lines were dropped and are not in this file.",
                              "SYS", "W", Now(), Settings.DisplayFrameRate);
            out.write(note.data(), static_cast<std::streamsize>(note.size()));
        }
        out.write(gConsoleText.data(), static_cast<std::streamsize>(gConsoleText.size()));
        out.close();
        if (!out) {
            // A half-written file would pass for the whole log.
            std::filesystem::remove(path, ec);
            throw std::runtime_error("write failed");
        }
        RemoveOldConsoleLogs(path);
        return path;
    } catch (...) {
        WriteLog("Unable to write console log.", "SYS", "E");
        return "";
    }
}

bool VerboseOn() { return Settings.VerboseConsole > 0; }
bool DebugOn() { return Settings.VerboseConsole > 1 || DebugMode; }
