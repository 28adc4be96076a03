// DisplayCachedImage and ClearGfxOutput on a small fake monitor: the pixels
// that reach the output, the composite file, the fade, the log and the queue.
#include <filesystem>
#include <fstream>
#include <optional>

#include <QCoreApplication>
#include <gtest/gtest.h>
#include <unistd.h>

#include "LogCapture.h"
#include "OutputFixture.h"
#include "core/Settings.h"
#include "core/modMain.h"
#include "image/ParallelRows.h"
#include "output/GfxOutput.h"
#include "output/Transition.h"
#include "output/modTL.h"
#include "protocol/modCommandQueueManager.h"

namespace {

constexpr uint32_t kGreen = 0xFF00FF00, kWhite = 0xFFFFFFFF, kBlack = 0xFF000000, kRed = 0xFFFF0000;
constexpr uint32_t kBlue = 0xFF0000FF;
constexpr int kOutW = 320, kOutH = 180;

int Red(uint32_t p) { return int((p >> 16) & 0xFF); }
int Green(uint32_t p) { return int((p >> 8) & 0xFF); }
PixelFn Solid(uint32_t v) {
    return [v](int, int) { return v; };
}

// Records the frames put on air: the pixel at (100, 100) after each.
class RecordingWindow : public OutputWindow {
public:
    void Place(int, int, int, int) override {}
    void Show() override { ++shows; }
    void Hide() override {}
    void SetTopMost(bool) override {}
    void Present(const PictureSurface& s) override { probes.push_back(s.PixelAt(100, 100)); }
    int shows = 0;
    std::vector<uint32_t> probes;
};

class OutputTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "test_output_compose";
        static char* argv[] = {name, nullptr};
        static QCoreApplication app(argc, argv);  // WaitMs runs an event loop
    }
    void SetUp() override {
        dir = std::filesystem::temp_directory_path() / ("kiv_output_" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
        FatalError = GfxInitialized = GfxOutputEnabled = DebugMode = false;
        Settings = SettingsData{};
        Settings.CacheDir = dir.string();
        Settings.OnAirMonitor = 1;
        Settings.TransDur = 12;
        Settings.DisplayFrameRate = -1;  // no pauses: nothing here depends on time
        Settings.BackgroundColor = 0xFF0000;  // blue
        SetOutputWindow(&window);
        SetMonitorProvider(std::make_shared<OneMonitor>(kOutW, kOutH));
        ConnectCommandQueue();  // realtime mode halts and resumes the queue's timer
        InitGfxOutput();
        window.probes.clear();
        log.lines.clear();
    }
    void TearDown() override {
        SetOutputWindow(nullptr);
        SetMonitorProvider(nullptr);
        std::filesystem::remove_all(dir);
    }
    std::string Image(const std::string& name, int w, int h, const PixelFn& fn) {
        return WriteTestImage((dir / name).string(), w, h, fn);
    }
    uint32_t At(int x, int y) const { return picStillA().PixelAt(x, y); }

    std::filesystem::path dir;
    RecordingWindow window;
    LogCapture log;
};

TEST_F(OutputTest, CutShowsExactlyTheCompositeFileAndResumesTheQueue) {
    ASSERT_EQ(DisplayCachedImage(Image("square.png", 90, 90, Solid(kGreen)), "False"), 0);

    EXPECT_EQ(window.probes.size(), 1u);  // no fade steps, the final draw only
    EXPECT_TRUE(IsQueueTimerEnabled());
    // Pillar-boxed: 180 x 180 in the middle of 320 x 180, plain blue bands.
    EXPECT_EQ(At(0, 90), kBlue);
    EXPECT_EQ(At(69, 90), kBlue);
    EXPECT_EQ(At(250, 10), kBlue);
    EXPECT_EQ(At(76, 90), kGreen);
    EXPECT_EQ(At(243, 173), kGreen);

    EXPECT_EQ(CompositeImagePath(), dir.string() + "/kiv_COMPOSITEIMAGE");
    std::ifstream file(CompositeImagePath(), std::ios::binary);
    char head[30] = {};
    file.read(head, 30);
    EXPECT_EQ(std::string(head, 2), "BM");
    EXPECT_EQ(head[28], 32);  // bits per pixel
    cImage32 composite;
    ASSERT_TRUE(composite.LoadPicture_File(CompositeImagePath()));
    ASSERT_EQ(composite.Width(), kOutW);
    int differing = 0;
    for (int y = 0; y < kOutH; ++y)
        for (int x = 0; x < kOutW; ++x) {
            uint32_t v;
            std::memcpy(&v, composite.Row(y) + x * 4, 4);
            differing += (v | 0xFF000000u) != At(x, y);
        }
    EXPECT_EQ(differing, 0);

    EXPECT_EQ(log.lines.front(), "[QUE]I About to render an image (possibly with a transition), halting "
                                 "CommandQueueManager and switching to realtime mode...");
    EXPECT_EQ(log.lines.back(), "[QUE]I Realtime operations completed. Resuming CommandQueueManager...");
}

TEST_F(OutputTest, FailuresTakeTheErrorPathAndResumeTheQueue) {
    std::ofstream(dir / "notes.png") << std::string(200, 'x');
    const std::string good = Image("square.png", 40, 40, Solid(kGreen));
    struct Case {
        std::string path, cacheDir;
        int frameRate;
        size_t frames;  // put on air before the failure
    };
    std::filesystem::create_directories(dir / "held" / "kiv_COMPOSITEIMAGE");  // a folder is never replaced
    const Case cases[] = {
        {(dir / "notes.png").string(), dir.string(), -1, 0},
        {(dir / "absent.png").string(), dir.string(), -1, 0},
        {good, (dir / "gone").string(), -1, 0},
        {good, (dir / "held").string(), -1, 0},
        {good, dir.string(), 0, 1},  // the first step is drawn, then the pause has no rate
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path + " " + c.cacheDir);
        Settings.CacheDir = c.cacheDir;
        Settings.DisplayFrameRate = c.frameRate;
        window.probes.clear();
        log.lines.clear();
        EXPECT_EQ(DisplayCachedImage(c.path, "Fade"), 1);
        EXPECT_EQ(window.probes.size(), c.frames);
        EXPECT_EQ(log.lines.back(), "[GFX]E Error in DisplayCachedImage while rendering an image.");
        EXPECT_TRUE(IsQueueTimerEnabled());
    }
}

TEST_F(OutputTest, FadeCompoundsItsStepsAndEndsOnTheExactFrame) {
    Settings.TransDur = 3;
    Settings.VerboseConsole = 1;
    const std::string white = Image("white.png", kOutW, kOutH, Solid(kWhite));
    ASSERT_EQ(DisplayCachedImage(white, "Fade"), 0);

    ASSERT_EQ(window.probes.size(), 13u);  // 12 steps and the final full draw
    double expected = 0;  // from black; each step blends over the last one
    for (int i = 1; i <= 12; ++i) {
        expected += (255 - expected) * (FadeStepOpacity(i, 12) * 255 / 100) / 255.0;
        EXPECT_NEAR(Red(window.probes[size_t(i - 1)]), expected, 3.0) << "step " << i;
    }
    EXPECT_EQ(window.probes.back(), kWhite);
    EXPECT_TRUE(log.Has("[GFX]V Performing transition with TransMode=Fade and TransDur=3"));
    // Debug mode once switched on (/DEBUG) does not bring back the debug
    // lines of compositing and fading once VerboseConsole is below 2.
    DebugMode = true;
    log.lines.clear();
    ASSERT_EQ(DisplayCachedImage(Image("ramp.png", 40, 80, Solid(kWhite)), "Fade"), 0);
    for (const std::string& line : log.lines) EXPECT_NE(line.rfind("[GFX]D", 0), 0u) << line;
    DebugMode = false;

    for (const char* mode : {"fade", "FADE", "False", ""}) {
        window.probes.clear();
        ASSERT_EQ(DisplayCachedImage(white, mode), 0);
        EXPECT_EQ(window.probes.size(), 1u) << mode;
    }
}

TEST_F(OutputTest, BlurredBandIsSmoothAndTinted) {
    Settings.UseBlurredBackground = 1;
    Settings.BlurredBackgroundColor = 0x0000FF;  // red
    Settings.BlurredBackgroundOpacity = 50;
    Settings.BlurredBackgroundLightness = -20;
    Settings.VerboseConsole = 2;
    // Black at the top to white at the bottom. The blur is an 8 x 8 copy
    // drawn 60 times larger: without interpolation it would step by about 32
    // levels every 60 pixels.
    ASSERT_EQ(DisplayCachedImage(Image("ramp.png", 440, 440, [](int, int y) {
                                     const uint32_t v = uint32_t(y * 255 / 439);
                                     return 0xFF000000u | v << 16 | v << 8 | v;
                                 }), "False"), 0);
    int maxStep = 0, lo = 255, hi = 0;
    for (int x = 0; x < 66; x += 5)
        for (int y = 0; y < kOutH; ++y) {
            const uint32_t p = At(x, y);
            EXPECT_GT(Red(p), Green(p) + 100) << x << "," << y;  // half-way to red
            if (y > 0) maxStep = std::max(maxStep, std::abs(Red(p) - Red(At(x, y - 1))));
            lo = std::min(lo, Green(p)), hi = std::max(hi, Green(p));
        }
    EXPECT_LE(maxStep, 4);
    EXPECT_GT(hi - lo, 20);  // still the picture's light and dark
    EXPECT_GT(log.IndexOf("[GFX]D BlurRenderWidth=480"), log.IndexOf("[GFX]D RenderHeight=180"));
    EXPECT_GT(log.IndexOf("[GFX]D RenderHeight=180"), log.IndexOf("[GFX]D ImageAspect=1"));
}

TEST_F(OutputTest, ShadowSurroundsThePicture) {
    Settings.BackgroundColor = 0xFFFFFF;
    Settings.ShadowOpacity = 100;  // black
    const std::string white = Image("white.png", 90, 90, Solid(kWhite));
    ASSERT_EQ(DisplayCachedImage(white, "False"), 0);
    // Picture at x 70..249; its shadow is 48 wider, centred: x 46..273,
    // darkest next to the picture, and mirrored on both sides.
    const int y = 90;
    EXPECT_EQ(At(45, y), kWhite);
    EXPECT_EQ(At(274, y), kWhite);
    for (int x = 51; x < 70; ++x) EXPECT_LE(Red(At(x, y)), Red(At(x - 1, y)) + 1) << x;
    EXPECT_LT(Red(At(69, y)), Red(At(50, y)) - 60);
    for (int d = 0; d < 24; ++d) EXPECT_NEAR(Red(At(46 + d, y)), Red(At(273 - d, y)), 8) << d;
    EXPECT_EQ(At(160, y), kWhite);

    const int full = Red(At(65, y));
    Settings.ShadowOpacity = 50;
    ASSERT_EQ(DisplayCachedImage(white, "False"), 0);
    EXPECT_GT(Red(At(65, y)), full);
}

TEST_F(OutputTest, FillAndShadowAreDrawnOnlyWhereThePictureLeavesThemVisible) {
    Settings.UseBlurredBackground = 1;
    Settings.BlurredBackgroundColor = 0x808080;
    Settings.BlurredBackgroundOpacity = 30;
    Settings.ShadowOpacity = 60;
    const PixelFn ramp = [](int x, int y) { return 0xFF000000u | uint32_t(x % 256) << 16 | uint32_t(y % 256) << 8; };
    const std::string path = Image("photo.png", 400, 300, ramp);
    ASSERT_EQ(DisplayCachedImage(path, "False"), 0);

    // The same frame drawn in full, layer over layer.
    PictureSurface full;
    full.SetBackColor(Settings.BackgroundColor);
    full.SetSize(kOutW, kOutH);
    const DeviceContext dc = full.DC();
    cImage32 picture, blur;
    picture.HighQualityInterpolation(true), blur.HighQualityInterpolation(true);
    ASSERT_TRUE(blur.LoadPicture_File(path) && picture.LoadPicture_File(path));
    blur.Resize(11, 8);  // 240 x 180 / 22
    blur.BlendToColor(0x808080, 30);
    blur.Render(&dc, 160, 90, 480, 360, 0, 0, 0, 0, 100, true, true, nullptr, -1, 0, 0, true);
    picture.RemoveAlpha();
    picture.CreateDropShadow(10, 0)->Render(&dc, 160, 90, 288, 270, 0, 0, 0, 0, 60, true, true, nullptr, -1, 0, 0, true);
    picture.Render(&dc, 160, 90, 240, 180, 0, 0, 0, 0, 100, true, true, nullptr, -1, 0, 0, true);
    int worst = 0;
    for (int y = 0; y < kOutH; ++y)
        for (int x = 0; x < kOutW; ++x)
            for (int shift : {0, 8, 16})
                worst = std::max(worst, std::abs(int((At(x, y) >> shift) & 0xFF) - int((full.PixelAt(x, y) >> shift) & 0xFF)));
    EXPECT_LE(worst, 1);
}

// The frame handed to the transition is exactly what loading the composite
// file gives (pixels, type, alpha class), and no pixel depends on how many
// cores drew it: blurred band, shadow and transparency at 1080p and 2160p.
TEST_F(OutputTest, FrameIsTheCompositeFileAndTheSameOnOneCore) {
    Settings.UseBlurredBackground = 1;
    Settings.BlurredBackgroundColor = 0x808080;
    Settings.BlurredBackgroundOpacity = 30;
    Settings.BlurredBackgroundLightness = -20;
    Settings.ShadowOpacity = 30;
    const std::string photo = Image("photo.png", 640, 480, [](int x, int y) {
        return 0xFF000000u | uint32_t(x * 7 % 256) << 16 | uint32_t((x ^ y) % 256) << 8 | uint32_t(y * 3 % 256);
    });
    const std::string fading = Image("fading.png", 300, 900, [](int x, int y) {
        const uint32_t a = uint32_t(x * 255 / 299);
        return a << 24 | (a * uint32_t(y % 256) / 255) << 8;
    });
    struct Case {
        int w, h;
        std::string path;
        int alphaAddTop;
    };
    for (const Case& c : {Case{1920, 1080, photo, 0}, Case{1920, 1080, fading, 0}, Case{1920, 1080, fading, 1},
                          Case{3840, 2160, photo, 0}}) {
        SCOPED_TRACE(c.path + " at " + std::to_string(c.h) + " AlphaAddTop " + std::to_string(c.alphaAddTop));
        SetMonitorProvider(std::make_shared<OneMonitor>(c.w, c.h));
        InitGfxOutput();
        Settings.AlphaAddTop = c.alphaAddTop;
        const size_t bytes = size_t(c.w) * size_t(c.h) * 4;
        std::vector<uint8_t> frames[2];
        for (bool allCores : {true, false}) {
            std::optional<SerialRows> oneCore;
            if (!allCores) oneCore.emplace();
            ASSERT_EQ(DisplayCachedImage(c.path, "False"), 0);
            cImage32 file;
            ASSERT_TRUE(file.LoadPicture_File(CompositeImagePath()));
            const cImage32& frame = *FrameImage();
            ASSERT_EQ(frame.Width(), c.w);
            ASSERT_EQ(frame.Height(), c.h);
            EXPECT_EQ(frame.ImageType(), file.ImageType());
            EXPECT_EQ(frame.Alpha(), file.Alpha());
            EXPECT_EQ(std::memcmp(frame.BitsPointer(), file.BitsPointer(), bytes), 0);
            frames[allCores ? 0 : 1].assign(frame.BitsPointer(), frame.BitsPointer() + bytes);
        }
        // Over the last frame, the second draw has another background.
        if (c.alphaAddTop == 0) {
            EXPECT_TRUE(frames[0] == frames[1]);
        }
    }
}

TEST_F(OutputTest, BackgroundPictureAndAlphaAddTop) {
    // The background picture is fitted (320 x 160) at the picture's offset.
    Settings.BackgroundImage = Image("red.png", 100, 50, Solid(kRed));
    ASSERT_EQ(DisplayCachedImage(Image("square.png", 90, 90, Solid(kGreen)), "False"), 0);
    EXPECT_EQ(At(300, 50), kRed);
    EXPECT_EQ(At(300, 170), kBlue);
    EXPECT_EQ(At(30, 50), kBlue);

    // AlphaAddTop: the transparent half shows the previous frame...
    ASSERT_EQ(DisplayCachedImage(Image("full.png", kOutW, kOutH, Solid(kRed)), "False"), 0);
    Settings.AlphaAddTop = 1;
    const std::string half = Image("half.png", kOutW, kOutH, [](int x, int) { return x < 160 ? 0u : kGreen; });
    ASSERT_EQ(DisplayCachedImage(half, "False"), 0);
    EXPECT_EQ(At(40, 90), kRed);
    EXPECT_EQ(At(280, 90), kGreen);
    // ...without it the picture is made opaque over a cleared frame.
    Settings.AlphaAddTop = 0;
    ASSERT_EQ(DisplayCachedImage(half, "False"), 0);
    EXPECT_EQ(At(40, 90), kBlack);
}

TEST_F(OutputTest, HiddenOutputIsShownAndClearUsesTheCleanupColourAndPicture) {
    GfxOutputEnabled = false;
    ASSERT_EQ(DisplayCachedImage(Image("white.png", 32, 18, Solid(kWhite)), "False"), 0);
    EXPECT_EQ(window.shows, 2);  // at start-up and now
    EXPECT_TRUE(GfxOutputEnabled);
    EXPECT_TRUE(log.Has("[GFX]  Enabling GFX output..."));

    Settings.CleanupColor = 0x00FF00;
    Settings.CleanupImage = Image("red.png", 100, 100, Solid(kRed));  // fitted to 180 x 180, centred
    ClearGfxOutput();
    EXPECT_EQ(At(60, 90), kGreen);
    EXPECT_EQ(At(75, 5), kRed);
    EXPECT_EQ(At(260, 90), kGreen);
}

TEST_F(OutputTest, CtrlQQueuesOneQuitPerPress) {
    InitCommandQueue();
    SetQueueTimerEnabled(false);  // nothing may run the quit
    OutputKeyDown(81, false, false);  // Q alone
    OutputKeyDown(87, true, false);   // Ctrl+W
    OutputKeyDown(81, true, false);
    OutputKeyDown(81, true, true);  // the key held down: repeats are no new presses
    ASSERT_EQ(QueueLength(), 1);
    EXPECT_EQ(CommandQueue().front().prefix, "-1");
    EXPECT_EQ(CommandQueue().front().command, "QUIT");
    EXPECT_EQ(CommandQueue().front().session, -1);
    InitCommandQueue();
    SetQueueTimerEnabled(false);
}

}  // namespace
