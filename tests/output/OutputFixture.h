#pragma once
// A small output (a fake monitor, a recording window, a private cache
// directory) on which DisplayCachedImage runs as it would on air.
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include <QCoreApplication>
#include <gtest/gtest.h>

#include "LogCapture.h"
#include "app/Settings.h"
#include "app/modMain.h"
#include "image/cImage32.h"
#include "output/GfxOutput.h"
#include "output/Monitors.h"
#include "output/modTL.h"
#include "protocol/modCommandQueueManager.h"

class OneMonitor : public MonitorProvider {
public:
    OneMonitor(int w, int h) : info{0, 0, w, h, true} {}
    std::optional<std::vector<MonitorHandle>> EnumerateMonitors() override { return std::vector<MonitorHandle>{1}; }
    std::optional<MonitorInfo> QueryMonitor(MonitorHandle) override { return info; }
    MonitorInfo info;
};

// Records every frame put on air: the pixel at a probe point after each.
class RecordingWindow : public OutputWindow {
public:
    void Place(int, int, int, int) override {}
    void Show() override { ++shows; }
    void Hide() override {}
    void SetTopMost(bool) override {}
    void Present(const PictureSurface& s) override {
        ++presents;
        if (probeX < s.Width() && probeY < s.Height()) probes.push_back(s.PixelAt(probeX, probeY));
    }
    int shows = 0, presents = 0;
    int probeX = 0, probeY = 0;
    std::vector<uint32_t> probes;
};

using PixelFn = std::function<uint32_t(int x, int y)>;  // 0xAARRGGBB, premultiplied

// Writes a PNG of w x h pixels made by `fn` and answers its path.
inline std::string WriteTestImage(const std::string& path, int w, int h, const PixelFn& fn) {
    cImage32 img;
    if (!img.InitializeDIB(w, h)) return "";
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const uint32_t v = fn(x, y);
            uint8_t* p = img.Row(y) + x * 4;
            p[0] = v & 0xFF, p[1] = (v >> 8) & 0xFF, p[2] = (v >> 16) & 0xFF, p[3] = v >> 24;
        }
    img.Alpha(2);
    return img.SaveToFile_PNG(path, false) ? path : "";
}

inline int Channel(uint32_t pixel, int shift) { return int((pixel >> shift) & 0xFF); }
inline int Red(uint32_t p) { return Channel(p, 16); }
inline int Green(uint32_t p) { return Channel(p, 8); }
inline int Blue(uint32_t p) { return Channel(p, 0); }

class OutputTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!QCoreApplication::instance()) {
            static int argc = 1;
            static char name[] = "test_output";
            static char* argv[] = {name, nullptr};
            static QCoreApplication app(argc, argv);
        }
    }

    void SetUp() override {
        dir = std::filesystem::temp_directory_path() /
              ("kiv_output_" + std::to_string(::getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        FatalError = GfxInitialized = GfxOutputEnabled = OutputOnPrimary = false;
        Settings = SettingsData{};
        Settings.CacheDir = dir.string();
        Settings.OnAirMonitor = 1;
        Settings.TransMode = "Fade";
        Settings.TransDur = 12;
        Settings.DisplayFrameRate = -1;  // no pauses: the tests need no timing
        Settings.ShadowOpacity = 0;
        InitCommandQueue();
        SetOutputWindow(&window);
        SetMonitorProvider(std::make_shared<OneMonitor>(kOutW, kOutH));
        InitGfxOutput();
        ASSERT_TRUE(GfxInitialized);
        window.presents = 0;
        window.probes.clear();
    }

    void TearDown() override {
        SetOutputWindow(nullptr);
        SetMonitorProvider(nullptr);
        std::filesystem::remove_all(dir);
    }

    std::string Image(const std::string& name, int w, int h, const PixelFn& fn) {
        const std::string path = WriteTestImage((dir / name).string(), w, h, fn);
        EXPECT_FALSE(path.empty()) << name;
        return path;
    }

    static constexpr int kOutW = 320;
    static constexpr int kOutH = 180;
    std::filesystem::path dir;
    RecordingWindow window;
    LogCapture log;
};
