#pragma once
// What the status server answers, built from the engine's state on the GUI
// thread: the status document, the metrics, the health verdict and the page.
#include <optional>
#include <string>

#include <QByteArray>

QByteArray StatusJson();

// Prometheus text exposition format 0.0.4.
inline constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";
QByteArray MetricsText();

// Why the engine cannot work now; nullopt while it can. The queue loop counts
// as stalled when no tick has ended for this long and none is running (a
// running tick that lets events run, a #WAIT, is alive).
inline constexpr int kQueueStallSeconds = 5;
std::optional<std::string> QueueLoopProblem();
// QueueLoopProblem, or a fatal error.
std::optional<std::string> HealthProblem();

// The operator's page: one self-contained HTML document.
const QByteArray& StatusPage();

// /frame.jpg?width=N: 0 for the output's own size, N in [16, 3840], or
// nullopt when the parameter is given but not such a number.
inline constexpr int kMinFrameWidth = 16, kMaxFrameWidth = 3840;
std::optional<int> ParseFrameWidth(const std::optional<QString>& width);
