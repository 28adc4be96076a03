// The protocol without sockets: parsing, framing, the executor's rules and the
// queue loop (console and gui sessions answer in the log only).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <QTimer>

#include "core/Log.h"
#include "core/Settings.h"
#include "core/modMain.h"
#include "protocol/CommandParser.h"
#include "protocol/ExecuteCommand.h"
#include "protocol/Framing.h"
#include "protocol/modCommandQueueManager.h"
#include "tests/e2e/KivProcess.h"
#include "tests/protocol/LogSince.h"

namespace {

using namespace std::string_literals;

TEST(Parser, ParseRows) {
    struct Row { std::string line, prefix, command, parameter, validity; };
    const std::vector<Row> rows = {
        {"VERSION", "", "VERSION", "", "VERSION"}, {"tc_info", "", "TC_INFO", "", "TC_INFO"},
        {"-1 SHOW_CONSOLE ON", "-1", "SHOW_CONSOLE", "ON", "SHOW_CONSOLE"},
        {"7 SCENE*#1234*IMAGE SET C:\\img\\a.png", "7", "SCENE*#1234*IMAGE", "SET C:\\img\\a.png", "SCENE"},
        {"SHOW_CONSOLE  OFF", "", "SHOW_CONSOLE", " OFF", "SHOW_CONSOLE"}, {"5 FOO BAR BAZ", "5", "FOO", "BAZ", ""},
        {"FOO BAR", "FOO", "BAR", "", ""}, {"5  VERSION", "5", "", "", "VERSION"},
        {"", "", "", "", ""}, {"  abc scene*#77 New  ", "abc", "SCENE*#77", "New", "SCENE"},  // case kept
        {"FOO VERSION", "FOO", "VERSION", "", "VERSION"}, {"VERSION now", "", "VERSION", "now", "VERSION"},
        {"SHOW_CONSOLE\tON", "", "SHOW_CONSOLE\tON", "", ""}, {"12 #wait 500", "12", "#WAIT", "500", "#WAIT"},
        {"OFFAIR", "", "OFFAIR", "", ""}, {"add top", "", "ADD", "top", "ADD"},
        {"x renderer*#5", "x", "RENDERER*#5", "", "RENDERER"}, {"*SCENE", "", "*SCENE", "", ""},
        {"SCENE*", "", "SCENE*", "", "SCENE"}, {"TC_INFOX", "", "TC_INFOX", "", ""},
        {"-1 -1 VERSION", "-1", "-1", "", "VERSION"}, {"9 x\0y VERSION"s, "9", "X\0Y"s, "", "VERSION"},
        {"\xe9t\xe9 \x9c\xff\xdf", "\xe9t\xe9", "\x8c\x9f\xdf", "", ""},  // Windows-1252 letters
    };
    for (const Row& row : rows) {
        const ParsedCommand p = ParseCommandLine(row.line);
        EXPECT_EQ(p.prefix + "|" + p.command + "|" + p.parameter + "|" + p.validity,
                  row.prefix + "|" + row.command + "|" + row.parameter + "|" + row.validity) << row.line;
    }
    // All 25 keywords are known, in any case.
    for (std::string k : {"MAIN", "TC", "TC_INFO", "VERSION", "SCENE", "ICONIFY", "QUIT", "EXIT", "SHOW_COMMANDS",
                          "SHOW_CONSOLE", "SET_OBJECT", "ADD", "TOP", "RENDERER", "GET_ONAIR", "ONAIR", "CLOG", "GEOM",
                          "FONT", "IMAGE", "CLEANUP", "MATERIAL", "MAPS", "#WAIT", "#VERBOSE"})
        EXPECT_EQ(RecognizeCommand(QString::fromStdString(" " + k + " ").toLower().toStdString()), k);
}

// Each row: what arrived, the lines framed with their terminators spelled out, and what is left.
TEST(Framing, OneArrival) {
    const struct { std::string input, framed, rest; } rows[] = {
        {"VERSION\r\n", "VERSION{CRLF}", ""}, {"VERS", "", "VERS"}, {"A\r\nB\r\n", "A{CRLF}B{CRLF}", ""},
        {"A\r\nB", "A{CRLF}", "B"}, {"A\r\n\r\nB\r\n", "A{CRLF}{CRLF}B{CRLF}", ""}, {"A\rB\r\n", "A{CR}B{CR}{LF}", ""},
        {"A\nB\r\n", "A{LF}B{CRLF}", ""}, {"A\0"s, "A{NUL}", ""}, {"A\r\n\0B\0"s, "A\r\n{NUL}B{NUL}", ""},
        {"\r\n", "{CRLF}", ""}, {"A\r", "A{CR}", ""}, {"A\n", "A{LF}", ""}, {"A\nB\nC", "A{LF}B{LF}", "C"},
        {"A\nB\r\nC\r\n", "A\nB{CRLF}C{CRLF}", ""}, {"\0\0"s, "{NUL}{NUL}", ""}, {"", "", ""},
        // A CR at the very end ends its line at once.
        {"A\r\nB\r", "A{CRLF}B{CR}", ""}, {"A\rB\r", "A{CR}B{CR}", ""}, {"A\0B\r"s, "A{NUL}B{CR}", ""},
        {"A\rB", "A{CR}", "B"}, {"A\n\r\0"s, "A\n{CR}{NUL}", ""},
    };
    for (const auto& row : rows) {
        std::string buffer = row.input, framed;
        FrameReceivedText(buffer, [&](std::string_view line, std::string_view end) {
            framed.append(line) += end == "\r\n" ? "{CRLF}" : end == "\r" ? "{CR}" : end == "\n" ? "{LF}" : "{NUL}";
        });
        EXPECT_EQ(framed + "|" + buffer, row.framed + "|" + row.rest) << row.input.size() << " bytes";
    }
}

class Executor : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureCoreApplication();
        Settings = SettingsData{};
        Settings.Compatible = "4.2";
        OnAir = false;
        SetExecutorHooks({});
        InitCommandQueue();
        mark_ = ConsoleText().size();
    }
    std::string Log() { return LogSince(mark_); }
    size_t mark_ = 0;
};

// Rows of command, parameter, On Air, response.
void Check(const std::vector<std::tuple<std::string, std::string, bool, std::string>>& rows) {
    for (const auto& [command, parameter, onAir, response] : rows) {
        OnAir = onAir;
        EXPECT_EQ(ExecuteCommand(command, parameter), response) << command << " " << parameter;
    }
}

// The first matching rule answers.
TEST_F(Executor, RulesInTheirFixedOrder) {
    const std::string modeError = ">: the command is not allowed in this mode";
    Check({
        {"VERSION", "", false, "Version: 4.2"}, {"#WAIT", "VERSION", false, "Version: 4.2"},
        {"SCENE", "version", true, "Version: 4.2"},  // before the handle rule
        {"SCENE", "new", true, "SCENE*#9331"},  // the first handles of every start
        {"GEOM*#5", "LOAD", true, "#9908"},
        {"ADD", "TOP", false, "1"}, {"ADD", "top TC_INFO", false, "1"},
        {"TC", "x tc_info onair", true, "{0,'Kiv','SystemTime'}"},
        {"GET_ONAIR", "", false, "OFFAIR"}, {"ONAIR", "", true, "ONAIR"}, {"MAIN", "", false, ""},
        {"FONT", "NEW", true, ""},  // NEW makes a handle only after SCENE
        // Levels round half to even; not numeric, the control commands fall through.
        {"#VERBOSE", " 0.5 ", false, "VerboseConsole set to 0"}, {"#VERBOSE", "1.5", false, "VerboseConsole set to 2"},
        {"#VERBOSE", "-3", false, "VerboseConsole set to -3"}, {"#VERBOSE", "1e10", false, ""},
        {"#WAIT", "abc", false, ""}, {"#WAIT", "soon ADD TOP", false, "1"},
        // Without the windows' hooks these rules do not match.
        {"QUIT", "", false, ""}, {"ICONIFY", "", false, ""}, {"SHOW_CONSOLE", "1", false, ""},
        // Off Air the handle, image and clean-up rules refuse.
        {"SCENE*#1234", "NEW", false, "ERROR <SCENE*#1234" + modeError},
        {"GEOM", "load", false, "ERROR <GEOM" + modeError},
        {"SCENE*#1*IMAGE", "SET C:\\img\\a.png", false, "ERROR <SCENE*#1*IMAGE" + modeError},
        {"RENDERER", "SET http://h/a.png", false, "ERROR <RENDERER" + modeError},
        {"CLEANUP", "", false, "ERROR <CLEANUP" + modeError},
        {"RENDERER", "SET nothing", true, "Error: no valid image path/URL given."},
        {"SCENE", "SET HTTP://host/a.png", true, "Error: no valid image path/URL given."},
        {"SCENE", "UPDATE SET C:\\a.png ADD TOP", true, "1"},  // no image command
    });
    EXPECT_TRUE(Settings.VerboseConsole == -3 && !DebugMode);
}

TEST_F(Executor, WindowHooks) {
    std::string calls;
    SetExecutorHooks({[&] { calls += "I"; }, [&](bool shown) { calls += shown ? "+" : "-"; }, [&] { calls += "Q"; }});
    Check({{"ICONIFY", "", false, ""}, {"SHOW_CONSOLE", " off ", false, ""}, {"SHOW_CONSOLE", "10", false, ""},
           {"SHOW_CONSOLE", "on", false, ""}, {"SHOW_CONSOLE", "maybe", false, ""}, {"EXIT", "", false, kNoReply},
           {"MAIN", "quit", false, kNoReply}});
    EXPECT_EQ(calls, "I--+QQ");  // "0" is tested before "1"
}

// Commands are parsed and logged when queued; a tick answers them in order.
TEST_F(Executor, Queue) {
    ProcessCommandQueue();
    EXPECT_EQ(Log(), "");  // an empty queue logs nothing
    AddCommand("7 scene*#1 new", 0, "");
    const CommandRecord& first = CommandQueue().front();
    EXPECT_EQ(first.prefix + "|" + first.command + "|" + first.parameter + "|" + first.validity, "7|SCENE*#1|new|SCENE");
    EXPECT_EQ(first.terminator, std::string("\0", 1));  // empty terminator means NUL
    for (const auto& [line, session] : std::vector<std::pair<std::string, int>>{
             {"1 VERSION", 0}, {"-1 TC_INFO", -1}, {"5 FOO BAR", 0}, {"ICONIFY", 0}, {"", 3}, {"4 GET_ONAIR", 0}})
        AddCommand(line, session, "\r\n");
    EXPECT_EQ(Log(), "[CMD]  7 SCENE*#1 new (session=console)\r\n[CMD]  1 VERSION (session=console)\r\n"
                     "[CMD]  -1 TC_INFO (session=gui)\r\n[CMD]  5 FOO (session=console)\r\n"
                     "[CMD]  ICONIFY (session=console)\r\n[CMD]   (session=3)\r\n"
                     "[CMD]  4 GET_ONAIR (session=console)\r\n");
    Settings.VerboseConsole = 2;
    ProcessCommandQueue();
    EXPECT_EQ(QueueLength(), 0);
    AddCommand("VERSION", 2, "\r");
    EXPECT_EQ(Log(),
              "[QUE]D CommandQueue not empty (len=7). Processing remaining commands...\r\n"
              "[OUT]  7 ERROR <SCENE*#1>: the command is not allowed in this mode (session=console, not sent)\r\n"
              "[OUT]  1 Version: 4.2 (session=console, not sent)\r\n"
              "[OUT]  -1 {0,'Kiv','SystemTime'} (session=gui, not sent)\r\n"
              "[OUT]  5 Error: Unknown command (session=console, not sent)\r\n"
              "[QUE]W Session 3 no longer valid, skipping command...\r\n"
              "[OUT]  4 OFFAIR (session=console, not sent)\r\n"
              "[QUE]V Adding Command to Queue for Session 2: VERSION\r\n[CMD]  VERSION (session=2)\r\n");
}

// A tick never runs inside another: what is queued while a command waits runs after it.
TEST_F(Executor, QueueNeverReentered) {
    AddCommand("#WAIT 60", 0, "\r\n");
    int lengthSeenInside = -1;
    QTimer::singleShot(10, [&] {
        AddCommand("9 VERSION", 0, "\r\n");
        ProcessCommandQueue();  // as a tick would
        lengthSeenInside = QueueLength();
    });
    ProcessCommandQueue();
    EXPECT_EQ(lengthSeenInside, 2);
    EXPECT_EQ(QueueLength(), 0);
    EXPECT_NE(Log().find("[OUT]  9 Version: 4.2 (session=console, not sent)"), std::string::npos) << Log();
}

}  // namespace
