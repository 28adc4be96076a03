// The main window on the offscreen platform: On Air, questions, controls, tables.
#include <csignal>

#include <QAction>
#include <QCloseEvent>
#include <QPushButton>
#include <QTableView>
#include <QTcpSocket>
#include <QTimer>

#include "app/OnAirIndicator.h"
#include "app/frmMain.h"
#include "core/Version.h"
#include "image/ImageDialogs.h"
#include "net/modSessionManager.h"
#include "protocol/ExecuteCommand.h"
#include "tests/e2e/KivProcess.h"
#include "tests/gui/GuiTest.h"

bool operator==(const MsgRequest& a, const MsgRequest& b) {
    return std::tie(a.text, a.title, a.buttons, a.icon) == std::tie(b.text, b.title, b.buttons, b.icon);
}

namespace {
const MsgRequest kQuit{"Do you really want to quit Kiv?", "Confirm quit", MsgButtons::YesNo, MsgIcon::Question};
const MsgRequest kQuitOnAir{"Kiv is still in On Air mode!\r\n\r\nDo you really want to quit Kiv?", "Confirm quit",
                            MsgButtons::YesNo, MsgIcon::Exclamation};
const MsgRequest kOffAir{"Kiv is configured to disable graphics output when going Off Air.\r\n\r\nIf you continue, "
                         "graphics rendering will be stopped. Don't do this during a live show!\r\n\r\nDo you really "
                         "want to leave On Air mode?",
                         "Confirm going Off Air", MsgButtons::YesNo, MsgIcon::Exclamation};

class MainWindowTest : public GuiTest {
protected:
    void SetUp() override {
        GuiTest::SetUp();
        window.reset();  // one main window at a time
        window = std::make_unique<frmMain>();
        InstallMainWindowHooks();
        frmMain::SetExitProcessHook([this] { ++exits; });
        exits = 0;
    }
    void TearDown() override {
        frmMain::SetExitProcessHook({});
        SetExecutorHooks({});
        window.reset();
        GuiTest::TearDown();
    }
    // Leaving would take the output off screen.
    void OnAirWithOutput(bool onAir = true) {
        Settings.DisableGFXWhenOffAir = 1;
        GfxInitialized = true;
        if (onAir) window->GoOnAir();
    }
    // The switch, its font and the two indicators all tell the same state.
    void ExpectShows(bool onAir) {
        EXPECT_EQ(std::vector<bool>({OnAir, window->chkOnAir->isChecked(), window->chkOnAir->font().bold(),
                                     window->imgOnAir->isVisibleTo(window.get()),
                                     !window->imgOffAir->isVisibleTo(window.get())}),
                  std::vector<bool>(5, onAir));
    }
    QString Cell(QAbstractItemModel* m, int row, int column) const { return m->data(m->index(row, column)).toString(); }

    std::unique_ptr<frmMain> window;
    int exits = 0;
};

// The switch acts at once, queues nothing, and asks only when leaving takes the output off screen.
TEST_F(MainWindowTest, OnAirSwitchRules) {
    const std::tuple<int, bool, MsgAnswer, bool> cases[] = {  // DisableGFXWhenOffAir, output, answer, stays On Air
        {0, false, MsgAnswer::Yes, false}, {1, false, MsgAnswer::No, false}, {1, true, MsgAnswer::No, true},
        {1, true, MsgAnswer::Yes, false},  {0, true, MsgAnswer::No, false}};
    for (const auto& [disableWhenOffAir, gfx, a, staysOnAir] : cases) {
        SCOPED_TRACE(::testing::Message() << disableWhenOffAir << gfx << int(a));
        SetUp();
        Settings.DisableGFXWhenOffAir = disableWhenOffAir;
        GfxInitialized = gfx;
        window->chkOnAir->click();
        ExpectShows(true);
        EXPECT_TRUE(Logged("Entering On Air mode.") && Logged("Enabling GFX output...") == gfx) << NewLog();
        const size_t logged = NewLog().size();
        window->GoOnAir();  // already On Air: nothing at all
        EXPECT_EQ(NewLog().size(), logged);
        answer = a;
        window->chkOnAir->click();
        ExpectShows(staysOnAir);
        const bool asks = gfx && disableWhenOffAir == 1, disables = asks && !staysOnAir;
        EXPECT_EQ(asked, asks ? std::vector<MsgRequest>{kOffAir} : std::vector<MsgRequest>{});
        EXPECT_EQ(GfxOutputEnabled, gfx && !disables);
        const size_t leaving = NewLog().find("Leaving On Air mode.");
        EXPECT_EQ(leaving == std::string::npos, staysOnAir);
        EXPECT_EQ(NewLog().find("Disabling GFX output...", leaving) == std::string::npos, !disables);
        EXPECT_TRUE(Queued().empty());
    }
}

// Quit asks once, never the Off Air question too; the picture stays until the process is gone.
// A close request and the commands are the same Quit; the commands are never answered.
TEST_F(MainWindowTest, QuitAsksOnceAndEndsOnlyOnYes) {
    for (const bool onAir : {false, true})
        for (const MsgAnswer a : {MsgAnswer::No, MsgAnswer::Yes}) {
            SetUp();
            OnAirWithOutput(onAir);
            answer = a;
            window->Quit();
            EXPECT_EQ(asked, std::vector<MsgRequest>{onAir ? kQuitOnAir : kQuit});
            EXPECT_EQ(exits, a == MsgAnswer::Yes ? 1 : 0);
            EXPECT_EQ(OnAir, onAir && a == MsgAnswer::No);
            EXPECT_EQ(GfxOutputEnabled, onAir);
            EXPECT_FALSE(Logged("Disabling GFX output..."));
        }
    SetUp();
    QCloseEvent refused, accepted;
    answer = MsgAnswer::No;
    QApplication::sendEvent(window.get(), &refused);
    EXPECT_FALSE(refused.isAccepted());
    EXPECT_EQ(ExecuteCommand("QUIT", ""), kNoReply);
    answer = MsgAnswer::Yes;
    EXPECT_EQ(exits, 0);
    EXPECT_EQ(ExecuteCommand("EXIT", ""), kNoReply);
    QApplication::sendEvent(window.get(), &accepted);
    EXPECT_EQ(exits, 2);
    EXPECT_EQ(asked, std::vector<MsgRequest>(4, kQuit));
    AskImageQuestion("Overwrite?", "Save");  // the one question whose default button is No
    EXPECT_EQ(asked.back().defaultButton, MsgAnswer::No);
}

// Offscreen nobody can answer: every question, the image library's too, is logged and answered safely.
TEST_F(MainWindowTest, UnattendedQuestionsTakeTheSafeAnswerAndAreLogged) {
    EXPECT_FALSE(DialogsCanBeAnswered());
    SetMessageBoxHandler(AnswerUnattended);
    OnAirWithOutput();
    const std::string box = "[SYS]W Message box \"";
    const std::string tail = "\" cannot be answered on the offscreen platform; answered ";
    const std::pair<std::function<void()>, std::string> cases[] = {
        {[&] { window->chkOnAir->click(); }, box + "Confirm going Off Air\": \"Kiv is configured to disable"},
        {[] { EXPECT_FALSE(AskImageQuestion("Overwrite?", "Save")); }, box + "Save\": \"Overwrite?" + tail + "No.\r\n"},
        {[] { ShowImageMessage("Broken picture"); }, box + "Kiv\": \"Broken picture" + tail + "OK.\r\n"},
    };
    for (const auto& [ask, logged] : cases) {
        const size_t mark = ConsoleText().size();
        ask();
        EXPECT_NE(ConsoleText().find(logged, mark), std::string::npos) << logged;
        EXPECT_EQ(exits, 0);
        ExpectShows(true);
        EXPECT_TRUE(GfxOutputEnabled);
    }
}

TEST_F(MainWindowTest, SignalQuitsWithoutAskingAndOnlyOnce) {
    OnAirWithOutput();
    QTimer::singleShot(0, [] { QuitOnSignal(SIGINT); });  // handled while the cache clean-up waits
    QuitOnSignal(SIGTERM);
    EXPECT_TRUE(asked.empty());
    EXPECT_EQ(exits, 1);
    EXPECT_TRUE(!OnAir && GfxOutputEnabled) << "the picture stays until the process is gone";
    const size_t term = NewLog().find("[SYS]I Received SIGTERM. Quitting Kiv without confirmation.\r\n");
    EXPECT_LT(term, NewLog().find("Leaving On Air mode.")) << NewLog();
    EXPECT_TRUE(Logged("[SYS]I Received SIGINT. Already quitting.\r\n")) << NewLog();
}

// A fatal stop goes Off Air before its fatal line, disables the switch for good (commands may still go On Air) and
// brings the console up through the queue when it was hidden.
TEST_F(MainWindowTest, StopOperationDisablesTheSwitchAndShowsTheConsole) {
    window->SetConsoleSwitch(false);
    window->GoOnAir();
    StopOperation();
    EXPECT_TRUE(!OnAir && FatalError && !window->chkOnAir->isEnabled() && window->chkConsole->isChecked());
    EXPECT_EQ(Queued(), std::vector<std::string>{"-1 SHOW_CONSOLE ON|-1|\r\n"});
    EXPECT_LT(NewLog().find("Leaving On Air mode."), NewLog().find("Fatal Error. Cannot continue")) << NewLog();
    window->GoOnAir();
    EXPECT_TRUE(OnAir && !window->chkOnAir->isEnabled());
    StopOperation();  // the console shown: nothing more to queue
    EXPECT_EQ(Queued().size(), 1u);
}

TEST_F(MainWindowTest, ControlsQueueTheirCommandsForTheGuiSessionAboutAnswersAtOnce) {
    for (QAbstractButton* button : {window->cmdMin, window->cmdExit, window->chkConsole, window->chkConsole})
        button->click();
    window->mnuExit->trigger();
    EXPECT_EQ(Queued(), (std::vector<std::string>{"-1 ICONIFY|-1|\r\n", "-1 QUIT|-1|\r\n",
                                                  "-1 SHOW_CONSOLE OFF|-1|\r\n", "-1 SHOW_CONSOLE ON|-1|\r\n",
                                                  "-1 QUIT|-1|\r\n"}));
    EXPECT_TRUE(asked.empty()) << "none of them acts before the queue runs";
    window->cmdAbout->click();
    window->mnuAbout->trigger();
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[1], (MsgRequest{asked[1].text, "About Kiv", MsgButtons::Ok, MsgIcon::Information}));
    EXPECT_TRUE(asked[1].text.starts_with("Kiv " + Version::Text() + "\r\n\r\nRealtime graphics playout engine\r\n"));
    EXPECT_TRUE(asked[1].text.ends_with("F:\tFatal\r\n"));
}

TEST_F(MainWindowTest, QueueTableFollowsTheQueue) {
    QAbstractItemModel* m = window->tblQueue->model();
    AddCommand("7 VERSION now", 3, "\n");
    AddCommand("SHOW_CONSOLE OFF", 0, std::string_view("\0", 1));
    AddCommand("FOO", -1, "\r\n");
    AddCommand("VERSION " + std::string(1 << 20, 'x') + "\r\n", 1, "\r\n");  // a long parameter is cut for display
    QStringList rows;
    for (int row = 0; row < m->rowCount(); ++row)
        for (int column = 0; column < m->columnCount(); ++column) rows << Cell(m, row, column).left(8);
    EXPECT_EQ(rows.join('|'), "3|7|VERSION|now|LF|VERSION|0||SHOW_CON|OFF|NUL|SHOW_CON|-1||FOO||CR LF||1||VERSION|"
                              "xxxxxxxx|CR LF|VERSION");
    EXPECT_LT(Cell(m, 3, 3).size(), 300);
    ProcessCommandQueue();
    EXPECT_EQ(m->rowCount(), 0);
}

TEST_F(MainWindowTest, SessionTableFollowsConnections) {
    Settings.ListeningPort = KivProcess::FreePort();
    InitSessionManager();
    QAbstractItemModel* m = window->tblSessions->model();
    const int before = m->rowCount();
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, quint16(Settings.ListeningPort));
    for (int i = 0; i < 5000 && m->rowCount() == before; ++i) WaitMs(2);
    ASSERT_EQ(m->rowCount(), before + 1) << NewLog();
    EXPECT_EQ(QStringList({Cell(m, before, 0), Cell(m, before, 1), Cell(m, before, 2)}),
              QStringList({QString::number(SessionTable().back().session), "127.0.0.1",
                           QString::number(SessionTable().back().socket)}));
    client.disconnectFromHost();
    for (int i = 0; i < 5000 && m->rowCount() > before; ++i) WaitMs(2);
    EXPECT_EQ(m->rowCount(), before);
}
}  // namespace
