// Kiv: realtime still-image playout engine.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <QApplication>
#include <QFileInfo>

#include "app/Startup.h"
#include "app/frmMain.h"
#include "core/Log.h"
#include "core/MessageBox.h"
#include "core/Signals.h"
#include "core/StdoutEcho.h"
#include "core/modMain.h"
#include "status/Watchdog.h"

namespace {
// A descriptor 0-2 closed by whoever started us would be handed to the next
// file or socket opened, and the log echo would then write into it.
void KeepStandardDescriptorsOpen() {
    for (int fd = 0; fd <= 2; ++fd)
        if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) ::open("/dev/null", O_RDWR);
}
}  // namespace

int main(int argc, char** argv) {
    // --help and --version answer before anything needs a display.
    if (const std::optional<std::string> info = CommandLineInfo(std::vector<std::string>(argv + 1, argv + argc))) {
        std::fwrite(info->data(), 1, info->size(), stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    KeepStandardDescriptorsOpen();
    // Read by the application object as it starts.
    const bool onXWayland = RunOnXWayland(std::getenv);
    if (onXWayland) ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    QApplication app(argc, argv);
    // Only Quit (or a termination signal) ends the engine: never the last
    // window closing, nor a question answered with its last window gone.
    QApplication::setQuitOnLastWindowClosed(false);
    QCoreApplication::setQuitLockEnabled(false);
    InstallTerminationSignals(QuitOnSignal);

    // The ini file and the console log file live beside the executable and
    // are named after it.
    SetProgramDir(QCoreApplication::applicationDirPath().toStdString());
    SetProgramName(QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName().toStdString());

    // Headless (offscreen) nobody can see the console window or answer a
    // question: the log can be followed on standard output instead, and
    // questions take their safe answer at once.
    if (const char* echo = std::getenv("KIV_CONSOLE_STDOUT")) {
        const std::string mode = echo;
        if (mode == "1") StartLogEcho(EchoFormat::Raw);
        if (mode == "journal") StartLogEcho(EchoFormat::Journal);
    }
    if (!DialogsCanBeAnswered()) SetMessageBoxHandler(AnswerUnattended);

    // QApplication has taken its own options out of argv; the rest is the
    // engine's command line, read as one text.
    std::string commandLine;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) commandLine += ' ';
        commandLine += argv[i];
    }
    Startup(commandLine, onXWayland);
    StartSystemdNotifications();
    return app.exec();
}
