// Parse table, recognition and framing of received text; no sockets.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "protocol/CommandParser.h"
#include "protocol/Framing.h"
#include "protocol/SendResponse.h"

namespace {

using namespace std::string_literals;

struct ParseRow {
    std::string line, prefix, command, parameter, validity;
};

TEST(Parser, ParseRows) {
    const std::vector<ParseRow> rows = {
        {"VERSION", "", "VERSION", "", "VERSION"},
        {"tc_info", "", "TC_INFO", "", "TC_INFO"},
        {"-1 SHOW_CONSOLE ON", "-1", "SHOW_CONSOLE", "ON", "SHOW_CONSOLE"},
        {"7 SCENE*#1234*IMAGE SET C:\\img\\a.png", "7", "SCENE*#1234*IMAGE", "SET C:\\img\\a.png", "SCENE"},
        {"SHOW_CONSOLE  OFF", "", "SHOW_CONSOLE", " OFF", "SHOW_CONSOLE"},
        {"5 FOO BAR BAZ", "5", "FOO", "BAZ", ""},
        {"FOO BAR", "FOO", "BAR", "", ""},
        {"5  VERSION", "5", "", "", "VERSION"},
        {"", "", "", "", ""},
        // Further cases: case kept in prefix and parameter, blanks around.
        {"  abc scene*#77 New  ", "abc", "SCENE*#77", "New", "SCENE"},
        {"FOO VERSION", "FOO", "VERSION", "", "VERSION"},
        {"SHOW_CONSOLE\tON", "", "SHOW_CONSOLE\tON", "", ""},
        {"12 #wait 500", "12", "#WAIT", "500", "#WAIT"},
        {"OFFAIR", "", "OFFAIR", "", ""},
        {"add top", "", "ADD", "top", "ADD"},
        {"9 x\0y VERSION"s, "9", "X\0Y"s, "", "VERSION"},
    };
    for (const ParseRow& row : rows) {
        SCOPED_TRACE("line: " + row.line);
        const ParsedCommand p = ParseCommandLine(row.line);
        EXPECT_EQ(p.prefix, row.prefix);
        EXPECT_EQ(p.command, row.command);
        EXPECT_EQ(p.parameter, row.parameter);
        EXPECT_EQ(p.validity, row.validity);
    }
}

TEST(Parser, RecognizeCommand) {
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"scene*#1234", "SCENE"},     {"TC_INFO", "TC_INFO"},   {"SHOW_CONSOLE ON", "SHOW_CONSOLE"},
        {"-1 VERSION", "VERSION"},    {"-1 SHOW_CONSOLE ON", ""}, {"*SCENE", ""},
        {"SCENE*", "SCENE"},          {"  get_onair  ", "GET_ONAIR"}, {"#verbose", "#VERBOSE"},
        {"TC_INFOX", ""},             {"", ""},                   {"x renderer*#5", "RENDERER"},
    };
    for (const auto& [text, keyword] : rows) EXPECT_EQ(RecognizeCommand(text), keyword) << text;
    // All 25 keywords are known, in any case.
    for (const char* k : {"MAIN", "TC", "TC_INFO", "VERSION", "SCENE", "ICONIFY", "QUIT", "EXIT", "SHOW_COMMANDS",
                          "SHOW_CONSOLE", "SET_OBJECT", "ADD", "TOP", "RENDERER", "GET_ONAIR", "ONAIR", "CLOG",
                          "GEOM", "FONT", "IMAGE", "CLEANUP", "MATERIAL", "MAPS", "#WAIT", "#VERBOSE"}) {
        std::string lower = k;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        EXPECT_EQ(RecognizeCommand(lower), k);
    }
}

TEST(Parser, PrefixIsAnyFirstWordThatIsNoKeyword) {
    EXPECT_EQ(GetPrefix("VERSION"), "");
    EXPECT_EQ(GetPrefix("VERSION now"), "");
    EXPECT_EQ(GetPrefix("abc VERSION"), "abc");
    EXPECT_EQ(GetPrefix("  -1 X  "), "-1");
}

struct Framed {
    std::string line, terminator;
    bool operator==(const Framed&) const = default;
};

std::vector<Framed> Frame(std::string& buffer, bool holdTrailingCR = false, bool* held = nullptr) {
    std::vector<Framed> out;
    const bool h = FrameReceivedText(
        buffer, [&](std::string_view line, std::string_view term) { out.push_back({std::string(line), std::string(term)}); },
        holdTrailingCR);
    if (held) *held = h;
    return out;
}

struct FrameRow {
    std::string input;
    std::vector<Framed> commands;
    std::string rest;
    bool holdTrailingCR = false;  // and then whether a CR was held back
};

TEST(Framing, OneArrival) {
    const std::string CRLF = "\r\n", NUL("\0", 1);
    const std::vector<FrameRow> rows = {
        {"VERSION\r\n", {{"VERSION", CRLF}}, ""},
        {"VERS", {}, "VERS"},
        {"A\r\nB\r\n", {{"A", CRLF}, {"B", CRLF}}, ""},
        {"A\r\nB", {{"A", CRLF}}, "B"},
        {"A\r\n\r\nB\r\n", {{"A", CRLF}, {"", CRLF}, {"B", CRLF}}, ""},
        {"A\rB\r\n", {{"A", "\r"}, {"B", "\r"}, {"", "\n"}}, ""},
        {"A\nB\r\n", {{"A", "\n"}, {"B", CRLF}}, ""},
        {"A\0"s, {{"A", NUL}}, ""},
        {"A\r\n\0B\0"s, {{"A\r\n", NUL}, {"B", NUL}}, ""},
        {"\r\n", {{"", CRLF}}, ""},
        {"A\r", {{"A", "\r"}}, ""},
        {"A\n", {{"A", "\n"}}, ""},
        {"A\nB\nC", {{"A", "\n"}, {"B", "\n"}}, "C"},
        {"A\nB\r\nC\r\n", {{"A\nB", CRLF}, {"C", CRLF}}, ""},
        {"\0\0"s, {{"", NUL}, {"", NUL}}, ""},
        {"", {}, ""},
        // A CR at the very end may be half a CR LF: held back when asked.
        {"VERSION\r", {}, "VERSION\r", true},
        {"A\r\nB\r", {{"A", CRLF}}, "B\r", true},
        {"A\rB\r", {{"A", "\r"}}, "B\r", true},
        {"A\0B\r"s, {{"A", NUL}}, "B\r", true},
        {"A\rB", {{"A", "\r"}}, "B", true},
        {"A\r\n", {{"A", CRLF}}, "", true},
        {"A\n\r\0"s, {{"A\n", "\r"}, {"", NUL}}, "", true},
    };
    for (const FrameRow& row : rows) {
        SCOPED_TRACE("input of " + std::to_string(row.input.size()) + " bytes");
        std::string buffer = row.input;
        bool held = false;
        EXPECT_EQ(Frame(buffer, row.holdTrailingCR, &held), row.commands);
        EXPECT_EQ(buffer, row.rest);
        EXPECT_EQ(held, row.holdTrailingCR && !row.rest.empty() && row.rest.back() == '\r');
    }
}

TEST(Framing, LineSplitOverArrivals) {
    std::string buffer = "VERS";
    EXPECT_TRUE(Frame(buffer).empty());
    EXPECT_EQ(buffer, "VERS");
    buffer += "ION\r\n";
    EXPECT_EQ(Frame(buffer), (std::vector<Framed>{{"VERSION", "\r\n"}}));
    EXPECT_TRUE(buffer.empty());

    // The network cut between CR and LF: one command, ended by CR LF.
    buffer = "VERSION\r";
    EXPECT_TRUE(Frame(buffer, true).empty());
    buffer += "\n";
    EXPECT_EQ(Frame(buffer, true), (std::vector<Framed>{{"VERSION", "\r\n"}}));
    // No LF came in time: the line ends with its CR.
    buffer = "VERSION\r";
    EXPECT_TRUE(Frame(buffer, true).empty());
    EXPECT_EQ(Frame(buffer), (std::vector<Framed>{{"VERSION", "\r"}}));
    EXPECT_TRUE(buffer.empty());
}

// Pipelined CR LF commands arrive cut at any byte except between CR and LF
// (the socket layer keeps those together): every command comes out once, in
// order, with CR LF.
TEST(Framing, CutAtEveryByte) {
    std::string stream;
    for (int i = 0; i < 6; ++i) stream += std::to_string(i) + " VERSION\r\n";
    for (size_t cut1 = 1; cut1 < stream.size(); ++cut1) {
        for (size_t cut2 = cut1; cut2 < stream.size(); ++cut2) {
            if (stream[cut1 - 1] == '\r' || stream[cut2 - 1] == '\r') continue;
            std::string buffer;
            std::vector<Framed> all;
            for (auto [from, to] : {std::pair{size_t{0}, cut1}, {cut1, cut2}, {cut2, stream.size()}}) {
                buffer += stream.substr(from, to - from);
                for (Framed& f : Frame(buffer)) all.push_back(f);
            }
            ASSERT_EQ(all.size(), 6u) << cut1 << "," << cut2;
            for (int i = 0; i < 6; ++i) EXPECT_EQ(all[i], (Framed{std::to_string(i) + " VERSION", "\r\n"}));
            EXPECT_TRUE(buffer.empty());
        }
    }
}

TEST(Framing, ManyLinesInOneArrival) {
    std::string buffer;
    for (int i = 0; i < 10000; ++i) buffer += "VERSION\n";
    buffer += "TAIL";
    EXPECT_EQ(Frame(buffer).size(), 10000u);
    EXPECT_EQ(buffer, "TAIL");
}

// Random bytes in random arrivals: every byte ends up in exactly one line or
// terminator, in order, or still waits in the buffer; the parse never fails.
TEST(Framing, NothingLostOrDuplicatedOnRandomInput) {
    std::mt19937 random(7);
    const char alphabet[] = {'A', ' ', '\r', '\n', '\0', '*', 'x', '\xff'};
    for (int round = 0; round < 200; ++round) {
        std::string stream, rebuilt, buffer;
        for (int arrival = 0; arrival < 20; ++arrival) {
            std::string data(random() % 12 + 1, ' ');
            for (char& c : data) c = alphabet[random() % sizeof alphabet];
            stream += data;
            buffer += data;
            FrameReceivedText(
                buffer,
                [&](std::string_view line, std::string_view term) {
                    ParseCommandLine(line);
                    rebuilt.append(line).append(term);
                },
                random() % 2 == 0);
        }
        EXPECT_EQ(rebuilt + buffer, stream);
    }
}

TEST(Reply, LineFromPrefixAndResponse) {
    EXPECT_EQ(BuildReplyLine("", "Version: 4.2"), "Version: 4.2");
    EXPECT_EQ(BuildReplyLine("", ""), "");
    EXPECT_EQ(BuildReplyLine("12", "Version: 4.2"), "12 Version: 4.2");
    EXPECT_EQ(BuildReplyLine("-1", ""), "-1");
}

}  // namespace
