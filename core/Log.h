#pragma once
// The one log operation and the console text. Text is bytes, one per
// character (Windows-1252), exactly as given.
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// Appends one timestamped line to ConsoleText and, while ConsoleShown, to the
// console view. Empty category means "SYS", empty severity a blank. Never
// fails towards the caller.
void WriteLog(std::string_view message, std::string_view category = "", std::string_view severity = "");

// The lines logged since start, each ending in CR LF: the newest 64 MiB of
// them (older lines are dropped whole once it has grown a quarter beyond).
const std::string& ConsoleText();
// How many lines have been dropped from the front of ConsoleText.
uint64_t DroppedLogLines();
// Tests: another limit for ConsoleText; 0 restores the 64 MiB.
void SetConsoleTextLimit(size_t bytes);
// The command line the operator is typing in the console window.
std::string& PendingInput();

// Writes ConsoleText to <working dir>/<program>_yyyymmdd_HHMMSS_clog.txt and
// answers its path, or "" (after logging the error) when it cannot. When
// lines were dropped from ConsoleText, the file's first line says so. Of
// such files in that folder only the newest 20 are kept.
std::string WriteConsoleLog();

// Verbose ("V") and debug ("D") lines are built only when these say so.
bool VerboseOn();  // VerboseConsole > 0
bool DebugOn();    // VerboseConsole > 1 or DebugMode

// The console view as the log sees it; the console window implements it.
// The view's text is always ConsoleText followed by PendingInput.
class ConsoleViewSink {
public:
    virtual ~ConsoleViewSink() = default;
    // Insert `line` after the log text already shown, keeping the pending
    // input after it; the caret ends at the end of the view (scrolling to it
    // may be deferred to the next event-loop pass).
    virtual void InsertLogLine(const std::string& line, const std::string& pending) = 0;
    // Replace the whole view with `text` followed by `pending`.
    virtual void Refill(const std::string& text, const std::string& pending) = 0;
};
void SetConsoleViewSink(ConsoleViewSink* sink);
// Rebuilds the whole view from ConsoleText and PendingInput (the console being
// shown again after lines were logged while it was hidden).
void RefillConsoleView();

// Headless runs have no visible console: each line can be echoed as written
// (main sets this from the environment). Empty function turns it off.
using LogEcho = std::function<void(const std::string& line)>;
void SetLogEcho(LogEcho echo);

// Clock seam for tests: the local wall-clock time used for timestamps and the
// console log file name.
using LogClock = std::function<std::chrono::system_clock::time_point()>;
void SetLogClock(LogClock clock);  // empty function restores the real clock

// The pieces of WriteLog and WriteConsoleLog, exposed for tests.
std::string EscapeLogMessage(std::string_view message);
std::string FormatLogLine(std::string_view message, std::string_view category, std::string_view severity,
                          std::chrono::system_clock::time_point when, int frameRate);
std::string ConsoleLogFileName(std::chrono::system_clock::time_point when);
