// The output window under a private X server: it covers the screen without
// frame or cursor, the screen read back with xwd equals the composite file
// (and, during a fade, what blending on the surface would show), and Ctrl+Q
// typed with xdotool queues one quit per press.
#include <csignal>
#include <cstring>
#include <iterator>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <vector>

#include <QApplication>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "LogCapture.h"
#include "OutputFixture.h"
#include "core/Settings.h"
#include "core/modMain.h"
#include "output/frmStillA.h"
#include "output/modTL.h"
#include "protocol/modCommandQueueManager.h"

namespace {

constexpr int kScreenW = 640, kScreenH = 360;

// Xvfb on a display it picks itself (-displayfd); stopped with the tests.
class XvfbServer {
public:
    XvfbServer() {
        int fds[2];
        if (pipe(fds) != 0) return;
        pid = fork();
        if (pid == 0) {
            const std::string fd = std::to_string(fds[1]), screen = "640x360x24";
            dup2(open("/dev/null", O_WRONLY), 2);
            execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen.c_str(), "-nolisten", "tcp",
                   "-noreset", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        pollfd p{fds[0], POLLIN, 0};
        char c;
        std::string number;
        while (pid > 0 && poll(&p, 1, 10000) > 0 && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
        close(fds[0]);
        if (!number.empty()) display = ":" + number;
    }
    ~XvfbServer() {
        if (pid > 0) kill(pid, SIGTERM), waitpid(pid, nullptr, 0);
    }
    pid_t pid = -1;
    std::string display;
};

int Shell(const std::string& command) { return std::system(command.c_str()); }

class XvfbOutput : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        server = std::make_unique<XvfbServer>();
        if (server->display.empty()) return;
        setenv("DISPLAY", server->display.c_str(), 1);
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
        ASSERT_TRUE(app) << "Xvfb did not start";
        dir = std::filesystem::temp_directory_path() / ("kiv_xvfb_" + std::to_string(::getpid()));
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

    // How many pixels of the screen, as the X server has it (read back as
    // binary PPM; ImageMagick puts a comment line into the header), differ in
    // colour from the picture whose row y `row` gives; -1 when unreadable.
    int PixelsDifferingOnScreen(const std::function<const uint8_t*(int y)>& row) const {
        const std::string shot = (dir / "screen.ppm").string();
        if (Shell("xwd -root -silent -display " + server->display + " | /usr/bin/convert xwd:- ppm:" + shot) != 0)
            return -1;
        std::ifstream in(shot, std::ios::binary);
        std::string magic, comment;
        int width = 0, height = 0, maxval = 0;
        in >> magic >> std::ws;
        if (in.peek() == '#') std::getline(in, comment);
        in >> width >> height >> maxval;
        in.get();
        std::vector<unsigned char> rgb(size_t(width) * height * 3);
        if (magic != "P6" || width != kScreenW || height != kScreenH ||
            !in.read(reinterpret_cast<char*>(rgb.data()), std::streamsize(rgb.size())))
            return -1;
        int differing = 0;
        for (int y = 0; y < kScreenH; ++y)
            for (int x = 0; x < kScreenW; ++x) {
                const unsigned char* s = &rgb[(size_t(y) * kScreenW + x) * 3];
                const uint8_t* c = row(y) + x * 4;
                differing += s[0] != c[2] || s[1] != c[1] || s[2] != c[0];
            }
        return differing;
    }

    static inline std::unique_ptr<XvfbServer> server;
    static inline std::unique_ptr<QApplication> app;
    std::filesystem::path dir;
    LogCapture log;
};

TEST_F(XvfbOutput, ScreenShowsTheCompositeFile) {
    const frmStillA* w = OutputWindowWidget();
    EXPECT_TRUE(OutputOnPrimary);
    EXPECT_EQ(w->geometry(), QRect(0, 0, kScreenW, kScreenH));
    EXPECT_TRUE(w->windowFlags() & Qt::FramelessWindowHint);
    EXPECT_TRUE(w->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(w->cursor().shape(), Qt::BlankCursor);

    const std::string image = WriteTestImage((dir / "img.png").string(), 300, 400, [](int x, int y) {
        return 0xFF000000u | uint32_t(x * 255 / 299) << 16 | uint32_t(y * 255 / 399) << 8 | 0x30;
    });
    ASSERT_EQ(DisplayCachedImage(image, "Fade"), 0);

    cImage32 composite;
    ASSERT_TRUE(composite.LoadPicture_File(CompositeImagePath()));
    ASSERT_EQ(composite.Width(), kScreenW);
    EXPECT_EQ(PixelsDifferingOnScreen([&](int y) { return composite.Row(y); }), 0);
    // Not trivially flat: the band and the picture differ.
    EXPECT_NE(std::memcmp(composite.Row(180) + 20 * 4, composite.Row(180) + 320 * 4, 3), 0);
}

// Fade steps after the first are blended straight into the window's pixels:
// the screen shows what blending on the surface would have shown, while the
// surface waits for the final full draw.
TEST_F(XvfbOutput, FadeStepsInTheWindowShowWhatTheSurfaceWould) {
    PictureSurface& a = picStillA();
    cImage32 frame;
    ASSERT_TRUE(frame.InitializeDIB(kScreenW, kScreenH));
    for (int y = 0; y < kScreenH; ++y)
        for (int x = 0; x < kScreenW; ++x) {
            const uint32_t v = 0xFF000000u | uint32_t(x * 255 / kScreenW) << 16 | uint32_t(y * 255 / kScreenH) << 8 |
                               uint32_t((x ^ y) & 0xFF);
            std::memcpy(frame.Row(y) + x * 4, &v, 4);
        }
    std::vector<uint8_t> expected(a.Bits(), a.Bits() + size_t(a.Stride()) * kScreenH);
    const DeviceContext mirror = DeviceContext::TopDown(expected.data(), kScreenW, kScreenH, a.Stride());
    const int opacities[] = {30, 50, 70};
    for (size_t i = 0; i < std::size(opacities); ++i) {
        DrawFadeStep(frame, opacities[i], i == 0);
        ASSERT_TRUE(frame.Render(&mirror, 0, 0, kScreenW, kScreenH, 0, 0, 0, 0, opacities[i], true, true));
        if (i == 0) {
            EXPECT_EQ(std::memcmp(a.Bits(), expected.data(), expected.size()), 0);
        }
    }
    // The surface kept the first step; the window went on.
    EXPECT_NE(std::memcmp(a.Bits(), expected.data(), expected.size()), 0);
    EXPECT_EQ(PixelsDifferingOnScreen([&](int y) { return mirror.Row(y); }), 0);
}

TEST_F(XvfbOutput, CtrlQTypedOnTheOutputQueuesOneQuitPerPress) {
    InitCommandQueue();
    SetQueueTimerEnabled(false);  // the quit must stay queued, not run
    const std::string env = "DISPLAY=" + server->display + " ";
    const std::string win = (dir / "win").string();
    ASSERT_EQ(Shell(env + "xdotool search --sync --onlyvisible --name '^Kiv Output' > " + win), 0);
    std::string id;
    std::ifstream(win) >> id;
    ASSERT_FALSE(id.empty());
    ASSERT_EQ(Shell(env + "xdotool windowfocus --sync " + id + " key --clearmodifiers q ctrl+q ctrl+shift+q"), 0);
    // Bounded wait for the key events, then a little longer so that a wrong
    // extra command would have arrived as well.
    for (int i = 0; i < 250 && QueueLength() < 2; ++i) WaitMs(20);
    WaitMs(200);
    ASSERT_EQ(QueueLength(), 2);
    for (const CommandRecord& r : CommandQueue()) {
        EXPECT_EQ(r.prefix + " " + r.command, "-1 QUIT");
        EXPECT_EQ(r.session, -1);
    }
}

}  // namespace
