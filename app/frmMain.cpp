#include "app/frmMain.h"

#include <cstdio>
#include <cstdlib>

#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QGridLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTableView>
#include <QTimer>

#include "app/OnAirIndicator.h"
#include "app/frmConsole.h"
#include "app/frmConsoleInput.h"
#include "app/frmMainTables.h"
#include "app/frmMainTexts.h"
#include "app/frmMainTopBar.h"
#include "cache/modCacheManager.h"
#include "core/Ansi.h"
#include "core/Log.h"
#include "core/MessageBox.h"
#include "core/Settings.h"
#include "core/Signals.h"
#include "core/StdoutEcho.h"
#include "core/Version.h"
#include "core/modMain.h"
#include "output/Streams.h"
#include "output/modTL.h"
#include "protocol/modCommandQueueManager.h"

namespace {
frmMain* gMainWindow = nullptr;

void ExitProcessNow() {
    // Quit ends the process at once: connections are dropped by the system and
    // nothing else is torn down. The last lines still reach a reader of the
    // echo that keeps up (the journal of a service). The streams end theirs
    // first, so that their files are complete.
    StopStreams();
    FlushLogEcho(1000);
    std::fflush(nullptr);
    std::_Exit(0);
}
std::function<void()> gExitProcess = ExitProcessNow;
bool gQuitting = false;

// The busy cursor for the span of an operation, restored on every way out.
class BusyCursor {
public:
    BusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~BusyCursor() { QApplication::restoreOverrideCursor(); }
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;
};

// Sets a switch with its click-suppression flag held for the change.
void SetSuppressed(QPushButton* button, bool& flag, bool checked) {
    flag = true;
    button->setChecked(checked);
    flag = false;
}

QTableView* MakeTable(QWidget* parent) {
    auto* table = new QTableView(parent);
    table->setSelectionMode(QAbstractItemView::NoSelection);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setFocusPolicy(Qt::NoFocus);
    table->verticalHeader()->setVisible(false);
    // Fixed row height keeps scrolling through thousands of rows cheap: the
    // view never has to measure rows.
    table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    table->verticalHeader()->setDefaultSectionSize(18);
    table->horizontalHeader()->setDefaultSectionSize(76);
    table->horizontalHeader()->setStretchLastSection(true);
    return table;
}
}  // namespace

frmMain::frmMain(QWidget* parent) : QWidget(parent) {
    BusyCursor busy;
    if (!gMainWindow) gMainWindow = this;
    // Our own title bar replaces the system one; the title still names the
    // window for the task bar and for automation.
    setWindowFlag(Qt::FramelessWindowHint, true);
    setWindowTitle(AnsiToQString(frmMainTexts::WindowTitle()));

    topBar = new frmMainTopBar(this);
    topBar->lblTitle->setText(windowTitle());
    chkOnAir = topBar->chkOnAir;
    chkConsole = topBar->chkConsole;
    cmdAbout = topBar->cmdAbout;
    cmdMin = topBar->cmdMin;
    cmdExit = topBar->cmdExit;

    imgOnAir = new OnAirIndicator(true, this);
    imgOffAir = new OnAirIndicator(false, this);
    imgOnAir->setVisible(false);

    txtConsoleInfo = new QPlainTextEdit(this);
    txtConsoleInfo->setReadOnly(true);
    txtConsoleInfo->setFocusPolicy(Qt::NoFocus);
    QFont mono(QStringLiteral("Courier New"));
    mono.setStyleHint(QFont::Monospace);
    txtConsoleInfo->setFont(mono);
    txtConsoleInfo->setLineWrapMode(QPlainTextEdit::NoWrap);
    txtConsoleInfo->setTabStopDistance(QFontMetricsF(mono).horizontalAdvance(QLatin1Char(' ')) * 9);
    txtConsoleInfo->setPlainText(AnsiToQString(frmMainTexts::Legend).remove(QLatin1Char('\r')));

    tblSessions = MakeTable(this);
    tblSessions->setModel(new SessionTableModel(this));
    tblQueue = MakeTable(this);
    tblQueue->setModel(new CommandQueueModel(this));

    lblLicence = new QLabel(AnsiToQString(std::string(Version::ProductName) + " " + Version::Text() + " - " +
                                          Version::FileDescription),
                            this);
    lblLicence->setAlignment(Qt::AlignCenter);
    lblLicence->setStyleSheet(QStringLiteral("color: #9a9aa0; padding: 3px;"));

    // Top bar across the whole width, the tally at the right edge, the
    // legend and the two tables between, the licence label along the bottom.
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setSpacing(6);
    grid->addWidget(topBar, 0, 0, 1, 4);
    grid->addWidget(txtConsoleInfo, 1, 0, 2, 1);
    grid->addWidget(new QLabel(QStringLiteral("Sessions"), this), 1, 1);
    grid->addWidget(tblSessions, 2, 1);
    grid->addWidget(new QLabel(QStringLiteral("Command queue"), this), 1, 2);
    grid->addWidget(tblQueue, 2, 2);
    grid->addWidget(imgOnAir, 1, 3, 2, 1, Qt::AlignTop | Qt::AlignRight);
    grid->addWidget(imgOffAir, 1, 3, 2, 1, Qt::AlignTop | Qt::AlignRight);
    grid->addWidget(lblLicence, 3, 0, 1, 4);
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(2, 3);
    grid->setRowStretch(2, 1);
    // Wide enough for the longest legend line (tab stop plus 52 characters).
    txtConsoleInfo->setMinimumWidth(QFontMetrics(mono).horizontalAdvance(QString(58, QLatin1Char('M'))));

    BuildMenu();
    // The normal geometry is the work area as well: without a window manager
    // nobody acts on the maximised state, and the window must still fill it.
    if (QScreen* primary = screen()) setGeometry(primary->availableGeometry());

    connect(chkOnAir, &QPushButton::toggled, this, &frmMain::OnAirSwitchChanged);
    connect(chkConsole, &QPushButton::toggled, this, &frmMain::ConsoleSwitchChanged);
    connect(cmdAbout, &QPushButton::clicked, this, &frmMain::ShowAbout);
    connect(cmdMin, &QPushButton::clicked, this, [] { QueueGuiCommand("-1 ICONIFY"); });
    connect(cmdExit, &QPushButton::clicked, this, [] { QueueGuiCommand("-1 QUIT"); });
}

frmMain::~frmMain() {
    if (gMainWindow == this) gMainWindow = nullptr;
}

void frmMain::BuildMenu() {
    mnuIcon = new QMenu(QStringLiteral("Menu"), this);
    mnuLbl = mnuIcon->addAction(QString::fromLatin1(Version::ProductName));
    mnuLbl->setEnabled(false);
    mnuIcon->addSeparator();
    mnuRestore = mnuIcon->addAction(QStringLiteral("&Restore"));
    mnuMinimize = mnuIcon->addAction(QStringLiteral("&Minimize"));
    mnuIcon->addSeparator();
    mnuAbout = mnuIcon->addAction(QStringLiteral("&About..."));
    mnuIcon->addSeparator();
    mnuExit = mnuIcon->addAction(QStringLiteral("&Quit Kiv"));
    // Restore brings the window back maximised; Minimize goes the same way as
    // the "_" button, through the queue.
    connect(mnuRestore, &QAction::triggered, this, [this] { showMaximized(); });
    connect(mnuMinimize, &QAction::triggered, this, [] { QueueGuiCommand("-1 ICONIFY"); });
    connect(mnuAbout, &QAction::triggered, this, &frmMain::ShowAbout);
    connect(mnuExit, &QAction::triggered, this, [] { QueueGuiCommand("-1 QUIT"); });
}

void frmMain::contextMenuEvent(QContextMenuEvent* event) { mnuIcon->popup(event->globalPos()); }

void frmMain::ShowOnAirState(bool onAir) {
    QFont font = chkOnAir->font();
    font.setBold(onAir);
    chkOnAir->setFont(font);
    imgOffAir->setVisible(!onAir);
    imgOnAir->setVisible(onAir);
}

void frmMain::GoOnAir() {
    if (OnAir) return;
    BusyCursor busy;
    WriteLog("Entering On Air mode.", "SYS", "");
    if (GfxInitialized && !GfxOutputEnabled) {
        WriteLog("Enabling GFX output...", "GFX", "");
        ShowGfxOutput();
        GfxOutputEnabled = true;
        SetGfxOutputTopMost(true);
    }
    SetSuppressed(chkOnAir, PreventChkClick, true);
    ShowOnAirState(true);
    OnAir = true;
}

void frmMain::GoOffAir() {
    if (!OnAir) return;
    const bool disablesOutput = GfxOutputEnabled && Settings.DisableGFXWhenOffAir == 1;
    if (disablesOutput) {
        // The operator's click has released the switch already; it shows On
        // Air again while the question is open and stays so on No.
        SetSuppressed(chkOnAir, PreventChkClick, true);
        const MsgAnswer answer = ShowMessageBox(
            {frmMainTexts::OffAirQuestion, frmMainTexts::OffAirTitle, MsgButtons::YesNo, MsgIcon::Exclamation});
        if (answer != MsgAnswer::Yes) return;
        // The question ran the event loop: the state may have moved meanwhile.
        if (!OnAir) return;
    }
    BusyCursor busy;
    WriteLog("Leaving On Air mode.", "SYS", "");
    if (GfxOutputEnabled && Settings.DisableGFXWhenOffAir == 1) {
        WriteLog("Disabling GFX output...", "GFX", "");
        GfxOutputEnabled = false;
        HideGfxOutput();
    }
    SetSuppressed(chkOnAir, PreventChkClick, false);
    ShowOnAirState(false);
    OnAir = false;
}

void frmMain::StopOperationPart() {
    GoOffAir();
    chkOnAir->setEnabled(false);
    // Not suppressed: if the console was hidden this queues SHOW_CONSOLE ON,
    // so the error comes to view.
    chkConsole->setChecked(true);
}

void frmMain::Quit() {
    // One question at a time: a second QUIT while the first is open would only
    // stack an identical box.
    if (quitAsking_) return;
    quitAsking_ = true;
    const bool outputOverOperator = GfxOutputEnabled && OutputOnPrimary;
    if (outputOverOperator) SetGfxOutputTopMost(false);
    const MsgRequest question =
        OnAir ? MsgRequest{frmMainTexts::QuitQuestionOnAir, frmMainTexts::QuitTitle, MsgButtons::YesNo,
                           MsgIcon::Exclamation}
              : MsgRequest{frmMainTexts::QuitQuestion, frmMainTexts::QuitTitle, MsgButtons::YesNo, MsgIcon::Question};
    const MsgAnswer answer = ShowMessageBox(question);
    quitAsking_ = false;
    if (answer == MsgAnswer::Yes) {
        QuitWithoutAsking();
        return;
    }
    if (GfxOutputEnabled && OutputOnPrimary) SetGfxOutputTopMost(true);
}

void frmMain::ShowAbout() {
    ShowMessageBox({frmMainTexts::AboutText(), frmMainTexts::AboutTitle(), MsgButtons::Ok, MsgIcon::Information});
}

void frmMain::Iconify() {
    // A window that was never shown (DisableGui = 1) stays hidden: only its
    // state is recorded.
    setWindowState((windowState() & ~Qt::WindowMaximized) | Qt::WindowMinimized);
}

void frmMain::SetConsoleSwitch(bool pressed) { SetSuppressed(chkConsole, PreventChkConsClick, pressed); }

void frmMain::OnAirSwitchChanged(bool pressed) {
    if (PreventChkClick) return;
    if (pressed)
        GoOnAir();
    else
        GoOffAir();
}

void frmMain::ConsoleSwitchChanged(bool pressed) {
    if (PreventChkConsClick) return;
    QueueGuiCommand(pressed ? "-1 SHOW_CONSOLE ON" : "-1 SHOW_CONSOLE OFF");
}

void frmMain::closeEvent(QCloseEvent* event) {
    // Declining keeps the window open; accepting never returns.
    event->ignore();
    Quit();
}

void frmMain::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange) return;
    // The window is always maximised or minimised: a restore to the normal
    // state maximises it again (queued, so the state change completes first).
    const Qt::WindowStates state = windowState();
    if (!(state & (Qt::WindowMinimized | Qt::WindowMaximized | Qt::WindowFullScreen)))
        QTimer::singleShot(0, this, [this] {
            if (!(windowState() & (Qt::WindowMinimized | Qt::WindowMaximized)))
                setWindowState(windowState() | Qt::WindowMaximized);
        });
}

void frmMain::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (IconSet) return;
    if (QWidget* console = ConsoleWindow()) {
        setWindowIcon(console->windowIcon());
        IconSet = true;
    }
}

void frmMain::SetExitProcessHook(std::function<void()> hook) {
    gExitProcess = hook ? std::move(hook) : std::function<void()>(ExitProcessNow);
}

frmMain* MainWindow() { return gMainWindow; }

void QuitWithoutAsking() {
    // Once: a signal arriving while the cache clean-up waits must not start
    // the same steps again inside it.
    if (gQuitting) return;
    gQuitting = true;
    // Off Air without a second question and without hiding the output: the
    // picture stays until the process is gone.
    Settings.DisableGFXWhenOffAir = 0;
    if (frmMain* window = MainWindow()) window->GoOffAir();
    CleanupCache();
    gExitProcess();
    gQuitting = false;  // only a test's exit hook comes back
}

void QuitOnSignal(int signalNumber) {
    WriteLog("Received " + SignalName(signalNumber) +
                 (gQuitting ? ". Already quitting." : ". Quitting Kiv without confirmation."),
             "SYS", "I");
    QuitWithoutAsking();
}

void InstallMainWindowHooks() {
    SetStopOperationHook([] {
        if (frmMain* w = MainWindow()) w->StopOperationPart();
    });
    InstallImageDialogs();
    InstallExecutorHooks();
    if (frmConsole* console = ConsoleWindow()) InstallConsoleInput(*console);
}

frmMain& LoadMainWindow() {
    if (gMainWindow) return *gMainWindow;
    // Lives for the process, like every window of the engine.
    auto* window = new frmMain;
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, [window] { delete window; });
    InstallMainWindowHooks();
    return *window;
}

void QueueGuiCommand(const std::string& text) { AddCommand(text, -1, "\r\n"); }
