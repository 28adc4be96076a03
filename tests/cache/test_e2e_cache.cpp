// Image commands end to end: the real engine, a real TCP client and a real
// local HTTP server, checked through the replies, the log and the cache folder.
#include <gtest/gtest.h>

#include <fstream>

#include <QDir>

#include "cache/modMD5.h"
#include "tests/cache/FixtureServer.h"
#include "tests/e2e/KivProcess.h"
#include "tests/net/TcpClient.h"

namespace {

long ResidentKiB(qint64 pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

TEST(E2ECache, FetchOnceShowCachedPreloadFailCleanUpAndGiveMemoryBack) {
    EnsureCoreApplication();
    const QTemporaryDir work;
    const std::string files = work.path().toStdString(), picture = KIV_TESTDATA "/libpng-pngsuite/basn6a08.png";
    QFile::copy(picture.c_str(), work.filePath("a.png"));
    FixtureServer server(files, files + "/requests.log");
    const int port = KivProcess::FreePort();
    KivProcess kiv("[General]\r\nVersion=1\r\nOnAirOnStartup=1\r\nOnAirMonitor=1\r\nDisableGFXWhenOffAir=0\r\nListeningPort=" +
                   std::to_string(port) + "\r\nVerboseConsole=1\r\n[Transition]\r\nTransMode=Cut\r\n");
    ASSERT_TRUE(server.port() && kiv.Start() && kiv.WaitForLog("Entering On Air mode.")) << kiv.Log() << kiv.Errors();
    TcpClient client([&] { kiv.Pump(); });
    ASSERT_TRUE(client.Connect(port));
    const auto ask = [&](const std::string& line, const std::string& term = "\r\n") {
        client.received.clear();
        EXPECT_TRUE(client.Send(line + term) && client.ReadReplies(1, term, 60000)) << line;
        kiv.WaitForReplyLogged(client.received.substr(0, client.received.size() - term.size()));
        return client.received;
    };
    const std::string cache = kiv.Dir().toStdString() + "/cache/kiv_", url = server.Url("/files/a.png"),
                      preload = server.Url("/redirect/a.png"), missing = server.Url("/status/404");
    const auto cached = [&](const std::string& reference) {
        return QFile(QString::fromStdString(cache + MD5Hex(reference))).size() == QFile(picture.c_str()).size();
    };

    // Fetched once, on air before the reply, then shown from the cache.
    EXPECT_EQ(ask("7 SCENE*#1234*IMAGE SET " + url), "7\r\n");
    EXPECT_EQ(ask("8 RENDERER SET \"" + url + "\"", "\n"), "8\n");
    const std::string log = kiv.Log(), shown = "[CCH]  Loading cached image kiv_" + MD5Hex(url) + "\r\n";
    const size_t onAir = log.find("Realtime operations completed. Resuming CommandQueueManager...", log.find(shown)),
                 reply = log.find("[OUT]  7 (session=");
    EXPECT_LT(log.find("[CCH]  Uh! That came unexpected. The image '" + url + "' hasn't yet been initialized"), onAir);
    EXPECT_TRUE(onAir < reply && log.find(shown, reply) != std::string::npos);
    EXPECT_TRUE(cached(url) && TcpClient::Count(server.Requests(), "\n") == 1);

    // A pre-load only fills the cache; a failure is logged and the engine goes on.
    EXPECT_EQ(ask("1 RENDERER SET " + preload + " INITIALIZE"), "1\r\n");
    EXPECT_EQ(ask("2 RENDERER SET " + missing), "2\r\n");
    EXPECT_TRUE(cached(preload) && kiv.Log().find("Loading cached image kiv_" + MD5Hex(preload)) == std::string::npos);
    EXPECT_NE(kiv.Log().find("[CCH]E http_resource_downloader: Error downloading '" + missing + "': Received HTTP status 404\r\n"),
              std::string::npos);
    EXPECT_NE(kiv.Log().find("[CCH]E Image '" + missing + "' could not be loaded.\r\n"), std::string::npos);

    // The clean-up on air empties the cache of its own files only and clears the output.
    QFile keep(kiv.Dir() + "/cache/keep.txt");
    ASSERT_TRUE(keep.open(QIODevice::WriteOnly));  // not ours
    EXPECT_EQ(ask("3 CLEANUP"), "3\r\n");
    EXPECT_NE(kiv.Log().find("[GFX]  Clearing GFX output\r\n"), std::string::npos);
    EXPECT_EQ(QDir(kiv.Dir() + "/cache").entryList(QDir::Files), QStringList{"keep.txt"});
    EXPECT_EQ(ask("4 TC_INFO"), "4 {0,'Kiv','SystemTime'}\r\n");

    // What an outsized picture needed goes back to the system once the next picture is on air.
    const std::string big = work.filePath("big.tga").toStdString();
    {  // 8192 x 8192 grey in run-length packets: 2 MB on disk, 256 MB decoded
        std::ofstream tga(big, std::ios::binary);
        const char header[18] = {0, 0, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x20, 0, 0x20, 24, 0};
        tga.write(header, sizeof header);
        for (int i = 0; i < 8192 * 8192 / 128; ++i) tga.write("\xFF\x80\x80\x80", 4);
    }
    EXPECT_EQ(ask("5 SCENE*#1*IMAGE SET " + picture), "5\r\n");
    const long before = ResidentKiB(kiv.Process().processId());
    const size_t cuts = TcpClient::Count(kiv.Log(), "Realtime operations completed.");
    EXPECT_EQ(ask("6 SCENE*#1*IMAGE SET " + big), "6\r\n");
    EXPECT_EQ(ask("7 SCENE*#1*IMAGE SET " + picture), "7\r\n");
    EXPECT_EQ(TcpClient::Count(kiv.Log(), "Realtime operations completed."), cuts + 2) << kiv.Log();
    EXPECT_LT(ResidentKiB(kiv.Process().processId()), before + 64 * 1024) << before;
}

}  // namespace
