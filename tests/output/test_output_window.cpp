// The output window on Qt's offscreen platform with two screens: placement
// on the chosen screen, exactly the surface's pixels, Ctrl+Q.
#include <filesystem>
#include <fstream>

#include <QApplication>
#include <QKeyEvent>
#include <QScreen>
#include <gtest/gtest.h>

#include "OutputFixture.h"
#include "output/frmStillA.h"

namespace {

class OutputWindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // Two screens side by side, the first one primary.
        static const std::string config = [] {
            const auto path = std::filesystem::temp_directory_path() /
                              ("kiv_screens_" + std::to_string(::getpid()) + ".json");
            std::ofstream(path) << R"({"screens":[{"name":"MON-A","x":0,"y":0,"width":640,"height":360},)"
                                   R"({"name":"MON-B","x":640,"y":0,"width":480,"height":270}]})";
            return path.string();
        }();
        qputenv("QT_QPA_PLATFORM", QByteArray("offscreen:configfile=") + config.c_str());
        static int argc = 1;
        static char name[] = "test_output_window";
        static char* argv[] = {name, nullptr};
        static QApplication app(argc, argv);
        std::filesystem::remove(config);
        InstallGfxOutputWindows();
    }

    void SetUp() override {
        dir = std::filesystem::temp_directory_path() / ("kiv_window_" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
        FatalError = GfxInitialized = GfxOutputEnabled = OutputOnPrimary = false;
        Settings = SettingsData{};
        Settings.CacheDir = dir.string();
        Settings.DisplayFrameRate = -1;
        Settings.OnAirMonitor = 0;
        Settings.StartupColor = 0x00FFFF;  // yellow
        InitGfxOutput();
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    // The window's own pixels as the platform has them, compared with the
    // surface: the number of pixels that differ.
    static int DifferingPixels() {
        const QImage shot = OutputWindowWidget()->grab().toImage().convertToFormat(QImage::Format_RGB32);
        const PictureSurface& a = picStillA();
        if (shot.width() != a.Width() || shot.height() != a.Height()) return -1;
        int differing = 0;
        for (int y = 0; y < a.Height(); ++y)
            for (int x = 0; x < a.Width(); ++x)
                if ((shot.pixel(x, y) | 0xFF000000u) != (a.PixelAt(x, y) | 0xFF000000u)) ++differing;
        return differing;
    }

    std::filesystem::path dir;
    LogCapture log;
};

TEST_F(OutputWindowTest, CoversTheSecondScreenWithoutFrameOrCursor) {
    ASSERT_TRUE(GfxInitialized);
    EXPECT_EQ(Settings.OnAirMonitor, 2);
    EXPECT_FALSE(OutputOnPrimary);
    frmStillA* w = OutputWindowWidget();
    ASSERT_NE(w, nullptr);
    EXPECT_TRUE(w->isVisible());
    EXPECT_EQ(w->geometry(), QRect(640, 0, 480, 270));
    EXPECT_TRUE(w->windowFlags() & Qt::FramelessWindowHint);
    EXPECT_TRUE(w->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(w->cursor().shape(), Qt::BlankCursor);
    EXPECT_EQ(DifferingPixels(), 0);
    EXPECT_EQ(QColor(w->grab().toImage().pixel(10, 10)), QColor(255, 255, 0));
}

TEST_F(OutputWindowTest, ShowsExactlyTheComposedFrame) {
    Settings.UseBlurredBackground = 1;
    Settings.ShadowOpacity = 70;
    Settings.BlurredBackgroundColor = 0x800000;
    Settings.BlurredBackgroundOpacity = 40;
    const std::string path = WriteTestImage((dir / "img.png").string(), 200, 300, [](int x, int y) {
        return 0xFF000000u | uint32_t(x) << 16 | uint32_t(y % 256) << 8 | 0x40;
    });
    ASSERT_FALSE(path.empty());
    ASSERT_EQ(DisplayCachedImage(path, "Fade"), 0);
    EXPECT_EQ(DifferingPixels(), 0);

    ClearGfxOutput();
    EXPECT_EQ(DifferingPixels(), 0);
}

TEST_F(OutputWindowTest, HideAndShowFollowTheOnAirLogic) {
    HideGfxOutput();
    EXPECT_FALSE(OutputWindowWidget()->isVisible());
    ShowGfxOutput();
    EXPECT_TRUE(OutputWindowWidget()->isVisible());
    SetGfxOutputTopMost(false);
    EXPECT_FALSE(OutputWindowWidget()->windowFlags() & Qt::WindowStaysOnTopHint);
    SetGfxOutputTopMost(true);
    EXPECT_TRUE(OutputWindowWidget()->windowFlags() & Qt::WindowStaysOnTopHint);
}

TEST_F(OutputWindowTest, CtrlQWithAnyOtherModifiersQueuesQuit) {
    struct Press {
        Qt::KeyboardModifiers modifiers;
        int key;
        bool autoRepeat;
        int queued;
    };
    const Press presses[] = {
        {Qt::NoModifier, Qt::Key_Q, false, 0},
        {Qt::ControlModifier, Qt::Key_W, false, 0},
        {Qt::ControlModifier, Qt::Key_Q, false, 1},
        {Qt::ControlModifier, Qt::Key_Q, true, 0},
        {Qt::ControlModifier | Qt::ShiftModifier | Qt::AltModifier, Qt::Key_Q, false, 1},
    };
    for (const auto& p : presses) {
        while (QueueLength() > 0) InitCommandQueue();
        SetQueueTimerEnabled(false);  // nothing may run the quit
        QKeyEvent event(QEvent::KeyPress, p.key, p.modifiers, QString(), p.autoRepeat);
        QCoreApplication::sendEvent(OutputWindowWidget(), &event);
        ASSERT_EQ(QueueLength(), p.queued);
        if (p.queued) {
            EXPECT_EQ(CommandQueue().front().command, "QUIT");
            EXPECT_EQ(CommandQueue().front().session, -1);
        }
    }
    InitCommandQueue();
    SetQueueTimerEnabled(false);
}

}  // namespace
