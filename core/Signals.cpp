#include "core/Signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include <QCoreApplication>
#include <QSocketNotifier>

namespace {
int gPipe[2] = {-1, -1};

extern "C" void OnTerminationSignal(int signalNumber) {
    // Only async-signal-safe calls here. A full pipe loses the byte, which is
    // harmless: enough signals are already waiting to be handled.
    const int saved = errno;
    const unsigned char number = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] const ssize_t written = ::write(gPipe[1], &number, 1);
    errno = saved;
}
}  // namespace

void InstallTerminationSignals(std::function<void(int signalNumber)> onSignal) {
    std::signal(SIGPIPE, SIG_IGN);
    if (gPipe[0] >= 0 || ::pipe2(gPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    // Parented to the application, so it goes before the application does.
    auto* notifier = new QSocketNotifier(gPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [onSignal = std::move(onSignal)] {
        unsigned char numbers[64];
        ssize_t n;
        while ((n = ::read(gPipe[0], numbers, sizeof numbers)) > 0)
            for (ssize_t i = 0; i < n; ++i) onSignal(numbers[i]);
    });
    struct sigaction action {};
    action.sa_handler = OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signalNumber : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(signalNumber, &action, nullptr);
}

std::string SignalName(int signalNumber) {
    switch (signalNumber) {
        case SIGTERM: return "SIGTERM";
        case SIGINT: return "SIGINT";
        case SIGHUP: return "SIGHUP";
    }
    return "signal " + std::to_string(signalNumber);
}
