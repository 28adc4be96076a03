// DisplayCachedImage and ClearGfxOutput on a small fake monitor: the pixels
// that reach the output, the composite file, the fade, the log and the queue.
#include <cmath>
#include <fstream>

#include "OutputFixture.h"
#include "output/Transition.h"

namespace {

constexpr uint32_t kGreen = 0xFF00FF00, kWhite = 0xFFFFFFFF, kBlack = 0xFF000000, kRed = 0xFFFF0000;
constexpr uint32_t kBlueColorRef = 0xFF0000;  // 0x00BBGGRR
constexpr uint32_t kBlue = 0xFF0000FF;

PixelFn Solid(uint32_t v) {
    return [v](int, int) { return v; };
}

// The finished frame as read back from the composite file equals what is on
// the output, pixel for pixel.
void ExpectOutputEqualsCompositeFile() {
    cImage32 composite;
    ASSERT_TRUE(composite.LoadPicture_File(CompositeImagePath()));
    const PictureSurface& a = picStillA();
    ASSERT_EQ(composite.Width(), a.Width());
    ASSERT_EQ(composite.Height(), a.Height());
    int mismatches = 0;
    for (int y = 0; y < a.Height(); ++y)
        for (int x = 0; x < a.Width(); ++x) {
            const uint8_t* p = composite.Row(y) + x * 4;
            const uint32_t v = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | 0xFF000000u;
            if ((a.PixelAt(x, y) | 0xFF000000u) != v) ++mismatches;
        }
    EXPECT_EQ(mismatches, 0);
}

TEST_F(OutputTest, CutPutsTheFinishedFrameOnAirAndResumesTheQueue) {
    Settings.BackgroundColor = kBlueColorRef;
    const std::string path = Image("square.png", 90, 90, Solid(kGreen));

    EXPECT_EQ(DisplayCachedImage(path, "False"), 0);

    EXPECT_EQ(window.presents, 1);  // a cut: the final draw only
    EXPECT_TRUE(IsQueueTimerEnabled());
    ExpectOutputEqualsCompositeFile();
    // Pillar-boxed: 180 x 180 in the middle of 320 x 180, plain blue bands.
    const PictureSurface& a = picStillA();
    EXPECT_EQ(a.PixelAt(0, 90), kBlue);
    EXPECT_EQ(a.PixelAt(69, 90), kBlue);
    EXPECT_EQ(a.PixelAt(250, 0), kBlue);
    EXPECT_EQ(a.PixelAt(76, 90), kGreen);
    EXPECT_EQ(a.PixelAt(160, 6), kGreen);
    EXPECT_EQ(a.PixelAt(243, 173), kGreen);

    const int begin = log.IndexOf(
        "[QUE]I About to render an image (possibly with a transition), halting CommandQueueManager and switching "
        "to realtime mode...");
    const int end = log.IndexOf("[QUE]I Realtime operations completed. Resuming CommandQueueManager...");
    ASSERT_GE(begin, 0);
    EXPECT_GT(end, begin);
    EXPECT_EQ(end, int(log.lines.size()) - 1);
}

TEST_F(OutputTest, CompositeFileIsA32BitBitmapInTheCacheDirectory) {
    const std::string path = Image("square.png", 40, 40, Solid(kGreen));
    ASSERT_EQ(DisplayCachedImage(path, "False"), 0);
    EXPECT_EQ(CompositeImagePath(), dir.string() + "/kiv_COMPOSITEIMAGE");
    std::ifstream in(CompositeImagePath(), std::ios::binary);
    std::vector<unsigned char> head(30);
    ASSERT_TRUE(in.read(reinterpret_cast<char*>(head.data()), 30));
    EXPECT_EQ(head[0], 'B');
    EXPECT_EQ(head[1], 'M');
    EXPECT_EQ(head[28], 32);  // bits per pixel
}

TEST_F(OutputTest, FailuresTakeTheErrorPathAndResumeTheQueue) {
    std::ofstream(dir / "notes.png") << std::string(200, 'x');
    const std::string good = Image("square.png", 40, 40, Solid(kGreen));
    struct Case {
        const char* name;
        std::string path;
        std::function<void()> arrange;
        int presents;
    };
    const Case cases[] = {
        {"not an image", (dir / "notes.png").string(), [] {}, 0},
        {"missing file", (dir / "absent.png").string(), [] {}, 0},
        {"missing cache directory", good, [this] { Settings.CacheDir = (dir / "gone").string(); }, 0},
        // The first fade step is on air before the pause has no rate to go by.
        {"frame rate 0", good, [] { Settings.DisplayFrameRate = 0; }, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Settings.CacheDir = dir.string();
        Settings.DisplayFrameRate = -1;
        c.arrange();
        window.presents = 0;
        log.lines.clear();
        EXPECT_EQ(DisplayCachedImage(c.path, "Fade"), 1);
        EXPECT_EQ(window.presents, c.presents);
        EXPECT_TRUE(log.Has("[GFX]E Error in DisplayCachedImage while rendering an image."));
        EXPECT_FALSE(log.Has("[QUE]I Realtime operations completed. Resuming CommandQueueManager..."));
        EXPECT_TRUE(IsQueueTimerEnabled());
    }
}

TEST_F(OutputTest, FadeCompoundsItsStepsAndEndsOnTheExactFrame) {
    Settings.TransDur = 3;  // 12 steps
    Settings.VerboseConsole = 1;
    const std::string path = Image("white.png", 320, 180, Solid(kWhite));
    window.probeX = 100, window.probeY = 100;

    ASSERT_EQ(DisplayCachedImage(path, "Fade"), 0);

    ASSERT_EQ(window.presents, 13);  // 12 steps and the final full draw
    ASSERT_EQ(window.probes.size(), 13u);
    // Each step blends over the previous step's result.
    double expected = 0;
    for (int i = 1; i <= 12; ++i) {
        const double a = (FadeStepOpacity(i, 12) * 255 / 100) / 255.0;
        expected = expected + (255 - expected) * a;
        EXPECT_NEAR(Red(window.probes[size_t(i - 1)]), expected, 3.0) << "step " << i;
    }
    EXPECT_EQ(window.probes.back(), kWhite);
    ExpectOutputEqualsCompositeFile();
    EXPECT_TRUE(log.Has("[GFX]V Performing transition with TransMode=Fade and TransDur=3"));
    EXPECT_TRUE(log.Has("[GFX]V Compositing output image in framebuffer using high-quality bicubic interpolation"));
}

TEST_F(OutputTest, OnlyTheExactWordFadeFades) {
    const std::string path = Image("white.png", 32, 18, Solid(kWhite));
    for (const char* mode : {"fade", "FADE", "False", "", "Cut"}) {
        SCOPED_TRACE(mode);
        window.presents = 0;
        ASSERT_EQ(DisplayCachedImage(path, mode), 0);
        EXPECT_EQ(window.presents, 1);
    }
    Settings.TransDur = 0;
    window.presents = 0;
    ASSERT_EQ(DisplayCachedImage(path, "Fade"), 0);
    EXPECT_EQ(window.presents, 1);
}

TEST_F(OutputTest, BlurredBandIsSmoothAndTinted) {
    Settings.UseBlurredBackground = 1;
    Settings.BlurredBackgroundColor = 0x0000FF;  // red
    Settings.BlurredBackgroundOpacity = 50;
    Settings.BlurredBackgroundLightness = -20;
    // Black at the top to white at the bottom: the blurred copy is shrunk to
    // 8 x 8 pixels, so an enlargement without interpolation would show steps
    // of about 32 levels every 60 pixels.
    const std::string path = Image("ramp.png", 440, 440, [](int, int y) {
        const uint32_t v = uint32_t(y * 255 / 439);
        return 0xFF000000u | v << 16 | v << 8 | v;
    });
    ASSERT_EQ(DisplayCachedImage(path, "False"), 0);

    const PictureSurface& a = picStillA();
    int maxStep = 0, lo = 255, hi = 0;
    for (int x = 0; x < 66; x += 5) {
        for (int y = 0; y < kOutH; ++y) {
            const uint32_t p = a.PixelAt(x, y);
            EXPECT_GT(Red(p), Green(p) + 100) << x << "," << y;  // half-way to red
            EXPECT_EQ(Green(p), Blue(p));
            if (y > 0) maxStep = std::max(maxStep, std::abs(Red(p) - Red(a.PixelAt(x, y - 1))));
            lo = std::min(lo, Green(p)), hi = std::max(hi, Green(p));
        }
    }
    EXPECT_LE(maxStep, 4);
    EXPECT_GT(hi - lo, 20);  // it still carries the picture's light and dark
}

TEST_F(OutputTest, ShadowSurroundsThePictureSymmetrically) {
    Settings.BackgroundColor = 0xFFFFFF;
    Settings.ShadowColor = 0x000000;
    Settings.ShadowOpacity = 100;
    const std::string path = Image("white.png", 90, 90, Solid(kWhite));
    ASSERT_EQ(DisplayCachedImage(path, "False"), 0);

    // 180 x 180 picture at x 70..249; its shadow is 180 + 48 wide, centred:
    // x 46..273, darkest next to the picture.
    const PictureSurface& a = picStillA();
    const int y = 90;
    EXPECT_EQ(a.PixelAt(45, y), kWhite);
    EXPECT_EQ(a.PixelAt(274, y), kWhite);
    EXPECT_LT(Red(a.PixelAt(50, y)), 255);
    EXPECT_LT(Red(a.PixelAt(269, y)), 255);
    for (int x = 51; x < 70; ++x) EXPECT_LE(Red(a.PixelAt(x, y)), Red(a.PixelAt(x - 1, y)) + 1) << x;
    EXPECT_LT(Red(a.PixelAt(69, y)), Red(a.PixelAt(50, y)) - 60);
    // Mirror images of each other, give or take the resampler's half-pixel.
    for (int d = 0; d < 24; ++d) EXPECT_NEAR(Red(a.PixelAt(46 + d, y)), Red(a.PixelAt(273 - d, y)), 8) << d;
    EXPECT_EQ(a.PixelAt(160, y), kWhite);  // the picture covers its shadow

    // At half opacity the shadow is lighter.
    const int full = Red(a.PixelAt(65, y));
    Settings.ShadowOpacity = 50;
    ASSERT_EQ(DisplayCachedImage(path, "False"), 0);
    EXPECT_GT(Red(picStillA().PixelAt(65, y)), full);
}

TEST_F(OutputTest, ExactAspectAndIgnoreAspectNeedNoBackground) {
    Settings.BackgroundColor = kBlueColorRef;
    Settings.UseBlurredBackground = 1;
    const std::string exact = Image("exact.png", 160, 90, Solid(kGreen));
    ASSERT_EQ(DisplayCachedImage(exact, "False"), 0);
    for (auto [x, y] : {std::pair{0, 0}, {319, 0}, {0, 179}, {319, 179}, {160, 90}})
        EXPECT_EQ(picStillA().PixelAt(x, y), kGreen) << x << "," << y;

    Settings.IgnoreAspect = 1;
    const std::string square = Image("square.png", 50, 50, Solid(kRed));
    ASSERT_EQ(DisplayCachedImage(square, "False"), 0);
    for (auto [x, y] : {std::pair{0, 0}, {319, 90}, {2, 177}})
        EXPECT_EQ(picStillA().PixelAt(x, y), kRed) << x << "," << y;
}

TEST_F(OutputTest, BackgroundPictureIsFittedAtTheImageOffset) {
    Settings.BackgroundColor = kBlueColorRef;
    Settings.BackgroundImage = Image("red.png", 100, 50, Solid(kRed));
    const std::string path = Image("square.png", 90, 90, Solid(kGreen));
    ASSERT_EQ(DisplayCachedImage(path, "False"), 0);
    // Fitted to 320 x 160 with its top-left corner at (70, 0).
    const PictureSurface& a = picStillA();
    EXPECT_EQ(a.PixelAt(300, 50), kRed);
    EXPECT_EQ(a.PixelAt(300, 170), kBlue);
    EXPECT_EQ(a.PixelAt(30, 50), kBlue);

    Settings.BackgroundImage = (dir / "absent.png").string();
    ASSERT_EQ(DisplayCachedImage(path, "False"), 0);
    EXPECT_EQ(picStillA().PixelAt(300, 50), kBlue);
}

TEST_F(OutputTest, AlphaAddTopDrawsOverThePreviousFrame) {
    const std::string red = Image("red.png", 320, 180, Solid(kRed));
    ASSERT_EQ(DisplayCachedImage(red, "False"), 0);
    Settings.AlphaAddTop = 1;
    // Left half transparent, right half opaque green.
    const std::string half = Image("half.png", 320, 180, [](int x, int) { return x < 160 ? 0u : kGreen; });
    ASSERT_EQ(DisplayCachedImage(half, "False"), 0);
    EXPECT_EQ(picStillA().PixelAt(40, 90), kRed);
    EXPECT_EQ(picStillA().PixelAt(280, 90), kGreen);

    // Without it every frame starts from the background: the transparent
    // half shows black where the alpha was removed.
    Settings.AlphaAddTop = 0;
    ASSERT_EQ(DisplayCachedImage(half, "False"), 0);
    EXPECT_EQ(picStillA().PixelAt(40, 90), kBlack);
}

TEST_F(OutputTest, DebugLinesNameTheGeometry) {
    Settings.VerboseConsole = 2;
    Settings.UseBlurredBackground = 1;
    const std::string path = Image("square.png", 90, 90, Solid(kGreen));
    ASSERT_EQ(DisplayCachedImage(path, "False"), 0);
    const std::vector<std::string> expected = {"[GFX]D ImageAspect=1", "[GFX]D RenderWidth=180",
                                               "[GFX]D RenderHeight=180", "[GFX]D BlurRenderWidth=480",
                                               "[GFX]D BlurRenderHeight=480"};
    int previous = -1;
    for (const auto& line : expected) {
        const int at = log.IndexOf(line);
        EXPECT_GT(at, previous) << line;
        previous = at;
    }
}

TEST_F(OutputTest, HiddenOutputIsShownBeforeTheTransition) {
    GfxOutputEnabled = false;
    const int shows = window.shows;
    const std::string path = Image("white.png", 32, 18, Solid(kWhite));
    ASSERT_EQ(DisplayCachedImage(path, "False"), 0);
    EXPECT_EQ(window.shows, shows + 1);
    EXPECT_TRUE(GfxOutputEnabled);
    EXPECT_TRUE(log.Has("[GFX]  Enabling GFX output..."));
}

TEST_F(OutputTest, ClearShowsTheCleanupColourAndPicture) {
    Settings.CleanupColor = 0x00FF00;
    ClearGfxOutput();
    EXPECT_EQ(window.presents, 1);
    EXPECT_EQ(picStillA().PixelAt(0, 0), kGreen);
    EXPECT_EQ(picStillA().PixelAt(319, 179), kGreen);

    // A 100 x 100 picture fitted to 180 x 180, centred.
    Settings.CleanupImage = Image("red.png", 100, 100, Solid(kRed));
    ClearGfxOutput();
    EXPECT_EQ(picStillA().PixelAt(160, 90), kRed);
    EXPECT_EQ(picStillA().PixelAt(75, 5), kRed);
    EXPECT_EQ(picStillA().PixelAt(60, 90), kGreen);
    EXPECT_EQ(picStillA().PixelAt(260, 90), kGreen);
}

TEST_F(OutputTest, CtrlQQueuesOneQuitPerPress) {
    InitCommandQueue();
    OutputKeyDown(81, false, false);  // Q alone
    OutputKeyDown(87, true, false);   // Ctrl+W
    EXPECT_EQ(QueueLength(), 0);
    OutputKeyDown(81, true, false);
    OutputKeyDown(81, true, true);  // the key held down: repeats are not presses
    ASSERT_EQ(QueueLength(), 1);
    const CommandRecord& r = CommandQueue().front();
    EXPECT_EQ(r.prefix, "-1");
    EXPECT_EQ(r.command, "QUIT");
    EXPECT_EQ(r.session, -1);
    // Nothing may execute the quit behind the test's back.
    InitCommandQueue();
    SetQueueTimerEnabled(false);
}

}  // namespace
