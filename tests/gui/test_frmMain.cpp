// The main window's On Air state, its questions and the commands its
// controls queue, on the offscreen platform.
#include <csignal>
#include <filesystem>
#include <functional>

#include <QAction>
#include <QCloseEvent>
#include <QMessageBox>
#include <QTimer>
#include <QPushButton>

#include "app/OnAirIndicator.h"
#include "app/frmMain.h"
#include "app/frmMainTexts.h"
#include "image/ImageDialogs.h"
#include "protocol/ExecuteCommand.h"
#include "tests/core/TestDir.h"
#include "tests/gui/GuiTest.h"

namespace {

class MainWindowTest : public GuiTest {
protected:
    void SetUp() override {
        GuiTest::SetUp();
        window = std::make_unique<frmMain>();
        InstallMainWindowHooks();
        frmMain::SetExitProcessHook([this] { ++exits; });
    }
    void TearDown() override {
        frmMain::SetExitProcessHook({});
        SetExecutorHooks({});
        window.reset();
        GuiTest::TearDown();
    }
    void ClickOnAir() { window->chkOnAir->click(); }
    bool ShowsOnAir() const { return window->imgOnAir->isVisibleTo(window.get()); }
    bool ShowsOffAir() const { return window->imgOffAir->isVisibleTo(window.get()); }

    std::unique_ptr<frmMain> window;
    int exits = 0;
};

TEST_F(MainWindowTest, OnAirSwitchWithoutConfirmation) {
    ClickOnAir();
    EXPECT_TRUE(OnAir);
    EXPECT_TRUE(window->chkOnAir->isChecked());
    EXPECT_TRUE(window->chkOnAir->font().bold());
    EXPECT_TRUE(ShowsOnAir());
    EXPECT_FALSE(ShowsOffAir());
    EXPECT_TRUE(Logged("Entering On Air mode."));
    // No output was initialised: On Air without an output window.
    EXPECT_FALSE(GfxOutputEnabled);
    EXPECT_FALSE(Logged("Enabling GFX output..."));

    ClickOnAir();
    EXPECT_FALSE(OnAir);
    EXPECT_FALSE(window->chkOnAir->isChecked());
    EXPECT_FALSE(window->chkOnAir->font().bold());
    EXPECT_FALSE(ShowsOnAir());
    EXPECT_TRUE(ShowsOffAir());
    EXPECT_TRUE(Logged("Leaving On Air mode."));
    EXPECT_TRUE(asked.empty());
    EXPECT_TRUE(Queued().empty()) << "the On Air switch acts at once, it queues nothing";
}

TEST_F(MainWindowTest, GoingOnAirEnablesAnInitialisedOutput) {
    GfxInitialized = true;
    window->GoOnAir();
    EXPECT_TRUE(GfxOutputEnabled);
    EXPECT_TRUE(Logged("Enabling GFX output..."));
    const size_t lines = NewLog().size();
    window->GoOnAir();  // already On Air: nothing at all
    EXPECT_EQ(NewLog().size(), lines);
}

TEST_F(MainWindowTest, OffAirConfirmationAnsweredNoKeepsOnAir) {
    Settings.DisableGFXWhenOffAir = 1;
    GfxInitialized = true;
    ClickOnAir();
    ASSERT_TRUE(GfxOutputEnabled);
    answer = MsgAnswer::No;
    ClickOnAir();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].title, "Confirm going Off Air");
    EXPECT_EQ(asked[0].text, frmMainTexts::OffAirQuestion);
    EXPECT_EQ(asked[0].buttons, MsgButtons::YesNo);
    EXPECT_EQ(asked[0].icon, MsgIcon::Exclamation);
    EXPECT_TRUE(OnAir);
    EXPECT_TRUE(GfxOutputEnabled);
    EXPECT_TRUE(window->chkOnAir->isChecked());
    EXPECT_TRUE(ShowsOnAir());
    EXPECT_FALSE(Logged("Leaving On Air mode."));
}

TEST_F(MainWindowTest, OffAirConfirmationAnsweredYesDisablesOutput) {
    Settings.DisableGFXWhenOffAir = 1;
    GfxInitialized = true;
    ClickOnAir();
    answer = MsgAnswer::Yes;
    ClickOnAir();
    EXPECT_EQ(asked.size(), 1u);
    EXPECT_FALSE(OnAir);
    EXPECT_FALSE(GfxOutputEnabled);
    EXPECT_FALSE(window->chkOnAir->isChecked());
    const std::string log = NewLog();
    const size_t leaving = log.find("Leaving On Air mode.");
    const size_t disabling = log.find("Disabling GFX output...");
    ASSERT_NE(leaving, std::string::npos);
    ASSERT_NE(disabling, std::string::npos);
    EXPECT_LT(leaving, disabling);
}

TEST_F(MainWindowTest, OffAirKeepsOutputWhenNotConfiguredToDisableIt) {
    GfxInitialized = true;
    Settings.DisableGFXWhenOffAir = 0;
    ClickOnAir();
    ClickOnAir();
    EXPECT_TRUE(asked.empty());
    EXPECT_FALSE(OnAir);
    EXPECT_TRUE(GfxOutputEnabled);
}

struct QuitCase {
    const char* name;
    bool onAir;
    MsgAnswer answer;
    const char* text;
    MsgIcon icon;
};

class QuitTest : public MainWindowTest, public ::testing::WithParamInterface<QuitCase> {};

TEST_P(QuitTest, AsksOnceAndEndsOnlyOnYes) {
    const QuitCase& c = GetParam();
    Settings.DisableGFXWhenOffAir = 1;
    GfxInitialized = true;
    if (c.onAir) window->GoOnAir();
    answer = c.answer;
    window->Quit();
    ASSERT_EQ(asked.size(), 1u) << "Quit never asks the Off Air question as well";
    EXPECT_EQ(asked[0].title, "Confirm quit");
    EXPECT_EQ(asked[0].text, c.text);
    EXPECT_EQ(asked[0].icon, c.icon);
    EXPECT_EQ(exits, c.answer == MsgAnswer::Yes ? 1 : 0);
    if (c.answer == MsgAnswer::Yes) {
        EXPECT_FALSE(OnAir);
        // The picture stays on air until the process is gone.
        EXPECT_EQ(GfxOutputEnabled, c.onAir);
        EXPECT_FALSE(Logged("Disabling GFX output..."));
    } else {
        EXPECT_EQ(OnAir, c.onAir);
        EXPECT_EQ(Settings.DisableGFXWhenOffAir, 1);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, QuitTest,
    ::testing::Values(QuitCase{"OffAirYes", false, MsgAnswer::Yes, "Do you really want to quit Kiv?", MsgIcon::Question},
                      QuitCase{"OffAirNo", false, MsgAnswer::No, "Do you really want to quit Kiv?", MsgIcon::Question},
                      QuitCase{"OnAirYes", true, MsgAnswer::Yes,
                               "Kiv is still in On Air mode!\r\n\r\nDo you really want to quit Kiv?",
                               MsgIcon::Exclamation},
                      QuitCase{"OnAirNo", true, MsgAnswer::No,
                               "Kiv is still in On Air mode!\r\n\r\nDo you really want to quit Kiv?",
                               MsgIcon::Exclamation}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MainWindowTest, CloseRequestIsAQuit) {
    answer = MsgAnswer::No;
    QCloseEvent refused;
    QApplication::sendEvent(window.get(), &refused);
    EXPECT_FALSE(refused.isAccepted());
    EXPECT_EQ(asked.size(), 1u);
    EXPECT_EQ(exits, 0);

    answer = MsgAnswer::Yes;
    QCloseEvent accepted;
    QApplication::sendEvent(window.get(), &accepted);
    EXPECT_EQ(exits, 1);
}

// On the offscreen platform nobody can answer: every question is logged and
// takes its safe answer at once, exactly as an operator answering No.
TEST_F(MainWindowTest, UnattendedQuestionsTakeTheSafeAnswerAndAreLogged) {
    EXPECT_FALSE(DialogsCanBeAnswered());
    SetMessageBoxHandler(AnswerUnattended);
    Settings.DisableGFXWhenOffAir = 1;
    GfxInitialized = true;
    window->GoOnAir();
    const struct {
        const char* name;
        std::function<void()> ask;
        const char* logged;
    } cases[] = {
        {"quit", [&] { EXPECT_EQ(ExecuteCommand("QUIT", ""), kNoReply); },
         "[SYS]W Message box \"Confirm quit\": \"Kiv is still in On Air mode!{CR}{LF}{CR}{LF}Do you really want to "
         "quit Kiv?\" cannot be answered on the offscreen platform; answered No.\r\n"},
        {"off air", [&] { window->chkOnAir->click(); },
         "[SYS]W Message box \"Confirm going Off Air\": \"Kiv is configured to disable graphics output when going "
         "Off Air."},
        {"overwrite", [] { EXPECT_FALSE(AskImageQuestion("Overwrite the file?", "Save")); },
         "[SYS]W Message box \"Save\": \"Overwrite the file?\" cannot be answered on the offscreen platform; "
         "answered No.\r\n"},
        {"notice", [] { ShowImageMessage("Broken picture"); },
         "[SYS]W Message box \"Kiv\": \"Broken picture\" cannot be answered on the offscreen platform; answered "
         "OK.\r\n"},
    };
    for (const auto& c : cases) {
        const size_t mark = ConsoleText().size();
        c.ask();
        EXPECT_NE(ConsoleText().find(c.logged, mark), std::string::npos) << c.name << ConsoleText().substr(mark);
        EXPECT_EQ(exits, 0) << c.name;
        EXPECT_TRUE(OnAir) << c.name;
        EXPECT_TRUE(GfxOutputEnabled) << c.name;
        EXPECT_TRUE(window->chkOnAir->isChecked()) << c.name;
    }
}

// A termination signal takes Quit's Yes without asking, once: a second
// signal handled while the cache clean-up waits starts nothing new.
TEST_F(MainWindowTest, SignalQuitsWithoutAskingAndOnlyOnce) {
    TestDir cache;
    cache.Write("kiv_ABC", "cached");
    cache.Write("other", "kept");
    Settings.CacheDir = cache.Path();
    Settings.DisableGFXWhenOffAir = 1;
    GfxInitialized = true;
    window->GoOnAir();
    QTimer::singleShot(0, [] { QuitOnSignal(SIGINT); });
    QuitOnSignal(SIGTERM);
    EXPECT_TRUE(asked.empty());
    EXPECT_EQ(exits, 1);
    EXPECT_FALSE(OnAir);
    EXPECT_TRUE(GfxOutputEnabled) << "the picture stays until the process is gone";
    EXPECT_FALSE(std::filesystem::exists(cache.Path() + "/kiv_ABC"));
    EXPECT_TRUE(std::filesystem::exists(cache.Path() + "/other"));
    const std::string log = NewLog();
    EXPECT_NE(log.find("[SYS]I Received SIGTERM. Quitting Kiv without confirmation.\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("[SYS]I Received SIGINT. Already quitting.\r\n"), std::string::npos) << log;
    EXPECT_LT(log.find("Received SIGTERM"), log.find("Leaving On Air mode."));
}

TEST_F(MainWindowTest, ControlsQueueTheirCommandsForTheGuiSession) {
    window->cmdMin->click();
    window->cmdExit->click();
    window->mnuExit->trigger();
    window->chkConsole->click();  // released
    window->chkConsole->click();  // pressed again
    const std::vector<std::string> expected = {
        "-1 ICONIFY|-1|\r\n", "-1 QUIT|-1|\r\n", "-1 QUIT|-1|\r\n", "-1 SHOW_CONSOLE OFF|-1|\r\n",
        "-1 SHOW_CONSOLE ON|-1|\r\n"};
    EXPECT_EQ(Queued(), expected);
    EXPECT_TRUE(asked.empty()) << "none of them acts before the queue runs";
}

TEST_F(MainWindowTest, AboutBoxShowsVersionAndLegend) {
    window->cmdAbout->click();
    window->mnuAbout->trigger();
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[0].title, "About Kiv");
    EXPECT_EQ(asked[0].icon, MsgIcon::Information);
    EXPECT_EQ(asked[0].buttons, MsgButtons::Ok);
    EXPECT_EQ(asked[0].text.rfind("Kiv " + Version::Text() + "\r\n\r\nRealtime graphics playout engine\r\n\r\n", 0), 0u);
    EXPECT_TRUE(asked[0].text.ends_with(frmMainTexts::Legend));
    EXPECT_TRUE(Queued().empty());
}

TEST_F(MainWindowTest, ConsoleSwitchFollowsShowConsoleWithoutQueuing) {
    // The executor's rule, run through the queue as an operator click would.
    AddCommand("SHOW_CONSOLE OFF", 0, "\r\n");
    ProcessCommandQueue();
    EXPECT_FALSE(window->chkConsole->isChecked());
    EXPECT_FALSE(ConsoleShown);
    EXPECT_TRUE(Queued().empty());

    AddCommand("SHOW_CONSOLE ON", 0, "\r\n");
    ProcessCommandQueue();
    EXPECT_TRUE(window->chkConsole->isChecked());
    EXPECT_TRUE(ConsoleShown);
    EXPECT_TRUE(Queued().empty());

    // "OFF" and "0" are looked for first: 10 hides.
    AddCommand("SHOW_CONSOLE 10", 0, "\r\n");
    ProcessCommandQueue();
    EXPECT_FALSE(ConsoleShown);
    AddCommand("SHOW_CONSOLE MAYBE", 0, "\r\n");
    ProcessCommandQueue();
    EXPECT_FALSE(ConsoleShown) << "neither on nor off changes nothing";
    EXPECT_TRUE(Queued().empty());
}

TEST_F(MainWindowTest, StopOperationDisablesTheSwitchAndShowsTheConsole) {
    window->SetConsoleSwitch(false);  // the console was hidden
    window->GoOnAir();
    StopOperation();
    EXPECT_FALSE(OnAir);
    EXPECT_FALSE(window->chkOnAir->isEnabled());
    EXPECT_TRUE(window->chkConsole->isChecked());
    EXPECT_TRUE(FatalError);
    EXPECT_EQ(Queued(), std::vector<std::string>{"-1 SHOW_CONSOLE ON|-1|\r\n"});
    const std::string log = NewLog();
    EXPECT_LT(log.find("Leaving On Air mode."), log.find("Fatal Error. Cannot continue"));
    // Commands can still take the engine On Air.
    window->GoOnAir();
    EXPECT_TRUE(OnAir);
    EXPECT_FALSE(window->chkOnAir->isEnabled());
}

TEST_F(MainWindowTest, StopOperationWithConsoleShownQueuesNothing) {
    StopOperation();
    EXPECT_TRUE(window->chkConsole->isChecked());
    EXPECT_TRUE(Queued().empty());
}

TEST_F(MainWindowTest, QuitCommandIsNotAnsweredWhateverTheAnswer) {
    answer = MsgAnswer::No;
    EXPECT_EQ(ExecuteCommand("QUIT", ""), kNoReply);
    EXPECT_EQ(exits, 0);
    answer = MsgAnswer::Yes;
    EXPECT_EQ(ExecuteCommand("EXIT", ""), kNoReply);
    EXPECT_EQ(exits, 1);
    EXPECT_EQ(asked.size(), 2u);
}

TEST_F(MainWindowTest, RestoringTheMinimisedWindowMaximisesIt) {
    window->showMaximized();
    window->Iconify();
    EXPECT_TRUE(window->isMinimized());
    window->setWindowState(Qt::WindowNoState);
    QApplication::processEvents();
    EXPECT_TRUE(window->isMaximized());
}

TEST_F(MainWindowTest, IconifyLeavesAHiddenWindowHidden) {
    EXPECT_EQ(ExecuteCommand("ICONIFY", ""), "");
    EXPECT_TRUE(window->isMinimized());
    EXPECT_FALSE(window->isVisible());
}

TEST_F(MainWindowTest, ImageLibraryDialogsGoThroughTheSeam) {
    answer = MsgAnswer::Yes;
    EXPECT_TRUE(AskImageQuestion("Overwrite the file?", "Save"));
    answer = MsgAnswer::No;
    EXPECT_FALSE(AskImageQuestion("Overwrite the file?", "Save"));
    ShowImageMessage("Broken picture");
    ASSERT_EQ(asked.size(), 3u);
    EXPECT_EQ(asked[0].title, "Save");
    EXPECT_EQ(asked[0].buttons, MsgButtons::YesNo);
    EXPECT_EQ(asked[2].text, "Broken picture");
    EXPECT_EQ(asked[2].buttons, MsgButtons::Ok);
}

TEST_F(GuiTest, QueueKeepsRunningWhileARealQuestionIsOpen) {
    SetMessageBoxHandler({});  // the real QMessageBox
    SetQueueTimerEnabled(true);
    AddCommand("VERSION", 0, "\r\n");
    // Plays the operator: answers No once the queue has run under the box.
    QTimer operatorHand;
    operatorHand.setInterval(10);
    QObject::connect(&operatorHand, &QTimer::timeout, [] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box && QueueLength() == 0) box->button(QMessageBox::No)->click();
    });
    operatorHand.start();
    EXPECT_EQ(ShowMessageBox({"Go on?", "Question", MsgButtons::YesNo, MsgIcon::Question}), MsgAnswer::No);
    EXPECT_TRUE(Logged("Version: ")) << NewLog();
}

}  // namespace
