#pragma once
// The console window: the log as it is written, followed by the command line
// the operator is typing. The engine alone changes the view's text.
#include <functional>
#include <string>

#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QTimer>
#include <QWidget>

#include "core/Log.h"

// The read-only text area of the console. Keys and mouse presses go to the
// window's input hooks first; whatever they leave (selection, copy,
// scrolling) is handled as in any read-only text.
class ConsoleView : public QPlainTextEdit {
    Q_OBJECT
public:
    using KeyHook = std::function<bool(QKeyEvent*)>;
    using MouseHook = std::function<bool(QMouseEvent*)>;
    explicit ConsoleView(QWidget* parent = nullptr);
    void SetInputHooks(KeyHook key, MouseHook mouse);
    // Set while the engine changes the text; input arriving then is dropped
    // so that a keystroke can never land in the middle of a log line.
    bool Locked = false;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    KeyHook keyHook_;
    MouseHook mouseHook_;
};

class frmConsole : public QWidget, public ConsoleViewSink {
    Q_OBJECT
public:
    explicit frmConsole(QWidget* parent = nullptr);
    ~frmConsole() override;

    void InsertLogLine(const std::string& line, const std::string& pending) override;
    void Refill(const std::string& text, const std::string& pending) override;
    // Rewrites the view after the log text with PendingInput (after a key,
    // a paste or Enter changed it), caret to the end.
    void ShowPendingInput();

    ConsoleView* txtConsole;

    // The view shows only the newest lines of the log: at most this many
    // lines and characters (beyond a tenth more, the oldest lines go). The
    // log itself keeps more (ConsoleText); tests set smaller bounds.
    static constexpr int kMaxViewLines = 100000;
    static constexpr int kMaxViewChars = 16 << 20;
    void SetViewLimits(int lines, int chars);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    int LogEnd() const;
    void ReplacePending(const std::string& pending);
    // The view's text after the log part.
    QString PendingShown() const;
    void CaretToEnd();
    // Brings the view up to date with the lines inserted since it last did:
    // scroll bar, repaint, caret to the end and the end into sight. Queued
    // once for a whole burst of lines.
    void ScheduleCatchUp();
    void CatchUp();
    void TrimView();
    int maxLines_ = kMaxViewLines;
    int maxChars_ = kMaxViewChars;
    static constexpr int kCatchUpIntervalMs = 20;
    QTimer catchUpTimer_;
    QElapsedTimer lastCatchUp_;
    // Where the log text ends in the view (in the document's own positions:
    // a CR LF is one paragraph break there).
    int logEnd_ = 0;
};

// The console window once start-up has loaded it; nullptr before.
frmConsole* ConsoleWindow();
// Creates the window (once, for the life of the process) and makes it the
// log's view. It is not shown here.
frmConsole& LoadConsoleWindow();
