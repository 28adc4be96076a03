#pragma once
// Process-wide state of the engine and the helpers every subsystem uses.
// Everything runs on the one GUI thread.
#include <functional>
#include <string>

inline bool FatalError = false;
inline bool DebugMode = false;
inline bool ConsoleShown = false;
inline bool OnAir = false;
inline bool GfxInitialized = false;
inline bool GfxOutputEnabled = false;
inline bool OutputOnPrimary = false;

// The program's own directory (start-up makes it the working directory).
std::string ProgramDir();
void SetProgramDir(const std::string& dir);
// The program file name without extension ("kiv"); the ini file and the
// console log file are named after it.
std::string ProgramName();
void SetProgramName(const std::string& name);

// Waits at least `ms` milliseconds while dispatching events (sockets, timers,
// repaints can run inside). Monotonic clock; sleeps in the event loop rather
// than spinning a core. 0 or less returns at once without dispatching.
void WaitMs(int ms);

// Fatal stop: the main window's part (Off Air, switch disabled, console
// shown) runs through the hook the window installs; then the fatal line is
// logged and FatalError set.
void StopOperation();
void SetStopOperationHook(std::function<void()> hook);
