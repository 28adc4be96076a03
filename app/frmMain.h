#pragma once
// The operator's main window and the owner of the On Air state. It is loaded
// at start-up even when it is never shown (DisableGui = 1): the engine's
// state operations live here.
#include <functional>
#include <string>

#include <QWidget>

class OnAirIndicator;
class QAction;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QTableView;
class frmMainTopBar;

class frmMain : public QWidget {
    Q_OBJECT
public:
    explicit frmMain(QWidget* parent = nullptr);
    ~frmMain() override;

    void GoOnAir();
    void GoOffAir();
    // The window's part of a fatal stop (installed as the StopOperation hook).
    void StopOperationPart();
    // Asks, then ends the process; declining keeps the engine running.
    void Quit();
    void ShowAbout();
    // ICONIFY: minimises the window without showing one that is hidden.
    void Iconify();
    // Sets chkConsole the way SHOW_CONSOLE does: with PreventChkConsClick
    // around the change, so the switch follows the console and queues nothing.
    void SetConsoleSwitch(bool pressed);

    // Click suppression: while set, a change of the switch raises no action.
    bool PreventChkClick = false;
    bool PreventChkConsClick = false;
    // The window has taken over the console window's icon.
    bool IconSet = false;

    frmMainTopBar* topBar;
    QPushButton* chkOnAir;
    QPushButton* chkConsole;
    QPushButton* cmdAbout;
    QPushButton* cmdMin;
    QPushButton* cmdExit;
    OnAirIndicator* imgOnAir;
    OnAirIndicator* imgOffAir;
    QPlainTextEdit* txtConsoleInfo;
    QTableView* tblSessions;
    QTableView* tblQueue;
    QLabel* lblLicence;
    QMenu* mnuIcon;
    QAction* mnuLbl;
    QAction* mnuRestore;
    QAction* mnuMinimize;
    QAction* mnuAbout;
    QAction* mnuExit;

    // How Quit ends the process (at once, no clean-up); tests replace it.
    // An empty function restores the real one.
    static void SetExitProcessHook(std::function<void()> hook);

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void BuildMenu();
    void OnAirSwitchChanged(bool pressed);
    void ConsoleSwitchChanged(bool pressed);
    void ShowOnAirState(bool onAir);
    bool quitAsking_ = false;
};

// The loaded main window, or nullptr before start-up loaded it.
frmMain* MainWindow();
// Start-up: creates the main window once (not shown) and installs its hooks.
frmMain& LoadMainWindow();
// What the loaded window provides to the rest of the engine: its part of
// StopOperation, the executor's window commands, the image library's message
// boxes and the console's input line. They act on MainWindow().
void InstallMainWindowHooks();

// The executor's window commands, installed by LoadMainWindow.
void InstallExecutorHooks();
// SHOW_CONSOLE: the console window, ConsoleShown and the switch together.
void SetConsoleVisible(bool shown);

// Quit's Yes: Off Air without hiding the output, the cache emptied, the
// process ended (exit status 0). Works before the main window is loaded too.
void QuitWithoutAsking();
// A termination signal: logged (SYS, I), then QuitWithoutAsking.
void QuitOnSignal(int signalNumber);

// Queues an operator action as a command of the gui session (-1), CR LF.
void QueueGuiCommand(const std::string& text);
