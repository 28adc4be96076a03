#include "core/modMain.h"

#include <algorithm>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

#include "core/Log.h"
#include "core/Version.h"

namespace {
std::string gProgramDir = ".";
std::string gProgramName = Version::ExeName;
std::function<void()> gStopOperationHook;
}  // namespace

std::string ProgramDir() { return gProgramDir; }
void SetProgramDir(const std::string& dir) { gProgramDir = dir; }
std::string ProgramName() { return gProgramName; }
void SetProgramName(const std::string& name) { gProgramName = name; }

void WaitMs(int ms) {
    // Nothing to wait for: no event may run either (a "#WAIT 0" must not let
    // a command or a connection slip in).
    if (ms <= 0) return;
    // A nested event loop quit by a single-shot timer: events (including
    // socket and timer events) are dispatched while we wait, and the thread
    // sleeps in the event dispatcher instead of spinning.
    QDeadlineTimer deadline(ms, Qt::PreciseTimer);
    do {
        QEventLoop loop;
        QTimer timer;
        timer.setSingleShot(true);
        timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
        timer.start(static_cast<int>(std::max<qint64>(0, deadline.remainingTime())));
        loop.exec(QEventLoop::AllEvents);
    } while (!deadline.hasExpired());
}

void SetStopOperationHook(std::function<void()> hook) { gStopOperationHook = std::move(hook); }

void StopOperation() {
    if (gStopOperationHook) gStopOperationHook();
    WriteLog("Fatal Error. Cannot continue, and will not be able to enter On Air mode.", "SYS", "F");
    FatalError = true;
}
