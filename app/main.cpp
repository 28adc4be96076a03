// Kiv: realtime still-image playout engine.
#include <cstdio>
#include <cstdlib>
#include <string>

#include <QApplication>
#include <QFileInfo>

#include "app/Log.h"
#include "app/Startup.h"
#include "app/modMain.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);

    // The ini file and the console log file live beside the executable and
    // are named after it.
    SetProgramDir(QCoreApplication::applicationDirPath().toStdString());
    SetProgramName(QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName().toStdString());

    // Headless (offscreen) nobody can see the console window: the log can be
    // followed on standard output instead.
    if (const char* echo = std::getenv("KIV_CONSOLE_STDOUT"); echo && std::string(echo) == "1")
        SetLogEcho([](const std::string& line) {
            std::fwrite(line.data(), 1, line.size(), stdout);
            std::fflush(stdout);
        });

    // QApplication has taken its own options out of argv; the rest is the
    // engine's command line, read as one text.
    std::string commandLine;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) commandLine += ' ';
        commandLine += argv[i];
    }
    Startup(commandLine);
    return app.exec();
}
