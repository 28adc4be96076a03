#include "app/frmConsoleInput.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QTextCursor>

#include "app/ConsoleInput.h"
#include "app/frmConsole.h"
#include "core/Ansi.h"
#include "core/Log.h"

namespace {
// Characters the view shows for `pending`: the view turns CR LF into one
// line break and a lone CR or LF into one as well.
int ShownLength(const std::string& pending) {
    int length = 0;
    for (size_t i = 0; i < pending.size(); ++i)
        if (!(pending[i] == '\n' && i > 0 && pending[i - 1] == '\r')) ++length;
    return length;
}

// Brings the end of the view in line with PendingInput after `before` was
// shown there. Only the difference is touched, so a pending line of a
// megabyte costs nothing per keystroke; where a CR and an LF would join
// across the boundary the pending part is rewritten as a whole.
void UpdateViewTail(frmConsole& console, const std::string& before) {
    const std::string& now = PendingInput();
    ConsoleView* view = console.txtConsole;
    const bool appended = now.size() >= before.size() && now.compare(0, before.size(), before) == 0 &&
                          !(now.size() > before.size() && !before.empty() && before.back() == '\r' &&
                            now[before.size()] == '\n');
    const bool shortened = now.size() < before.size() && before.compare(0, now.size(), now) == 0;
    if (!appended && !shortened) {
        console.ShowPendingInput();
        return;
    }
    view->Locked = true;
    QTextCursor cursor(view->document());
    cursor.movePosition(QTextCursor::End);
    if (appended) {
        QString added = AnsiToQString(std::string_view(now).substr(before.size()));
        added.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        added.replace(QLatin1Char('\r'), QLatin1Char('\n'));
        cursor.insertText(added);
    } else {
        // Positions, not cursor steps: stepping back a megabyte one
        // character at a time would take seconds.
        const int drop = ShownLength(before) - ShownLength(now);
        cursor.setPosition(cursor.position() - drop, QTextCursor::KeepAnchor);
        cursor.removeSelectedText();
    }
    view->setTextCursor(cursor);
    view->ensureCursorVisible();
    view->Locked = false;
}

bool OnKey(frmConsole& console, QKeyEvent* event) {
    if (event->key() == Qt::Key_V && (event->modifiers() & Qt::ControlModifier)) {
        PasteConsole();
        return true;
    }
    char32_t code = 0;
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)
        code = 13;
    else if (event->key() == Qt::Key_Backspace)
        code = 8;
    const QList<uint> typed = event->text().toUcs4();
    if (code == 0 && typed.size() != 1) return false;  // navigation keys scroll the view
    if (code == 0) code = typed.front();
    const std::string before = PendingInput();
    switch (ApplyConsoleKey(code)) {
        case ConsoleKey::Ignored:
            // Refused characters add nothing; Ctrl+C and friends still copy.
            return code == 8;
        case ConsoleKey::Changed:
            UpdateViewTail(console, before);
            return true;
        case ConsoleKey::Enter: {
            const std::string line = TakeConsoleLine();
            // The typed text leaves the view before the queue logs the command.
            UpdateViewTail(console, before);
            QueueConsoleLine(line);
            return true;
        }
    }
    return false;
}
}  // namespace

void PasteConsole() {
    frmConsole* console = ConsoleWindow();
    const QClipboard* clipboard = QGuiApplication::clipboard();
    const std::string text = clipboard ? QStringToAnsi(clipboard->text()) : std::string();
    const std::string before = PendingInput();
    AppendConsolePaste(text);
    if (console && !PendingInput().empty()) UpdateViewTail(*console, before);
}

void InstallConsoleInput(frmConsole& console) {
    console.txtConsole->SetInputHooks(
        [&console](QKeyEvent* event) { return OnKey(console, event); },
        [](QMouseEvent* event) {
            if (event->button() != Qt::MiddleButton) return false;
            PasteConsole();
            return true;
        });
}
