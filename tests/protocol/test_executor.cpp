// The executor's rules and their order, and the queue loop, driven without
// sockets (console and gui sessions answer in the log only).
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>


#include <QCoreApplication>
#include <QTimer>

#include "core/Log.h"
#include "core/Settings.h"
#include "core/modMain.h"
#include "cache/modCacheManager.h"
#include "protocol/ExecuteCommand.h"
#include "protocol/modCommandQueueManager.h"

namespace {

void EnsureApp() {
    static int argc = 1;
    static char name[] = "test_protocol_executor";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
}

std::string LogSince(size_t mark) { return ConsoleText().substr(mark); }

class Executor : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureApp();
        Settings = SettingsData{};
        Settings.Compatible = "4.2";
        OnAir = false;
        SetExecutorHooks({});
        InitCommandQueue();
        mark_ = ConsoleText().size();
    }
    std::string Log() const { return LogSince(mark_); }
    size_t mark_ = 0;
};

// The first matching rule answers: command, parameter, On Air, response.
TEST_F(Executor, RulesInTheirFixedOrder) {
    const std::string modeError = ">: the command is not allowed in this mode";
    const std::vector<std::tuple<std::string, std::string, bool, std::string>> rows = {
        {"VERSION", "", false, "Version: 4.2"},
        {"SCENE", "version", true, "Version: 4.2"},  // before the handle rule
        {"#WAIT", "VERSION", false, "Version: 4.2"},
        {"ADD", "TOP", false, "1"},
        {"ADD", "top TC_INFO", false, "1"},
        {"TC", "x tc_info onair", true, "{0,'Kiv','SystemTime'}"},
        {"GET_ONAIR", "", false, "OFFAIR"},
        {"ONAIR", "", true, "ONAIR"},
        {"MAIN", "", false, ""},
        {"FONT", "NEW", true, ""},  // NEW makes a handle only after SCENE
        // Not numeric: the control commands fall through to the later rules.
        {"#WAIT", "abc", false, ""},
        {"#WAIT", "soon ADD TOP", false, "1"},
        {"#VERBOSE", "1e10", false, ""},
        // Without the windows' hooks these rules do not match.
        {"QUIT", "", false, ""},
        {"ICONIFY", "", false, ""},
        // Off Air the handle, image and clean-up rules refuse.
        {"SCENE*#1234", "NEW", false, "ERROR <SCENE*#1234" + modeError},
        {"GEOM", "load", false, "ERROR <GEOM" + modeError},
        {"SCENE*#1*IMAGE", "SET C:\\img\\a.png", false, "ERROR <SCENE*#1*IMAGE" + modeError},
        {"CLEANUP", "", false, "ERROR <CLEANUP" + modeError},
        {"RENDERER", "SET nothing", true, "Error: no valid image path/URL given."},
        {"SCENE", "SET HTTP://host/a.png", true, "Error: no valid image path/URL given."},
        {"SCENE", "UPDATE SET C:\\a.png ADD TOP", true, "1"},  // no image command
    };
    for (const auto& [command, parameter, onAir, response] : rows) {
        OnAir = onAir;
        EXPECT_EQ(ExecuteCommand(command, parameter), response) << command << " " << parameter;
    }
    EXPECT_EQ(Settings.VerboseConsole, 0);
}

TEST_F(Executor, VerboseSetsTheLevelRoundedHalfToEven) {
    EXPECT_EQ(ExecuteCommand("#VERBOSE", "2"), "VerboseConsole set to 2");
    EXPECT_EQ(Settings.VerboseConsole, 2);
    EXPECT_EQ(ExecuteCommand("#VERBOSE", " 0.5 "), "VerboseConsole set to 0");
    EXPECT_EQ(ExecuteCommand("#VERBOSE", "1.5"), "VerboseConsole set to 2");
    EXPECT_EQ(ExecuteCommand("#VERBOSE", "-3"), "VerboseConsole set to -3");
    EXPECT_FALSE(DebugMode);
}

TEST_F(Executor, HandlesFollowTheFixedSequence) {
    OnAir = true;
    // A fresh generator gives the sequence this process's executor draws.
    cHandleGenerator expected;
    EXPECT_EQ(ExecuteCommand("SCENE", "new"), "SCENE*#" + std::to_string(expected.Next()));
    EXPECT_EQ(ExecuteCommand("GEOM*#5", "LOAD"), "#" + std::to_string(expected.Next()));
}

TEST(HandleGenerator, SameSequenceEveryStartAndInRange) {
    cHandleGenerator a, b;
    bool varied = false;
    int32_t first = a.Next();
    EXPECT_EQ(first, b.Next());
    for (int i = 0; i < 5000; ++i) {
        const int32_t n = a.Next();
        EXPECT_EQ(n, b.Next());
        EXPECT_GE(n, 1000);
        EXPECT_LE(n, 11000);
        varied = varied || n != first;
    }
    EXPECT_TRUE(varied);
}

// The pre-load path of an image command fills the cache and sends nothing
// to the output; the reference runs to the first blank.
TEST_F(Executor, ImagePreloadFillsTheCache) {
    const auto dir = std::filesystem::temp_directory_path() / ("kiv_exec_cache_" + std::to_string(::getpid()));
    Settings.CacheDir = dir.string();
    InitCacheManager();
    const std::string image = KIV_TESTDATA "/libpng-pngsuite/basn6a08.png";
    OnAir = true;
    EXPECT_EQ(ExecuteCommand("SCENE*#7*IMAGE", "SET " + image + " initialize"), "");
    EXPECT_TRUE(std::filesystem::exists(dir / CacheFileName(image)));
    std::filesystem::remove_all(dir);
}

TEST_F(Executor, WindowHooks) {
    int iconified = 0, quits = 0;
    std::vector<bool> console;
    ExecutorHooks hooks;
    hooks.Iconify = [&] { ++iconified; };
    hooks.SetConsoleVisible = [&](bool shown) { console.push_back(shown); };
    hooks.Quit = [&] { ++quits; };
    SetExecutorHooks(hooks);

    EXPECT_EQ(ExecuteCommand("ICONIFY", ""), "");
    EXPECT_EQ(ExecuteCommand("SHOW_CONSOLE", " off "), "");
    EXPECT_EQ(ExecuteCommand("SHOW_CONSOLE", "10"), "");  // "0" is tested before "1"
    EXPECT_EQ(ExecuteCommand("SHOW_CONSOLE", "on"), "");
    EXPECT_EQ(ExecuteCommand("SHOW_CONSOLE", "1"), "");
    EXPECT_EQ(ExecuteCommand("SHOW_CONSOLE", "maybe"), "");
    EXPECT_EQ(ExecuteCommand("EXIT", ""), kNoReply);
    EXPECT_EQ(ExecuteCommand("MAIN", "quit"), kNoReply);
    EXPECT_EQ(iconified, 1);
    EXPECT_EQ(console, (std::vector<bool>{false, false, true, true}));
    EXPECT_EQ(quits, 2);
}

class Queue : public Executor {};

TEST_F(Queue, CommandsAreLoggedAndParsedWhenQueued) {
    AddCommand("7 scene*#1 new", 0, "");
    AddCommand("-1 SHOW_CONSOLE OFF", -1, "\r\n");
    AddCommand("", 3, "\n");
    ASSERT_EQ(QueueLength(), 3);
    const CommandRecord& first = CommandQueue().front();
    EXPECT_EQ(first.prefix, "7");
    EXPECT_EQ(first.command, "SCENE*#1");
    EXPECT_EQ(first.parameter, "new");
    EXPECT_EQ(first.validity, "SCENE");
    EXPECT_EQ(first.terminator, std::string("\0", 1));  // empty terminator means NUL
    const std::string log = Log();
    EXPECT_NE(log.find("[CMD]  7 SCENE*#1 new (session=console)\r\n"), std::string::npos);
    EXPECT_NE(log.find("[CMD]  -1 SHOW_CONSOLE OFF (session=gui)\r\n"), std::string::npos);
    EXPECT_NE(log.find("[CMD]   (session=3)\r\n"), std::string::npos);
    EXPECT_EQ(log.find("[QUE]V"), std::string::npos);
    Settings.VerboseConsole = 1;
    AddCommand("VERSION", 2, "\r");
    EXPECT_NE(Log().find("[QUE]V Adding Command to Queue for Session 2: VERSION"), std::string::npos);
}

TEST_F(Queue, OneTickRunsEverythingInOrder) {
    ProcessCommandQueue();
    EXPECT_EQ(Log(), "");  // an empty queue logs nothing

    AddCommand("1 VERSION", 0, "\r\n");
    AddCommand("2 TC_INFO", -1, "\r\n");
    AddCommand("5 FOO BAR", 0, "\r\n");
    AddCommand("ICONIFY", 0, "\r\n");
    AddCommand("4 GET_ONAIR", 0, "\r\n");
    mark_ = ConsoleText().size();
    ProcessCommandQueue();
    EXPECT_EQ(QueueLength(), 0);
    const std::string log = Log();
    const size_t a = log.find("[OUT]  1 Version: 4.2 (session=console, not sent)");
    const size_t b = log.find("[OUT]  2 {0,'Kiv','SystemTime'} (session=gui, not sent)");
    const size_t c = log.find("[OUT]  5 Error: Unknown command (session=console, not sent)");
    const size_t d = log.find("[OUT]  4 OFFAIR (session=console, not sent)");
    ASSERT_NE(a, std::string::npos);
    ASSERT_NE(b, std::string::npos);
    ASSERT_NE(c, std::string::npos);
    ASSERT_NE(d, std::string::npos);
    EXPECT_LT(a, b);
    EXPECT_LT(b, c);
    EXPECT_LT(c, d);
    // The empty reply of ICONIFY writes no OUT line; no length line below level 2.
    EXPECT_EQ(log.find("[OUT]   (session"), std::string::npos);
    EXPECT_EQ(log.find("CommandQueue not empty"), std::string::npos);

    Settings.VerboseConsole = 2;
    AddCommand("VERSION", 0, "\r\n");
    AddCommand("VERSION", 0, "\r\n");
    ProcessCommandQueue();
    EXPECT_NE(Log().find("[QUE]D CommandQueue not empty (len=2). Processing remaining commands..."),
              std::string::npos);
}

TEST_F(Queue, CommandsOfGoneSessionsAreSkipped) {
    AddCommand("1 VERSION", 42, "\r\n");
    ProcessCommandQueue();
    EXPECT_NE(Log().find("[QUE]W Session 42 no longer valid, skipping command..."), std::string::npos);
    EXPECT_EQ(Log().find("[OUT]"), std::string::npos);
}

TEST_F(Queue, NeverReenteredAndCommandsQueuedDuringAWaitRunAfterIt) {
    AddCommand("#WAIT 80", 0, "\r\n");
    int lengthSeenInside = -1;
    QTimer::singleShot(20, [&] {
        AddCommand("9 VERSION", 0, "\r\n");
        ProcessCommandQueue();  // as a tick would: must not run inside the running one
        lengthSeenInside = QueueLength();
    });
    ProcessCommandQueue();
    EXPECT_EQ(lengthSeenInside, 2);
    EXPECT_EQ(QueueLength(), 0);
    const std::string log = Log();
    const size_t queued = log.find("9 VERSION (session=console)");
    const size_t resumed = log.find("Realtime operations completed");
    const size_t answered = log.find("[OUT]  9 Version: 4.2");
    ASSERT_NE(queued, std::string::npos);
    ASSERT_NE(resumed, std::string::npos);
    ASSERT_NE(answered, std::string::npos);
    EXPECT_LT(queued, resumed);
    EXPECT_LT(resumed, answered);
    EXPECT_TRUE(IsQueueTimerEnabled());
}

}  // namespace
