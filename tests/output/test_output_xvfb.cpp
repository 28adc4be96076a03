// The output window under a private X server: it covers the screen without frame or cursor, the screen as the server
// holds it equals the composite file and the fade steps, and Ctrl+Q typed with xdotool queues one quit per press.
#include <csignal>
#include <cstring>
#include <filesystem>

#include <QApplication>
#include <QPixmap>
#include <QScreen>
#include <gtest/gtest.h>

#include "core/Settings.h"
#include "core/modMain.h"
#include "output/frmStillA.h"
#include "output/modTL.h"
#include "protocol/modCommandQueueManager.h"

namespace {

constexpr int kW = 640, kH = 360;
int gServer = 0, gDisplay = -1;

class XvfbOutput : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // Xvfb picks a free display and writes its number once it takes connections.
        FILE* p = popen("Xvfb -displayfd 3 -screen 0 640x360x24 -nolisten tcp 3>&1 >/dev/null 2>&1 & echo $!", "r");
        if (!p || std::fscanf(p, "%d %d", &gServer, &gDisplay) != 2) gDisplay = -1;
        if (p) pclose(p);
        if (gDisplay < 0) return;
        qputenv("DISPLAY", ":" + QByteArray::number(gDisplay));  // for xdotool too
        qputenv("QT_QPA_PLATFORM", "xcb");
        static int argc = 1;
        static char name[] = "test_output_xvfb", *argv[] = {name, nullptr};
        app = std::make_unique<QApplication>(argc, argv);
        InstallGfxOutputWindows();
    }
    static void TearDownTestSuite() {
        app.reset();  // while its X server is still there
        if (gServer > 0) kill(gServer, SIGTERM);
    }
    void SetUp() override {
        ASSERT_GE(gDisplay, 0) << "Xvfb did not start";
        std::filesystem::create_directories(dir);
        FatalError = GfxInitialized = GfxOutputEnabled = OutputOnPrimary = false;
        Settings = SettingsData{};
        Settings.CacheDir = dir.string();
        Settings.DisplayFrameRate = -1;
        Settings.TransDur = 3;
        Settings.UseBlurredBackground = 1;
        Settings.BlurredBackgroundColor = 0x602000;
        Settings.BlurredBackgroundOpacity = 30;
        Settings.ShadowOpacity = 80;
        InitGfxOutput();
        ASSERT_TRUE(GfxInitialized);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    // How many pixels of the screen, as the X server holds it, differ in colour from rows `row(y)` of B, G, R, A.
    static int PixelsDifferingOnScreen(const std::function<const uint8_t*(int y)>& row) {
        const QImage screen =
            QGuiApplication::primaryScreen()->grabWindow(0).toImage().convertToFormat(QImage::Format_RGB32);
        int diff = screen.size() == QSize(kW, kH) ? 0 : -1;
        for (int y = 0; y < kH && diff >= 0; ++y)
            for (int x = 0; x < kW * 4; x += 4) diff += std::memcmp(screen.constScanLine(y) + x, row(y) + x, 3) != 0;
        return diff;
    }
    static inline std::unique_ptr<QApplication> app;
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("kiv_xvfb_" + std::to_string(getpid()));
};

// Fade steps after the first are blended straight into the window's pixels: the screen shows what blending on
// the surface would have shown, while the surface waits for the final full draw.
TEST_F(XvfbOutput, ScreenShowsTheCompositeFileAndTheFadeSteps) {
    const frmStillA* w = OutputWindowWidget();
    EXPECT_TRUE(OutputOnPrimary && w->geometry() == QRect(0, 0, kW, kH));
    EXPECT_TRUE(w->windowFlags() & Qt::FramelessWindowHint && w->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(w->cursor().shape(), Qt::BlankCursor);
    QImage picture(300, 400, QImage::Format_RGB32);
    for (int y = 0; y < 400; ++y)
        for (int x = 0; x < 300; ++x) picture.setPixel(x, y, qRgb(x * 255 / 299, y * 255 / 399, 0x30));
    ASSERT_TRUE(picture.save(QString::fromStdString((dir / "img.png").string())));
    ASSERT_EQ(DisplayCachedImage((dir / "img.png").string(), "Fade"), 0);
    cImage32 frame;
    ASSERT_TRUE(frame.LoadPicture_File(CompositeImagePath()) && frame.Width() == kW);
    EXPECT_EQ(PixelsDifferingOnScreen([&](int y) { return frame.Row(y); }), 0);
    EXPECT_NE(std::memcmp(frame.Row(180) + 20 * 4, frame.Row(180) + 320 * 4, 3), 0);  // the band and the picture differ

    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x)
            reinterpret_cast<uint32_t*>(frame.Row(y))[x] = 0xFF000000u | uint32_t(x * 255 / kW << 16 | y << 8 | (x ^ y));
    PictureSurface& a = picStillA();
    std::vector<uint8_t> expected(a.Bits(), a.Bits() + size_t(a.Stride()) * kH);
    const DeviceContext mirror = DeviceContext::TopDown(expected.data(), kW, kH, a.Stride());
    for (int opacity : {30, 50, 70}) {
        DrawFadeStep(frame, opacity, opacity == 30);
        ASSERT_TRUE(frame.Render(&mirror, 0, 0, kW, kH, 0, 0, 0, 0, opacity, true, true));
        EXPECT_EQ(std::memcmp(a.Bits(), expected.data(), expected.size()) == 0, opacity == 30) << opacity;
    }
    EXPECT_EQ(PixelsDifferingOnScreen([&](int y) { return mirror.Row(y); }), 0);
}

TEST_F(XvfbOutput, CtrlQTypedOnTheOutputQueuesOneQuitPerPress) {
    InitCommandQueue();
    SetQueueTimerEnabled(false);  // the quit must stay queued, not run
    ASSERT_EQ(std::system("xdotool search --sync --onlyvisible --name '^Kiv Output' windowfocus --sync "
                          "key --clearmodifiers q ctrl+q ctrl+shift+q"), 0);
    // A bounded wait for the key events, then a little longer so that a wrong extra command would have arrived too.
    for (int i = 0; i < 250 && QueueLength() < 2; ++i) WaitMs(20);
    WaitMs(200);
    ASSERT_EQ(QueueLength(), 2);
    for (const CommandRecord& r : CommandQueue())
        EXPECT_EQ(r.prefix + " " + r.command + " " + std::to_string(r.session), "-1 QUIT -1");
}

}  // namespace
