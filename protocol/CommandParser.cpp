#include "protocol/CommandParser.h"

#include <array>

#include "core/Ansi.h"

namespace {

constexpr std::array<std::string_view, 25> kKeywords = {
    "MAIN",         "TC",        "TC_INFO",    "VERSION", "SCENE",  "ICONIFY",   "QUIT",
    "EXIT",         "SHOW_COMMANDS", "SHOW_CONSOLE", "SET_OBJECT", "ADD", "TOP",  "RENDERER",
    "GET_ONAIR",    "ONAIR",     "CLOG",       "GEOM",    "FONT",   "IMAGE",     "CLEANUP",
    "MATERIAL",     "MAPS",      "#WAIT",      "#VERBOSE"};

std::string_view Trim(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

std::string_view FirstWord(std::string_view s) {
    const size_t blank = s.find(' ');
    return blank == std::string_view::npos ? s : s.substr(0, blank);
}

std::string_view Rest(std::string_view s) {
    const size_t blank = s.find(' ');
    return blank == std::string_view::npos ? std::string_view() : s.substr(blank + 1);
}

std::string MatchKeyword(std::string_view candidate) {
    // A handle suffix ("SCENE*#1234") does not count for recognition, but a
    // word that starts with "*" is compared whole.
    std::string_view s = candidate;
    const size_t star = candidate.find('*');
    if (star != std::string_view::npos && star > 0) s = candidate.substr(0, star);
    std::string upper = AnsiUpper(s);
    for (std::string_view keyword : kKeywords)
        if (upper == keyword) return upper;
    return {};
}

}  // namespace

std::string RecognizeCommand(std::string_view text) {
    const std::string_view x = Trim(text);
    if (x.find(' ') == std::string_view::npos) return MatchKeyword(x);
    std::string keyword = MatchKeyword(FirstWord(x));
    if (!keyword.empty()) return keyword;
    return MatchKeyword(Rest(x));
}

std::string GetPrefix(std::string_view text) {
    const std::string_view x = Trim(text);
    if (x.find(' ') == std::string_view::npos) return {};
    const std::string_view first = FirstWord(x);
    if (!RecognizeCommand(first).empty()) return {};
    return std::string(first);
}

std::string GetCommand(std::string_view text) { return AnsiUpper(FirstWord(text)); }

std::string GetParameter(std::string_view text) { return std::string(Rest(text)); }

ParsedCommand ParseCommandLine(std::string_view line) {
    ParsedCommand parsed;
    std::string_view w = Trim(line);
    parsed.prefix = GetPrefix(w);

    // The working text is deliberately not trimmed again after a prefix is
    // removed: a second blank after the prefix leaves an empty command word.
    if (const std::string prefix = GetPrefix(w); !prefix.empty()) w.remove_prefix(prefix.size() + 1);
    parsed.command = GetCommand(w);

    w = Trim(w);
    if (const std::string prefix = GetPrefix(w); !prefix.empty()) w.remove_prefix(prefix.size() + 1);
    parsed.parameter = GetParameter(w);

    parsed.validity = RecognizeCommand(w);
    return parsed;
}
