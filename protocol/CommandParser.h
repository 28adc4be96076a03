#pragma once
// Splitting a command line into prefix, command word, parameter and the
// recognised keyword. Text is bytes, one per character; only the space
// character separates words.
#include <string>
#include <string_view>

// The recognised keyword in upper case, or "".
std::string RecognizeCommand(std::string_view text);
// The client's tag in front of the command word, or "".
std::string GetPrefix(std::string_view text);
// The command word in upper case.
std::string GetCommand(std::string_view text);
// The text after the command word, case kept.
std::string GetParameter(std::string_view text);

struct ParsedCommand {
    std::string prefix;
    std::string command;
    std::string parameter;
    std::string validity;  // the recognised keyword, "" when none
};

// The four-step parse that queuing a line performs.
ParsedCommand ParseCommandLine(std::string_view line);
