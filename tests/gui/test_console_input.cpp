// Typing and pasting into the console window: real key and mouse events on
// the view, the queue and the view's text checked afterwards.
#include <QClipboard>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>

#include "core/Ansi.h"
#include "app/frmConsole.h"
#include "app/frmConsoleInput.h"
#include "app/frmMain.h"
#include "protocol/ExecuteCommand.h"
#include "tests/gui/GuiTest.h"

namespace {

class ConsoleInputTest : public GuiTest {
protected:
    void SetUp() override {
        GuiTest::SetUp();
        console = &LoadConsoleWindow();
        InstallConsoleInput(*console);
        PendingInput().clear();
        ConsoleShown = true;
        RefillConsoleView();
    }
    void TearDown() override {
        PendingInput().clear();
        GuiTest::TearDown();
    }

    void Key(int key, const QString& text = {}, Qt::KeyboardModifiers mods = Qt::NoModifier) {
        QKeyEvent press(QEvent::KeyPress, key, mods, text);
        QApplication::sendEvent(console->txtConsole, &press);
    }
    void Type(const QString& text) {
        for (QChar c : text) Key(c.isLetter() ? Qt::Key_A + (c.toUpper().unicode() - 'A') : 0, QString(c));
    }
    void Enter() { Key(Qt::Key_Return, QStringLiteral("\r")); }
    void Click(Qt::MouseButton button) {
        QWidget* target = console->txtConsole->viewport();
        const QPointF at(5, 5);
        QMouseEvent press(QEvent::MouseButtonPress, at, target->mapToGlobal(at), button, button, Qt::NoModifier);
        QApplication::sendEvent(target, &press);
    }
    QString View() const { return console->txtConsole->toPlainText(); }
    // The view must always be the log followed by the pending input; the
    // lines of this test (all short) and the input are compared exactly.
    void ExpectViewMirrorsState() const {
        QString expected = AnsiToQString(NewLog() + PendingInput());
        expected.replace("\r\n", "\n").replace('\r', '\n');
        const QString view = View();
        EXPECT_TRUE(view.endsWith(expected)) << view.right(200).toStdString();
    }

    frmConsole* console = nullptr;
};

TEST_F(ConsoleInputTest, TypedLineIsQueuedForTheConsoleSession) {
    Type("version");
    EXPECT_EQ(PendingInput(), "version");
    EXPECT_TRUE(View().endsWith("version"));
    Enter();
    EXPECT_EQ(PendingInput(), "");
    EXPECT_EQ(Queued(), std::vector<std::string>{" VERSION|0|\r\n"});
    EXPECT_TRUE(Logged("VERSION (session=console)")) << NewLog();
    ExpectViewMirrorsState();
}

TEST_F(ConsoleInputTest, BackspaceNeverErasesTheLog) {
    const QString before = View();
    Key(Qt::Key_Backspace, QStringLiteral("\b"));
    EXPECT_EQ(View(), before);
    Type("ab");
    Key(Qt::Key_Backspace, QStringLiteral("\b"));
    EXPECT_EQ(PendingInput(), "a");
    Key(Qt::Key_Backspace, QStringLiteral("\b"));
    Key(Qt::Key_Backspace, QStringLiteral("\b"));
    EXPECT_EQ(View(), before);
    ExpectViewMirrorsState();
}

TEST_F(ConsoleInputTest, UmlautAndControlCharactersAddNothing) {
    Type("a");
    Key(0, QString(QChar(0xE4)));
    Key(0, QString(QChar(0x20AC)));
    Key(Qt::Key_Tab, QStringLiteral("\t"));
    Key(Qt::Key_C, QString(QChar(3)), Qt::ControlModifier);
    EXPECT_EQ(PendingInput(), "a");
    ExpectViewMirrorsState();
}

TEST_F(ConsoleInputTest, LogLineArrivingWhileTypingStaysAboveTheInput) {
    Type("half");
    WriteLog("something happened", "SYS", "");
    EXPECT_TRUE(View().endsWith("something happened\nhalf"));
    ExpectViewMirrorsState();
}

TEST_F(ConsoleInputTest, PastedTwoLinesBecomeOneCommand) {
    QGuiApplication::clipboard()->setText(QStringLiteral(" first\nsecond"));
    Type("version");
    Key(Qt::Key_V, QString(QChar(22)), Qt::ControlModifier);
    EXPECT_EQ(PendingInput(), "version first\nsecond");
    ExpectViewMirrorsState();
    Enter();
    ASSERT_EQ(CommandQueue().size(), 1u);
    EXPECT_EQ(CommandQueue()[0].command, "VERSION");
    EXPECT_EQ(CommandQueue()[0].parameter, "first\nsecond");
    EXPECT_EQ(CommandQueue()[0].session, 0);
    ExpectViewMirrorsState();
}

TEST_F(ConsoleInputTest, MiddleButtonPastesRightButtonDoesNot) {
    QGuiApplication::clipboard()->setText(QStringLiteral("VERSION"));
    Click(Qt::RightButton);
    EXPECT_EQ(PendingInput(), "");
    Click(Qt::MiddleButton);
    EXPECT_EQ(PendingInput(), "VERSION");
    ExpectViewMirrorsState();
}

TEST_F(ConsoleInputTest, PasteThatJoinsACarriageReturnKeepsTheViewRight) {
    QGuiApplication::clipboard()->setText(QStringLiteral("a\r"));
    PasteConsole();
    QGuiApplication::clipboard()->setText(QStringLiteral("\nb"));
    PasteConsole();
    EXPECT_EQ(PendingInput(), "a\r\nb");
    ExpectViewMirrorsState();
    Key(Qt::Key_Backspace, QStringLiteral("\b"));
    Key(Qt::Key_Backspace, QStringLiteral("\b"));  // drops the LF of the pair
    ExpectViewMirrorsState();
    Key(Qt::Key_Backspace, QStringLiteral("\b"));
    ExpectViewMirrorsState();
}

TEST_F(ConsoleInputTest, MegabytePasteIsOneCommand) {
    QString big;
    for (int i = 0; i < 20000; ++i) big += QStringLiteral("line %1 of a large paste, sixty-four bytes long ..\r\n").arg(i, 5);
    ASSERT_GE(big.size(), 1 << 20);
    QGuiApplication::clipboard()->setText(big);
    PasteConsole();
    EXPECT_EQ(PendingInput().size(), static_cast<size_t>(big.size()));
    Type("zy");
    Key(Qt::Key_Backspace, QStringLiteral("\b"));
    ExpectViewMirrorsState();
    Enter();
    ASSERT_EQ(CommandQueue().size(), 1u);
    EXPECT_TRUE(CommandQueue()[0].parameter.ends_with("long ..\r\nz"));
    EXPECT_EQ(PendingInput(), "");
    // The typed megabyte has left the end of the view (the log line that
    // records the command may be shown shortened there).
    EXPECT_TRUE(View().endsWith('\n'));
}

TEST_F(ConsoleInputTest, ShowConsoleBringsBackTheWholeLogWithTheCaretAtTheEnd) {
    InstallExecutorHooks();
    Type("half");
    EXPECT_EQ(ExecuteCommand("SHOW_CONSOLE", "off"), "");
    EXPECT_FALSE(console->isVisible());
    WriteLog("logged while hidden", "SYS", "");
    EXPECT_FALSE(View().contains("logged while hidden"));
    EXPECT_EQ(ExecuteCommand("SHOW_CONSOLE", " On "), "");
    SetExecutorHooks({});
    EXPECT_TRUE(console->isVisible());
    EXPECT_TRUE(ConsoleShown);
    ExpectViewMirrorsState();
    EXPECT_TRUE(View().endsWith("logged while hidden\nhalf"));
    EXPECT_TRUE(console->txtConsole->textCursor().atEnd());
}

}  // namespace
