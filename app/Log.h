#pragma once
// The one log operation and the console text. Text is bytes, one per
// character (Windows-1252), exactly as given.
#include <chrono>
#include <functional>
#include <string>
#include <string_view>

// Appends one timestamped line to ConsoleText and, while ConsoleShown, to the
// console view. Empty category means "SYS", empty severity a blank. Never
// fails towards the caller.
void WriteLog(std::string_view message, std::string_view category = "", std::string_view severity = "");

// Every line logged since start, each ending in CR LF.
const std::string& ConsoleText();
// The command line the operator is typing in the console window.
std::string& PendingInput();

// Writes ConsoleText to <program dir>/kiv_yyyymmdd_HHMMSS_clog.txt and answers
// its path, or "" (after logging the error) when it cannot.
std::string WriteConsoleLog();

// Verbose ("V") and debug ("D") lines are built only when these say so.
bool VerboseOn();  // VerboseConsole > 0
bool DebugOn();    // VerboseConsole > 1 or DebugMode

// The console view as the log sees it: the window implements it. Positions
// are byte offsets into the view's text (ConsoleText followed by PendingInput).
class ConsoleViewSink {
public:
    virtual ~ConsoleViewSink() = default;
    // Insert `line` at `pos` and then rewrite everything from `pendingFrom`
    // to the end with `pending` (only when pending is not empty), caret to end.
    virtual void InsertLogLine(size_t pos, const std::string& line, size_t pendingFrom,
                               const std::string& pending) = 0;
};
void SetConsoleViewSink(ConsoleViewSink* sink);

// Clock seam for tests: the local wall-clock time used for timestamps and the
// console log file name.
using LogClock = std::function<std::chrono::system_clock::time_point()>;
void SetLogClock(LogClock clock);  // empty function restores the real clock
