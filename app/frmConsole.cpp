#include "app/frmConsole.h"

#include <algorithm>

#include <QApplication>
#include <QCloseEvent>
#include <QFont>
#include <QKeyEvent>
#include <QTextBlock>
#include <QVBoxLayout>

#include "app/Ansi.h"
#include "app/TopMost.h"
#include "app/Version.h"

namespace {
frmConsole* gConsole = nullptr;

// The document keeps paragraphs, not line-end characters: each CR LF (and a
// lone CR or LF in pasted input) becomes one break.
QString ForDisplay(std::string_view text) {
    QString s = AnsiToQString(text);
    s.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    s.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return s;
}

// Locks the view for the length of a change.
class ViewLock {
public:
    explicit ViewLock(ConsoleView* view) : view_(view) { view_->Locked = true; }
    ~ViewLock() { view_->Locked = false; }
    ViewLock(const ViewLock&) = delete;
    ViewLock& operator=(const ViewLock&) = delete;

private:
    ConsoleView* view_;
};
}  // namespace

ConsoleView::ConsoleView(QWidget* parent) : QPlainTextEdit(parent) {
    setReadOnly(true);
    // Read-only, yet with a caret the engine keeps at the end and keys that
    // reach keyPressEvent.
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setUndoRedoEnabled(false);  // the log only grows; an undo history would grow with it
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
}

void ConsoleView::SetInputHooks(KeyHook key, MouseHook mouse) {
    keyHook_ = std::move(key);
    mouseHook_ = std::move(mouse);
}

void ConsoleView::keyPressEvent(QKeyEvent* event) {
    if (Locked) return;
    if (keyHook_ && keyHook_(event)) return;
    QPlainTextEdit::keyPressEvent(event);
}

void ConsoleView::mousePressEvent(QMouseEvent* event) {
    if (Locked) return;
    if (mouseHook_ && mouseHook_(event)) return;
    QPlainTextEdit::mousePressEvent(event);
}

frmConsole::frmConsole(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowMinMaxButtonsHint),
      txtConsole(new ConsoleView(this)) {
    // No close button and no system menu: the console cannot be closed.
    setWindowTitle(QString::fromLatin1(Version::ProductName) + QStringLiteral(" Console ") +
                   QString::fromStdString(Version::Text()) + QStringLiteral(" (x86)"));
    QFont font(QStringLiteral("Courier New"));
    font.setStyleHint(QFont::TypeWriter);  // the closest fixed-pitch font where Courier New is missing
    font.setFixedPitch(true);
    font.setPointSize(10);
    txtConsole->setFont(font);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(txtConsole);
    resize(760, 420);
    SetTopMost(this, true);
}

frmConsole::~frmConsole() {
    if (gConsole == this) {
        SetConsoleViewSink(nullptr);
        gConsole = nullptr;
    }
}

void frmConsole::InsertLogLine(const std::string& line, const std::string& pending) {
    ViewLock lock(txtConsole);
    QTextCursor cursor(txtConsole->document());
    cursor.setPosition(LogEnd());
    cursor.insertText(ForDisplay(line));
    logEnd_ = cursor.position();
    if (!pending.empty()) ReplacePending(pending);
    CaretToEnd();
}

void frmConsole::Refill(const std::string& text, const std::string& pending) {
    ViewLock lock(txtConsole);
    txtConsole->setPlainText(ForDisplay(text));
    logEnd_ = txtConsole->document()->characterCount() - 1;
    ReplacePending(pending);
    CaretToEnd();
}

void frmConsole::ShowPendingInput() {
    ViewLock lock(txtConsole);
    ReplacePending(PendingInput());
    CaretToEnd();
}

// Never past the end of the document, whatever was done to the view.
int frmConsole::LogEnd() const { return std::min(logEnd_, txtConsole->document()->characterCount() - 1); }

void frmConsole::ReplacePending(const std::string& pending) {
    QTextCursor cursor(txtConsole->document());
    cursor.setPosition(LogEnd());
    cursor.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
    cursor.insertText(ForDisplay(pending));
}

void frmConsole::CaretToEnd() {
    QTextCursor cursor = txtConsole->textCursor();
    cursor.movePosition(QTextCursor::End);
    txtConsole->setTextCursor(cursor);
    txtConsole->ensureCursorVisible();
}

void frmConsole::closeEvent(QCloseEvent* event) { event->ignore(); }

frmConsole* ConsoleWindow() { return gConsole; }

frmConsole& LoadConsoleWindow() {
    if (gConsole) return *gConsole;
    // Lives for the process, like every window of the engine.
    gConsole = new frmConsole;
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, [] { delete gConsole; });
    SetConsoleViewSink(gConsole);
    gConsole->Refill(ConsoleText(), PendingInput());  // anything logged before the window existed
    return *gConsole;
}
