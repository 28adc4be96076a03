#include "app/Startup.h"

#include <filesystem>

#include <QDir>

#include "app/frmConsole.h"
#include "app/frmMain.h"
#include "cache/modCacheManager.h"
#include "core/Ansi.h"
#include "core/Config.h"
#include "core/EngineCounters.h"
#include "core/Log.h"
#include "core/Settings.h"
#include "core/Version.h"
#include "core/modMain.h"
#include "net/modSessionManager.h"
#include "output/frmStillA.h"
#include "output/Streams.h"
#include "output/modTL.h"
#include "protocol/modCommandQueueManager.h"
#include "status/StatusServer.h"

bool IsDebugSwitch(const std::string& commandLine) { return AnsiUpper(commandLine) == "/DEBUG"; }

std::optional<std::string> CommandLineInfo(const std::vector<std::string>& args) {
    const std::string version = std::string(Version::ProductName) + " " + Version::Text() + "\n";
    if (args.size() != 1) return std::nullopt;
    if (args[0] == "--version") return version;
    if (args[0] != "--help") return std::nullopt;
    return "Usage: kiv [/DEBUG]\n" + version + Version::FileDescription +
           ".\n\n"
           "Shows still images full-screen on the On Air monitor under remote control over TCP\n"
           "(ListeningPort, 6100 by default). The settings are read from the ini file named after\n"
           "the program, in the program's folder (kiv.ini beside kiv), which is also the working\n"
           "directory.\n\n"
           "  /DEBUG      debug mode (VerboseConsole=2), console kept visible; any letter case\n"
           "  --help      this text\n"
           "  --version   the version\n\n"
           "Environment:\n"
           "  QT_QPA_PLATFORM=offscreen   run headless; questions take their safe answer (No)\n"
           "  KIV_CONSOLE_STDOUT=1        echo the log on standard output (Windows-1252, CR LF)\n"
           "  KIV_CONSOLE_STDOUT=journal  echo it as UTF-8 lines with syslog priorities\n\n"
           "SIGTERM, SIGINT and SIGHUP quit without asking: Off Air, cache emptied, exit status 0.\n";
}

bool RunOnXWayland(const std::function<const char*(const char*)>& env) {
    const auto set = [&env](const char* name) {
        const char* value = env(name);
        return value && *value;
    };
    const char* session = env("XDG_SESSION_TYPE");
    const bool wayland = set("WAYLAND_DISPLAY") || (session && std::string(session) == "wayland");
    return wayland && set("DISPLAY") && !set("QT_QPA_PLATFORM");
}

// After a fatal error the engine stays up with the console showing the log;
// what the operator types there must still run, so that QUIT can end it.
void KeepConsoleCommandsRunning() {
    LoadMainWindow();
    if (!IsQueueTimerEnabled()) InitCommandQueue();
}

void Startup(const std::string& commandLine, bool onXWayland) {
    // The console log file and relative paths of the configuration are
    // resolved against the program's directory.
    if (!QDir::setCurrent(QString::fromStdString(ProgramDir())))
        WriteLog("Unable to change to the program directory " + ProgramDir(), "SYS", "E");

    ConsoleShown = true;
    frmConsole& console = LoadConsoleWindow();
    console.show();

    WriteLog(std::string("Starting up ") + Version::ProductName + " " + Version::Text() + " (x86)", "SYS", " ");
    if (onXWayland)
        WriteLog("Wayland session: running on X11 through XWayland, so that the output can be placed on its monitor "
                 "and kept on top.",
                 "SYS", "I");
    WaitMs(250);
    WriteLog("Initializing Kiv...", "SYS", " ");
    if (ReadConfig() == 0) WriteLog("Successfully initialized.", "SYS", " ");
    if (FatalError) {
        KeepConsoleCommandsRunning();
        return;
    }

    if (IsDebugSwitch(commandLine)) Settings.VerboseConsole = 2;
    if (Settings.VerboseConsole > 1) {
        DebugMode = true;
        WriteLog("DEBUG MODE ENABLED", "DBG", " ");
    }

    if (Settings.DisableGui != 1) {
        WriteLog("Building GUI...", "SYS", " ");
        WaitMs(200);
    }
    // Loaded even when never shown: the engine's state operations live there.
    frmMain& mainWindow = LoadMainWindow();
    if (Settings.DisableGui != 1) mainWindow.showMaximized();
    if (FatalError) {
        KeepConsoleCommandsRunning();
        return;
    }

    // Joining here, in this order, as they arrive:
    //  - the managers, each announced and after a short wait, none skipped
    //    when an earlier one failed: SessionManager (100 ms),
    //    CommandQueueManager (100 ms), CacheManager (50 ms), graphics
    //    output (50 ms);
    // The layers below the queue reach it through the handlers it registers;
    // the listener must find them in place from its first connection on.
    ConnectCommandQueue();
    WriteLog("Firing up SessionManager...", "SYS", " ");
    WaitMs(100);
    InitSessionManager();
    WriteLog("Firing up CommandQueueManager...", "SYS", " ");
    WaitMs(100);
    InitCommandQueue();
    WriteLog("Firing up CacheManager...", "SYS", " ");
    WaitMs(50);
    InitCacheManager();
    WriteLog("Firing up Graphics Output System...", "SYS", " ");
    WaitMs(50);
    InstallGfxOutputWindows();
    InitGfxOutput();
    if (GfxInitialized) StartStreams();
    // An extra beside the managers: also a fatal stop can be watched.
    StartStatusServer();

    if (FatalError) {
        WriteLog("Fatal Error. Cannot continue, and will not be able to enter On Air mode.", "SYS", "F");
        return;
    }
    WriteLog("Entering Main Loop...", "SYS", " ");
    // Like the operator's click: queues SHOW_CONSOLE OFF for the gui session.
    if (Settings.HideConsoleOnStartup == 1 && !IsDebugSwitch(commandLine)) mainWindow.chkConsole->setChecked(false);
    if (Settings.OnAirOnStartup == 1) {
        mainWindow.GoOnAir();
        // "False" names no transition: the start-up picture is there at once.
        std::error_code ec;
        if (!Settings.StartupImage.empty() && std::filesystem::is_regular_file(Settings.StartupImage, ec) &&
            DisplayCachedImage(Settings.StartupImage, "False") == 0)
            NotePictureShown(Settings.StartupImage);
    }
}
