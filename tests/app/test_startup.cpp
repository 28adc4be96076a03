#include <gtest/gtest.h>

#include <QDir>
#include <QKeyEvent>
#include <QTcpServer>

#include "core/Log.h"
#include "core/MessageBox.h"
#include "core/Settings.h"
#include "app/Startup.h"
#include "core/Version.h"
#include "app/frmConsole.h"
#include "core/modMain.h"
#include "tests/app/QtApp.h"
#include "tests/core/TestDir.h"

namespace {
// "[CAT]S message" of every line logged since `from`, without the timestamp.
std::vector<std::string> LinesSince(size_t from) {
    std::vector<std::string> lines;
    const std::string& text = ConsoleText();
    for (size_t pos = from; pos < text.size();) {
        const size_t end = text.find("\r\n", pos);
        const std::string line = text.substr(pos, end - pos);
        lines.push_back(line.substr(std::min(line.size(), line.find(" [") + 1)));
        pos = end + 2;
    }
    return lines;
}

// The start-up of the later subsystems listens; a port nobody uses keeps
// tests running side by side apart.
std::string FreePortLine() {
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0)) return "";
    return "ListeningPort=" + std::to_string(server.serverPort()) + "\n";
}

// The lines up to the point where the later subsystems join start-up.
std::vector<std::string> Prefix(const std::vector<std::string>& lines, size_t n) {
    return std::vector<std::string>(lines.begin(), lines.begin() + static_cast<long>(std::min(n, lines.size())));
}

class StartupTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { TestApp(); }
    void SetUp() override {
        Settings = SettingsData{};
        FatalError = DebugMode = ConsoleShown = false;
        SetProgramDir(dir.Path());
        mark = ConsoleText().size();
    }
    // One monitor on the offscreen platform: the output takes it automatically.
    void WriteIni(const std::string& general) {
        dir.Write("kiv.ini", "[General]\nVersion=1\nOnAirMonitor=0\nOnAirOnStartup=0\n" + FreePortLine() + general);
    }
    std::vector<std::string> Run(const std::string& commandLine) {
        Startup(commandLine);
        return LinesSince(mark);
    }
    std::vector<std::string> Head(const std::string& iniPath) const {
        return {"[SYS]  Starting up Kiv 1.1.0.1 (x86)", "[SYS]  Initializing Kiv...",
                "[SYS]  Reading " + iniPath + "..."};
    }

    TestDir dir;
    size_t mark = 0;
};

TEST_F(StartupTest, MissingIniStopsWithTheConsoleShowingTheLogAndTakingCommands) {
    std::vector<std::string> expected = Head(dir.Path() + "/kiv.ini");
    expected.push_back("[SYS]E Error while reading kiv.ini. The file is probably missing or corrupt.");
    expected.push_back("[SYS]F Fatal Error. Cannot continue, and will not be able to enter On Air mode.");
    // The queue runs for the console's commands; no manager is started.
    expected.push_back("[QUE]  Initializing Command Queue");
    EXPECT_EQ(Run(""), expected);
    EXPECT_TRUE(FatalError);
    EXPECT_EQ(QDir::currentPath().toStdString(), QDir(QString::fromStdString(dir.Path())).canonicalPath().toStdString());
    ASSERT_NE(ConsoleWindow(), nullptr);
    EXPECT_TRUE(ConsoleWindow()->isVisible());
    EXPECT_TRUE(ConsoleShown);
    // The view holds the whole log, the fatal line last.
    EXPECT_TRUE(ConsoleWindow()->txtConsole->toPlainText().contains(
        QStringLiteral("Fatal Error. Cannot continue, and will not be able to enter On Air mode.\n")));

    // The operator types QUIT and is asked (and declines here).
    std::vector<std::string> asked;
    SetMessageBoxHandler([&](const MsgRequest& request) {
        asked.push_back(request.title);
        return MsgAnswer::No;
    });
    for (const char c : std::string("quit\r")) {
        QKeyEvent key(QEvent::KeyPress, c == '\r' ? Qt::Key_Return : Qt::Key_unknown, Qt::NoModifier,
                      QString(QLatin1Char(c)));
        QCoreApplication::sendEvent(ConsoleWindow()->txtConsole, &key);
    }
    for (int i = 0; i < 50 && asked.empty(); ++i) WaitMs(10);
    SetMessageBoxHandler({});
    EXPECT_EQ(asked, std::vector<std::string>{"Confirm quit"}) << ConsoleText().substr(mark);
}

TEST_F(StartupTest, DebugSwitchInAnyCaseOverridesVerboseConsole) {
    WriteIni("VerboseConsole=0\n");
    std::vector<std::string> expected = Head(dir.Path() + "/kiv.ini");
    expected.push_back("[SYS]  Successfully initialized.");
    expected.push_back("[DBG]  DEBUG MODE ENABLED");
    EXPECT_EQ(Prefix(Run("/debug"), expected.size()), expected);
    EXPECT_EQ(Settings.VerboseConsole, 2);
    EXPECT_TRUE(DebugMode);
    EXPECT_FALSE(FatalError) << ConsoleText().substr(mark);
}

TEST_F(StartupTest, DebugFromTheConfigurationAlone) {
    WriteIni("VerboseConsole=3\n");
    const std::vector<std::string> lines = Run("");
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[4], "[DBG]  DEBUG MODE ENABLED");
    EXPECT_EQ(Settings.VerboseConsole, 3);
}

TEST_F(StartupTest, SwitchMustBeTheWholeCommandLine) {
    WriteIni("");
    const std::vector<std::string> lines = Run("/DEBUG /x");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "[DBG]  DEBUG MODE ENABLED"), 0);
    EXPECT_FALSE(DebugMode);
    EXPECT_EQ(Settings.VerboseConsole, 0);

    EXPECT_TRUE(IsDebugSwitch("/DeBuG"));
    EXPECT_FALSE(IsDebugSwitch(" /DEBUG"));
    EXPECT_FALSE(IsDebugSwitch("/DEBUGGER"));
    EXPECT_FALSE(IsDebugSwitch(""));
}

TEST_F(StartupTest, DisableGuiIsReadAndStartUpGoesOn) {
    WriteIni("DisableGui=1\n");
    std::vector<std::string> expected = Head(dir.Path() + "/kiv.ini");
    expected.push_back("[SYS]  Successfully initialized.");
    const std::vector<std::string> lines = Run("");
    EXPECT_EQ(Prefix(lines, expected.size()), expected);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "[SYS]  Building GUI..."), 0);
    EXPECT_EQ(Settings.DisableGui, 1);
    EXPECT_FALSE(FatalError) << ConsoleText().substr(mark);
    EXPECT_TRUE(ConsoleWindow()->isVisible());
}

TEST_F(StartupTest, WrongVersionWarnsAndGoesOn) {
    dir.Write("kiv.ini", "[General]\nVersion=2\nOnAirMonitor=0\nOnAirOnStartup=0\n" + FreePortLine());
    const std::vector<std::string> lines = Run("");
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[3],
              "[SYS]W Warning: The file kiv.ini is not compatible with this version of Kiv. Dazed and confused, but "
              "trying to continue.");
    EXPECT_EQ(lines[4], "[SYS]  Successfully initialized.");
}
TEST(CommandLineInfo, HelpAndVersionAloneAreAnswered) {
    const std::string version = "Kiv " + Version::Text() + "\n";
    EXPECT_EQ(CommandLineInfo({"--version"}), version);
    const std::optional<std::string> help = CommandLineInfo({"--help"});
    ASSERT_TRUE(help);
    EXPECT_EQ(help->rfind("Usage: kiv [/DEBUG]\n" + version, 0), 0u);
    for (const std::vector<std::string>& other : std::vector<std::vector<std::string>>{
             {}, {"/DEBUG"}, {"--help", "x"}, {"--version", "--help"}, {"-h"}, {"--HELP"}, {"help"}})
        EXPECT_EQ(CommandLineInfo(other), std::nullopt) << (other.empty() ? "" : other[0]);
}
}  // namespace
