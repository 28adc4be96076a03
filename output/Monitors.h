#pragma once
// The monitors of the desktop as the output sees them, behind a seam: the GUI
// fills it from the window system's screens, tests fill it with fake ones.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// A monitor's full rectangle in virtual-desktop pixels and whether it is the
// primary one.
struct MonitorInfo {
    int32_t Left = 0;
    int32_t Top = 0;
    int32_t Right = 0;
    int32_t Bottom = 0;
    bool Primary = false;
};

// Opaque handle of one monitor, valid for as long as the provider says so.
using MonitorHandle = uintptr_t;

class MonitorProvider {
public:
    virtual ~MonitorProvider() = default;
    // The monitors in the order the window system reports them; nullopt when
    // the enumeration itself failed.
    virtual std::optional<std::vector<MonitorHandle>> EnumerateMonitors() = 0;
    // The information of one monitor; nullopt when it is gone or unknown.
    virtual std::optional<MonitorInfo> QueryMonitor(MonitorHandle monitor) = 0;
};

// Installs the provider (nullptr: none, the enumeration is unavailable).
void SetMonitorProvider(std::shared_ptr<MonitorProvider> provider);

// Slot 0 is a placeholder; slots 1..count hold the monitors in enumeration
// order. Rebuilt by every EnumMonitors.
const std::vector<MonitorHandle>& Monitors();

// Rebuilds Monitors and answers the monitor count (0 without a provider).
int32_t EnumMonitors();

// The information of slot `slot` of Monitors; nullopt (with errno set) for
// a slot that is not in use or a monitor that cannot be queried.
std::optional<MonitorInfo> GetMonitorInfoOfSlot(int32_t slot);

// Logs "Internal Error: <functionName> failed with error <errno>" (SYS/E).
void LogApiError(const std::string& functionName);
