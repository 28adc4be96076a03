#pragma once
// Termination signals as ordinary events of the event loop: the handler
// only writes the signal's number into a pipe, and a socket notifier reads
// it on the GUI thread, where the engine may do anything.
#include <functional>
#include <string>

// SIGTERM, SIGINT and SIGHUP call `onSignal` with the signal's number from
// the event loop, once per signal received (also while a dialog is open or a
// WaitMs runs; after a blocking operation, as soon as the loop runs again).
// SIGPIPE is ignored: a closed reader shows as an error of the write. Needs
// the application object; call once.
void InstallTerminationSignals(std::function<void(int signalNumber)> onSignal);

// "SIGTERM", "SIGINT", "SIGHUP", or "signal <n>".
std::string SignalName(int signalNumber);
