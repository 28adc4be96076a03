#pragma once
// What the output benchmarks share: their clocks and a monitor of a chosen size.
#include <time.h>

#include <chrono>
#include <optional>
#include <vector>

#include "output/Monitors.h"

inline double WallMs() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}
inline double CpuMs(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}
inline double ProcessCpuMs() { return CpuMs(CLOCK_PROCESS_CPUTIME_ID); }
inline double ThreadCpuMs() { return CpuMs(CLOCK_THREAD_CPUTIME_ID); }

class FixedMonitor : public MonitorProvider {
public:
    FixedMonitor(int w, int h) : info{0, 0, w, h, true} {}
    std::optional<std::vector<MonitorHandle>> EnumerateMonitors() override { return std::vector<MonitorHandle>{1}; }
    std::optional<MonitorInfo> QueryMonitor(MonitorHandle) override { return info; }
    MonitorInfo info;
};
