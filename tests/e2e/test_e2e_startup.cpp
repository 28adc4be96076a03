#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>

#include "tests/e2e/KivProcess.h"
#include "tests/net/TcpClient.h"

namespace {
class E2EStartup : public ::testing::Test {
protected:
    static void SetUpTestSuite() { EnsureCoreApplication(); }
    static std::string Ini() {
        return "[General]\r\nVersion=1\r\nOnAirOnStartup=0\r\nOnAirMonitor=0\r\nListeningPort=" + std::to_string(KivProcess::FreePort()) +
               "\r\n";
    }
};

TEST_F(E2EStartup, ComesUpAndStaysUp) {
    const int port = KivProcess::FreePort();
    KivProcess kiv("[General]\r\nVersion=1\r\nOnAirOnStartup=0\r\nOnAirMonitor=0\r\nListeningPort=" +
                   std::to_string(port) + "\r\n");
    ASSERT_TRUE(kiv.Start());
    // A command sent as soon as the port is open, before the queue has
    // started, is kept and answered.
    ASSERT_TRUE(kiv.WaitForLog(" listening on port " + std::to_string(port))) << kiv.Log() << kiv.Errors();
    TcpClient early([&kiv] { kiv.Pump(); });
    ASSERT_TRUE(early.Connect(port));
    ASSERT_TRUE(early.Send("1 VERSION\r\n"));
    ASSERT_TRUE(early.ReadReplies(1)) << kiv.Log();
    EXPECT_EQ(early.received, "1 Version: 11.0.1\r\n");
    ASSERT_TRUE(kiv.WaitForLog("[SYS]  Successfully initialized.\r\n")) << kiv.Log() << kiv.Errors();
    EXPECT_NE(kiv.Log().find("[SYS]  Starting up Kiv 1.1.0.1 (x86)\r\n"), std::string::npos);
    // The ini file was found beside the copied program, not in the working directory.
    EXPECT_NE(kiv.Log().find("Reading " + kiv.Dir().toStdString() + "/kiv.ini..."), std::string::npos);
    EXPECT_TRUE(kiv.StaysUpFor(1500)) << kiv.Log() << kiv.Errors();
}

TEST_F(E2EStartup, MissingIniLogsTheFatalLineAndStaysUp) {
    KivProcess kiv(std::nullopt);
    ASSERT_TRUE(kiv.Start());
    ASSERT_TRUE(kiv.WaitForLog("[SYS]F Fatal Error. Cannot continue, and will not be able to enter On Air mode.\r\n"))
        << kiv.Log() << kiv.Errors();
    EXPECT_NE(kiv.Log().find("[SYS]E Error while reading kiv.ini."), std::string::npos);
    EXPECT_TRUE(kiv.StaysUpFor(1500)) << kiv.Log() << kiv.Errors();
}

TEST_F(E2EStartup, DebugSwitchOnTheCommandLine) {
    KivProcess kiv(Ini());
    ASSERT_TRUE(kiv.Start({QStringLiteral("/Debug")}));
    ASSERT_TRUE(kiv.WaitForLog("[DBG]  DEBUG MODE ENABLED\r\n")) << kiv.Log() << kiv.Errors();
}
// Answered on standard output without a display (the xcb platform with no
// X server would end the program if it got that far).
TEST_F(E2EStartup, HelpAndVersionNeedNoDisplay) {
    for (const char* option : {"--version", "--help"}) {
        KivProcess kiv(std::nullopt);
        kiv.SetEnv(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        kiv.SetEnv(QStringLiteral("DISPLAY"), QString());
        ASSERT_TRUE(kiv.Start({QString::fromLatin1(option)}));
        ASSERT_TRUE(kiv.Process().waitForFinished(10000));
        EXPECT_EQ(kiv.Process().exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(kiv.Process().exitCode(), 0) << kiv.Errors();
        const std::string out = kiv.Log();
        EXPECT_NE(out.find("Kiv 1.1.0.1\n"), std::string::npos) << option << out;
        EXPECT_EQ(out.rfind("Usage: kiv [/DEBUG]\n", 0) == 0, std::string(option) == "--help") << out;
    }
}
}  // namespace
