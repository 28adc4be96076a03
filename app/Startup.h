#pragma once
// The start-up routine: working directory, console, configuration, then the
// windows and managers in their fixed order. Returns to the caller, whose
// event loop drives the engine from then on.
#include <optional>
#include <string>
#include <vector>

// `commandLine`: the program's arguments joined by blanks.
void Startup(const std::string& commandLine);

// The one switch: the whole command line, upper-cased, is "/DEBUG".
bool IsDebugSwitch(const std::string& commandLine);

// `kiv --help` and `kiv --version` (the one argument, exactly): the text to
// print before ending. Any other command line starts the engine.
std::optional<std::string> CommandLineInfo(const std::vector<std::string>& args);
