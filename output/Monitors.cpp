#include "output/Monitors.h"

#include <cerrno>

#include "core/Log.h"

namespace {
std::shared_ptr<MonitorProvider> gProvider;
std::vector<MonitorHandle> gMonitors{0};
}  // namespace

void SetMonitorProvider(std::shared_ptr<MonitorProvider> provider) { gProvider = std::move(provider); }

const std::vector<MonitorHandle>& Monitors() { return gMonitors; }

int32_t EnumMonitors() {
    gMonitors.assign(1, 0);
    if (!gProvider) {
        // No window system to ask: the equivalent of a missing enumeration
        // function in the system library.
        errno = ENOSYS;
        LogApiError("EnumDisplayMonitors");
        return 0;
    }
    auto list = gProvider->EnumerateMonitors();
    if (!list) {
        LogApiError("EnumDisplayMonitors");
        return 0;
    }
    gMonitors.insert(gMonitors.end(), list->begin(), list->end());
    return static_cast<int32_t>(gMonitors.size() - 1);
}

std::optional<MonitorInfo> GetMonitorInfoOfSlot(int32_t slot) {
    if (slot < 1 || static_cast<size_t>(slot) >= gMonitors.size() || !gProvider) {
        errno = EINVAL;
        return std::nullopt;
    }
    auto info = gProvider->QueryMonitor(gMonitors[static_cast<size_t>(slot)]);
    if (!info) errno = ENODEV;
    return info;
}

void LogApiError(const std::string& functionName) {
    const int code = errno;
    WriteLog("Internal Error: " + functionName + " failed with error " + std::to_string(code), "SYS", "E");
}
