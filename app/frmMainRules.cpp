// The executor's window commands (ICONIFY, SHOW_CONSOLE, QUIT and EXIT): the
// core cannot reach the windows, so the main window installs them.
#include "app/frmConsole.h"
#include "app/frmMain.h"
#include "core/Log.h"
#include "core/modMain.h"
#include "protocol/ExecuteCommand.h"

void SetConsoleVisible(bool shown) {
    frmConsole* console = ConsoleWindow();
    frmMain* main = MainWindow();
    if (!shown) {
        if (console) console->hide();
        ConsoleShown = false;
        if (main) main->SetConsoleSwitch(false);
        return;
    }
    if (console) {
        console->show();
        // A minimised or maximised console comes back in its normal size.
        console->setWindowState(console->windowState() & ~(Qt::WindowMinimized | Qt::WindowMaximized));
    }
    ConsoleShown = true;
    if (main) main->SetConsoleSwitch(true);
    // Lines logged while it was hidden reach the view now, caret at the end.
    RefillConsoleView();
}

void InstallExecutorHooks() {
    ExecutorHooks hooks;
    hooks.Iconify = [] {
        if (frmMain* main = MainWindow()) main->Iconify();
    };
    hooks.SetConsoleVisible = SetConsoleVisible;
    // The reply is suppressed whatever the operator answers; on Yes the
    // process ends inside Quit.
    hooks.Quit = [] {
        if (frmMain* main = MainWindow()) main->Quit();
    };
    SetExecutorHooks(std::move(hooks));
}
