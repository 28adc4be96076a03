// Real windows and keys: the engine under its own Xvfb, xdotool answering as a person would.
#include <gtest/gtest.h>

#include <memory>

#include <QProcess>
#include <QStandardPaths>

#include "tests/e2e/KivProcess.h"
#include "tests/net/TcpClient.h"

namespace {
class GuiEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* tool : {"Xvfb", "xdotool", "xrandr"})
            if (QStandardPaths::findExecutable(tool).isEmpty()) GTEST_SKIP() << tool << " is not installed";
        // Xvfb picks a free display itself and tells its number on stdout, so
        // test programs running side by side never share a display.
        xvfb_.start("Xvfb", {"-displayfd", "1", "-screen", "0", "3840x1080x24", "-nolisten", "tcp", "-noreset"});
        for (QDeadlineTimer deadline(20000); !display_.contains('\n') && !deadline.hasExpired();)
            if (xvfb_.waitForReadyRead(100)) display_ += xvfb_.readAllStandardOutput();
        display_ = ":" + display_.trimmed();
        ASSERT_NE(display_, ":") << "Xvfb did not start";
        qputenv("DISPLAY", display_.toLocal8Bit());  // for the tools and the engine
        // Two monitors on one X screen: the operator's and the On Air one.
        Run("xrandr", {"--setmonitor", "MON-A", "1920/508x1080/286+0+0", "screen"});
        Run("xrandr", {"--setmonitor", "MON-B", "1920/508x1080/286+1920+0", "none"});
        port_ = KivProcess::FreePort();
        kiv_ = std::make_unique<KivProcess>("[General]\nVersion=1\nListeningPort=" + std::to_string(port_) +
                                            "\nOnAirMonitor=0\nDisableGui=1\nHideConsoleOnStartup=1\n");
        kiv_->SetEnv("QT_QPA_PLATFORM", "xcb");
        ASSERT_TRUE(kiv_->Start());
        ASSERT_TRUE(kiv_->WaitForLog("Entering Main Loop...")) << kiv_->Log() << kiv_->Errors();
        ASSERT_TRUE(client_.Connect(port_));
    }
    void TearDown() override { kiv_.reset(), xvfb_.kill(), xvfb_.waitForFinished(5000); }
    QString Run(const QString& program, const QStringList& args) {
        QProcess p;
        p.start(program, args);
        if (!p.waitForFinished(10000)) p.kill(), p.waitForFinished();
        return QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed();
    }
    // Waits (bounded) while draining the engine's log pipe.
    template <typename Pred>
    bool Eventually(Pred done) {
        for (QDeadlineTimer deadline(20000); !done(); kiv_->Pump(50))
            if (deadline.hasExpired()) return false;
        return true;
    }
    // The id of the visible window whose title matches, or "".
    QString Visible(const QString& title) {
        return Run("xdotool", {"search", "--onlyvisible", "--name", title}).section('\n', 0, 0);
    }
    std::string Ask(const std::string& command) {
        client_.received.clear();
        if (!client_.Send(command + "\r\n") || !client_.ReadReplies(1, "\r\n", 20000)) return "(no reply)";
        return client_.received;
    }
    // Answers the "Confirm quit" box with a key.
    void AnswerQuit(const char* key) {
        QString box;
        ASSERT_TRUE(Eventually([&] { return !(box = Visible("^Confirm quit$")).isEmpty(); })) << kiv_->Log();
        Run("xdotool", {"windowfocus", "--sync", box});
        Run("xdotool", {"key", "--clearmodifiers", key});
    }

    QProcess xvfb_;
    QString display_;
    int port_ = 0;
    std::unique_ptr<KivProcess> kiv_;
    TcpClient client_{[this] { kiv_->Pump(1); }};
};

// With no main window and the console hidden, neither close requests to the output nor a declined
// quit end the engine; quit from a client is confirmed with a real key.
TEST_F(GuiEndToEnd, OnlyAConfirmedQuitEndsTheEngine) {
    ASSERT_TRUE(kiv_->WaitForLog("-1 SHOW_CONSOLE OFF (session=gui)"));
    ASSERT_TRUE(Eventually([&] { return Visible("^Kiv Console").isEmpty(); }));
    QString output;
    ASSERT_TRUE(Eventually([&] { return !(output = Visible("^Kiv Output$")).isEmpty(); }));
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(Run("/usr/bin/python3", {KIV_SOURCE_DIR "/tests/gui/close_window.py", output}), "1");
    EXPECT_EQ(Ask("1 VERSION"), "1 Version: 11.0.1\r\n");  // the close requests have been handled
    EXPECT_EQ(Visible("^Kiv Output$"), output);
    ASSERT_TRUE(client_.Send("2 QUIT\r\n"));
    AnswerQuit("n");
    EXPECT_EQ(Ask("3 VERSION"), "3 Version: 11.0.1\r\n");  // the first reply to arrive: QUIT is never answered
    EXPECT_TRUE(kiv_->StaysUpFor(500)) << kiv_->Log();
    client_.received.clear();
    ASSERT_TRUE(client_.Send("6 EXIT\r\n"));
    AnswerQuit("y");
    EXPECT_TRUE(Eventually([&] { return !kiv_->Running(); })) << kiv_->Log();
    client_.ReadUntil([](const std::string&) { return false; }, 2000);
    EXPECT_TRUE(client_.received.empty()) << client_.received;
}
}  // namespace
