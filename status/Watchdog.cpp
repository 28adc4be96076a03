#include "status/Watchdog.h"

#include <cstdlib>
#include <string>

#include <systemd/sd-daemon.h>

#include <QCoreApplication>
#include <QTimer>

#include "core/modMain.h"
#include "net/modSessionManager.h"
#include "status/StatusReport.h"

namespace {

std::string StatusText() {
    std::string text = FatalError ? "Fatal error, cannot go On Air" : OnAir ? "On Air" : "Off Air";
    const size_t sessions = SessionTable().size();
    text += ", " + std::to_string(sessions) + (sessions == 1 ? " session" : " sessions");
    if (const auto problem = QueueLoopProblem()) text += ", " + *problem;
    return text;
}

}  // namespace

void StartSystemdNotifications() {
    if (!std::getenv("NOTIFY_SOCKET")) return;
    static std::string lastStatus = StatusText();
    sd_notify(0, ("READY=1\nSTATUS=" + lastStatus).c_str());
    uint64_t watchdogUs = 0;
    const bool watchdog = sd_watchdog_enabled(0, &watchdogUs) > 0 && watchdogUs > 0;
    // Pings a few times per watchdog period, and the status about once a
    // second; both from the event loop, so a loop that is held sends none.
    auto* timer = new QTimer(QCoreApplication::instance());
    timer->setInterval(watchdog ? int(std::min<uint64_t>(1000, watchdogUs / 4000)) : 1000);
    QObject::connect(timer, &QTimer::timeout, [watchdog] {
        std::string message;
        // A fatal error is no reason for a restart: the engine stays up
        // with its log, as it does without systemd.
        if (watchdog && !QueueLoopProblem()) message = "WATCHDOG=1\n";
        if (std::string status = StatusText(); status != lastStatus) {
            lastStatus = status;
            message += "STATUS=" + status;
        }
        if (!message.empty()) sd_notify(0, message.c_str());
    });
    timer->start();
}
