// Image commands end to end: the real engine, a real TCP client and real
// local HTTP(S) servers; fetching and caching are checked through the
// replies, the log and the cache folder.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTcpSocket>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cache/modMD5.h"
#include "tests/cache/FixtureServer.h"
#include "tests/e2e/KivProcess.h"

namespace fs = std::filesystem;

namespace {

const char* kPicture = KIV_TESTDATA "/libpng-pngsuite/basn6a08.png";

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string CacheName(const std::string& reference) { return "kiv_" + MD5Hex(reference); }

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

std::vector<std::string> KivFiles(const fs::path& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec))
        if (entry.path().filename().string().rfind("kiv_", 0) == 0) names.push_back(entry.path().filename());
    return names;
}

class E2ECache : public ::testing::Test {
protected:
    static void SetUpTestSuite() { EnsureCoreApplication(); }

    void SetUp() override {
        files_ = fs::path(work_.path().toStdString()) / "files";
        fs::create_directories(files_);
        fs::copy_file(kPicture, files_ / "a.png");
        fs::copy_file(kPicture, files_ / "\xE4rger.png");
        server_ = std::make_unique<FixtureServer>(files_.string(), work_.path().toStdString() + "/requests.jsonl");
        ASSERT_NE(server_->port(), 0);
    }

    // Qt cannot name a file whose name is not UTF-8, so QTemporaryDir could
    // not remove the non-ASCII test file.
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(files_, ec);
    }

    // Starts the engine with `extra` ini lines; On Air unless told otherwise.
    void StartEngine(const std::string& extra = "", bool onAir = true) {
        port_ = KivProcess::FreePort();
        const std::string ini = "[General]\r\nVersion=1\r\nOnAirOnStartup=" + std::string(onAir ? "1" : "0") +
                                "\r\nOnAirMonitor=1\r\nDisableGFXWhenOffAir=0\r\nListeningPort=" + std::to_string(port_) +
                                "\r\nVerboseConsole=1\r\n" + extra +
                                "[Transition]\r\nTransMode=Cut\r\n[Drives]\r\nT=" + files_.string() + "\r\n";
        kiv_ = std::make_unique<KivProcess>(ini);
        ASSERT_TRUE(kiv_->Start());
        ASSERT_TRUE(kiv_->WaitForLog("Entering Main Loop...")) << kiv_->Log() << kiv_->Errors();
        if (onAir) {
            ASSERT_TRUE(kiv_->WaitForLog("Entering On Air mode.")) << kiv_->Log();
        }
        cacheDir_ = kiv_->Dir().toStdString() + "/cache";
        socket_.connectToHost("127.0.0.1", quint16(port_));
        ASSERT_TRUE(socket_.waitForConnected(10000)) << kiv_->Log();
    }

    // Sends one command line and returns the reply line, terminator included.
    std::string Send(const std::string& line, const std::string& terminator = "\r\n") {
        socket_.write((line + terminator).data(), qint64(line.size() + terminator.size()));
        socket_.flush();
        std::string reply;
        while (reply.size() < terminator.size() || reply.compare(reply.size() - terminator.size(), std::string::npos, terminator) != 0) {
            if (!socket_.bytesAvailable() && !socket_.waitForReadyRead(20000)) break;
            reply += socket_.read(1).toStdString();
        }
        kiv_->WaitForReplyLogged(reply.substr(0, reply.size() - terminator.size()));
        return reply;
    }

    std::string Url(const std::string& path) { return "http://127.0.0.1:" + std::to_string(server_->port()) + path; }

    size_t RequestsFor(const std::string& path) {
        size_t n = 0;
        for (const auto& r : server_->Requests()) n += r.path == path;
        return n;
    }

    QTemporaryDir work_;
    fs::path files_, cacheDir_;
    std::unique_ptr<FixtureServer> server_;
    std::unique_ptr<KivProcess> kiv_;
    QTcpSocket socket_;
    int port_ = 0;
};

TEST_F(E2ECache, SameUrlIsFetchedOnceAndReplyFollowsTheImage) {
    ASSERT_NO_FATAL_FAILURE(StartEngine());
    const std::string url = Url("/files/a.png");
    EXPECT_EQ(Send("7 SCENE*#1234*IMAGE SET " + url), "7\r\n");
    // The reply was sent after the picture was on air.
    const std::string& first = kiv_->Log();
    const size_t shown = first.find("Realtime operations completed. Resuming CommandQueueManager...",
                                    first.find("Loading cached image " + CacheName(url)));
    ASSERT_NE(shown, std::string::npos) << first;
    EXPECT_LT(shown, first.find("[OUT]  7 (session="));

    EXPECT_EQ(Send("8 RENDERER SET \"" + url + "\"", "\n"), "8\n");
    EXPECT_EQ(RequestsFor("/files/a.png"), 1u);
    const std::string log = kiv_->Log();
    EXPECT_EQ(Count(log, "Loading Image: '" + url + "' (accessmethod=http_resource_downloader)"), 1u);
    EXPECT_EQ(Count(log, "Loading cached image " + CacheName(url)), 2u);
    EXPECT_EQ(ReadFile(cacheDir_ / CacheName(url)), ReadFile(kPicture));
}

TEST_F(E2ECache, ReferencesDifferingInCaseAreDifferentFiles) {
    ASSERT_NO_FATAL_FAILURE(StartEngine());
    const std::string lower = Url("/files/a.png?v=x"), upper = Url("/files/a.png?v=X");
    EXPECT_EQ(Send("1 RENDERER SET " + lower), "1\r\n");
    EXPECT_EQ(Send("2 RENDERER SET " + upper), "2\r\n");
    EXPECT_TRUE(fs::exists(cacheDir_ / CacheName(lower)));
    EXPECT_TRUE(fs::exists(cacheDir_ / CacheName(upper)));
    EXPECT_NE(CacheName(lower), CacheName(upper));
}

TEST_F(E2ECache, FailuresAreLoggedAndTheEngineGoesOn) {
    ASSERT_NO_FATAL_FAILURE(StartEngine());
    const std::string missing = Url("/status/404");
    EXPECT_EQ(Send("1 RENDERER SET " + missing), "1\r\n");
    EXPECT_EQ(Send("2 RENDERER SET " + missing), "2\r\n");
    EXPECT_EQ(RequestsFor("/status/404"), 2u);  // tried again: nothing was cached
    EXPECT_EQ(Send("3 RENDERER SET T:\\nothing.png"), "3\r\n");
    EXPECT_EQ(Send("4 RENDERER SET HTTP://host/a.png"), "4 Error: no valid image path/URL given.\r\n");
    EXPECT_EQ(Send("5 RENDERER SET " + Url("/loop")), "5\r\n");
    EXPECT_EQ(Send("6 TC_INFO"), "6 {0,'Kiv','SystemTime'}\r\n");
    const std::string log = kiv_->Log();
    EXPECT_EQ(Count(log, "[CCH]E http_resource_downloader: Error downloading '" + missing +
                             "': Received HTTP status 404\r\n"),
              2u);
    EXPECT_NE(log.find("[CCH]E Image '" + missing + "' could not be loaded.\r\n"), std::string::npos);
    EXPECT_NE(log.find("[CCH]E Error getting file 'T:\\nothing.png'. (error=2, accessmethod=file)\r\n"),
              std::string::npos);
    EXPECT_NE(log.find("Could not connect to host. The message from the system is: Maximum (10) redirects "
                       "followed (47)\r\n"),
              std::string::npos);
    // The only kiv_ file is the composite of the start-up frame, if any.
    for (const std::string& name : KivFiles(cacheDir_)) EXPECT_EQ(name, "kiv_COMPOSITEIMAGE");
}

TEST_F(E2ECache, PreloadQuotedAndCaseMismatchedPaths) {
    ASSERT_NO_FATAL_FAILURE(StartEngine());
    const std::string url = Url("/redirect/a.png");
    EXPECT_EQ(Send("1 RENDERER SET " + url + " INITIALIZE"), "1\r\n");
    EXPECT_EQ(ReadFile(cacheDir_ / CacheName(url)), ReadFile(kPicture));
    EXPECT_EQ(kiv_->Log().find("Loading cached image " + CacheName(url)), std::string::npos);

    const std::string local = "T:\\\xE4rger.png";
    EXPECT_EQ(Send("2 RENDERER SET \"" + local + "\""), "2\r\n");
    EXPECT_EQ(ReadFile(cacheDir_ / CacheName(local)), ReadFile(kPicture));
    EXPECT_NE(kiv_->Log().find("Loading cached image " + CacheName(local)), std::string::npos);

    // A Windows reference finds the file whatever the case of its name; the
    // cache name stays the digest of the reference as sent.
    const std::string upper = "T:\\A.PNG";
    EXPECT_EQ(Send("3 RENDERER SET " + upper + " INITIALIZE"), "3\r\n");
    EXPECT_EQ(ReadFile(cacheDir_ / CacheName(upper)), ReadFile(kPicture));
    // A quoted path of this machine is the same reference as an unquoted one.
    const std::string posix = (files_ / "a.png").string();
    EXPECT_EQ(Send("4 RENDERER SET \"" + posix + "\" INITIALIZE"), "4\r\n");
    EXPECT_EQ(ReadFile(cacheDir_ / CacheName(posix)), ReadFile(kPicture));
}

TEST_F(E2ECache, CleanupOnAirEmptiesTheCache) {
    ASSERT_NO_FATAL_FAILURE(StartEngine());
    EXPECT_EQ(Send("1 RENDERER SET " + (files_ / "a.png").string()), "1\r\n");
    std::ofstream(cacheDir_ / "keep.txt") << "not ours";
    EXPECT_TRUE(fs::exists(cacheDir_ / "kiv_COMPOSITEIMAGE"));
    EXPECT_EQ(KivFiles(cacheDir_).size(), 2u);
    EXPECT_EQ(Send("2 CLEANUP"), "2\r\n");
    EXPECT_TRUE(KivFiles(cacheDir_).empty());
    EXPECT_TRUE(fs::exists(cacheDir_ / "keep.txt"));
    EXPECT_NE(kiv_->Log().find("[GFX]  Clearing GFX output\r\n"), std::string::npos);
}

TEST_F(E2ECache, CleanupOffAirLeavesTheCacheAlone) {
    ASSERT_NO_FATAL_FAILURE(StartEngine("", false));
    std::ofstream(cacheDir_ / "kiv_0123") << "cached";
    EXPECT_EQ(Send("1 CLEANUP"), "1 ERROR <CLEANUP>: the command is not allowed in this mode\r\n");
    EXPECT_EQ(Send("2 RENDERER SET " + Url("/files/a.png")),
              "2 ERROR <RENDERER>: the command is not allowed in this mode\r\n");
    EXPECT_TRUE(fs::exists(cacheDir_ / "kiv_0123"));
    EXPECT_EQ(RequestsFor("/files/a.png"), 0u);
}

TEST_F(E2ECache, CacheDirectoryWithMissingParentStopsTheEngine) {
    const std::string dir = work_.path().toStdString() + "/missing/cache";
    KivProcess kiv("[General]\r\nVersion=1\r\nOnAirMonitor=1\r\nListeningPort=" + std::to_string(KivProcess::FreePort()) +
                   "\r\nCacheDir=" + dir + "\r\n");
    ASSERT_TRUE(kiv.Start());
    ASSERT_TRUE(kiv.WaitForLog("[SYS]F Fatal Error. Cannot continue, and will not be able to enter On Air mode.\r\n"))
        << kiv.Log();
    EXPECT_NE(kiv.Log().find("[CCH]E Failed to create directory: " + dir + "\r\n"), std::string::npos) << kiv.Log();
    EXPECT_NE(kiv.Log().find("[CCH]F CacheManager: Failed to initialize\r\n"), std::string::npos);
    EXPECT_TRUE(kiv.StaysUpFor(500));
}

}  // namespace
