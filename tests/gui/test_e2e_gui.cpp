// The operator's side with real windows and real keys: the engine runs under
// its own Xvfb (two monitors, so the output window stays off the operator's
// screen) and xdotool types and clicks as a person would.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>

#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include "tests/e2e/KivProcess.h"
#include "tests/net/TcpClient.h"

namespace {

// Waits for `done` while draining the engine's log pipe, up to a generous
// deadline (a bound on the wait, not a speed check).
template <typename Pred>
bool Eventually(KivProcess& kiv, Pred done, int timeoutMs = 20000) {
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired()) return false;
        kiv.Pump(50);
    }
    return true;
}

class GuiEndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        for (const char* tool : {"Xvfb", "xdotool", "xrandr"})
            if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty()) {
                missing_ = tool;
                return;
            }
        // Xvfb picks a free display itself and tells its number on stdout, so
        // test programs running side by side never share a display.
        xvfb_ = std::make_unique<QProcess>();
        xvfb_->start(QStringLiteral("Xvfb"), {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                                              QStringLiteral("0"), QStringLiteral("3840x1080x24"),
                                              QStringLiteral("-nolisten"), QStringLiteral("tcp"),
                                              QStringLiteral("-noreset")});
        QDeadlineTimer deadline(20000);
        QByteArray number;
        while (!number.contains('\n') && !deadline.hasExpired() && xvfb_->state() != QProcess::NotRunning)
            if (xvfb_->waitForReadyRead(100)) number += xvfb_->readAllStandardOutput();
        if (number.trimmed().isEmpty()) return;
        display_ = QStringLiteral(":") + QString::fromLatin1(number.trimmed());
        // Two monitors on one X screen: the operator's and the On Air one.
        Run(QStringLiteral("xrandr"), {QStringLiteral("--setmonitor"), QStringLiteral("MON-A"),
                                       QStringLiteral("1920/508x1080/286+0+0"), QStringLiteral("screen")});
        Run(QStringLiteral("xrandr"), {QStringLiteral("--setmonitor"), QStringLiteral("MON-B"),
                                       QStringLiteral("1920/508x1080/286+1920+0"), QStringLiteral("none")});
    }
    static void TearDownTestSuite() {
        if (!xvfb_) return;
        xvfb_->kill();
        xvfb_->waitForFinished(5000);
        xvfb_.reset();
    }

    void SetUp() override {
        if (!missing_.empty()) GTEST_SKIP() << missing_ << " is not installed";
        ASSERT_FALSE(display_.isEmpty()) << "Xvfb did not start";
        Restart("OnAirOnStartup=0\nDisableGFXWhenOffAir=1\n");
    }
    // A fresh engine with these [General] lines (and any later sections).
    void Restart(const std::string& general) {
        kiv_.reset();
        port_ = KivProcess::FreePort();
        kiv_ = std::make_unique<KivProcess>("[General]\nVersion=1\nListeningPort=" + std::to_string(port_) +
                                            "\nOnAirMonitor=0\n" + general);
        kiv_->SetEnv(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        kiv_->SetEnv(QStringLiteral("DISPLAY"), display_);
        ASSERT_TRUE(kiv_->Start());
        ASSERT_TRUE(kiv_->WaitForLog("Entering Main Loop...")) << kiv_->Log() << kiv_->Errors();
    }
    void TearDown() override { kiv_.reset(); }

    static QString Run(const QString& program, const QStringList& args, int timeoutMs = 10000) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), display_);
        p.setProcessEnvironment(env);
        p.start(program, args);
        if (!p.waitForFinished(timeoutMs)) {
            p.kill();
            p.waitForFinished();
        }
        return QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed();
    }
    QString Xdo(const QStringList& args) { return Run(QStringLiteral("xdotool"), args); }
    // The id of the visible window whose title matches, or "" .
    QString Visible(const QString& title) {
        return Xdo({QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--name"), title})
            .section('\n', 0, 0);
    }
    QString WaitVisible(const QString& title) {
        QString id;
        Eventually(*kiv_, [&] { return !(id = Visible(title)).isEmpty(); });
        return id;
    }
    // Clicks a point of the main window, given from its top-right corner.
    void ClickFromTopRight(int fromRight, int y) {
        const QString main = WaitVisible(QStringLiteral("^Kiv GUI"));
        ASSERT_FALSE(main.isEmpty());
        const QString shell = Xdo({QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), main});
        int x0 = 0, width = 0;
        for (const QString& line : shell.split('\n')) {
            if (line.startsWith(QStringLiteral("X="))) x0 = line.mid(2).toInt();
            if (line.startsWith(QStringLiteral("WIDTH="))) width = line.mid(6).toInt();
        }
        ASSERT_GT(width, fromRight);
        Xdo({QStringLiteral("mousemove"), QString::number(x0 + width - fromRight), QString::number(y),
             QStringLiteral("click"), QStringLiteral("1")});
    }
    // Close requests of the window manager, `times` each, to the windows.
    void RequestClose(const QStringList& windows, int times) {
        for (int i = 0; i < times; ++i) {
            QProcess p;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("DISPLAY"), display_);
            p.setProcessEnvironment(env);
            p.start(QStringLiteral("/usr/bin/python3"),
                    QStringList{QStringLiteral(KIV_SOURCE_DIR "/tests/gui/close_window.py")} + windows);
            ASSERT_TRUE(p.waitForFinished(10000));
            ASSERT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
        }
    }
    // The colour of one screen pixel, "#RRGGBB".
    static QString ScreenPixel(int x, int y) {
        const QString grab = Run(QStringLiteral("sh"), {QStringLiteral("-c"),
                                                        QStringLiteral("xwd -root -silent | /usr/bin/convert xwd:- "
                                                                       "-crop 1x1+%1+%2 -depth 8 txt:-")
                                                            .arg(x)
                                                            .arg(y)});
        const qsizetype hash = grab.lastIndexOf(QLatin1Char('#'));  // after the header line
        return hash < 0 ? grab : grab.mid(hash, 7);
    }
    // Sends one command and waits for its reply.
    std::string Ask(TcpClient& client, const std::string& command) {
        client.received.clear();
        if (!client.Send(command + "\r\n") || !client.ReadReplies(1, "\r\n", 20000)) return "(no reply)";
        return client.received;
    }
    // Answers the open "Confirm quit" box with a key.
    void AnswerQuit(const char* key) {
        const QString box = WaitVisible(QStringLiteral("^Confirm quit$"));
        ASSERT_FALSE(box.isEmpty()) << kiv_->Log();
        Xdo({QStringLiteral("windowfocus"), QStringLiteral("--sync"), box});
        Xdo({QStringLiteral("key"), QStringLiteral("--clearmodifiers"), QString::fromLatin1(key)});
    }

    static inline std::string missing_;
    static inline QString display_;
    static inline std::unique_ptr<QProcess> xvfb_;
    int port_ = 0;
    std::unique_ptr<KivProcess> kiv_;
};

TEST_F(GuiEndToEnd, TypedCommandIsAnsweredInTheLog) {
    const QString console = WaitVisible(QStringLiteral("^Kiv Console"));
    ASSERT_FALSE(console.isEmpty());
    Xdo({QStringLiteral("windowfocus"), QStringLiteral("--sync"), console});
    Xdo({QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("20"), QStringLiteral("  version")});
    Xdo({QStringLiteral("key"), QStringLiteral("Return")});
    EXPECT_TRUE(kiv_->WaitForLog("[CMD]  VERSION (session=console)")) << kiv_->Log();
    EXPECT_TRUE(kiv_->WaitForLog("[OUT]  Version: ")) << kiv_->Log();
}

TEST_F(GuiEndToEnd, ConsoleSwitchHidesAndShowsTheConsole) {
    // "C" is the third button from the right: 6 px margin, 28 px buttons, 4 px apart.
    ClickFromTopRight(6 + 28 + 4 + 28 + 4 + 14, 19);
    EXPECT_TRUE(kiv_->WaitForLog("-1 SHOW_CONSOLE OFF (session=gui)")) << kiv_->Log();
    EXPECT_TRUE(Eventually(*kiv_, [&] { return Visible(QStringLiteral("^Kiv Console")).isEmpty(); }));
    ClickFromTopRight(6 + 28 + 4 + 28 + 4 + 14, 19);
    EXPECT_TRUE(kiv_->WaitForLog("-1 SHOW_CONSOLE ON (session=gui)")) << kiv_->Log();
    EXPECT_FALSE(WaitVisible(QStringLiteral("^Kiv Console")).isEmpty());
}

TEST_F(GuiEndToEnd, QuitFromAClientIsConfirmedAndNeverAnswered) {
    TcpClient client([this] { kiv_->Pump(1); });
    ASSERT_TRUE(client.Connect(port_));
    ASSERT_TRUE(client.Send("7 QUIT\r\n"));
    AnswerQuit("n");
    // Still running and answering; the first reply to arrive is VERSION's.
    ASSERT_TRUE(client.Send("8 VERSION\r\n"));
    ASSERT_TRUE(client.ReadReplies(1)) << kiv_->Log();
    EXPECT_EQ(client.received.rfind("8 Version: ", 0), 0u) << client.received;
    EXPECT_TRUE(kiv_->Running());

    client.received.clear();
    ASSERT_TRUE(client.Send("9 EXIT\r\n"));
    AnswerQuit("y");
    EXPECT_TRUE(Eventually(*kiv_, [&] { return !kiv_->Running(); })) << kiv_->Log();
    client.ReadUntil([](const std::string&) { return false; }, 2000);
    EXPECT_TRUE(client.received.empty()) << client.received;
}

// Close requests from the window manager, repeated, to the output and the
// console: both stay, and the output still goes on air.
TEST_F(GuiEndToEnd, OutputAndConsoleRefuseCloseRequests) {
    QTemporaryDir pictures;
    const std::string picture = pictures.filePath(QStringLiteral("blue.bmp")).toStdString();
    {
        // 8x8, 24 bits, pure blue.
        std::string bmp("BM\x36\x01\0\0\0\0\0\0\x36\0\0\0\x28\0\0\0\x08\0\0\0\x08\0\0\0\x01\0\x18\0", 30);
        bmp += std::string(24, '\0');
        for (int i = 0; i < 64; ++i) bmp += std::string("\xFF\0\0", 3);
        std::ofstream(picture, std::ios::binary) << bmp;
    }
    Restart("OnAirOnStartup=1\n[Transition]\nTransMode=Cut\n");
    const QString output = WaitVisible(QStringLiteral("^Kiv Output$"));
    const QString console = WaitVisible(QStringLiteral("^Kiv Console"));
    ASSERT_FALSE(output.isEmpty());
    ASSERT_FALSE(console.isEmpty());
    RequestClose({output, console}, 3);
    TcpClient client([this] { kiv_->Pump(1); });
    ASSERT_TRUE(client.Connect(port_));
    EXPECT_EQ(Ask(client, "1 VERSION"), "1 Version: 11.0.1\r\n");  // the close requests have been handled
    EXPECT_EQ(Visible(QStringLiteral("^Kiv Output$")), output);
    EXPECT_EQ(Visible(QStringLiteral("^Kiv Console")), console);
    EXPECT_EQ(Ask(client, "2 ONAIR"), "2 ONAIR\r\n");
    EXPECT_EQ(Ask(client, "3 RENDERER SET " + picture), "3\r\n");
    // The middle of the On Air monitor (the second one) shows the picture.
    EXPECT_EQ(ScreenPixel(1920 + 960, 540), QStringLiteral("#0000FF")) << kiv_->Log();
    EXPECT_TRUE(kiv_->Running());
}

// With no main window shown and the console hidden, neither a close request
// to the output nor a declined quit ends the engine.
TEST_F(GuiEndToEnd, NoLastWindowEndsTheEngine) {
    Restart("DisableGui=1\nHideConsoleOnStartup=1\nOnAirOnStartup=1\n");
    ASSERT_TRUE(kiv_->WaitForLog("-1 SHOW_CONSOLE OFF (session=gui)"));
    ASSERT_TRUE(Eventually(*kiv_, [&] { return Visible(QStringLiteral("^Kiv Console")).isEmpty(); }));
    const QString output = WaitVisible(QStringLiteral("^Kiv Output$"));
    ASSERT_FALSE(output.isEmpty());
    RequestClose({output}, 2);
    TcpClient client([this] { kiv_->Pump(1); });
    ASSERT_TRUE(client.Connect(port_));
    EXPECT_EQ(Ask(client, "1 VERSION"), "1 Version: 11.0.1\r\n");
    ASSERT_TRUE(client.Send("2 QUIT\r\n"));
    AnswerQuit("n");
    EXPECT_EQ(Ask(client, "3 VERSION"), "3 Version: 11.0.1\r\n");
    EXPECT_TRUE(kiv_->StaysUpFor(500)) << kiv_->Log();
    EXPECT_EQ(Visible(QStringLiteral("^Kiv Output$")), output);
}

}  // namespace
