#include "app/frmConsole.h"

#include <algorithm>

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QCloseEvent>
#include <QFont>
#include <QKeyEvent>
#include <QSignalBlocker>
#include <QTextBlock>
#include <QVBoxLayout>

#include "core/Ansi.h"
#include "core/TopMost.h"
#include "core/Version.h"

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

// Longest log line the view shows whole. Laying out one wrapped paragraph
// of a megabyte (a client sending a megabyte-long command, which is logged)
// froze the window for minutes. Such a line is shown cut, with a mark
// saying so; ConsoleText, and the console log file written from it, keep it
// whole. Ordinary lines are a few hundred characters at most.
constexpr size_t kMaxShownLine = 16 * 1024;

// The view's form of log text: every line as ForDisplay makes it, those
// longer than kMaxShownLine cut there and marked.
QString LogForDisplay(std::string_view text) {
    constexpr size_t npos = std::string_view::npos;
    QString shown;
    size_t whole = 0;  // lines from here on are shown whole so far
    for (size_t from = 0; from < text.size();) {
        const size_t eol = text.find("\r\n", from);
        const size_t length = (eol == npos ? text.size() : eol) - from;
        const size_t next = eol == npos ? text.size() : eol + 2;
        if (length > kMaxShownLine) {
            shown += ForDisplay(text.substr(whole, from - whole));
            shown += ForDisplay(text.substr(from, kMaxShownLine));
            shown += QStringLiteral(" \u2026 [line cut in this view at %1 of %2 characters; the console log file "
                                    "has it whole]")
                         .arg(kMaxShownLine)
                         .arg(length);
            if (eol != npos) shown += QLatin1Char('\n');
            whole = next;
        }
        from = next;
    }
    if (whole == 0) return ForDisplay(text);  // the usual case: nothing cut, no copy
    shown += ForDisplay(text.substr(whole));
    return shown;
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
    catchUpTimer_.setSingleShot(true);
    connect(&catchUpTimer_, &QTimer::timeout, this, &frmConsole::CatchUp);
}

frmConsole::~frmConsole() {
    if (gConsole == this) {
        SetConsoleViewSink(nullptr);
        gConsole = nullptr;
    }
}

void frmConsole::InsertLogLine(const std::string& line, const std::string& pending) {
    ViewLock lock(txtConsole);
    // The view answers each change of the document by laying out its new
    // last lines to size the scroll bar, which costs more than all the rest
    // of logging a line; in a burst only the last lines are ever seen. The
    // layout's signals wait, and the view catches up once per pass of the
    // event loop (CatchUp).
    const QSignalBlocker layoutWaits(txtConsole->document()->documentLayout());
    QTextCursor cursor(txtConsole->document());
    cursor.setPosition(LogEnd());
    // A caret at the insertion point moves along with the text, so the caret
    // stays at the end without being set here. Within an edit block the
    // inserting cursor does not lay out the line to find its own x either.
    cursor.beginEditBlock();
    cursor.insertText(LogForDisplay(line));
    cursor.endEditBlock();
    logEnd_ = cursor.position();
    // The pending input already shown below stays there; it is rewritten
    // only when it differs from what the log was given.
    const bool nothingShown = LogEnd() == txtConsole->document()->characterCount() - 1;
    if (pending.empty() ? !nothingShown : PendingShown() != ForDisplay(pending)) ReplacePending(pending);
    TrimView();
    ScheduleCatchUp();
}

void frmConsole::Refill(const std::string& text, const std::string& pending) {
    ViewLock lock(txtConsole);
    // Only the lines the view keeps are laid out; the rest would go at once.
    size_t from = text.size();
    for (int lines = 0; from > 0 && lines <= maxLines_ && text.size() - from <= size_t(maxChars_); ++lines) {
        const size_t eol = from >= 3 ? text.rfind("\r\n", from - 3) : std::string::npos;
        from = eol == std::string::npos ? 0 : eol + 2;
    }
    txtConsole->setPlainText(LogForDisplay(std::string_view(text).substr(from)));
    logEnd_ = txtConsole->document()->characterCount() - 1;
    ReplacePending(pending);
    TrimView();
    CaretToEnd();
}

void frmConsole::SetViewLimits(int lines, int chars) {
    maxLines_ = lines;
    maxChars_ = chars;
    TrimView();
}

void frmConsole::TrimView() {
    QTextDocument* document = txtConsole->document();
    const int blocks = document->blockCount();
    const int chars = document->characterCount();
    if (blocks <= maxLines_ + maxLines_ / 10 && chars <= maxChars_ + maxChars_ / 10) return;
    const int pendingChars = chars - 1 - LogEnd();
    int keep = std::min(blocks, maxLines_);
    if (chars > maxChars_) keep = std::min(keep, blocks - 1 - document->findBlock(chars - maxChars_).blockNumber());
    // The input being typed stays whole, whatever its size.
    keep = std::max(keep, blocks - document->findBlock(LogEnd()).blockNumber());
    // One removal from the start up to the first kept line; the layout's
    // signals wait for the catch-up like those of an inserted line.
    const QSignalBlocker layoutWaits(document->documentLayout());
    QTextCursor cursor(document);
    cursor.setPosition(document->findBlockByNumber(blocks - keep).position(), QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
    logEnd_ = document->characterCount() - 1 - pendingChars;
    ScheduleCatchUp();
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

QString frmConsole::PendingShown() const {
    QTextCursor cursor(txtConsole->document());
    cursor.setPosition(LogEnd());
    cursor.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
    QString shown = cursor.selectedText();
    shown.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
    return shown;
}

void frmConsole::CaretToEnd() {
    QTextCursor cursor = txtConsole->textCursor();
    cursor.movePosition(QTextCursor::End);
    txtConsole->setTextCursor(cursor);
    txtConsole->ensureCursorVisible();
}

void frmConsole::ScheduleCatchUp() {
    if (catchUpTimer_.isActive()) return;
    // The first line after a quiet spell shows on the next pass; during a
    // burst the view catches up at most once per interval, since repainting
    // the window (about half a millisecond) is then most of what it costs.
    const qint64 since = lastCatchUp_.isValid() ? lastCatchUp_.elapsed() : kCatchUpIntervalMs;
    catchUpTimer_.start(static_cast<int>(std::max<qint64>(0, kCatchUpIntervalMs - since)));
}

void frmConsole::CatchUp() {
    lastCatchUp_.start();
    // What the layout would have said after each line, said once.
    QAbstractTextDocumentLayout* layout = txtConsole->document()->documentLayout();
    emit layout->documentSizeChanged(layout->documentSize());
    txtConsole->viewport()->update();
    CaretToEnd();
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
