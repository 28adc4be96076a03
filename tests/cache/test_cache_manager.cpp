// Cache names, image references, and the cache manager against real files and
// local HTTP(S) servers, with limits lowered so that hostile cases end quickly.
#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QTemporaryDir>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>

#include "cache/ImageReference.h"
#include "cache/modCacheManager.h"
#include "cache/modMD5.h"
#include "core/Log.h"
#include "core/Settings.h"
#include "core/Version.h"
#include "core/modMain.h"
#include "tests/cache/FixtureServer.h"
#include "tests/e2e/KivProcess.h"
#include "tests/protocol/LogSince.h"

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

// Every length across the padding boundaries and every byte value, against
// Qt's digest; the cache name is the digest of the reference as received.
TEST(MD5, MatchesAReferenceDigest) {
    std::string message;
    for (int n = 0; n < 300; message += char(n * 7 + 1), ++n)
        ASSERT_EQ(MD5Hex(message), QCryptographicHash::hash(QByteArray::fromStdString(message), QCryptographicHash::Md5)
                                       .toHex().toUpper().toStdString()) << n;
    EXPECT_EQ(CacheFileName("abc"), "kiv_900150983CD24FB0D6963F7D28E17F72");
    EXPECT_EQ(CacheFileName("T:\\A.png "), "kiv_" + MD5Hex("T:\\A.png "));
}

TEST(FindImageReference, Table) {
    const char *file = kAccessFile, *unc = kAccessUnc, *http = kAccessHttp;
    const struct { const char *line, *reference, *method; } cases[] = {  // reference nullptr: none
        {"SCENE*#1234*IMAGE SET \"C:\\img\\a.png\"", "C:\\img\\a.png", file},
        {"RENDERER SET C:\\my img\\a.png", "C:\\my", file},
        {"RENDERER SET \"\\\\srv\\share\\a.png\" INITIALIZE", "\\\\srv\\share\\a.png", unc},
        {"RENDERER SET http://host:8080/a.png?x=1", "http://host:8080/a.png?x=1", http},
        {"RENDERER SET C:\\a.png http://h/b.png", "http://h/b.png", http},  // a URL anywhere goes first
        {"RENDERER SET https://a/x.png http://b/y.png", "http://b/y.png", http},  // then http before https
        {"RENDERER SET HTTP://host/C:\\x.png", "C:\\x.png", file},  // case-sensitive
        // Local paths of this machine, right after SET in any case.
        {"RENDERER SET /srv/img/a.png", "/srv/img/a.png", file}, {"RENDERER SET \"/srv/a.png\"", "/srv/a.png", file},
        {"SCENE*#7*IMAGE set \"/srv/my a.png\" INITIALIZE", "/srv/my", file},
        {"RENDERER SET  /srv/a.png", nullptr, nullptr}, {"RENDERER SET img/a.png", nullptr, nullptr},
        {"RENDERER SET C:\\bilder\\\xE4rger.png", "C:\\bilder\\\xE4rger.png", file},  // bytes kept as they are
        {"RENDERER SET http://h/a\"b c", "http://h/a", http},  // a double quote ends it before a blank
        {"RENDERER SET http://", "http://", http}, {"RENDERER SET https://host/a.png", "https://host/a.png", http},
    };
    for (const auto& c : cases) {
        const std::optional<ImageReference> found = FindImageReference(c.line);
        EXPECT_EQ(found ? found->reference + " " + found->accessMethod : "none",
                  c.reference ? std::string(c.reference) + " " + c.method : "none") << c.line;
    }
}

const std::string kImage = std::string("\x89PNG\r\n\x1a\n", 8) + std::string(5000, '\x42') + std::string("\0end", 4);

class CacheManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureCoreApplication();
        WriteFile(files_ / "a.png", kImage);
        Settings = SettingsData{};
        Settings.CacheDir = cache_.string();
        Settings.DriveRoots['T' - 'A'] = files_.string();
        Settings.UncRoot = root_ + "/unc";
        Settings.VerboseConsole = 1;
        SetHttpRequestLimits({.connectTimeoutMs = 1500, .stallTimeoutS = 1, .totalTimeoutS = 3, .maxBodyBytes = 1 << 20});
        InitCacheManager();
        ASSERT_FALSE(FatalError);
        NewLog();
    }

    std::string NewLog() { return LogSince(mark_); }

    // Names in the cache directory that start with "kiv_".
    std::vector<std::string> KivFiles() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(cache_))
            if (entry.path().filename().string().starts_with("kiv_")) names.push_back(entry.path().filename());
        return names;
    }

    QTemporaryDir tmp_;
    std::string root_ = tmp_.path().toStdString();
    fs::path cache_ = root_ + "/cache", files_ = root_ + "/files";
    size_t mark_ = 0;
};

// The clean-up deletes "kiv_" files only. The start creates one missing level
// of the cache directory; a missing parent is fatal, and the manager gives up.
TEST_F(CacheManagerTest, StartAndCleanup) {
    for (const char* name : {"kiv_COMPOSITEIMAGE", "kiv_0123", "kiv_ABC.partXyZ123", "keep.txt", "KIV_upper"})
        WriteFile(cache_ / name, "x");
    fs::create_directory(cache_ / "kiv_dir");
    CleanupCache();
    EXPECT_EQ(KivFiles(), std::vector<std::string>{"kiv_dir"});
    EXPECT_TRUE(fs::exists(cache_ / "keep.txt") && fs::exists(cache_ / "KIV_upper"));
    for (const std::string& dir : {root_ + "/fresh", root_ + "/missing/cache"}) {
        Settings.CacheDir = dir;
        InitCacheManager();
    }
    EXPECT_TRUE(FatalError && fs::is_directory(root_ + "/fresh"));
    const std::string creating = "[CCH]  Initializing CacheManager\r\n[CCH]  Cache directory doesn't exist. Creating new "
                                 "Cache directory: " + root_;
    EXPECT_EQ(NewLog(), "[CCH]  CacheManager: Cleaning up cache...\r\n" + creating + "/fresh...\r\n"
                        "[CCH]  CacheManager: Cleaning up cache...\r\n[CCH]  CacheManager: Initializing "
                        "http_resource_downloader\r\n" + creating + "/missing/cache...\r\n[CCH]E Failed to create "
                        "directory: " + root_ + "/missing/cache\r\n[CCH]F CacheManager: Failed to initialize\r\n"
                        "[SYS]F Fatal Error. Cannot continue, and will not be able to enter On Air mode.\r\n");
    FatalError = false;
}

// Each reference, its access method and either the bytes cached or the end of
// the error line ("*": any text); a failure leaves no file. Credentials only
// answer the challenge of the host asked (not a redirect's other host).
TEST_F(CacheManagerTest, CopiesAndDownloads) {
    FixtureServer http(files_.string(), root_ + "/http.log", "operator:s3cret: x");
    FixtureServer https(files_.string(), root_ + "/https.log", "", true);
    ASSERT_TRUE(http.port() && https.port());
    Settings.HttpAuthUser = "operator";
    Settings.HttpAuthPass = "s3cret: x";
    WriteFile(root_ + "/unc/srv/share/pics/b.png", kImage + "unc");
    WriteFile(files_ / "\xE4rger.png", kImage);
    WriteFile(files_ / "big.png", std::string((1 << 20) + 1, 'x'));
    ::mkfifo((files_ / "pipe").c_str(), 0600);
    fs::create_directory(files_ / "dir");
    const char *file = kAccessFile, *unc = kAccessUnc, *web = kAccessHttp;
    const auto fail = [](int e, const char* m) { return "'. (error=" + std::to_string(e) + ", accessmethod=" + m + ")"; };
    const std::string connect = "': Could not connect to host. The message from the system is: ";
    const std::string elsewhere = "http://localhost:" + std::to_string(http.port()) + "/auth/a.png";
    const struct { std::string reference; const char* method; std::string expect; } rows[] = {
        {"T:\\a.png", file, kImage}, {"t:\\sub\\..\\a.png", file, kImage},
        {"T:\\A.PNG", file, kImage},  // a Windows reference: case does not matter
        {"\\\\srv\\share\\pics\\b.png", unc, kImage + "unc"}, {(files_ / "a.png").string(), file, kImage},
        {"T:\\missing.png", file, fail(ENOENT, file)}, {"T:\\dir", file, fail(EISDIR, file)},
        {"T:\\pipe", file, fail(EINVAL, file)},  // must not block on open
        {"/dev/zero", file, fail(EINVAL, file)},  // would never end
        {"T:\\a.png\\x", file, fail(ENOTDIR, file)}, {"T:\\big.png", file, fail(EFBIG, file)},
        {"\\\\nohost\\noshare\\a.png", unc, fail(ENOENT, unc)},
        {http.Url("/files/a.png"), web, kImage}, {http.Url("/redirect/a.png"), web, kImage},
        {http.Url("/files/\xE4rger.png"), web, kImage},  // sent percent-encoded
        {http.Url("/auth/a.png"), web, kImage}, {https.Url("/redirect/a.png"), web, kImage},  // self-signed is fine
        {http.Url("/redirect-to?url=" + elsewhere), web, "': Received HTTP status 401"},
        {http.Url("/status/404"), web, "': Received HTTP status 404"},
        {http.Url("/status/203"), web, "': Received HTTP status 203"},
        {http.Url("/status/204"), web, "': Received HTTP status 204"},
        {http.Url("/loop"), web, connect + "Maximum (10) redirects followed (47)"},
        {http.Url("/redirect-to?url=file:///etc/hostname"), web, connect + "* (1)"},
        {http.Url("/drip"), web, connect + "* (28)"}, {http.Url("/endless"), web, connect + "* (63)"},
        {"http://127.0.0.1:1/a.png", web, connect + "* (7)"}, {"http://", web, connect + "* (3)"},
    };
    for (const auto& row : rows) {
        const size_t files = KivFiles().size();
        const bool ok = row.expect[0] != '\'';
        EXPECT_EQ(AddImageToCache(row.reference, row.method), ok ? 0 : 1) << row.reference;
        const std::string log = NewLog();
        const std::string head = "[CCH]  Loading Image: '" + row.reference + "' (accessmethod=" + row.method + ")\r\n";
        const std::string error = row.method == web ? "[CCH]E http_resource_downloader: Error downloading '"
                                                    : "[CCH]E Error getting file '";
        const std::string expected =
            head + (ok ? "[CCH]V Added Image to cache: " + CacheFileName(row.reference) : error + row.reference + row.expect);
        const size_t star = expected.find('*');  // none: npos + 1 is 0
        EXPECT_TRUE(log.starts_with(expected.substr(0, star)) && log.ends_with(expected.substr(star + 1) + "\r\n") &&
                    std::count(log.begin(), log.end(), '\n') == 2) << log;
        if (ok) { EXPECT_EQ(ReadFile(cache_ / CacheFileName(row.reference)), row.expect) << row.reference; }
        EXPECT_EQ(KivFiles().size(), files + ok) << row.reference;
    }
    Settings.HttpAuthUser = Settings.HttpAuthPass = "";  // none configured: none offered
    EXPECT_EQ(AddImageToCache(http.Url("/auth/b.png"), web), 1);
    const std::string agent = "\tKiv/" + Version::Text() + " (x86)\n", requests = http.Requests();
    for (size_t end = requests.find('\n'); end != std::string::npos; end = requests.find('\n', end + 1))
        EXPECT_TRUE(requests.substr(0, end + 1).ends_with(agent)) << requests;
    EXPECT_NE(requests.find("/files/%e4rger.png\t"), std::string::npos);
    EXPECT_NE(requests.find("\n/auth/a.png\t127.0.0.1:" + std::to_string(http.port()) + "\t" + agent +
                            "/auth/a.png\t127.0.0.1:" + std::to_string(http.port()) + "\tBasic b3BlcmF0b3I6czNjcmV0OiB4" +
                            agent), std::string::npos) << requests;
    EXPECT_EQ(requests.find("Basic", requests.find("Basic") + 1), std::string::npos) << requests;
    EXPECT_EQ(https.Requests().find("Basic"), std::string::npos);

    // A fetch that fails keeps the whole file an earlier fetch made.
    fs::remove(files_ / "a.png");
    EXPECT_EQ(AddImageToCache("T:\\a.png", kAccessFile), 1);
    EXPECT_EQ(ReadFile(cache_ / CacheFileName("T:\\a.png")), kImage);
    fs::remove_all(cache_);
    EXPECT_EQ(AddImageToCache(http.Url("/files/b.png"), kAccessHttp), 1);
    EXPECT_NE(NewLog().find(connect + "Failed creating the cache file: No such file or directory (2)\r\n"), std::string::npos);
}

}  // namespace
