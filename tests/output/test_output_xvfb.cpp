// The output window under a real X server: the screen read back with xwd
// equals the composite file, and Ctrl+Q typed with xdotool queues one quit.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include <QApplication>
#include <gtest/gtest.h>

#include "OutputFixture.h"
#include "XvfbServer.h"
#include "output/frmStillA.h"

namespace {

constexpr int kScreenW = 640, kScreenH = 360;

struct Ppm {
    int width = 0, height = 0;
    std::vector<unsigned char> rgb;
};

// Reads a binary PPM (P6, maxval 255) as written by ImageMagick, which puts
// a comment line into the header.
Ppm ReadPpm(const std::string& path) {
    Ppm out;
    std::ifstream in(path, std::ios::binary);
    auto field = [&in]() {
        std::string token;
        while (in >> token && token[0] == '#') in.ignore(1 << 16, '\n');
        return token;
    };
    const std::string magic = field();
    out.width = std::atoi(field().c_str());
    out.height = std::atoi(field().c_str());
    const int maxval = std::atoi(field().c_str());
    in.get();
    if (magic != "P6" || maxval != 255 || out.width <= 0 || out.height <= 0 || out.width > 8192 || out.height > 8192)
        return {};
    out.rgb.resize(size_t(out.width) * size_t(out.height) * 3);
    if (!in.read(reinterpret_cast<char*>(out.rgb.data()), std::streamsize(out.rgb.size()))) return {};
    return out;
}

int Shell(const std::string& command) { return std::system(command.c_str()); }

class XvfbOutput : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        server = std::make_unique<XvfbServer>(kScreenW, kScreenH);
        ASSERT_FALSE(server->display().empty()) << "Xvfb did not start";
        setenv("DISPLAY", server->display().c_str(), 1);
        qputenv("QT_QPA_PLATFORM", "xcb");
        static int argc = 1;
        static char name[] = "test_output_xvfb";
        static char* argv[] = {name, nullptr};
        app = std::make_unique<QApplication>(argc, argv);
        InstallGfxOutputWindows();
    }
    static void TearDownTestSuite() {
        app.reset();
        server.reset();
    }

    void SetUp() override {
        ASSERT_TRUE(app);
        dir = std::filesystem::temp_directory_path() / ("kiv_xvfb_" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
        FatalError = GfxInitialized = GfxOutputEnabled = OutputOnPrimary = false;
        Settings = SettingsData{};
        Settings.CacheDir = dir.string();
        Settings.OnAirMonitor = 0;
        Settings.DisplayFrameRate = -1;
        Settings.TransDur = 3;
        Settings.UseBlurredBackground = 1;
        Settings.BlurredBackgroundColor = 0x602000;
        Settings.BlurredBackgroundOpacity = 30;
        Settings.BlurredBackgroundLightness = -10;
        Settings.ShadowOpacity = 80;
        InitGfxOutput();
        ASSERT_TRUE(GfxInitialized);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    static inline std::unique_ptr<XvfbServer> server;
    static inline std::unique_ptr<QApplication> app;
    std::filesystem::path dir;
    LogCapture log;
};

TEST_F(XvfbOutput, ScreenShowsTheCompositeFile) {
    EXPECT_TRUE(OutputOnPrimary);
    const std::string image = WriteTestImage((dir / "img.png").string(), 300, 400, [](int x, int y) {
        return 0xFF000000u | uint32_t(x * 255 / 299) << 16 | uint32_t(y * 255 / 399) << 8 | 0x30;
    });
    ASSERT_FALSE(image.empty());
    ASSERT_EQ(DisplayCachedImage(image, "Fade"), 0);

    const std::string shot = (dir / "screen.ppm").string();
    ASSERT_EQ(Shell("xwd -root -silent -display " + server->display() + " | /usr/bin/convert xwd:- ppm:" + shot), 0);
    const Ppm screen = ReadPpm(shot);
    ASSERT_EQ(screen.width, kScreenW);
    ASSERT_EQ(screen.height, kScreenH);

    cImage32 composite;
    ASSERT_TRUE(composite.LoadPicture_File(CompositeImagePath()));
    ASSERT_EQ(composite.Width(), kScreenW);
    ASSERT_EQ(composite.Height(), kScreenH);
    int differing = 0;
    for (int y = 0; y < kScreenH; ++y)
        for (int x = 0; x < kScreenW; ++x) {
            const unsigned char* s = &screen.rgb[(size_t(y) * kScreenW + x) * 3];
            const uint8_t* c = composite.Row(y) + x * 4;
            if (s[0] != c[2] || s[1] != c[1] || s[2] != c[0]) ++differing;
        }
    EXPECT_EQ(differing, 0);
    // And the frame is not trivially flat: picture, band and shadow differ.
    const uint8_t* band = composite.Row(180) + 20 * 4;
    const uint8_t* picture = composite.Row(180) + 320 * 4;
    EXPECT_NE(std::vector<uint8_t>(band, band + 3), std::vector<uint8_t>(picture, picture + 3));
}

TEST_F(XvfbOutput, CtrlQTypedOnTheOutputQueuesOneQuit) {
    while (QueueLength() > 0) InitCommandQueue();
    SetQueueTimerEnabled(false);  // the quit must stay queued, not run
    const std::string env = "DISPLAY=" + server->display() + " ";
    ASSERT_EQ(Shell(env + "xdotool search --sync --onlyvisible --name '^Kiv Output' > " + (dir / "win").string()), 0);
    std::string window;
    std::ifstream(dir / "win") >> window;
    ASSERT_FALSE(window.empty());
    ASSERT_EQ(Shell(env + "xdotool windowfocus --sync " + window + " key --clearmodifiers ctrl+q"), 0);
    // Let the key events arrive; bounded, and then a little longer so a
    // second (wrong) command would have arrived too.
    for (int i = 0; i < 250 && QueueLength() == 0; ++i) WaitMs(20);
    WaitMs(200);
    ASSERT_EQ(QueueLength(), 1);
    EXPECT_EQ(CommandQueue().front().command, "QUIT");
    EXPECT_EQ(CommandQueue().front().prefix, "-1");
    EXPECT_EQ(CommandQueue().front().session, -1);
    InitCommandQueue();
    SetQueueTimerEnabled(false);
}

}  // namespace
