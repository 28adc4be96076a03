// The cache manager against real files and real local HTTP(S) servers, in
// process, with the request object's limits lowered so that the hostile
// cases end quickly.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTemporaryDir>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/Log.h"
#include "core/Settings.h"
#include "core/Version.h"
#include "core/modMain.h"
#include "cache/modCacheManager.h"
#include "tests/cache/FixtureServer.h"

namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

// Names in the cache directory that start with "kiv_".
std::vector<std::string> KivFiles(const fs::path& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("kiv_", 0) == 0) names.push_back(name);
    }
    return names;
}

// A port that accepts TCP connections (the kernel does the handshake) and
// never reads or answers: a server that hangs, or a TLS handshake that stalls.
class SilentListener {
public:
    SilentListener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) == 0 && ::listen(fd_, 8) == 0 &&
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
            port_ = ntohs(addr.sin_port);
    }
    ~SilentListener() { ::close(fd_); }
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

const std::string kImage = std::string("\x89PNG\r\n\x1a\n", 8) + std::string(5000, '\x42') + std::string("\0end", 4);

class CacheManagerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char arg0[] = "test_cache_manager";
        static char* argv[] = {arg0, nullptr};
        if (!QCoreApplication::instance()) new QCoreApplication(argc, argv);
    }

    void SetUp() override {
        ASSERT_TRUE(tmp_.isValid());
        root_ = tmp_.path().toStdString();
        cacheDir_ = root_ + "/cache";
        files_ = root_ + "/files";
        WriteFile(files_ / "a.png", kImage);
        Settings = SettingsData{};
        Settings.CacheDir = cacheDir_.string();
        Settings.DriveRoots['T' - 'A'] = files_.string();
        Settings.UncRoot = root_ + "/unc";
        Settings.VerboseConsole = 1;
        FatalError = false;
        cHttpRequest::Limits limits;
        limits.connectTimeoutMs = 1500;
        limits.stallTimeoutS = 1;
        limits.totalTimeoutS = 3;
        limits.maxBodyBytes = 1 << 20;
        SetHttpRequestLimits(limits);
        InitCacheManager();
        ASSERT_FALSE(FatalError);
    }
    void TearDown() override { FatalError = false; }

    // The log written since the last call.
    std::string NewLog() {
        const std::string& text = ConsoleText();
        std::string fresh = text.substr(std::min(logMark_, text.size()));
        logMark_ = text.size();
        return fresh;
    }

    std::string Url(const FixtureServer& server, const std::string& path, const char* scheme = "http") {
        return std::string(scheme) + "://127.0.0.1:" + std::to_string(server.port()) + path;
    }

    QTemporaryDir tmp_;
    std::string root_;
    fs::path cacheDir_, files_;
    size_t logMark_ = ConsoleText().size();
};

TEST_F(CacheManagerTest, StartCreatesMissingDirectoryOneLevelOnly) {
    Settings.CacheDir = root_ + "/fresh";
    NewLog();
    InitCacheManager();
    EXPECT_TRUE(fs::is_directory(root_ + "/fresh"));
    EXPECT_NE(NewLog().find("Cache directory doesn't exist. Creating new Cache directory: " + root_ + "/fresh..."),
              std::string::npos);
    EXPECT_FALSE(FatalError);

    Settings.CacheDir = root_ + "/missing/cache";
    InitCacheManager();
    const std::string log = NewLog();
    EXPECT_TRUE(FatalError);
    EXPECT_NE(log.find("Failed to create directory: " + root_ + "/missing/cache"), std::string::npos);
    EXPECT_NE(log.find("CacheManager: Failed to initialize"), std::string::npos);
    // The manager gave up at once: no clean-up, no request object.
    EXPECT_EQ(log.find("Cleaning up cache"), std::string::npos);
    EXPECT_EQ(log.find("Initializing http_resource_downloader"), std::string::npos);
}

TEST_F(CacheManagerTest, CleanupDeletesOnlyKivFiles) {
    WriteFile(cacheDir_ / "kiv_COMPOSITEIMAGE", "frame");
    WriteFile(cacheDir_ / "kiv_0123", "x");
    WriteFile(cacheDir_ / "kiv_ABC.partXyZ123", "left over by a crash");
    WriteFile(cacheDir_ / "keep.txt", "keep");
    WriteFile(cacheDir_ / "KIV_upper", "keep");
    fs::create_directory(cacheDir_ / "kiv_dir");
    NewLog();
    CleanupCache();
    EXPECT_NE(NewLog().find("CacheManager: Cleaning up cache..."), std::string::npos);
    EXPECT_EQ(KivFiles(cacheDir_), std::vector<std::string>{"kiv_dir"});
    EXPECT_TRUE(fs::exists(cacheDir_ / "keep.txt"));
    EXPECT_TRUE(fs::exists(cacheDir_ / "KIV_upper"));
}

TEST_F(CacheManagerTest, CopiesDriveUncAndLocalPaths) {
    WriteFile(root_ + "/unc/srv/share/pics/b.png", kImage + "unc");
    struct Case {
        std::string reference, method, bytes;
    } cases[] = {
        {"T:\\a.png", kAccessFile, kImage},
        {"t:\\sub\\..\\a.png", kAccessFile, kImage},
        {"T:\\A.PNG", kAccessFile, kImage},  // a Windows reference: case does not matter
        {"\\\\srv\\share\\pics\\b.png", kAccessUnc, kImage + "unc"},
        {(files_ / "a.png").string(), kAccessFile, kImage},
    };
    for (const auto& c : cases) {
        NewLog();
        EXPECT_EQ(AddImageToCache(c.reference, c.method), 0) << c.reference;
        EXPECT_TRUE(IsImageCached(c.reference)) << c.reference;
        EXPECT_EQ(ReadFile(cacheDir_ / CacheFileName(c.reference)), c.bytes) << c.reference;
        const std::string log = NewLog();
        EXPECT_NE(log.find("Loading Image: '" + c.reference + "' (accessmethod=" + c.method + ")"), std::string::npos);
        EXPECT_NE(log.find("Added Image to cache: " + CacheFileName(c.reference)), std::string::npos);
    }
    EXPECT_FALSE(IsImageCached("T:\\A.png"));
}

TEST_F(CacheManagerTest, FileThatCannotBeCopiedLeavesNoCacheFile) {
    ::mkfifo((files_ / "pipe").c_str(), 0600);
    fs::create_directory(files_ / "dir");
    struct Case {
        std::string reference, method;
        int error;
    } cases[] = {
        {"T:\\missing.png", kAccessFile, ENOENT},
        {"T:\\dir", kAccessFile, EISDIR},
        {"T:\\pipe", kAccessFile, EINVAL},  // must not block on open
        {"/dev/zero", kAccessFile, EINVAL},  // would never end
        {"\\\\nohost\\noshare\\a.png", kAccessUnc, ENOENT},
        {"T:\\a.png\\x", kAccessFile, ENOTDIR},
    };
    for (const auto& c : cases) {
        NewLog();
        EXPECT_EQ(AddImageToCache(c.reference, c.method), 1) << c.reference;
        EXPECT_NE(NewLog().find("Error getting file '" + c.reference + "'. (error=" + std::to_string(c.error) +
                                ", accessmethod=" + c.method + ")"),
                  std::string::npos)
            << c.reference;
        EXPECT_TRUE(KivFiles(cacheDir_).empty()) << c.reference;
    }
}

TEST_F(CacheManagerTest, FileOverTheLimitIsRefused) {
    WriteFile(files_ / "big.png", std::string((1 << 20) + 1, 'x'));
    EXPECT_EQ(AddImageToCache("T:\\big.png", kAccessFile), 1);
    EXPECT_NE(NewLog().find("(error=" + std::to_string(EFBIG) + ", accessmethod=file)"), std::string::npos);
    EXPECT_TRUE(KivFiles(cacheDir_).empty());
}

// A fetch that fails keeps the whole file an earlier fetch made.
TEST_F(CacheManagerTest, FailedRefetchKeepsEarlierFile) {
    ASSERT_EQ(AddImageToCache("T:\\a.png", kAccessFile), 0);
    fs::remove(files_ / "a.png");
    EXPECT_EQ(AddImageToCache("T:\\a.png", kAccessFile), 1);
    EXPECT_EQ(ReadFile(cacheDir_ / CacheFileName("T:\\a.png")), kImage);
    EXPECT_EQ(KivFiles(cacheDir_).size(), 1u);
}

TEST_F(CacheManagerTest, DownloadsWithUserAgentAndFollowsRedirects) {
    FixtureServer server(files_.string(), root_ + "/requests.jsonl");
    ASSERT_NE(server.port(), 0);
    for (const std::string path : {"/files/a.png", "/redirect/a.png"}) {
        const std::string url = Url(server, path);
        NewLog();
        EXPECT_EQ(AddImageToCache(url, kAccessHttp), 0) << NewLog();
        EXPECT_EQ(ReadFile(cacheDir_ / CacheFileName(url)), kImage) << url;
    }
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[2].path, "/files/a.png");
    for (const auto& r : requests)
        EXPECT_EQ(r.userAgent, "Kiv/" + Version::Text() + " (x86)");
    EXPECT_EQ(KivFiles(cacheDir_).size(), 2u);
}

// References are bytes (Windows-1252): bytes outside ASCII go out
// percent-encoded, and the cache name is the digest of the bytes as sent.
TEST_F(CacheManagerTest, DownloadsNonAsciiReference) {
    FixtureServer server(files_.string(), root_ + "/requests.jsonl");
    ASSERT_NE(server.port(), 0);
    WriteFile(files_ / "\xE4rger.png", kImage);
    const std::string url = Url(server, "/files/\xE4rger.png");
    EXPECT_EQ(AddImageToCache(url, kAccessHttp), 0) << NewLog();
    EXPECT_EQ(ReadFile(cacheDir_ / CacheFileName(url)), kImage);
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(server.Requests()[0].path, "/files/%e4rger.png");
    fs::remove(files_ / "\xE4rger.png");
}

TEST_F(CacheManagerTest, StatusOtherThan200WritesNothing) {
    FixtureServer server(files_.string(), root_ + "/requests.jsonl");
    ASSERT_NE(server.port(), 0);
    for (const int status : {404, 500, 204, 203}) {
        const std::string url = Url(server, "/status/" + std::to_string(status));
        NewLog();
        EXPECT_EQ(AddImageToCache(url, kAccessHttp), 1);
        const std::string log = NewLog();
        EXPECT_NE(log.find("http_resource_downloader: Error downloading '" + url + "': Received HTTP status " +
                           std::to_string(status)),
                  std::string::npos)
            << log;
        EXPECT_TRUE(KivFiles(cacheDir_).empty()) << status;
    }
}

// Each hostile source ends in the connection-error line with the library's
// code, within the lowered limits, and leaves no file behind.
TEST_F(CacheManagerTest, HostileSourcesFailCleanly) {
    FixtureServer server(files_.string(), root_ + "/requests.jsonl");
    ASSERT_NE(server.port(), 0);
    SilentListener silent;
    ASSERT_NE(silent.port(), 0);
    const std::string silentUrl = "://127.0.0.1:" + std::to_string(silent.port()) + "/a.png";
    struct Case {
        std::string url;
        int code;
    } cases[] = {
        {Url(server, "/loop"), 47},                                // too many redirects
        {Url(server, "/redirect-to?url=file:///etc/hostname"), 1},  // unsupported protocol
        {Url(server, "/stall"), 28},                               // no progress
        {Url(server, "/drip"), 28},                                // never done
        {Url(server, "/endless"), 63},                             // body over the limit
        {Url(server, "/claims-huge"), 63},
        {"http" + silentUrl, 28},   // answers nothing at all
        {"https" + silentUrl, 28},  // TLS handshake that stalls
        {"http://127.0.0.1:1/a.png", 7},
        {"http://", 3},  // no host
    };
    for (const auto& c : cases) {
        NewLog();
        EXPECT_EQ(AddImageToCache(c.url, kAccessHttp), 1) << c.url;
        const std::string log = NewLog();
        const std::string head = "http_resource_downloader: Error downloading '" + c.url +
                                 "': Could not connect to host. The message from the system is: ";
        const size_t at = log.find(head);
        ASSERT_NE(at, std::string::npos) << log;
        const std::string line = log.substr(at, log.find("\r\n", at) - at);
        const std::string code = " (" + std::to_string(c.code) + ")";
        EXPECT_EQ(line.substr(line.size() - std::min(line.size(), code.size())), code) << line;
        EXPECT_TRUE(KivFiles(cacheDir_).empty()) << c.url;
    }
}

TEST_F(CacheManagerTest, AcceptsSelfSignedCertificate) {
    const std::string cert = root_ + "/cert.pem", key = root_ + "/key.pem";
    ASSERT_TRUE(MakeSelfSignedCertificate(cert, key));
    FixtureServer server(files_.string(), root_ + "/requests.jsonl", "", cert, key);
    ASSERT_NE(server.port(), 0);
    const std::string url = Url(server, "/redirect/a.png", "https");
    EXPECT_EQ(AddImageToCache(url, kAccessHttp), 0) << NewLog();
    EXPECT_EQ(ReadFile(cacheDir_ / CacheFileName(url)), kImage);
}

// Credentials answer a challenge of the host asked, and nothing else: not
// up front to a later host once some server has asked (the handle is
// reused), not to another host after a redirect, and not at all when none
// are configured.
TEST_F(CacheManagerTest, CredentialsOnlyInAnswerToTheHostsChallenge) {
    FixtureServer server(files_.string(), root_ + "/requests.jsonl", "operator:s3cret: x");
    FixtureServer other(files_.string(), root_ + "/other.jsonl");
    ASSERT_NE(server.port(), 0);
    ASSERT_NE(other.port(), 0);
    Settings.HttpAuthUser = "operator";
    Settings.HttpAuthPass = "s3cret: x";
    const std::string url = Url(server, "/auth/a.png");
    EXPECT_EQ(AddImageToCache(url, kAccessHttp), 0) << NewLog();
    EXPECT_EQ(ReadFile(cacheDir_ / CacheFileName(url)), kImage);
    EXPECT_EQ(AddImageToCache(Url(other, "/files/a.png"), kAccessHttp), 0) << NewLog();
    EXPECT_EQ(AddImageToCache(Url(server, "/files/a.png"), kAccessHttp), 0) << NewLog();
    // Redirected to another host name (the same server), which then asks.
    const std::string otherName = "http://localhost:" + std::to_string(server.port()) + "/auth/a.png";
    EXPECT_EQ(AddImageToCache(Url(server, "/redirect-to?url=" + otherName), kAccessHttp), 1);
    EXPECT_NE(NewLog().find("Received HTTP status 401"), std::string::npos);
    // None configured: the request is still made, and nothing is offered.
    Settings.HttpAuthUser.clear();
    Settings.HttpAuthPass.clear();
    EXPECT_EQ(AddImageToCache(url, kAccessHttp), 1);
    EXPECT_NE(NewLog().find("Received HTTP status 401"), std::string::npos);

    // One request carried them: the second one of the first fetch, after the challenge.
    const auto requests = server.Requests();
    std::vector<std::string> withCredentials;
    for (size_t i = 0; i < requests.size(); ++i)
        if (!requests[i].authorization.empty()) withCredentials.push_back(std::to_string(i) + " " + requests[i].host);
    EXPECT_EQ(withCredentials, std::vector<std::string>{"1 127.0.0.1:" + std::to_string(server.port())});
    EXPECT_EQ(requests.back().path, "/auth/a.png");
    ASSERT_EQ(other.Requests().size(), 1u);
    EXPECT_EQ(other.Requests()[0].authorization, "");
}

TEST_F(CacheManagerTest, MissingCacheDirectoryFailsTheDownload) {
    FixtureServer server(files_.string(), root_ + "/requests.jsonl");
    ASSERT_NE(server.port(), 0);
    fs::remove_all(cacheDir_);
    const std::string url = Url(server, "/files/a.png");
    EXPECT_EQ(AddImageToCache(url, kAccessHttp), 1);
    EXPECT_NE(NewLog().find("Could not connect to host. The message from the system is: Failed creating the cache "
                            "file: No such file or directory (" +
                            std::to_string(ENOENT) + ")"),
              std::string::npos);
    EXPECT_FALSE(IsImageCached(url));
}

}  // namespace
