#include <gtest/gtest.h>

#include <map>

#include <QDir>
#include <QElapsedTimer>
#include <QTimer>

#include "app/Startup.h"
#include "app/frmConsole.h"
#include "core/Log.h"
#include "core/Settings.h"
#include "core/Version.h"
#include "core/modMain.h"
#include "tests/app/QtApp.h"
#include "tests/core/TestDir.h"
#include "tests/e2e/KivProcess.h"
#include "tests/protocol/LogSince.h"

namespace {
class StartupTest : public ::testing::Test {
protected:
    void SetUp() override {
        TestApp();
        Settings = SettingsData{};
        FatalError = DebugMode = ConsoleShown = false;
        SetProgramDir(dir.Path());
        mark = ConsoleText().size();
    }
    // Starts up; then whether the log since SetUp begins with the head and `next`, as "[CAT]S message" lines.
    void ExpectStartsLogging(const std::string& commandLine, const std::vector<std::string>& next) {
        Startup(commandLine);
        std::string head = "[SYS]  Starting up Kiv 1.1.0.1 (x86)\r\n[SYS]  Initializing Kiv...\r\n[SYS]  Reading " +
                           dir.Path() + "/kiv.ini...\r\n";
        for (const std::string& line : next) head += line + "\r\n";
        const std::string log = LogSince(mark);
        EXPECT_TRUE(log.starts_with(head)) << log;
    }
    TestDir dir;
    size_t mark = 0;
};

TEST_F(StartupTest, MissingIniStopsWithTheConsoleShowingTheLogAndTakingCommands) {
    ExpectStartsLogging("", {"[SYS]E Error while reading kiv.ini. The file is probably missing or corrupt.",
                             "[SYS]F Fatal Error. Cannot continue, and will not be able to enter On Air mode.",
                             "[QUE]  Initializing Command Queue"});  // for the console's commands; nothing else
    EXPECT_TRUE(ConsoleText().ends_with("[QUE]  Initializing Command Queue\r\n"));
    EXPECT_EQ(QDir::currentPath(), QDir(QString::fromStdString(dir.Path())).canonicalPath());
    ASSERT_NE(ConsoleWindow(), nullptr);
    EXPECT_TRUE(FatalError && ConsoleWindow()->isVisible() && ConsoleShown);
    EXPECT_TRUE(ConsoleWindow()->txtConsole->toPlainText().contains("Fatal Error. Cannot continue"));
}

TEST_F(StartupTest, ConfigurationAndDebugSwitch) {
    const std::string ok = "[SYS]  Successfully initialized.", debug = "[DBG]  DEBUG MODE ENABLED";
    const struct {
        const char *general, *commandLine;
        std::vector<std::string> next;
        int verbose;
    } cases[] = {
        {"VerboseConsole=0\n", "/debug", {ok, debug}, 2}, {"VerboseConsole=3\n", "", {ok, debug}, 3},
        {"", "/DEBUG /x", {ok, "[SYS]  Building GUI..."}, 0},  // the switch is the whole command line
        {"DisableGui=1\n", "", {ok, "[SYS]  Firing up SessionManager..."}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.general);
        SetUp();
        const std::string port = std::to_string(KivProcess::FreePort());  // the later subsystems listen
        dir.Write("kiv.ini", std::string("[General]\n") + c.general + "Version=1\nOnAirMonitor=0\nOnAirOnStartup=0\n" +
                                 "ListeningPort=" + port + "\n");
        ExpectStartsLogging(c.commandLine, c.next);
        EXPECT_TRUE(Settings.VerboseConsole == c.verbose && DebugMode == (c.verbose > 1) && !FatalError);
    }
    for (const char* other : {" /DEBUG", "/DEBUGGER", ""}) EXPECT_FALSE(IsDebugSwitch(other)) << other;
}

TEST(CommandLineInfo, HelpAndVersionAloneAreAnswered) {
    const std::string version = "Kiv " + Version::Text() + "\n";
    EXPECT_EQ(CommandLineInfo({"--version"}), version);
    EXPECT_TRUE(CommandLineInfo({"--help"}).value_or("").starts_with("Usage: kiv [/DEBUG]\n" + version));
    for (const std::vector<std::string>& other : std::vector<std::vector<std::string>>{
             {}, {"/DEBUG"}, {"--help", "x"}, {"--version", "--help"}, {"-h"}, {"--HELP"}, {"help"}})
        EXPECT_EQ(CommandLineInfo(other), std::nullopt) << (other.empty() ? "" : other[0]);
}

TEST(RunOnXWayland, OnAWaylandSessionWithAnXServerUnlessAPlatformIsChosen) {
    struct Case { const char *wayland, *session, *display, *platform; bool xwayland; };
    const Case cases[] = {
        {"wayland-0", nullptr, ":0", nullptr, true}, {nullptr, "wayland", ":0", "", true},
        {"wayland-0", "wayland", nullptr, nullptr, false}, {"wayland-0", nullptr, "", nullptr, false},
        {"wayland-0", nullptr, ":0", "wayland", false}, {"", "x11", ":0", nullptr, false},
    };
    for (const Case& c : cases) {
        const std::map<std::string, const char*> env = {{"WAYLAND_DISPLAY", c.wayland}, {"XDG_SESSION_TYPE", c.session},
                                                         {"DISPLAY", c.display}, {"QT_QPA_PLATFORM", c.platform}};
        EXPECT_EQ(RunOnXWayland([&env](const char* name) { return env.at(name); }), c.xwayland) << &c - cases;
    }
}

// Waits at least the time, dispatching events, also when a handler waits longer inside; 0 or less: nothing.
TEST(WaitMs, DispatchesEventsAndWaitsAtLeastTheTime) {
    TestApp();
    int fired = 0;
    QTimer::singleShot(0, [&] { ++fired; });
    WaitMs(0);
    WaitMs(-5);
    EXPECT_EQ(fired, 0);
    QTimer::singleShot(20, [&] { ++fired; });
    QTimer::singleShot(30, [&] { WaitMs(80), ++fired; });
    QElapsedTimer clock;
    clock.start();
    WaitMs(60);
    EXPECT_GE(clock.elapsed(), 60);
    EXPECT_EQ(fired, 3);
}
}  // namespace
