// Plain logic of the output: fitting geometry, fade timing, number text,
// monitor choice over fake monitors, surfaces, the rectangle's shadow.
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <tuple>

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "core/Settings.h"
#include "core/modMain.h"
#include "image/cImage32.h"
#include "image/cRectShadow.h"
#include "output/GfxOutput.h"
#include "output/Geometry.h"
#include "output/Monitors.h"
#include "output/Transition.h"
#include "output/modTL.h"

namespace {

TEST(OutputArithmetic, RoundingIsHalfToEvenAndRefusesOverflow) {
    EXPECT_EQ(RoundHalfEven(2.5), 2);
    EXPECT_EQ(RoundHalfEven(3.5), 4);
    EXPECT_EQ(RoundHalfEven(-2.5), -2);
    EXPECT_FALSE(RoundHalfEven(2147483648.0).has_value());
    EXPECT_FALSE(RoundHalfEven(std::numeric_limits<double>::quiet_NaN()).has_value());
    EXPECT_EQ(FormatPlainDecimal(16.0 / 9.0), "1.77777777777778");
    EXPECT_EQ(FormatPlainDecimal(1.0), "1");
    EXPECT_EQ(FormatPlainDecimal(1.0 / 65535.0), "0.0000152590218966964");
    EXPECT_EQ(FormatPlainDecimal(268435456.0), "268435456");
}

TEST(OutputArithmetic, FitGeometry) {
    struct Case {
        int outW, outH, imgW, imgH;
        bool ignoreAspect;
        int renderW, renderH, blurW, blurH, offX, offY, shadowW, shadowH;
        bool needsBackground;
    };
    const Case cases[] = {
        {1920, 1080, 1080, 1080, false, 1080, 1080, 2880, 2880, 420, 0, 1128, 1620, true},
        {1920, 1080, 3840, 1080, false, 1920, 540, 5760, 1620, 0, 270, 2880, 588, true},
        {1920, 1080, 3840, 2160, false, 1920, 1080, 2880, 1620, 0, 0, 2880, 1620, false},
        {1920, 1080, 1080, 1080, true, 1920, 1080, 2880, 2880, 420, 0, 2880, 1620, false},
        {3840, 2160, 1080, 1080, false, 2160, 2160, 5760, 5760, 840, 0, 2208, 3240, true},
        // Halves to even: 6826.67 * 1.5 = 10240.5 -> 10240, 1920 - 607.5 -> 1312.
        {3840, 2160, 1080, 1920, false, 1215, 2160, 5760, 10240, 1312, 0, 1263, 3240, true},
        {1001, 1000, 1000, 1000, false, 1000, 1000, 1502, 1502, 0, 0, 1048, 1500, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.imgW) + "x" + std::to_string(c.imgH) + " on " + std::to_string(c.outW));
        const auto g = ComputeFrameGeometry(c.outW, c.outH, c.imgW, c.imgH, c.ignoreAspect);
        ASSERT_TRUE(g.has_value());
        EXPECT_EQ(std::vector<int>({g->RenderWidth, g->RenderHeight, g->BlurRenderWidth, g->BlurRenderHeight,
                                    g->OffsetX, g->OffsetY, g->ShadowWidth, g->ShadowHeight}),
                  std::vector<int>({c.renderW, c.renderH, c.blurW, c.blurH, c.offX, c.offY, c.shadowW, c.shadowH}));
        EXPECT_EQ(g->NeedsBackground, c.needsBackground);
    }
    EXPECT_FALSE(ComputeFrameGeometry(1920, 1080, 0, 1080, false).has_value());
    // A 2^28-pixel strip fitted by height would be 2.9e11 pixels wide.
    EXPECT_FALSE(ComputeFrameGeometry(1920, 1080, 1 << 28, 1, false).has_value());
}

TEST(OutputArithmetic, FadeCurveAndPause) {
    const int expected[48] = {0,  0,  1,  2,  3,  4,  5,  7,  8,  10, 12, 15, 17, 20, 22, 25,
                              28, 31, 34, 37, 40, 43, 47, 50, 53, 57, 60, 63, 66, 69, 72, 75,
                              78, 80, 83, 85, 88, 90, 92, 93, 95, 96, 97, 98, 99, 100, 100, 100};
    for (int i = 1; i <= 48; ++i) EXPECT_EQ(FadeStepOpacity(i, 48), expected[i - 1]) << "step " << i;
    EXPECT_EQ(FadePauseMs(25), 20);
    EXPECT_EQ(FadePauseMs(30), 17);
    EXPECT_EQ(FadePauseMs(60), 8);
    EXPECT_EQ(FadePauseMs(-25), 0);
    EXPECT_FALSE(FadePauseMs(0).has_value());
}

class FakeMonitors : public MonitorProvider {
public:
    explicit FakeMonitors(std::vector<MonitorInfo> monitors) : list(std::move(monitors)) {}
    std::optional<std::vector<MonitorHandle>> EnumerateMonitors() override {
        std::vector<MonitorHandle> handles;
        for (size_t i = 0; i < list.size(); ++i) handles.push_back(100 + i);
        return handles;
    }
    std::optional<MonitorInfo> QueryMonitor(MonitorHandle h) override {
        if (failQueries) return std::nullopt;
        return list.at(h - 100);
    }
    std::vector<MonitorInfo> list;
    bool failQueries = false;
};

class FakeWindow : public OutputWindow {
public:
    void Place(int l, int t, int w, int h) override { placed = {l, t, w, h}; }
    void Show() override { ++shows; }
    void Hide() override { ++hides; }
    void SetTopMost(bool on) override { topMost = on; }
    void Present(const PictureSurface&) override {}
    std::vector<int> placed;
    int shows = 0, hides = 0;
    bool topMost = false;
};

MonitorInfo Mon(int l, int w, bool primary) { return {l, 0, l + w, 720, primary}; }

struct InitCase {
    const char* name;
    std::vector<MonitorInfo> monitors;  // empty: no monitor enumeration at all
    int onAirMonitor;
    bool failQueries;
    int usedSlot;  // 0: the output must not start
    bool onPrimary;
    std::vector<std::string> logged;
};

TEST(MonitorChoice, InitGfxOutputCases) {
    const InitCase cases[] = {
        {"one, automatic", {Mon(0, 1280, true)}, 0, false, 1, true,
         {"[GFX]I OnAirMonitor is set to 0, which means 'Select monitor automatically'. As there is only 1 monitor, "
          "monitor 1 will be used for graphics output even though it is the primary monitor.",
          "[GFX]  Initializing GFX output on monitor 1..."}},
        {"primary first, automatic", {Mon(0, 1280, true), Mon(1280, 800, false)}, 0, false, 2, false, {}},
        {"primary second, automatic", {Mon(-800, 800, false), Mon(0, 1280, true)}, 0, false, 1, false, {}},
        {"primary third, -1", {Mon(0, 800, false), Mon(800, 640, false), Mon(1440, 1280, true)}, -1, false, 3, true,
         {"[GFX]  Initializing GFX output on monitor 3..."}},
        {"one monitor, slot 2", {Mon(0, 1280, true)}, 2, false, 0, false,
         {"[GFX]F Failed to initialize GFX output on monitor 2, probably because the number of monitors currently is "
          "1. Please set the 'OnAirMonitor' value in kiv.ini to a value equal to or greater than 1. Aborting "
          "operation now."}},
        {"slot beyond two", {Mon(0, 1280, true), Mon(1280, 800, false)}, 3, false, 0, false,
         {"[GFX]F Failed to initialize GFX output on monitor 3 because of an unknown error."}},
        {"no enumeration", {}, 0, false, 0, false,
         {"[SYS]E Internal Error: EnumDisplayMonitors failed with error " + std::to_string(ENOSYS),
          "[GFX]F Failed to initialize GFX output on monitor 0 because of an unknown error."}},
        {"no information while choosing", {Mon(0, 1280, true), Mon(1280, 800, false)}, -1, true, 0, true,
         {"[SYS]E Internal Error: GetMonitorInfo failed with error " + std::to_string(ENODEV),
          "[GFX]F Fatal Error: Could not determinine monitor constellation."}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FatalError = GfxInitialized = GfxOutputEnabled = OutputOnPrimary = false;
        Settings = SettingsData{};
        Settings.OnAirMonitor = c.onAirMonitor;
        Settings.StartupColor = 0x0000FF;
        auto fake = std::make_shared<FakeMonitors>(c.monitors);
        fake->failQueries = c.failQueries;
        SetMonitorProvider(c.monitors.empty() ? nullptr : fake);
        FakeWindow window;
        SetOutputWindow(&window);
        LogCapture log;
        InitGfxOutput();
        SetOutputWindow(nullptr);

        EXPECT_EQ(log.lines.at(0), "[GFX]  Examining Windows monitor configuration...");
        int previous = -1;
        for (const auto& line : c.logged) {
            EXPECT_GT(log.IndexOf(line), previous) << line;
            previous = log.IndexOf(line);
        }
        EXPECT_EQ(OutputOnPrimary, c.onPrimary);
        EXPECT_EQ(FatalError, c.usedSlot == 0);
        EXPECT_EQ(GfxInitialized, c.usedSlot != 0);
        if (c.usedSlot == 0) {
            EXPECT_EQ(window.shows, 0);
            continue;
        }
        const MonitorInfo& m = c.monitors[size_t(c.usedSlot - 1)];
        EXPECT_EQ(Settings.OnAirMonitor, c.usedSlot);
        EXPECT_EQ(window.placed, std::vector<int>({m.Left, m.Top, m.Right - m.Left, m.Bottom - m.Top}));
        EXPECT_EQ(window.shows, 1);
        EXPECT_TRUE(window.topMost);
        EXPECT_TRUE(GfxOutputEnabled);
        EXPECT_EQ(picStillB().Width(), m.Right - m.Left);
        EXPECT_EQ(picStillA().PixelAt(0, 0), 0xFFFF0000u);  // the start-up colour
    }
    SetMonitorProvider(nullptr);
}

TEST(MonitorChoice, InformationMissingWhenPlacingLeavesAnEmptyOutput) {
    FatalError = GfxInitialized = false;
    Settings = SettingsData{};
    Settings.OnAirMonitor = 2;
    auto fake = std::make_shared<FakeMonitors>(std::vector<MonitorInfo>{Mon(0, 1280, true), Mon(1280, 800, false)});
    fake->failQueries = true;
    SetMonitorProvider(fake);
    LogCapture log;
    InitGfxOutput();
    EXPECT_FALSE(FatalError);
    EXPECT_TRUE(GfxInitialized);
    EXPECT_TRUE(log.Has("[SYS]E Internal Error: GetMonitorInfo failed with error " + std::to_string(ENODEV)));
    EXPECT_EQ(picStillA().Width(), 0);
    SetMonitorProvider(nullptr);
}

TEST(PictureSurface, ClearGoesBackToThePersistentPictureOrTheBackground) {
    PictureSurface s;
    s.SetBackColor(0x336699);
    s.SetSize(4, 3);
    EXPECT_EQ(s.PixelAt(3, 2), 0xFF996633u);
    cImage32 dot;
    ASSERT_TRUE(dot.InitializeDIB(1, 1));
    dot.Row(0)[0] = 10, dot.Row(0)[1] = 20, dot.Row(0)[2] = 30, dot.Row(0)[3] = 255;
    const DeviceContext dc = s.DC();
    ASSERT_TRUE(dot.Render(&dc, 1, 2, 1, 1));
    s.MakePersistent();
    EXPECT_EQ(s.PersistentPicture().Row(2)[4 + 2], 30);  // same picture row, bottom-up storage
    ASSERT_TRUE(dot.Render(&dc, 0, 0, 1, 1));
    s.SetBackColor(0);
    s.Clear();
    EXPECT_EQ(s.PixelAt(0, 0), 0xFF996633u);
    EXPECT_EQ(s.PixelAt(1, 2), 0xFF1E140Au);
    s.RemovePersistentPicture();
    s.Clear();
    EXPECT_EQ(s.PixelAt(1, 2), 0xFF000000u);
    s.SetSize(-5, 10);
    EXPECT_FALSE(static_cast<bool>(s.DC()));
}

// The compact shadow is CreateDropShadow's image of the opaque picture, row
// for row, and is drawn as that image is (stretched or not, any opacity):
// small, window-sized and tall pictures, clamped and odd blur depths.
TEST(RectShadow, IsTheShadowOfTheOpaquePictureAndDrawsLikeIt) {
    struct Case {
        int w, h, depth;
    };
    for (const Case c : {Case{1, 1, 10}, Case{5, 3, 4}, Case{21, 21, 10}, Case{40, 22, 10}, Case{7, 300, 15},
                         Case{300, 7, 3}, Case{64, 48, 0}}) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + " depth " + std::to_string(c.depth));
        cImage32 picture;
        ASSERT_TRUE(picture.InitializeDIB(c.w, c.h));
        std::memset(picture.BitsPointer(), 0xFF, size_t(c.w) * size_t(c.h) * 4);
        const auto image = picture.CreateDropShadow(c.depth, 0x336699);
        cRectShadow shadow;
        ASSERT_TRUE(image && shadow.Create(c.w, c.h, c.depth, 0x336699));
        ASSERT_EQ(shadow.Width(), image->Width());
        ASSERT_EQ(shadow.Height(), image->Height());
        for (int y = 0; y < shadow.Height(); ++y)
            ASSERT_EQ(std::memcmp(shadow.Row(y), image->Row(y), size_t(shadow.Width()) * 4), 0) << "row " << y;

        for (const auto& [w, h, opacity] : {std::tuple{shadow.Width(), shadow.Height(), 30},
                                            std::tuple{shadow.Width() * 3 + 1, shadow.Height() * 2, 100},
                                            std::tuple{shadow.Width() / 2 + 1, shadow.Height() / 3 + 1, 55}}) {
            cImage32 a, b;
            ASSERT_TRUE(a.InitializeDIB(90, 70) && b.InitializeDIB(90, 70));
            for (size_t i = 0; i < 90 * 70 * 4; ++i) a.BitsPointer()[i] = b.BitsPointer()[i] = uint8_t(i % 4 == 3 ? 255 : i * 7);
            const DeviceContext da = a.LoadDIBinDC(true), db = b.LoadDIBinDC(true);
            ASSERT_TRUE(image->Render(&da, 40, 30, w, h, 0, 0, 0, 0, opacity, true, true, nullptr, -1, 0, 0, true));
            ASSERT_TRUE(shadow.Render(db, 40, 30, w, h, opacity, true));
            EXPECT_EQ(std::memcmp(a.BitsPointer(), b.BitsPointer(), 90 * 70 * 4), 0) << w << "x" << h;
        }
    }
    // Beyond the pixel limit the rows alone would be: no shadow, no allocation.
    EXPECT_FALSE(cRectShadow().Create(1 << 28, 1, 10, 0));
    EXPECT_TRUE(cRectShadow().Create(32768, 8192, 10, 0));
}

}  // namespace
