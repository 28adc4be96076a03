#include <gtest/gtest.h>

#include <QKeyEvent>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextDocument>
#include <QThread>
#include <QWindow>

#include "core/Ansi.h"
#include "core/Log.h"
#include "core/Settings.h"
#include "core/TopMost.h"
#include "app/frmConsole.h"
#include "core/modMain.h"
#include "tests/app/QtApp.h"

namespace {
// The view shows CR LF as one paragraph break.
QString Shown(const std::string& text) {
    QString s = AnsiToQString(text);
    s.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return s;
}

class ConsoleTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { TestApp(); }
    void SetUp() override {
        console = &LoadConsoleWindow();
        ConsoleShown = true;
        PendingInput().clear();
        RefillConsoleView();
        logMark_ = ConsoleText().size();
        viewMark_ = ViewText().size();
    }
    void TearDown() override {
        PendingInput().clear();
        console->txtConsole->SetInputHooks({}, {});
    }
    QString ViewText() const { return console->txtConsole->toPlainText(); }
    // The view and the log since the test began (an overlong line logged by
    // an earlier test is shown cut, so whole views are not compared).
    QString NewViewText() const { return ViewText().mid(viewMark_); }
    QString NewLogShown() const { return Shown(ConsoleText().substr(logMark_)); }
    int Caret() const { return console->txtConsole->textCursor().position(); }
    int End() const { return console->txtConsole->document()->characterCount() - 1; }

    frmConsole* console = nullptr;
    size_t logMark_ = 0;
    qsizetype viewMark_ = 0;
};

TEST_F(ConsoleTest, WindowTitleFlagsAndCloseRefused) {
    EXPECT_EQ(ConsoleWindow(), console);
    EXPECT_EQ(&LoadConsoleWindow(), console);  // one window for the process
    EXPECT_EQ(console->windowTitle(), QStringLiteral("Kiv Console 1.1.0.1 (x86)"));
    EXPECT_TRUE(console->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_FALSE(console->windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_TRUE(console->txtConsole->isReadOnly());
    EXPECT_TRUE(console->txtConsole->font().fixedPitch());
    console->show();
    EXPECT_FALSE(console->close());
    EXPECT_TRUE(console->isVisible());
}

TEST_F(ConsoleTest, LineArrivingWhileInputIsPendingGoesAboveIt) {
    WriteLog("first");
    PendingInput() = "SET C:\\pic";
    console->ShowPendingInput();
    EXPECT_EQ(NewViewText(), NewLogShown() + "SET C:\\pic");

    WriteLog("arrived while typing", "TCP", "I");
    EXPECT_EQ(NewViewText(), NewLogShown() + "SET C:\\pic");
    const QTextBlock last = console->txtConsole->document()->lastBlock();
    EXPECT_EQ(last.text(), QStringLiteral("SET C:\\pic"));
    EXPECT_TRUE(last.previous().text().endsWith(QStringLiteral("[TCP]I arrived while typing")));
    EXPECT_EQ(Caret(), End());

    PendingInput().clear();
    console->ShowPendingInput();
    EXPECT_EQ(NewViewText(), NewLogShown());
}

TEST_F(ConsoleTest, BurstOfLinesScrollsToTheNewestOnceTheEventLoopRuns) {
    console->show();
    PendingInput() = "typing";
    console->ShowPendingInput();
    console->txtConsole->verticalScrollBar()->setValue(0);  // the operator scrolled up to read
    for (int i = 0; i < 200; ++i) WriteLog("burst line " + std::to_string(i), "TCP", "I");
    // The text is there at once, the typed input still below it.
    EXPECT_EQ(NewViewText(), NewLogShown() + "typing");
    // During a burst the view catches up within a short interval: run the
    // event loop until it has (bounded, so a view that never does fails).
    const auto newestInSight = [&] {
        return console->txtConsole->viewport()->rect().contains(console->txtConsole->cursorRect());
    };
    for (int i = 0; i < 200 && !newestInSight(); ++i) {
        QThread::msleep(10);
        QCoreApplication::processEvents();
    }
    EXPECT_TRUE(newestInSight());
    EXPECT_GT(console->txtConsole->verticalScrollBar()->value(), 0);
    EXPECT_EQ(Caret(), End());
    const QTextBlock last = console->txtConsole->document()->lastBlock();
    EXPECT_EQ(last.text(), QStringLiteral("typing"));
    EXPECT_TRUE(last.previous().text().endsWith(QStringLiteral("burst line 199")));
}

// A megabyte-long line (a client's command, logged) is kept whole in
// ConsoleText but shown cut, so the window does not freeze laying it out.
TEST_F(ConsoleTest, OverlongLineIsWholeInTheLogAndCutInTheView) {
    const std::string huge = "IMAGE " + std::string(1 << 20, 'x');
    WriteLog(huge, "CMD");
    WriteLog("after");
    QCoreApplication::processEvents();
    const std::string& text = ConsoleText();
    const size_t at = text.rfind(huge);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(text.compare(at + huge.size(), 2, "\r\n"), 0);
    const size_t previousEnd = text.rfind("\r\n", at);
    const size_t lineStart = previousEnd == std::string::npos ? 0 : previousEnd + 2;
    const size_t lineLength = at + huge.size() - lineStart;

    const QTextBlock after = console->txtConsole->document()->lastBlock().previous();
    EXPECT_TRUE(after.text().endsWith(QStringLiteral("[SYS]  after")));
    const QString cut = after.previous().text();
    EXPECT_LT(cut.size(), 20000);
    EXPECT_TRUE(cut.contains(QStringLiteral("[CMD]  IMAGE xxx")));
    EXPECT_TRUE(cut.endsWith(QStringLiteral("[line cut in this view at 16384 of %1 characters; the console log "
                                            "file has it whole]")
                                 .arg(lineLength)));
    // Shown again from ConsoleText, the view is the same.
    const QString incremental = ViewText();
    RefillConsoleView();
    EXPECT_EQ(ViewText(), incremental);
}

TEST_F(ConsoleTest, ViewKeepsTheNewestLinesBelowItsBoundsAndTheInputAfterThem) {
    const QTextDocument* document = console->txtConsole->document();
    // The last line of the log, above `typedLines` lines of typed input.
    const auto lastLogLine = [&](int typedLines = 2) {
        return document->findBlockByNumber(document->blockCount() - 1 - typedLines).text();
    };
    PendingInput() = "typing\r\nsecond";
    console->ShowPendingInput();
    struct Bounds {
        int lines, chars;
    };
    for (const Bounds bounds : {Bounds{50, 1 << 20}, Bounds{1000, 3000}}) {
        console->SetViewLimits(bounds.lines, bounds.chars);
        for (int i = 0; i < 300; ++i) WriteLog("bounded line " + std::to_string(i), "TCP", "I");
        // Two blocks of typed input after the log.
        EXPECT_LE(document->blockCount(), bounds.lines + bounds.lines / 10 + 2);
        EXPECT_LE(document->characterCount(), bounds.chars + bounds.chars / 10 + 20);
        EXPECT_EQ(document->lastBlock().text(), QStringLiteral("second"));
        EXPECT_TRUE(lastLogLine().endsWith(QStringLiteral("bounded line 299")));
        // Where the log ends is still known: the input is rewritten in its place.
        PendingInput() = "typed";
        console->ShowPendingInput();
        EXPECT_EQ(document->lastBlock().text(), QStringLiteral("typed"));
        EXPECT_TRUE(lastLogLine(1).endsWith(QStringLiteral("bounded line 299")));
        PendingInput() = "typing\r\nsecond";
        console->ShowPendingInput();
        // Shown again, only what the bounds keep is laid out.
        RefillConsoleView();
        EXPECT_LE(document->blockCount(), bounds.lines + bounds.lines / 10 + 2);
        EXPECT_TRUE(lastLogLine().endsWith(QStringLiteral("bounded line 299")));
        EXPECT_TRUE(ViewText().endsWith(QStringLiteral("typing\nsecond")));
    }
    console->SetViewLimits(frmConsole::kMaxViewLines, frmConsole::kMaxViewChars);
}

TEST_F(ConsoleTest, PastedLineBreaksInPendingInputDoNotDisturbTheLogPart) {
    PendingInput() = "A\r\nB";
    console->ShowPendingInput();
    WriteLog("next");
    EXPECT_EQ(NewViewText(), NewLogShown() + "A\nB");
    PendingInput().assign(1, 'C');  // (a one-character literal trips a false GCC 12 -Wrestrict)
    console->ShowPendingInput();
    EXPECT_EQ(NewViewText(), NewLogShown() + "C");
}

TEST_F(ConsoleTest, HiddenConsoleCatchesUpWhenRefilled) {
    ConsoleShown = false;
    WriteLog("logged while hidden");
    EXPECT_FALSE(ViewText().contains(QStringLiteral("logged while hidden")));
    ConsoleShown = true;
    PendingInput() = "typed";
    RefillConsoleView();
    EXPECT_EQ(NewViewText(), NewLogShown() + "typed");
    EXPECT_EQ(Caret(), End());
}

TEST_F(ConsoleTest, Windows1252IsShownAsItsCharacters) {
    WriteLog("caf\xe9 \x80");
    EXPECT_TRUE(ViewText().endsWith(QString::fromUtf8("café €\n")));
}

TEST_F(ConsoleTest, KeysReachTheHookUnlessTheViewIsLocked) {
    std::vector<int> keys;
    console->txtConsole->SetInputHooks(
        [&](QKeyEvent* e) {
            keys.push_back(e->key());
            return true;
        },
        nullptr);
    QKeyEvent a(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, QStringLiteral("a"));
    QCoreApplication::sendEvent(console->txtConsole, &a);
    console->txtConsole->Locked = true;
    QKeyEvent b(QEvent::KeyPress, Qt::Key_B, Qt::NoModifier, QStringLiteral("b"));
    QCoreApplication::sendEvent(console->txtConsole, &b);
    console->txtConsole->Locked = false;
    EXPECT_EQ(keys, std::vector<int>{Qt::Key_A});
    // Read-only: a key nobody handles changes nothing.
    console->txtConsole->SetInputHooks({}, {});
    const QString before = ViewText();
    QCoreApplication::sendEvent(console->txtConsole, &a);
    EXPECT_EQ(ViewText(), before);
}

TEST(SetTopMost, KeepsPlaceSizeAndVisibility) {
    TestApp();
    QWidget w;
    w.setGeometry(120, 80, 300, 200);
    w.show();
    const QRect geometry = w.geometry();
    SetTopMost(&w, true);
    EXPECT_TRUE(w.windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_TRUE(w.windowHandle()->flags() & Qt::WindowStaysOnTopHint);
    EXPECT_TRUE(w.isVisible());
    EXPECT_EQ(w.geometry(), geometry);
    SetTopMost(&w, false);
    EXPECT_FALSE(w.windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_FALSE(w.windowHandle()->flags() & Qt::WindowStaysOnTopHint);
    EXPECT_TRUE(w.isVisible());
    EXPECT_EQ(w.geometry(), geometry);

    QWidget hidden;  // never shown: no platform window yet
    SetTopMost(&hidden, true);
    EXPECT_TRUE(hidden.windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_FALSE(hidden.isVisible());
}
}  // namespace
