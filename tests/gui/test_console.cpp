// The console window: the log above the operator's typed input, driven by real key and mouse events.
#include <QClipboard>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QTextBlock>

#include "app/frmConsole.h"
#include "app/frmConsoleInput.h"
#include "core/Ansi.h"
#include "tests/gui/GuiTest.h"

namespace {
class ConsoleTest : public GuiTest {
protected:
    void SetUp() override {
        GuiTest::SetUp();
        InstallConsoleInput(*console);
        PendingInput().clear();
        ConsoleShown = true;
        RefillConsoleView();
    }
    void TearDown() override { PendingInput().clear(), GuiTest::TearDown(); }
    void Key(int key, const QString& text, Qt::KeyboardModifiers mods = Qt::NoModifier) {
        QKeyEvent press(QEvent::KeyPress, key, mods, text);
        QApplication::sendEvent(console->txtConsole, &press);
    }
    void Type(const QString& text) {
        for (QChar c : text) Key(c.isLetter() ? Qt::Key_A + (c.toUpper().unicode() - 'A') : 0, QString(c));
    }
    void Click(Qt::MouseButton button) {
        QMouseEvent press(QEvent::MouseButtonPress, QPointF(5, 5), QPointF(5, 5), button, button, Qt::NoModifier);
        QApplication::sendEvent(console->txtConsole->viewport(), &press);
    }
    QString View() const { return console->txtConsole->toPlainText(); }
    QTextDocument* Document() const { return console->txtConsole->document(); }
    // The view is always the log followed by the pending input (the test's lines are short, so not cut).
    void ExpectViewMirrorsState() const {
        QString expected = AnsiToQString(NewLog() + PendingInput());
        expected.replace("\r\n", "\n").replace('\r', '\n');
        EXPECT_TRUE(View().endsWith(expected)) << View().right(200).toStdString();
        EXPECT_TRUE(console->txtConsole->textCursor().atEnd());
    }
    frmConsole* console = (TestApp(), &LoadConsoleWindow());
};

TEST_F(ConsoleTest, OneWindowStaysOnTopAndRefusesToClose) {
    EXPECT_EQ(&LoadConsoleWindow(), console);
    EXPECT_EQ(console->windowTitle(), "Kiv Console 1.1.0.1 (x86)");
    EXPECT_EQ(console->windowFlags() & (Qt::WindowStaysOnTopHint | Qt::WindowCloseButtonHint),
              Qt::WindowStaysOnTopHint);
    EXPECT_TRUE(console->txtConsole->isReadOnly() && console->txtConsole->font().fixedPitch());
    console->show();
    EXPECT_FALSE(console->close());
    EXPECT_TRUE(console->isVisible());
}

// Printable ASCII only (what the code page lacks is "?", its upper half is refused), Backspace never
// into the log, nothing while locked, lines logged meanwhile above the input, Enter trims the line.
TEST_F(ConsoleTest, TypedLineIsQueuedForTheConsoleSessionBelowTheLog) {
    const QString before = View();
    Key(Qt::Key_Backspace, "\b");
    EXPECT_EQ(View(), before);
    Type(" vx");
    Key(Qt::Key_Backspace, "\b");
    for (const char16_t code : {u'\u00e4', u'\u00ff', u'\u20ac', u'\u2019', u'\t', u'\x03', u'\x1f', u'\x7f'})
        Key(0, QString(QChar(code)));
    console->txtConsole->Locked = true;
    Type("b");
    console->txtConsole->Locked = false;
    Type("ersion ~");
    for (const char* missing : {"中", "Ω"}) Key(0, QString::fromUtf8(missing));
    Type(" ");
    EXPECT_EQ(PendingInput(), " version ~?? ");
    WriteLog("caf\xe9 \x80 arrived", "TCP", "I");
    EXPECT_TRUE(View().endsWith(QString::fromUtf8("[TCP]I café € arrived\n version ~?? ")));
    ExpectViewMirrorsState();
    ConsoleShown = false;  // hidden, the view catches up when shown again
    WriteLog("while hidden");
    EXPECT_FALSE(View().contains("while hidden"));
    ConsoleShown = true;
    RefillConsoleView();
    ExpectViewMirrorsState();
    Key(Qt::Key_Return, "\r");
    EXPECT_EQ(PendingInput(), "");
    EXPECT_EQ(Queued(), std::vector<std::string>{" VERSION ~??|0|\r\n"});
    EXPECT_TRUE(Logged("[CMD]  VERSION ~?? (session=console)\r\n")) << NewLog();
    ExpectViewMirrorsState();
}

// Ctrl+V and the middle button paste, the right one does not; line breaks stay in the one command,
// a CR LF pair pasted in halves is removed a character at a time.
TEST_F(ConsoleTest, PastesJoinIntoOneCommand) {
    QGuiApplication::clipboard()->setText(" first\nsecond");
    Type("version");
    Key(Qt::Key_V, QString(QChar(22)), Qt::ControlModifier);
    ExpectViewMirrorsState();
    Key(Qt::Key_Return, "\r");
    EXPECT_EQ(Queued(), std::vector<std::string>{" VERSION first\nsecond|0|\r\n"});
    QGuiApplication::clipboard()->setText("a\r");
    Click(Qt::RightButton);
    EXPECT_EQ(PendingInput(), "");
    Click(Qt::MiddleButton);
    QGuiApplication::clipboard()->setText("\nb");
    PasteConsole();
    for (const char* left : {"a\r\nb", "a\r\n", "a\r", "a"}) {
        EXPECT_EQ(PendingInput(), left);
        ExpectViewMirrorsState();
        Key(Qt::Key_Backspace, "\b");
    }
}

// A megabyte-long line is kept whole in ConsoleText but shown cut, so laying it out cannot freeze the window.
TEST_F(ConsoleTest, OverlongLineIsWholeInTheLogAndCutInTheView) {
    const std::string huge = "IMAGE " + std::string(1 << 20, 'x');
    WriteLog(huge, "CMD");
    WriteLog("after");
    const std::string& text = ConsoleText();
    const size_t at = text.rfind(huge), lineStart = text.rfind("\r\n", at) + 2;
    ASSERT_EQ(text.compare(at, huge.size() + 2, huge + "\r\n"), 0);
    EXPECT_TRUE(Document()->lastBlock().previous().text().endsWith("[SYS]  after"));
    const QString cut = Document()->lastBlock().previous().previous().text();
    EXPECT_TRUE(cut.size() < 20000 && cut.contains("[CMD]  IMAGE xxx"));
    EXPECT_TRUE(cut.endsWith(QString("[line cut in this view at 16384 of %1 characters; the console log file has it "
                                     "whole]").arg(at + huge.size() - lineStart)));
    const QString incremental = View();
    RefillConsoleView();  // shown again from ConsoleText, the view is the same
    EXPECT_EQ(View(), incremental);
}

TEST_F(ConsoleTest, ViewKeepsTheNewestLinesBelowItsBoundsAndTheInputAfterThem) {
    const auto lastLogLine = [&](int typedLines) {
        return Document()->findBlockByNumber(Document()->blockCount() - 1 - typedLines).text();
    };
    PendingInput() = "typing\r\nsecond";
    console->ShowPendingInput();
    for (const auto& [lines, chars] : {std::pair{50, 1 << 20}, std::pair{1000, 3000}}) {
        console->SetViewLimits(lines, chars);
        for (int i = 0; i < 300; ++i) WriteLog("bounded line " + std::to_string(i), "TCP", "I");
        EXPECT_LE(Document()->blockCount(), lines + lines / 10 + 2);
        EXPECT_LE(Document()->characterCount(), chars + chars / 10 + 20);
        EXPECT_TRUE(lastLogLine(2).endsWith("bounded line 299"));
        // Where the log ends is still known: the input is rewritten in its place.
        PendingInput() = "typed";
        console->ShowPendingInput();
        EXPECT_TRUE(lastLogLine(1).endsWith("bounded line 299") && Document()->lastBlock().text() == "typed");
        PendingInput() = "typing\r\nsecond";
        RefillConsoleView();  // shown again, only what the bounds keep is laid out
        EXPECT_LE(Document()->blockCount(), lines + lines / 10 + 2);
        EXPECT_TRUE(View().endsWith("bounded line 299\ntyping\nsecond"));
    }
    console->SetViewLimits(frmConsole::kMaxViewLines, frmConsole::kMaxViewChars);
}
}  // namespace
