#pragma once
// Helpers of the output tests: a fixed single monitor and test pictures.
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "image/cImage32.h"
#include "output/Monitors.h"

class OneMonitor : public MonitorProvider {
public:
    OneMonitor(int w, int h) : info{0, 0, w, h, true} {}
    std::optional<std::vector<MonitorHandle>> EnumerateMonitors() override { return std::vector<MonitorHandle>{1}; }
    std::optional<MonitorInfo> QueryMonitor(MonitorHandle) override { return info; }
    MonitorInfo info;
};

using PixelFn = std::function<uint32_t(int x, int y)>;  // 0xAARRGGBB, premultiplied

// Writes a PNG of w x h pixels made by `fn`; answers its path, "" on failure.
inline std::string WriteTestImage(const std::string& path, int w, int h, const PixelFn& fn) {
    cImage32 img;
    if (!img.InitializeDIB(w, h)) return "";
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const uint32_t v = fn(x, y);
            std::memcpy(img.Row(y) + x * 4, &v, 4);
        }
    img.Alpha(2);
    return img.SaveToFile_PNG(path, false) ? path : "";
}
