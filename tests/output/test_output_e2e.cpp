// The output end to end: the real engine on the offscreen platform, pictures
// put on air over TCP, what happened read from its log.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <vector>

#include <QCoreApplication>
#include <turbojpeg.h>
#include <unistd.h>

#include "tests/e2e/KivProcess.h"
#include "tests/net/TcpClient.h"

namespace {

// A plain grey JPEG of w x h; the largest takes a moment but compresses to ~1 MB.
bool WriteGreyJpeg(const std::string& path, int w, int h, unsigned char level) {
    const std::vector<unsigned char> pixels(size_t(w) * size_t(h), level);
    tjhandle tj = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    const bool ok = tj && tjCompress2(tj, pixels.data(), w, w, h, TJPF_GRAY, &jpeg, &size, TJSAMP_GRAY, 75, 0) == 0;
    if (tj) tjDestroy(tj);
    FILE* out = ok ? std::fopen(path.c_str(), "wb") : nullptr;
    const bool written = out && std::fwrite(jpeg, 1, size, out) == size;
    if (out) std::fclose(out);
    tjFree(jpeg);
    return written;
}

class OutputE2E : public ::testing::Test {
protected:
    static void SetUpTestSuite() { EnsureCoreApplication(); }
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() / ("kiv_output_e2e_" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_);
        small_ = (dir_ / "small.jpg").string();
        ASSERT_TRUE(WriteGreyJpeg(small_, 64, 36, 200));
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // An engine On Air on a free port with these settings added; null
    // unless it reached its main loop.
    std::unique_ptr<KivProcess> StartEngine(const std::string& settings) {
        port_ = KivProcess::FreePort();
        auto kiv = std::make_unique<KivProcess>(
            "[General]\r\nVersion=1\r\nOnAirOnStartup=1\r\nDisableGui=1\r\nOnAirMonitor=0\r\nListeningPort=" +
            std::to_string(port_) + "\r\n" + settings);
        if (kiv->Start() && kiv->WaitForLog("[SYS]  Entering Main Loop...\r\n")) return kiv;
        ADD_FAILURE() << kiv->Log() << kiv->Errors();
        return nullptr;
    }

    std::string Ask(KivProcess& kiv, TcpClient& client, const std::string& command, int timeoutMs = 20000) {
        client.received.clear();
        EXPECT_TRUE(client.Send(command));
        EXPECT_TRUE(client.ReadReplies(1, "\r\n", timeoutMs)) << command << kiv.Log();
        kiv.WaitForReplyLogged(client.received.substr(0, client.received.find("\r\n")));
        return client.received;
    }

    std::filesystem::path dir_;
    std::string small_;
    int port_ = 0;
};

// 32768 x 8192 pixels is exactly the library's limit. Its drop shadow is
// larger than that, yet the picture shows, and the output stays usable.
TEST_F(OutputE2E, LargestPictureShowsAndSoDoesTheNext) {
    const std::string big = (dir_ / "big.jpg").string();
    ASSERT_TRUE(WriteGreyJpeg(big, 32768, 8192, 128));
    auto kiv = StartEngine("[Transition]\r\nTransMode=Cut\r\n");
    ASSERT_TRUE(kiv);
    TcpClient client([&] { kiv->Pump(); });
    ASSERT_TRUE(client.Connect(port_));

    EXPECT_EQ(Ask(*kiv, client, "1 RENDERER SET " + big + "\r\n", 240000), "1\r\n");
    EXPECT_EQ(Ask(*kiv, client, "2 RENDERER SET " + small_ + "\r\n"), "2\r\n");
    const std::string& log = kiv->Log();
    EXPECT_EQ(log.find("Error in DisplayCachedImage"), std::string::npos) << log;
    EXPECT_EQ(TcpClient::Count(log, "Realtime operations completed. Resuming CommandQueueManager..."), 2u);
}

// A fade pauses with plain sleeps, and showing the hidden output waits for
// the window alone: a client connecting meanwhile is accepted afterwards.
TEST_F(OutputE2E, NothingIsAcceptedWhileThePictureGoesOnAir) {
    auto kiv = StartEngine(
        "VerboseConsole=1\r\nDisableGFXOnCleanup=1\r\nDisplayFrameRate=10\r\n"
        "[Transition]\r\nTransMode=Fade\r\nTransDur=5\r\n");  // 20 steps of 50 ms
    ASSERT_TRUE(kiv);
    TcpClient first([&] { kiv->Pump(); }), second([&] { kiv->Pump(); });
    ASSERT_TRUE(first.Connect(port_));
    EXPECT_EQ(Ask(*kiv, first, "CLEANUP\r\n"), "\r\n");  // the output goes off screen

    first.received.clear();
    ASSERT_TRUE(first.Send("1 RENDERER SET " + small_ + "\r\n"));
    ASSERT_TRUE(kiv->WaitForLog("[GFX]V Performing transition with TransMode=Fade and TransDur=5"));
    ASSERT_TRUE(second.Connect(port_));  // the system completes it; the engine must not take it yet
    ASSERT_TRUE(first.ReadReplies(1, "\r\n"));
    EXPECT_EQ(first.received, "1\r\n");
    ASSERT_TRUE(kiv->WaitForLog("Creating new session 2 for 127.0.0.1"));

    const std::string& log = kiv->Log();
    const size_t shown = log.find("[GFX]  Enabling GFX output...");
    const size_t onAir = log.find("Realtime operations completed. Resuming CommandQueueManager...", shown);
    const size_t accepted = log.find("accepted connection", shown);
    ASSERT_NE(shown, std::string::npos) << log;
    ASSERT_NE(onAir, std::string::npos) << log;
    EXPECT_GT(accepted, onAir) << log;
}

}  // namespace
