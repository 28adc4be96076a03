// Pure logic of the output: fitting geometry, fade timing, number texts,
// monitor choice over fake monitors, and the surfaces.
#include <cerrno>
#include <memory>

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "app/Settings.h"
#include "app/modMain.h"
#include "output/GfxOutput.h"
#include "output/Geometry.h"
#include "output/Monitors.h"
#include "output/Transition.h"
#include "output/modTL.h"

namespace {

TEST(RoundHalfEven, TiesGoToEvenAndOverflowIsRefused) {
    EXPECT_EQ(RoundHalfEven(2.5), 2);
    EXPECT_EQ(RoundHalfEven(3.5), 4);
    EXPECT_EQ(RoundHalfEven(-2.5), -2);
    EXPECT_EQ(RoundHalfEven(419.5), 420);
    EXPECT_EQ(RoundHalfEven(0.4999), 0);
    EXPECT_EQ(RoundHalfEven(2147483647.0), 2147483647);
    EXPECT_FALSE(RoundHalfEven(2147483648.0).has_value());
    EXPECT_FALSE(RoundHalfEven(1e300).has_value());
    EXPECT_FALSE(RoundHalfEven(std::numeric_limits<double>::quiet_NaN()).has_value());
}

struct GeometryCase {
    const char* name;
    int outW, outH, imgW, imgH;
    bool ignoreAspect;
    int renderW, renderH, blurW, blurH, offX, offY, shadowW, shadowH;
    bool needsBackground;
};

TEST(FrameGeometry, MatchesTheFitTable) {
    const GeometryCase cases[] = {
        // Square image on a 16:9 frame: pillar-boxed, the blur covers by width.
        {"square on 1080p", 1920, 1080, 1080, 1080, false, 1080, 1080, 2880, 2880, 420, 0, 1128, 1620, true},
        // A picture twice as wide as the frame: letter-boxed, blur from the height fit.
        {"wide on 1080p", 1920, 1080, 3840, 1080, false, 1920, 540, 5760, 1620, 0, 270, 2880, 588, true},
        // Exact aspect: no background needed, the shadow is half as large again.
        {"exact aspect", 1920, 1080, 3840, 2160, false, 1920, 1080, 2880, 1620, 0, 0, 2880, 1620, false},
        {"ignore aspect", 1920, 1080, 1080, 1080, true, 1920, 1080, 2880, 2880, 420, 0, 2880, 1620, false},
        {"square on 4K", 3840, 2160, 1080, 1080, false, 2160, 2160, 5760, 5760, 840, 0, 2208, 3240, true},
        {"portrait on 4K", 3840, 2160, 1080, 1920, false, 1215, 2160, 5760, 10240, 1312, 0, 1263, 3240, true},
        // Halves round to even: 1001 * 1.5 = 1501.5 -> 1502, 500.5 - 500 -> 0,
        // and 6826.67 * 1.5 = 10240.5 -> 10240 in the portrait case above.
        {"odd frame", 1001, 1000, 1000, 1000, false, 1000, 1000, 1502, 1502, 0, 0, 1048, 1500, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto g = ComputeFrameGeometry(c.outW, c.outH, c.imgW, c.imgH, c.ignoreAspect);
        ASSERT_TRUE(g.has_value());
        EXPECT_EQ(g->RenderWidth, c.renderW);
        EXPECT_EQ(g->RenderHeight, c.renderH);
        EXPECT_EQ(g->BlurRenderWidth, c.blurW);
        EXPECT_EQ(g->BlurRenderHeight, c.blurH);
        EXPECT_EQ(g->OffsetX, c.offX);
        EXPECT_EQ(g->OffsetY, c.offY);
        EXPECT_EQ(g->ShadowWidth, c.shadowW);
        EXPECT_EQ(g->ShadowHeight, c.shadowH);
        EXPECT_EQ(g->NeedsBackground, c.needsBackground);
    }
}

TEST(FrameGeometry, RefusesEmptyPicturesAndSizesBeyond32Bits) {
    EXPECT_FALSE(ComputeFrameGeometry(1920, 1080, 0, 1080, false).has_value());
    EXPECT_FALSE(ComputeFrameGeometry(1920, 1080, 1080, 0, false).has_value());
    // A 268 million pixel wide strip: its height fit is 2.9e11 pixels wide.
    EXPECT_FALSE(ComputeFrameGeometry(1920, 1080, 1 << 28, 1, false).has_value());
    // Extreme but representable strips still fit.
    EXPECT_TRUE(ComputeFrameGeometry(1920, 1080, 65535, 1, false).has_value());
}

TEST(FadeTiming, OpacityCurveOfTheDefaultFade) {
    // TransDur 12: 48 steps.
    const int expectedStart[] = {0, 0, 1, 2, 3, 4, 5, 7, 8, 10};
    for (int i = 0; i < 10; ++i) EXPECT_EQ(FadeStepOpacity(i + 1, 48), expectedStart[i]) << "step " << i + 1;
    EXPECT_EQ(FadeStepOpacity(24, 48), 50);
    EXPECT_EQ(FadeStepOpacity(43, 48), 97);
    EXPECT_EQ(FadeStepOpacity(44, 48), 98);
    EXPECT_EQ(FadeStepOpacity(45, 48), 99);
    for (int i = 46; i <= 48; ++i) EXPECT_EQ(FadeStepOpacity(i, 48), 100) << "step " << i;
    for (int i = 2; i <= 48; ++i) EXPECT_GE(FadeStepOpacity(i, 48), FadeStepOpacity(i - 1, 48));
}

TEST(FadeTiming, PauseFollowsTheFrameRate) {
    EXPECT_EQ(FadePauseMs(25), 20);
    EXPECT_EQ(FadePauseMs(30), 17);
    EXPECT_EQ(FadePauseMs(60), 8);
    EXPECT_EQ(FadePauseMs(1), 500);
    EXPECT_EQ(FadePauseMs(80), 6);  // 6.25
    EXPECT_EQ(FadePauseMs(-25), 0);
    EXPECT_FALSE(FadePauseMs(0).has_value());
}

TEST(FormatPlainDecimal, FifteenSignificantDigitsWithoutExponent) {
    EXPECT_EQ(FormatPlainDecimal(16.0 / 9.0), "1.77777777777778");
    EXPECT_EQ(FormatPlainDecimal(1.0), "1");
    EXPECT_EQ(FormatPlainDecimal(3.5555555555555554), "3.55555555555556");
    EXPECT_EQ(FormatPlainDecimal(0.5625), "0.5625");
    EXPECT_EQ(FormatPlainDecimal(65535.0), "65535");
    EXPECT_EQ(FormatPlainDecimal(1.0 / 65535.0), "0.0000152590218966964");
    EXPECT_EQ(FormatPlainDecimal(268435456.0), "268435456");
    EXPECT_EQ(FormatPlainDecimal(1e20), "100000000000000000000");
}

// ---- monitors

class FakeMonitors : public MonitorProvider {
public:
    explicit FakeMonitors(std::vector<MonitorInfo> monitors) : list(std::move(monitors)) {}
    std::optional<std::vector<MonitorHandle>> EnumerateMonitors() override {
        std::vector<MonitorHandle> handles;
        for (size_t i = 0; i < list.size(); ++i) handles.push_back(100 + i);
        return handles;
    }
    std::optional<MonitorInfo> QueryMonitor(MonitorHandle h) override {
        if (failQueries || h < 100 || h >= 100 + list.size()) return std::nullopt;
        return list[h - 100];
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
    void Present(const PictureSurface&) override { ++presents; }
    std::vector<int> placed;
    int shows = 0, hides = 0, presents = 0;
    bool topMost = false;
};

MonitorInfo Mon(int l, int t, int w, int h, bool primary) { return {l, t, l + w, t + h, primary}; }

class MonitorChoice : public ::testing::Test {
protected:
    void SetUp() override {
        FatalError = GfxInitialized = GfxOutputEnabled = OutputOnPrimary = false;
        Settings = SettingsData{};
        Settings.StartupColor = 0x0000FF;  // red
        SetOutputWindow(&window);
    }
    void TearDown() override {
        SetOutputWindow(nullptr);
        SetMonitorProvider(nullptr);
        FatalError = GfxInitialized = GfxOutputEnabled = OutputOnPrimary = false;
    }
    std::shared_ptr<FakeMonitors> Install(std::vector<MonitorInfo> monitors) {
        auto fake = std::make_shared<FakeMonitors>(std::move(monitors));
        SetMonitorProvider(fake);
        return fake;
    }
    FakeWindow window;
    LogCapture log;
};

struct ChoiceCase {
    const char* name;
    std::vector<MonitorInfo> monitors;
    int onAirMonitor;
    int chosenSlot;
    bool onPrimary;
};

TEST_F(MonitorChoice, PlacesTheOutputOnTheChosenMonitor) {
    const ChoiceCase cases[] = {
        {"one monitor, automatic", {Mon(0, 0, 1920, 1080, true)}, 0, 1, true},
        {"primary first, automatic", {Mon(0, 0, 1920, 1080, true), Mon(1920, 0, 1280, 720, false)}, 0, 2, false},
        {"primary second, automatic", {Mon(-1280, 0, 1280, 720, false), Mon(0, 0, 1920, 1080, true)}, 0, 1, false},
        {"three, primary third",
         {Mon(0, 0, 800, 600, false), Mon(800, 0, 1024, 768, false), Mon(1824, -100, 1920, 1200, true)}, -1, 3,
         true},
        {"three, explicit slot 2",
         {Mon(0, 0, 800, 600, true), Mon(800, 0, 1024, 768, false), Mon(1824, 0, 640, 480, false)}, 2, 2, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        Install(c.monitors);
        Settings.OnAirMonitor = c.onAirMonitor;
        window = FakeWindow{};
        InitGfxOutput();

        const MonitorInfo& m = c.monitors[size_t(c.chosenSlot - 1)];
        EXPECT_FALSE(FatalError);
        EXPECT_EQ(Settings.OnAirMonitor, c.chosenSlot);
        EXPECT_EQ(OutputOnPrimary, c.onPrimary);
        EXPECT_TRUE(GfxInitialized);
        EXPECT_TRUE(GfxOutputEnabled);
        EXPECT_EQ(window.placed, (std::vector<int>{m.Left, m.Top, m.Right - m.Left, m.Bottom - m.Top}));
        EXPECT_EQ(window.shows, 1);
        EXPECT_TRUE(window.topMost);
        EXPECT_EQ(picStillA().Width(), m.Right - m.Left);
        EXPECT_EQ(picStillB().Height(), m.Bottom - m.Top);
        EXPECT_EQ(picStillA().PixelAt(0, 0), 0xFFFF0000u);  // the start-up colour
        ASSERT_NE(FrameImage(), nullptr);
        EXPECT_TRUE(FrameImage()->HighQualityInterpolation());
        EXPECT_TRUE(log.Has("[GFX]  Initializing GFX output on monitor " + std::to_string(c.chosenSlot) + "..."));
        EXPECT_EQ(log.lines.at(0), "[GFX]  Examining Windows monitor configuration...");
    }
}

TEST_F(MonitorChoice, SingleMonitorAutomaticExplainsItself) {
    Install({Mon(0, 0, 1920, 1080, true)});
    InitGfxOutput();
    EXPECT_TRUE(log.Has("[GFX]I OnAirMonitor is set to 0, which means 'Select monitor automatically'. As there is "
                        "only 1 monitor, monitor 1 will be used for graphics output even though it is the primary "
                        "monitor."));
}

TEST_F(MonitorChoice, OneMonitorWithTheDefaultSlotStopsTheEngine) {
    Install({Mon(0, 0, 1920, 1080, true)});
    Settings.OnAirMonitor = 2;
    InitGfxOutput();
    EXPECT_TRUE(FatalError);
    EXPECT_FALSE(GfxInitialized);
    EXPECT_EQ(window.shows, 0);
    EXPECT_TRUE(log.Has("[GFX]F Failed to initialize GFX output on monitor 2, probably because the number of "
                        "monitors currently is 1. Please set the 'OnAirMonitor' value in kiv.ini to a value equal "
                        "to or greater than 1. Aborting operation now."));
    EXPECT_EQ(log.CountStartingWith("[GFX]  Initializing"), 0);
}

TEST_F(MonitorChoice, SlotBeyondTheMonitorsIsAnUnknownError) {
    for (int slot : {3, -2}) {
        SCOPED_TRACE(slot);
        SetUp();
        Install({Mon(0, 0, 1920, 1080, true), Mon(1920, 0, 1920, 1080, false)});
        Settings.OnAirMonitor = slot;
        InitGfxOutput();
        EXPECT_TRUE(FatalError);
        EXPECT_FALSE(GfxInitialized);
        EXPECT_TRUE(log.Has("[GFX]F Failed to initialize GFX output on monitor " + std::to_string(slot) +
                            " because of an unknown error."));
    }
}

TEST_F(MonitorChoice, NoMonitorEnumerationIsAnUnknownError) {
    SetMonitorProvider(nullptr);
    Settings.OnAirMonitor = 0;
    InitGfxOutput();
    EXPECT_EQ(log.CountStartingWith("[SYS]E Internal Error: EnumDisplayMonitors failed with error "), 1);
    EXPECT_TRUE(FatalError);
    EXPECT_TRUE(log.Has("[GFX]F Failed to initialize GFX output on monitor 0 because of an unknown error."));
}

TEST_F(MonitorChoice, UnavailableInformationWhileChoosingIsFatal) {
    for (int slot : {0, -1}) {
        SCOPED_TRACE(slot);
        SetUp();
        log.lines.clear();
        auto fake = Install({Mon(0, 0, 1920, 1080, true), Mon(1920, 0, 1920, 1080, false)});
        fake->failQueries = true;
        Settings.OnAirMonitor = slot;
        InitGfxOutput();
        EXPECT_TRUE(FatalError);
        EXPECT_FALSE(GfxInitialized);
        const int apiError = log.IndexOf("[SYS]E Internal Error: GetMonitorInfo failed with error " +
                                         std::to_string(ENODEV));
        const int fatal = log.IndexOf("[GFX]F Fatal Error: Could not determinine monitor constellation.");
        ASSERT_GE(apiError, 0);
        EXPECT_GT(fatal, apiError);
    }
}

TEST_F(MonitorChoice, UnavailableInformationWhilePlacingGoesOnWithAnEmptyRectangle) {
    auto fake = Install({Mon(0, 0, 1920, 1080, true), Mon(1920, 0, 1920, 1080, false)});
    fake->failQueries = true;
    Settings.OnAirMonitor = 2;
    InitGfxOutput();
    EXPECT_FALSE(FatalError);
    EXPECT_TRUE(GfxInitialized);
    EXPECT_EQ(log.CountStartingWith("[SYS]E Internal Error: GetMonitorInfo failed with error "), 1);
    EXPECT_EQ(window.placed, (std::vector<int>{0, 0, 0, 0}));
    EXPECT_EQ(picStillA().Width(), 0);
}

TEST_F(MonitorChoice, EnumerationResetsTheSlots) {
    Install({Mon(0, 0, 10, 10, true), Mon(10, 0, 10, 10, false), Mon(20, 0, 10, 10, false)});
    EXPECT_EQ(EnumMonitors(), 3);
    Install({Mon(0, 0, 10, 10, true)});
    EXPECT_EQ(EnumMonitors(), 1);
    EXPECT_EQ(Monitors().size(), 2u);
    EXPECT_FALSE(GetMonitorInfoOfSlot(0).has_value());
    EXPECT_FALSE(GetMonitorInfoOfSlot(2).has_value());
    ASSERT_TRUE(GetMonitorInfoOfSlot(1).has_value());
    EXPECT_EQ(GetMonitorInfoOfSlot(1)->Right, 10);
}

TEST_F(MonitorChoice, ShowHideAndTopMostAreHarmlessBeforeInitialisation) {
    ShowGfxOutput();
    HideGfxOutput();
    SetGfxOutputTopMost(true);
    EXPECT_EQ(window.shows + window.hides, 0);
    EXPECT_FALSE(window.topMost);

    Install({Mon(0, 0, 64, 48, true)});
    InitGfxOutput();
    HideGfxOutput();
    SetGfxOutputTopMost(false);
    ShowGfxOutput();
    EXPECT_EQ(window.hides, 1);
    EXPECT_EQ(window.shows, 2);
    EXPECT_FALSE(window.topMost);
}

// ---- surfaces

TEST(PictureSurface, ClearReturnsToThePersistentPictureOrTheBackground) {
    PictureSurface s;
    s.SetBackColor(0x336699);  // R 0x99, G 0x66, B 0x33
    s.SetSize(4, 3);
    EXPECT_EQ(s.PixelAt(3, 2), 0xFF996633u);

    // Draw something, keep it, draw more: Clear goes back to what was kept.
    cImage32 dot;
    ASSERT_TRUE(dot.InitializeDIB(1, 1));
    dot.Row(0)[0] = 10, dot.Row(0)[1] = 20, dot.Row(0)[2] = 30, dot.Row(0)[3] = 255;
    DeviceContext dc = s.DC();
    ASSERT_TRUE(dot.Render(&dc, 1, 2, 1, 1));
    EXPECT_EQ(s.PixelAt(1, 2), 0xFF1E140Au);
    s.MakePersistent();
    ASSERT_TRUE(dot.Render(&dc, 0, 0, 1, 1));
    s.SetBackColor(0);
    s.Clear();
    EXPECT_EQ(s.PixelAt(0, 0), 0xFF996633u);
    EXPECT_EQ(s.PixelAt(1, 2), 0xFF1E140Au);

    // Without the persistent picture only the (new) background is left.
    s.RemovePersistentPicture();
    s.Clear();
    EXPECT_EQ(s.PixelAt(1, 2), 0xFF000000u);
}

TEST(PictureSurface, PersistentPictureIsTheDrawingBottomUp) {
    PictureSurface s;
    s.SetBackColor(0x000000);
    s.SetSize(2, 2);
    cImage32 dot;
    ASSERT_TRUE(dot.InitializeDIB(1, 1));
    dot.Row(0)[2] = 255, dot.Row(0)[3] = 255;  // red
    DeviceContext dc = s.DC();
    ASSERT_TRUE(dot.Render(&dc, 0, 0, 1, 1));  // top-left
    s.MakePersistent();
    ASSERT_TRUE(s.HasPersistentPicture());
    const cImage32& p = s.PersistentPicture();
    EXPECT_EQ(p.Row(0)[2], 255);
    EXPECT_EQ(p.Row(1)[2], 0);
    // The image buffer itself is bottom-up: the top row is stored last.
    EXPECT_EQ(p.BitsPointer()[2 * 4 + 2], 255);
}

TEST(PictureSurface, EmptyAndNegativeSizesHoldNoPixels) {
    PictureSurface s;
    s.SetSize(-5, 10);
    EXPECT_EQ(s.Width(), 0);
    EXPECT_FALSE(static_cast<bool>(s.DC()));
    s.Clear();
    s.MakePersistent();
    EXPECT_FALSE(s.HasPersistentPicture());
}

}  // namespace
