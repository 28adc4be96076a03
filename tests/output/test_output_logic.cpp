// The output without a display: fitting arithmetic, fade timing, monitor choice over fake monitors, and
// DisplayCachedImage on a fake monitor (frames against their layers, the composite file, the log, the queue).
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <limits>
#include <numeric>

#include <gtest/gtest.h>
#include <unistd.h>

#include "LogCapture.h"
#include "core/Settings.h"
#include "core/modMain.h"
#include "image/ParallelRows.h"
#include "image/cRectShadow.h"
#include "output/Geometry.h"
#include "output/GfxOutput.h"
#include "output/Monitors.h"
#include "output/Transition.h"
#include "output/modTL.h"
#include "protocol/modCommandQueueManager.h"
#include "tests/e2e/KivProcess.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kGreen = 0xFF00FF00, kWhite = 0xFFFFFFFF, kBlack = 0xFF000000, kRed = 0xFFFF0000, kBlue = 0xFF0000FF;
using PixelFn = std::function<uint32_t(int x, int y)>;  // 0xAARRGGBB, premultiplied
using Pixels = std::vector<uint32_t>;
using Lines = std::vector<std::string>;
uint32_t Probe(const PictureSurface& s) { return s.PixelAt(100, 100); }
PixelFn Solid(uint32_t v) { return [v](int, int) { return v; }; }

TEST(OutputArithmetic, RoundingDecimalTextAndFade) {
    const std::pair<double, int> rounds[] = {{2.5, 2}, {3.5, 4}, {-2.5, -2}};
    for (const auto& [v, r] : rounds) EXPECT_EQ(RoundHalfEven(v), r) << v;
    EXPECT_FALSE(RoundHalfEven(2147483648.0) || RoundHalfEven(std::numeric_limits<double>::quiet_NaN()));
    const std::pair<double, const char*> texts[] = {
        {16.0 / 9.0, "1.77777777777778"}, {1.0, "1"}, {1.0 / 65535, "0.0000152590218966964"}, {268435456, "268435456"}};
    for (const auto& [v, text] : texts) EXPECT_EQ(FormatPlainDecimal(v), text);
    const int curve[48] = {0,  0,  1,  2,  3,  4,  5,  7,  8,  10, 12, 15, 17, 20, 22, 25, 28, 31, 34, 37, 40, 43,
                           47, 50, 53, 57, 60, 63, 66, 69, 72, 75, 78, 80, 83, 85, 88, 90, 92, 93, 95, 96, 97, 98,
                           99, 100, 100, 100};
    for (int i = 1; i <= 48; ++i) EXPECT_EQ(FadeStepOpacity(i, 48), curve[i - 1]) << "step " << i;
    const std::pair<int, std::optional<int>> pauses[] = {{25, 20}, {30, 17}, {60, 8}, {-25, 0}, {0, std::nullopt}};
    for (const auto& [rate, ms] : pauses) EXPECT_EQ(FadePauseMs(rate), ms) << rate;
}

TEST(OutputArithmetic, FitGeometry) {
    struct Case { int outW, outH, imgW, imgH; bool ignoreAspect; std::vector<int> expected; bool background; };
    const Case cases[] = {  // render w h, blur w h, offset x y, shadow w h
        {1920, 1080, 1080, 1080, false, {1080, 1080, 2880, 2880, 420, 0, 1128, 1620}, true},
        {1920, 1080, 3840, 1080, false, {1920, 540, 5760, 1620, 0, 270, 2880, 588}, true},
        {1920, 1080, 3840, 2160, false, {1920, 1080, 2880, 1620, 0, 0, 2880, 1620}, false},
        {1920, 1080, 1080, 1080, true, {1920, 1080, 2880, 2880, 420, 0, 2880, 1620}, false},
        {3840, 2160, 1080, 1080, false, {2160, 2160, 5760, 5760, 840, 0, 2208, 3240}, true},
        // Halves to even: 6826.67 * 1.5 = 10240.5 -> 10240, 1920 - 607.5 -> 1312.
        {3840, 2160, 1080, 1920, false, {1215, 2160, 5760, 10240, 1312, 0, 1263, 3240}, true},
        {1001, 1000, 1000, 1000, false, {1000, 1000, 1502, 1502, 0, 0, 1048, 1500}, true},
    };
    for (const auto& c : cases) {
        const auto g = ComputeFrameGeometry(c.outW, c.outH, c.imgW, c.imgH, c.ignoreAspect);
        ASSERT_TRUE(g.has_value());
        EXPECT_EQ(std::vector<int>({g->RenderWidth, g->RenderHeight, g->BlurRenderWidth, g->BlurRenderHeight,
                                    g->OffsetX, g->OffsetY, g->ShadowWidth, g->ShadowHeight}), c.expected)
            << c.imgW << "x" << c.imgH;
        EXPECT_EQ(g->NeedsBackground, c.background);
    }
    // Refused: no pixels; a 2^28-pixel strip fitted by height would be 2.9e11 pixels wide.
    EXPECT_FALSE(ComputeFrameGeometry(1920, 1080, 0, 1080, false) ||
                 ComputeFrameGeometry(1920, 1080, 1 << 28, 1, false));
    // The picture at the pixel limit has a shadow; beyond it the rows alone would be: none, no allocation.
    EXPECT_TRUE(cRectShadow().Create(32768, 8192, 10, 0) && !cRectShadow().Create(1 << 28, 1, 10, 0));
}

struct FakeMonitors : MonitorProvider {
    FakeMonitors(std::vector<MonitorInfo> monitors, bool failQueries) : list(std::move(monitors)), fail(failQueries) {}
    std::optional<std::vector<MonitorHandle>> EnumerateMonitors() override {
        std::vector<MonitorHandle> handles(list.size());
        std::iota(handles.begin(), handles.end(), 100);
        return handles;
    }
    std::optional<MonitorInfo> QueryMonitor(MonitorHandle h) override {
        return fail ? std::nullopt : std::optional(list.at(h - 100));
    }
    std::vector<MonitorInfo> list;
    bool fail;
};

// Records placing and showing, and the pixel at (100, 100) of every frame put on air (with the queue halted).
struct FakeWindow : OutputWindow {
    void Place(int l, int t, int w, int h) override { placed = {l, t, w, h}; }
    void Show() override { ++shows; }
    void Hide() override {}
    void SetTopMost(bool on) override { topMost = on; }
    void Present(const PictureSurface& s) override { probes.push_back(IsQueueTimerEnabled() ? 0 : Probe(s)); }
    std::vector<int> placed;
    Pixels probes;
    int shows = 0, topMost = 0;
};

MonitorInfo Mon(int l, int w, bool primary) { return {l, 0, l + w, 720, primary}; }

TEST(MonitorChoice, InitGfxOutputCases) {
    const std::string unknown = " because of an unknown error.",
                      noInfo = "[SYS]E Internal Error: GetMonitorInfo failed with error " + std::to_string(ENODEV);
    // No monitors: no enumeration at all; slot used 0: the output must not start; lines logged in this order.
    struct Case { std::vector<MonitorInfo> list; int onAir, failQueries, slot; bool onPrimary; Lines logged; };
    const Case cases[] = {
        {{Mon(0, 1280, true)}, 0, false, 1, true,
         {"[GFX]I OnAirMonitor is set to 0, which means 'Select monitor automatically'. As there is only 1 monitor, "
          "monitor 1 will be used for graphics output even though it is the primary monitor.",
          "[GFX]  Initializing GFX output on monitor 1..."}},
        {{Mon(0, 1280, true), Mon(1280, 800, false)}, 0, false, 2, false, {}},
        {{Mon(-800, 800, false), Mon(0, 1280, true)}, 0, false, 1, false, {}},
        {{Mon(0, 800, false), Mon(800, 640, false), Mon(1440, 1280, true)}, -1, false, 3, true,
         {"[GFX]  Initializing GFX output on monitor 3..."}},
        {{Mon(0, 1280, true)}, 2, false, 0, false,
         {"[GFX]F Failed to initialize GFX output on monitor 2, probably because the number of monitors currently is "
          "1. Please set the 'OnAirMonitor' value in kiv.ini to a value equal to or greater than 1. Aborting "
          "operation now."}},
        {{Mon(0, 1280, true), Mon(1280, 800, false)}, 3, false, 0, false,
         {"[GFX]F Failed to initialize GFX output on monitor 3" + unknown}},
        {{}, 0, false, 0, false,
         {"[SYS]E Internal Error: EnumDisplayMonitors failed with error " + std::to_string(ENOSYS),
          "[GFX]F Failed to initialize GFX output on monitor 0" + unknown}},
        {{Mon(0, 1280, true), Mon(1280, 800, false)}, -1, true, 0, true,
         {noInfo, "[GFX]F Fatal Error: Could not determinine monitor constellation."}},
        // No information when placing: an empty output, but no fatal error.
        {{Mon(0, 1280, true), Mon(1280, 800, false)}, 2, true, 2, false,
         {"[GFX]  Initializing GFX output on monitor 2...", noInfo}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(&c - cases));
        FatalError = GfxInitialized = GfxOutputEnabled = OutputOnPrimary = false;
        Settings = SettingsData{};
        Settings.OnAirMonitor = c.onAir;
        Settings.StartupColor = 0x0000FF;
        SetMonitorProvider(c.list.empty() ? nullptr : std::make_shared<FakeMonitors>(c.list, c.failQueries));
        FakeWindow window;
        LogCapture log;
        SetOutputWindow(&window);
        InitGfxOutput();
        SetOutputWindow(nullptr);
        EXPECT_EQ(log.lines.at(0), "[GFX]  Examining Windows monitor configuration...");
        for (size_t i = 0; i < c.logged.size(); ++i)
            EXPECT_GT(log.IndexOf(c.logged[i]), i ? log.IndexOf(c.logged[i - 1]) : 0) << c.logged[i];
        EXPECT_EQ(std::vector<bool>({OutputOnPrimary, FatalError, GfxInitialized}),
                  std::vector<bool>({c.onPrimary, !c.slot, c.slot != 0}));
        EXPECT_EQ(window.shows, c.slot ? 1 : 0);
        if (c.slot == 0) continue;
        const MonitorInfo m = c.failQueries ? MonitorInfo{} : c.list[size_t(c.slot - 1)];
        EXPECT_EQ(Settings.OnAirMonitor, c.slot);
        EXPECT_EQ(window.placed, std::vector<int>({m.Left, m.Top, m.Right - m.Left, m.Bottom - m.Top}));
        EXPECT_TRUE(window.topMost && GfxOutputEnabled);
        EXPECT_EQ(picStillB().Width(), m.Right - m.Left);
        EXPECT_TRUE(m.Right == m.Left || picStillA().PixelAt(0, 0) == kRed);  // the start-up colour
    }
}

class OutputTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { EnsureCoreApplication(); }  // WaitMs runs an event loop
    void SetUp() override {
        fs::create_directories(dir);
        FatalError = GfxInitialized = GfxOutputEnabled = DebugMode = false;
        Settings = SettingsData{};
        Settings.CacheDir = dir.string(), Settings.TransDur = 12, Settings.BackgroundColor = 0xFF0000;  // blue
        Settings.DisplayFrameRate = -1;  // no pauses: nothing here depends on time
        SetOutputWindow(&window), ConnectCommandQueue();  // realtime mode halts and resumes the queue
        Output(320, 180);
    }
    void TearDown() override { SetOutputWindow(nullptr), SetMonitorProvider(nullptr), fs::remove_all(dir); }
    void Output(int w, int h) {
        SetMonitorProvider(std::make_shared<FakeMonitors>(std::vector<MonitorInfo>{{0, 0, w, h, true}}, false));
        Settings.OnAirMonitor = 1;
        InitGfxOutput();
        window.probes.clear();
        log.lines.clear();
    }
    // Writes a PNG of w x h pixels made by `fn` and answers its path.
    std::string Image(const std::string& name, int w, int h, const PixelFn& fn) {
        cImage32 img;
        EXPECT_TRUE(img.InitializeDIB(w, h));
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) reinterpret_cast<uint32_t*>(img.Row(y))[x] = fn(x, y);
        img.Alpha(2);
        EXPECT_TRUE(img.SaveToFile_PNG((dir / name).string(), false));
        return (dir / name).string();
    }
    static uint32_t At(int x, int y) { return picStillA().PixelAt(x, y); }

    const fs::path dir = fs::temp_directory_path() / ("kiv_output_" + std::to_string(getpid()));
    FakeWindow window;
    LogCapture log;
};

TEST_F(OutputTest, FailuresTakeTheErrorPathAndResumeTheQueue) {
    std::ofstream(dir / "notes.png") << std::string(200, 'x');
    const std::string good = Image("square.png", 40, 40, Solid(kGreen));
    fs::create_directories(dir / "held" / "kiv_COMPOSITEIMAGE");  // a folder is never replaced
    struct Case { std::string path, cacheDir; int frameRate; size_t frames; };  // frames put on air before the failure
    const Case cases[] = {
        {(dir / "notes.png").string(), dir.string(), -1, 0}, {(dir / "absent.png").string(), dir.string(), -1, 0},
        {good, (dir / "gone").string(), -1, 0}, {good, (dir / "held").string(), -1, 0},
        {good, dir.string(), 0, 1},  // the first step is drawn, then the pause has no rate
    };
    for (const auto& c : cases) {
        Settings.CacheDir = c.cacheDir;
        Settings.DisplayFrameRate = c.frameRate;
        window.probes.clear();
        EXPECT_EQ(DisplayCachedImage(c.path, "Fade"), 1) << c.path;
        EXPECT_EQ(window.probes.size(), c.frames) << c.path;
        EXPECT_EQ(log.lines.back(), "[GFX]E Error in DisplayCachedImage while rendering an image.");
        EXPECT_TRUE(IsQueueTimerEnabled()) << c.path;
    }
}

TEST_F(OutputTest, FadeCompoundsItsStepsAndEndsOnTheExactFrame) {
    Settings.TransDur = 3;
    Settings.VerboseConsole = 1;
    const std::string white = Image("white.png", 320, 180, Solid(kWhite));
    ASSERT_EQ(DisplayCachedImage(white, "Fade"), 0);
    ASSERT_EQ(window.probes.size(), 13u);  // 12 steps and the final full draw
    double expected = 0;  // from black; each step blends over the last one
    for (int i = 1; i <= 12; ++i) {
        expected += (255 - expected) * (FadeStepOpacity(i, 12) * 255 / 100) / 255.0;
        EXPECT_NEAR(window.probes[size_t(i - 1)] >> 16 & 0xFF, expected, 3.0) << "step " << i;
    }
    EXPECT_EQ(window.probes.back(), kWhite);
    EXPECT_TRUE(log.IndexOf("[GFX]V Performing transition with TransMode=Fade and TransDur=3") >= 0);
    for (const char* mode : {"fade", "FADE", "False", ""}) {  // "Fade" exactly fades
        window.probes.clear();
        EXPECT_TRUE(DisplayCachedImage(white, mode) == 0 && window.probes.size() == 1) << mode;
    }
}

// Every frame is its layers drawn one over another (plain or blurred, tinted and lightened band, the shadow that
// CreateDropShadow makes of the opaque rectangle, also with its blur clamped, the picture made opaque); the composite
// file holds exactly the frame on air; the frame handed to the transition is what loading that file gives (pixels,
// type, alpha class); no pixel depends on how many cores drew it.
TEST_F(OutputTest, FrameIsItsLayersAndTheCompositeFile) {
    const PixelFn photo = [](int x, int y) { return kBlack | uint32_t(x * 7 % 256 << 16 | (x ^ y) % 256 << 8 | y); };
    const PixelFn fading = [](int x, int y) {
        const uint32_t a = uint32_t(x * 255 / 299);
        return a << 24 | a * uint32_t(y % 256) / 255 << 8;
    };
    struct Case { int outW, outH, imgW, imgH; PixelFn fn; int blur, tint, tintPct, lightness, shadow, addTop; };
    const Case cases[] = {
        {320, 180, 400, 300, photo, 1, 0x0020C0, 30, -20, 60, 0}, {320, 180, 90, 440, photo, 0, 0, 0, 0, 100, 0},
        {320, 180, 440, 90, photo, 1, 0xC02000, 50, 30, 0, 0},    {320, 180, 5, 3, photo, 0, 0, 0, 0, 100, 0},
        {320, 180, 7, 30, photo, 1, 0x336699, 40, 10, 70, 0}, {3840, 2160, 640, 480, photo, 1, 0x80, 30, -20, 30, 0},
        {1920, 1080, 300, 900, fading, 1, 0x808080, 30, -20, 30, 0},
        {1920, 1080, 300, 900, fading, 1, 0x808080, 30, -20, 30, 1},  // over the last frame: no drawing of its own
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(&c - cases));
        Output(c.outW, c.outH);
        Settings.UseBlurredBackground = c.blur;
        Settings.BlurredBackgroundColor = c.tint;
        Settings.BlurredBackgroundOpacity = c.tintPct;
        Settings.BlurredBackgroundLightness = c.lightness;
        Settings.ShadowOpacity = c.shadow;
        Settings.AlphaAddTop = c.addTop;
        const std::string path = Image("picture.png", c.imgW, c.imgH, c.fn);
        const size_t bytes = size_t(c.outW) * size_t(c.outH) * 4;
        std::vector<uint8_t> frames[2];
        for (int cores : {0, 1}) {
            std::optional<SerialRows> oneCore;
            if (cores) oneCore.emplace();
            ASSERT_EQ(DisplayCachedImage(path, "False"), 0);
            cImage32 file;
            ASSERT_TRUE(file.LoadPicture_File(CompositeImagePath()));
            const cImage32& frame = *FrameImage();
            ASSERT_EQ(std::vector<int>({file.Width(), file.Height(), frame.Width(), frame.Height()}),
                      std::vector<int>({c.outW, c.outH, c.outW, c.outH}));
            EXPECT_EQ(std::pair(frame.ImageType(), frame.Alpha()), std::pair(file.ImageType(), file.Alpha()));
            EXPECT_EQ(std::memcmp(frame.BitsPointer(), file.BitsPointer(), bytes), 0);
            frames[cores].assign(frame.BitsPointer(), frame.BitsPointer() + bytes);
        }
        if (c.addTop) continue;
        EXPECT_TRUE(frames[0] == frames[1]);
        const auto g = ComputeFrameGeometry(c.outW, c.outH, c.imgW, c.imgH, false);
        PictureSurface full;
        full.SetBackColor(Settings.BackgroundColor);
        full.SetSize(c.outW, c.outH);
        const DeviceContext dc = full.DC();
        cImage32 picture, blur;
        picture.HighQualityInterpolation(true);
        blur.HighQualityInterpolation(true);
        ASSERT_TRUE(blur.LoadPicture_File(path) && picture.LoadPicture_File(path));
        const auto draw = [&](cImage32& layer, int w, int h, int opacity) {
            layer.Render(&dc, c.outW / 2, c.outH / 2, w, h, 0, 0, 0, 0, opacity, true, true, nullptr, -1, 0, 0, true);
        };
        if (c.blur) {
            blur.Resize(*RoundHalfEven(g->RenderWidth / 22.0), *RoundHalfEven(g->RenderHeight / 22.0));
            blur.MakeLighterDarker(float(c.lightness));
            blur.BlendToColor(c.tint, c.tintPct);
            draw(blur, g->BlurRenderWidth, g->BlurRenderHeight, 100);
        }
        picture.RemoveAlpha();
        if (c.shadow) draw(*picture.CreateDropShadow(10, 0), g->ShadowWidth, g->ShadowHeight, c.shadow);
        draw(picture, g->RenderWidth, g->RenderHeight, 100);
        int worst = 0;
        for (int y = 0; y < c.outH; ++y)
            for (int x = 0; x < c.outW; ++x)
                for (int s : {0, 8, 16})
                    worst = std::max(worst, std::abs(int(At(x, y) >> s & 255) - int(full.PixelAt(x, y) >> s & 255)));
        EXPECT_LE(worst, 1);
    }
}

TEST_F(OutputTest, DebugLinesBackgroundPictureAndAlphaAddTop) {
    Settings.UseBlurredBackground = 1;
    Settings.VerboseConsole = 2;
    const std::string square = Image("square.png", 90, 90, Solid(kGreen));
    // The fitted size, also when the picture is stretched over the frame (which then has no band).
    for (const int ignoreAspect : {1, 0}) {
        Settings.IgnoreAspect = ignoreAspect;
        log.lines.clear();
        ASSERT_EQ(DisplayCachedImage(square, "False"), 0);
        Lines debug, expected = {"[GFX]D ImageAspect=1", "[GFX]D RenderWidth=180", "[GFX]D RenderHeight=180"};
        if (!ignoreAspect) expected.insert(expected.end(),
                                           {"[GFX]D BlurRenderWidth=480", "[GFX]D BlurRenderHeight=480"});
        for (const std::string& line : log.lines)
            if (line.rfind("[GFX]D", 0) == 0) debug.push_back(line);
        EXPECT_EQ(debug, expected) << ignoreAspect;
    }
    // The background picture is fitted (320 x 160) at the picture's offset.
    Settings.UseBlurredBackground = 0;
    Settings.BackgroundImage = Image("red.png", 100, 50, Solid(kRed));
    ASSERT_EQ(DisplayCachedImage(square, "False"), 0);
    EXPECT_EQ(Pixels({At(300, 50), At(300, 170), At(30, 50)}), Pixels({kRed, kBlue, kBlue}));
    // AlphaAddTop: the band and the transparent half show the previous frame (kept the right way up); without it
    // the picture is made opaque over a cleared frame.
    Settings.BackgroundImage.clear();
    const std::string full = Image("full.png", 320, 180, [](int, int y) { return y < 90 ? kRed : kGreen; });
    ASSERT_EQ(DisplayCachedImage(full, ""), 0);
    const std::string half = Image("half.png", 90, 90, [](int x, int) { return x < 45 ? 0u : kWhite; });
    Settings.AlphaAddTop = 1;
    ASSERT_EQ(DisplayCachedImage(half, "False"), 0);
    EXPECT_EQ(Pixels({At(10, 10), At(10, 170), At(100, 10), At(100, 170), At(200, 90)}),
              Pixels({kRed, kGreen, kRed, kGreen, kWhite}));
    Settings.AlphaAddTop = 0;
    ASSERT_EQ(DisplayCachedImage(half, "False"), 0);
    EXPECT_EQ(Pixels({At(10, 10), At(100, 10)}), Pixels({kBlue, kBlack}));
}

TEST_F(OutputTest, CutShowsAHiddenOutputAndClearUsesTheCleanupColourAndPicture) {
    GfxOutputEnabled = false;
    ASSERT_EQ(DisplayCachedImage(Image("square.png", 90, 90, Solid(kGreen)), "False"), 0);
    // Pillar-boxed: 180 x 180 in the middle of 320 x 180, plain blue bands; no fade steps, the final draw only.
    EXPECT_EQ(Pixels({At(0, 90), At(69, 90), At(250, 10), At(76, 90), At(243, 173)}),
              Pixels({kBlue, kBlue, kBlue, kGreen, kGreen}));
    EXPECT_EQ(window.probes, Pixels({kGreen}));
    EXPECT_EQ(window.shows, 2);  // at start-up and now
    EXPECT_TRUE(GfxOutputEnabled && IsQueueTimerEnabled());
    EXPECT_EQ(log.lines, Lines({"[QUE]I About to render an image (possibly with a transition), halting "
                                "CommandQueueManager and switching to realtime mode...",
                                "[GFX]  Enabling GFX output...",
                                "[QUE]I Realtime operations completed. Resuming CommandQueueManager..."}));
    char head[30] = {};
    std::ifstream(dir / "kiv_COMPOSITEIMAGE", std::ios::binary).read(head, 30);
    EXPECT_EQ(std::string(head, 2) + std::to_string(head[28]), "BM32");  // bits per pixel
    Settings.CleanupColor = 0x00FF00;
    Settings.CleanupImage = Image("red.png", 100, 100, Solid(kRed));  // fitted to 180 x 180, centred
    ClearGfxOutput();
    EXPECT_EQ(Pixels({At(60, 90), At(75, 5), At(260, 90)}), Pixels({kGreen, kRed, kGreen}));
}

TEST_F(OutputTest, CtrlQQueuesOneQuitPerPress) {
    InitCommandQueue();
    SetQueueTimerEnabled(false);  // nothing may run the quit
    // Q alone, Ctrl+W, Ctrl+Q, Ctrl+Q held down
    for (const auto& [key, ctrl, repeat] : {std::tuple{81, 0, 0}, {87, 1, 0}, {81, 1, 0}, {81, 1, 1}})
        OutputKeyDown(key, ctrl, repeat);
    ASSERT_EQ(QueueLength(), 1);
    const CommandRecord& r = CommandQueue().front();
    EXPECT_EQ(r.prefix + " " + r.command + " " + std::to_string(r.session), "-1 QUIT -1");
}

}  // namespace
