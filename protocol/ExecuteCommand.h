#pragma once
// Carrying out one recognised command: a fixed, ordered list of rules over
// the text of the line; the first rule that matches answers.
#include <cstdint>
#include <functional>
#include <random>
#include <string>

// The response that suppresses the reply altogether.
inline constexpr const char* kNoReply = "_INT_";

// What the windows do for the executor (the core cannot reach them). A rule
// whose hook is not installed does not match, and the line goes on to the
// later rules.
struct ExecutorHooks {
    // ICONIFY: minimise the main window.
    std::function<void()> Iconify;
    // SHOW_CONSOLE: show (true) or hide (false) the console window, with the
    // flags and the switch that go with it.
    std::function<void(bool shown)> SetConsoleVisible;
    // QUIT and EXIT: ask the operator and end the program.
    std::function<void()> Quit;
};
void SetExecutorHooks(ExecutorHooks hooks);

// `command` is upper case, `parameter` as received. "" means the reply is
// the prefix alone; kNoReply means no reply at all.
std::string ExecuteCommand(const std::string& command, const std::string& parameter);

// Scene and object handle numbers, 1000 to 11000, drawn uniformly from a
// generator with a fixed seed: every start gives the same sequence.
class cHandleGenerator {
public:
    int32_t Next();

private:
    std::mt19937 engine_{20240301u};
};
