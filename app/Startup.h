#pragma once
// The start-up routine: working directory, console, configuration, then the
// windows and managers in their fixed order. Returns to the caller, whose
// event loop drives the engine from then on.
#include <functional>
#include <optional>
#include <string>
#include <vector>

// `commandLine`: the program's arguments joined by blanks; `onXWayland`:
// RunOnXWayland chose X11, which the log says.
void Startup(const std::string& commandLine, bool onXWayland = false);

// Wayland lets no program place a window on a chosen monitor or keep it on
// top. On a Wayland session with an X server at hand (XWayland) Kiv runs on
// X11 instead, unless QT_QPA_PLATFORM chooses a platform. `env` reads an
// environment variable (nullptr or empty: not set).
bool RunOnXWayland(const std::function<const char*(const char*)>& env);

// The one switch: the whole command line, upper-cased, is "/DEBUG".
bool IsDebugSwitch(const std::string& commandLine);

// `kiv --help` and `kiv --version` (the one argument, exactly): the text to
// print before ending. Any other command line starts the engine.
std::optional<std::string> CommandLineInfo(const std::vector<std::string>& args);
