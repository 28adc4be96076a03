#include <gtest/gtest.h>

#include <functional>

#include "core/Config.h"
#include "core/Log.h"
#include "core/Settings.h"
#include "core/modMain.h"
#include "tests/core/TestDir.h"

namespace {
const char* kWarning =
    "[SYS]W Warning: The file kiv.ini is not compatible with this version of Kiv. Dazed and confused, but trying to "
    "continue.\r\n";
const char* kError = "[SYS]E Error while reading kiv.ini. The file is probably missing or corrupt.\r\n";
const char* kFatal = "[SYS]F Fatal Error. Cannot continue, and will not be able to enter On Air mode.\r\n";

class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        Settings = SettingsData{};
        FatalError = false;
        SetProgramDir(dir.Path());
        mark = ConsoleText().size();
    }
    // What ReadConfig logged.
    std::string Logged() const { return ConsoleText().substr(mark); }
    int Read(const std::string& ini) {
        dir.Write("kiv.ini", ini);
        return ReadConfig();
    }

    TestDir dir;
    size_t mark = 0;
};

struct Shape {
    const char* name;
    std::string ini;
    int result;
    bool warning;
    std::function<void(const std::string& dir)> check;
};

// A file as a Windows editor saves it in Unicode: byte order mark, then
// UTF-16 units; `text` is followed by a path with characters of the upper
// half of Windows-1252 and one it lacks.
const std::string kUnicodeImage = "[Defaults]\nStartupImage=/img/caf\xC3\xA9 \xE2\x82\xAC\xCE\xA9.png\n";
std::string Utf16(std::u16string text, bool bigEndian) {
    text += u"[Defaults]\nStartupImage=/img/caf\u00e9 \u20ac\u03a9.png\n";
    std::string bytes = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
    for (const char16_t unit : text) {
        const char hi = static_cast<char>(unit >> 8), lo = static_cast<char>(unit & 0xFF);
        bytes += bigEndian ? hi : lo;
        bytes += bigEndian ? lo : hi;
    }
    return bytes;
}
std::function<void(const std::string&)> ExpectUnicodeRead(int port) {
    return [port](const std::string&) {
        EXPECT_EQ(Settings.ListeningPort, port);
        EXPECT_EQ(Settings.StartupImage, "/img/caf\xE9 \x80?.png");
    };
}

TEST_F(ConfigTest, FileShapes) {
    const Shape shapes[] = {
        {"only Version=1 gives every default", "[General]\r\nVersion=1\r\n", 0, false,
         [](const std::string& d) {
             EXPECT_EQ(Settings.HideConsoleOnStartup, 0);
             EXPECT_EQ(Settings.OnAirOnStartup, 1);
             EXPECT_EQ(Settings.ListeningPort, 6100);
             EXPECT_EQ(Settings.DisplayFrameRate, 25);
             EXPECT_EQ(Settings.DisableGui, 0);
             EXPECT_EQ(Settings.OnAirMonitor, 2);
             EXPECT_EQ(Settings.Compatible, "11.0.1");
             EXPECT_EQ(Settings.VerboseConsole, 0);
             EXPECT_EQ(Settings.CacheDir, d + "/cache");
             EXPECT_EQ(Settings.DisableGFXOnCleanup, 0);
             EXPECT_EQ(Settings.DisableGFXWhenOffAir, 1);
             EXPECT_EQ(Settings.IgnoreAspect, 0);
             EXPECT_EQ(Settings.UseBlurredBackground, 1);
             EXPECT_EQ(Settings.BlurredBackgroundLightness, -20);
             EXPECT_EQ(Settings.BlurredBackgroundColor, 0x808080u);
             EXPECT_EQ(Settings.BlurredBackgroundOpacity, 30);
             EXPECT_EQ(Settings.ShadowColor, 0u);
             EXPECT_EQ(Settings.ShadowOpacity, 30);
             EXPECT_EQ(Settings.AlphaAddTop, 0);
             EXPECT_EQ(Settings.StartupImage, "");
             EXPECT_EQ(Settings.TransMode, "Fade");
             EXPECT_EQ(Settings.TransDur, 12);
             EXPECT_EQ(Settings.HttpAuthUser, "");
         }},
        {"Version 2 warns", "[General]\nVersion=2\nListeningPort=7000\n", 0, true,
         [](const std::string&) { EXPECT_EQ(Settings.ListeningPort, 7000); }},
        {"Version 0 warns", "[General]\nVersion=0\n", 0, true, nullptr},
        {"missing Version warns", "[General]\nListeningPort=7000\n", 0, true,
         [](const std::string&) { EXPECT_EQ(Settings.ListeningPort, 7000); }},
        {"Version 1.4 is above 1 and warns", "[General]\nVersion=1.4\n", 0, true, nullptr},
        {"Version 1.000000000000000000001 warns", "[General]\nVersion=1.000000000000000000001\n", 0, true, nullptr},
        {"Version 1.0 is 1", "[General]\nVersion= 1.0 \n", 0, false, nullptr},
        {"Version 0.1e1 is 1", "[General]\nVersion=0.1e1\n", 0, false, nullptr},
        {"Version 0.0e5 is 0 and warns", "[General]\nVersion=0.0e5\n", 0, true, nullptr},
        {"ties to even", "[General]\nVersion=1\n[Transition]\nTransDur=12.5\n[General]\nDisplayFrameRate=13.5\n", 0,
         false,
         [](const std::string&) {
             EXPECT_EQ(Settings.TransDur, 12);
             // Only the first [General] section counts, as with the system's reader.
             EXPECT_EQ(Settings.DisplayFrameRate, 25);
         }},
        {"13.5 becomes 14", "[General]\nVersion=1\n[Transition]\nTransDur=13.5\n", 0, false,
         [](const std::string&) { EXPECT_EQ(Settings.TransDur, 14); }},
        {"sections and keys without regard to case, blanks and quotes trimmed",
         "  [ GENERAL ]  \n VERSION = 1 \nlisteningPORT\t=\t7001\t\n[defaults]\nStartupImage = \"/img/a b.png\"\n", 0,
         false,
         [](const std::string&) {
             EXPECT_EQ(Settings.ListeningPort, 7001);
             EXPECT_EQ(Settings.StartupImage, "/img/a b.png");
         }},
        {"unknown keys and sections are ignored, the first of a key counts",
         "[General]\nVersion=1\nFoo=bar\nListeningPort=7002\nListeningPort=abc\n[Nowhere]\nListeningPort=1\n", 0,
         false, [](const std::string&) { EXPECT_EQ(Settings.ListeningPort, 7002); }},
        {"colours", "[General]\nVersion=1\n[Rendering]\nShadowColor=#ff0000\nBlurredBackgroundColor=ff0000\n"
                    "[Defaults]\nStartupColor=#f00\nCleanupColor=#00Ff00\nBackgroundColor=#0000FF\nOutColor=#zz0000\n",
         0, false,
         [](const std::string&) {
             EXPECT_EQ(Settings.ShadowColor, 255u);
             EXPECT_EQ(Settings.BlurredBackgroundColor, 0u);
             EXPECT_EQ(Settings.StartupColor, 0u);
             EXPECT_EQ(Settings.CleanupColor, 0xff00u);
             EXPECT_EQ(Settings.BackgroundColor, 0xff0000u);
             EXPECT_EQ(Settings.OutColor, 0u);
         }},
        {"CacheDir drive path with trailing backslash",
         "[General]\nVersion=1\nCacheDir=D:\\imagecache\\\n[Drives]\nD=/data/\n", 0, false,
         [](const std::string&) { EXPECT_EQ(Settings.CacheDir, "/data/imagecache"); }},
        {"CacheDir local path with trailing slash", "[General]\nVersion=1\nCacheDir=/var/cache/kiv/\n", 0, false,
         [](const std::string&) { EXPECT_EQ(Settings.CacheDir, "/var/cache/kiv"); }},
        {"empty CacheDir falls back", "[General]\nVersion=1\nCacheDir=\n", 0, false,
         [](const std::string& d) { EXPECT_EQ(Settings.CacheDir, d + "/cache"); }},
        {"Compatible given is kept", "[General]\nVersion=1\nCompatible=9.9\n", 0, false,
         [](const std::string&) { EXPECT_EQ(Settings.Compatible, "9.9"); }},
        {"drives and UNC root", "[General]\nVersion=1\n[Drives]\nc=/srv/playout\n[Paths]\nUncRoot=/net\n"
                                "[Defaults]\nStartupImage=C:\\logos\\start.png\nCleanupImage=\\\\fs\\gfx\\clean.png\n",
         0, false,
         [](const std::string&) {
             EXPECT_EQ(Settings.DriveRoots[2], "/srv/playout");
             EXPECT_EQ(Settings.StartupImage, "/srv/playout/logos/start.png");
             EXPECT_EQ(Settings.CleanupImage, "/net/fs/gfx/clean.png");
         }},
        {"a value of 10,000 characters is cut to 749",
         "[General]\nVersion=1\n[HttpAuth]\nHttpAuthUser=" + std::string(10000, 'u') + "\n", 0, false,
         [](const std::string&) { EXPECT_EQ(Settings.HttpAuthUser, std::string(749, 'u')); }},
        {"UTF-8 with byte order mark", "\xEF\xBB\xBF[General]\nVersion=1\nListeningPort=7003\n" + kUnicodeImage, 0,
         false, ExpectUnicodeRead(7003)},
        {"UTF-16 LE with byte order mark", Utf16(u"[General]\r\nVersion=1\r\nListeningPort=7004\r\n", false), 0,
         false, ExpectUnicodeRead(7004)},
        {"UTF-16 BE with byte order mark", Utf16(u"[General]\r\nVersion=1\r\nListeningPort=7005\r\n", true), 0,
         false, ExpectUnicodeRead(7005)},
        {"truncated in the middle of a line", "[General]\nVersion=1\nListeningPort=70", 0, false,
         [](const std::string&) { EXPECT_EQ(Settings.ListeningPort, 70); }},
        {"binary file without sections: defaults, with the warning",
         std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR=\xff\xfe[", 20), 0, true,
         [](const std::string&) { EXPECT_EQ(Settings.ListeningPort, 6100); }},
    };
    for (const Shape& shape : shapes) {
        SCOPED_TRACE(shape.name);
        SetUp();
        EXPECT_EQ(Read(shape.ini), shape.result);
        const std::string log = Logged();
        EXPECT_NE(log.find("Reading " + dir.Path() + "/kiv.ini..."), std::string::npos) << log;
        EXPECT_EQ(log.find(kWarning) != std::string::npos, shape.warning) << log;
        EXPECT_EQ(log.find(kError), std::string::npos) << log;
        EXPECT_FALSE(FatalError);
        if (shape.check) shape.check(dir.Path());
    }
}

TEST_F(ConfigTest, FailurePath) {
    struct Bad {
        const char* name;
        std::string ini;
        std::function<void()> check;
    };
    const Bad bad[] = {
        {"non-numeric Version", "[General]\nVersion=abc\nListeningPort=7000\n",
         [] { EXPECT_EQ(Settings.ListeningPort, 0); }},
        {"ListeningPort abc keeps what was converted before it",
         "[General]\nVersion=1\nHideConsoleOnStartup=1\nListeningPort=abc\n[Defaults]\nStartupImage=/a.png\n",
         [] {
             EXPECT_EQ(Settings.HideConsoleOnStartup, 1);
             EXPECT_EQ(Settings.OnAirOnStartup, 1);
             EXPECT_EQ(Settings.ListeningPort, 0);
             EXPECT_EQ(Settings.DisplayFrameRate, 0);
             EXPECT_EQ(Settings.StartupImage, "/a.png");
             EXPECT_EQ(Settings.BlurredBackgroundColor, 0u);
             EXPECT_EQ(Settings.CacheDir, "");
         }},
        {"empty integer", "[General]\nVersion=1\n[Transition]\nTransDur=\n", nullptr},
        {"integer beyond 32 bits", "[General]\nVersion=1\nListeningPort=4294967296\n", nullptr},
        {"number with trailing text", "[General]\nVersion=1\nDisableGui=1x\n", nullptr},
    };
    for (const Bad& b : bad) {
        SCOPED_TRACE(b.name);
        SetUp();
        EXPECT_EQ(Read(b.ini), 1);
        const std::string log = Logged();
        const size_t error = log.find(kError);
        ASSERT_NE(error, std::string::npos) << log;
        EXPECT_NE(log.find(kFatal, error), std::string::npos) << log;
        EXPECT_TRUE(FatalError);
        if (b.check) b.check();
    }
}

TEST_F(ConfigTest, MissingOrUnreadableFile) {
    EXPECT_EQ(ReadConfig(), 1);  // no kiv.ini in the folder
    EXPECT_NE(Logged().find(kError), std::string::npos);
    EXPECT_TRUE(FatalError);

    SetUp();
    std::filesystem::create_directory(dir.Path() + "/kiv.ini");  // not a file
    EXPECT_EQ(ReadConfig(), 1);
    EXPECT_NE(Logged().find(kError), std::string::npos);
}

TEST_F(ConfigTest, HugeFileIsReadOnlyAsFarAsTheBound) {
    std::string ini = "[General]\nVersion=1\nListeningPort=7004\n";
    const std::string filler = ";" + std::string(1000, 'x') + "\n";
    while (ini.size() < (4u << 20)) ini += filler;
    ini += "DisplayFrameRate=50\n";
    EXPECT_EQ(Read(ini), 0);
    EXPECT_EQ(Settings.ListeningPort, 7004);
    EXPECT_EQ(Settings.DisplayFrameRate, 25);
}

TEST_F(ConfigTest, ShippedIniHasTheDefaultsAndAutomaticMonitor) {
    EXPECT_EQ(ReadConfigFile(KIV_SOURCE_DIR "/kiv.ini"), 0);
    EXPECT_EQ(Logged().find("]W "), std::string::npos) << Logged();
    SettingsData shipped = Settings;

    SetUp();
    ASSERT_EQ(Read("[General]\nVersion=1\n"), 0);
    EXPECT_EQ(shipped.OnAirMonitor, 0);
    EXPECT_EQ(shipped.UncRoot, "/mnt");  // written out in the shipped file
    shipped.OnAirMonitor = Settings.OnAirMonitor;
    shipped.UncRoot = Settings.UncRoot;
    shipped.CacheDir = Settings.CacheDir;  // both "cache" beside the program
    EXPECT_TRUE(shipped == Settings) << "every other key of the shipped kiv.ini is at its default";
}

TEST(ReadIniValue, LooksUpOneValue) {
    TestDir dir;
    const std::string path = dir.Write("x.ini", "[A]\nkey=value\nlong=" + std::string(800, 'v') + "\n");
    EXPECT_EQ(ReadIniValue("a", "key", path, "def"), "value");
    EXPECT_EQ(ReadIniValue("a", "other", path, "def"), "def");
    EXPECT_EQ(ReadIniValue("b", "key", path, "def"), "def");
    EXPECT_EQ(ReadIniValue("a", "long", path, "").size(), 749u);
    EXPECT_EQ(ReadIniValue("a", "key", dir.Path() + "/missing.ini", "def"), "def");
    EXPECT_EQ(ReadIniValue("a", "key", dir.Path() + "/missing.ini", std::string(800, 'd')).size(), 749u);
}

TEST(ToInt32HalfEven, Conversions) {
    const struct {
        const char* text;
        std::optional<int32_t> value;
    } cases[] = {
        {"0", 0},
        {"12.5", 12},
        {"13.5", 14},
        {"0.5", 0},
        {"1.5", 2},
        {"2.5000001", 3},
        {"2.4999999", 2},
        {"2.500", 2},
        {"3.50", 4},
        {"100", 100},
        {"000.000", 0},
        {"-2.5", -2},
        {"-3.5", -4},
        {"-0.6", -1},
        {" 7 ", 7},
        {"+3", 3},
        {"007", 7},
        {"5.", 5},
        {".5", 0},
        {".51", 1},
        {"1e3", 1000},
        {"1.5E1", 15},
        {"25e-1", 2},
        {"35e-1", 4},
        {"1e-99999", 0},
        {"2147483647", 2147483647},
        {"2147483647.4", 2147483647},
        {"2147483647.5", std::nullopt},
        {"-2147483648", INT32_MIN},
        {"-2147483648.5", INT32_MIN},
        {"-2147483649", std::nullopt},
        {"99999999999999999999", std::nullopt},
        {"1e999999999999", std::nullopt},
        {"", std::nullopt},
        {"  ", std::nullopt},
        {"abc", std::nullopt},
        {"12abc", std::nullopt},
        {"1,5", std::nullopt},
        {".", std::nullopt},
        {"-", std::nullopt},
        {"1e", std::nullopt},
        {"1.2.3", std::nullopt},
        {"0x10", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(ToInt32HalfEven(c.text), c.value) << '"' << c.text << '"';
    EXPECT_EQ(ToInt32HalfEven(std::string("1\0002", 3)), std::nullopt);
}

TEST(ParseColor, Shapes) {
    const struct {
        const char* text;
        uint32_t value;
    } cases[] = {
        {"#ff0000", 0x0000ffu}, {"#00FF00", 0x00ff00u}, {"#0000ff", 0xff0000u}, {"#123456", 0x563412u},
        {"#FfFfFf", 0xffffffu}, {"ff0000", 0u},         {"#f00", 0u},          {"#ff00001", 0u},
        {"", 0u},               {"#", 0u},              {"#gg0000", 0u},       {"# ff000", 0u},
        {"#-10000", 0u},        {"#ff000g", 0u},        {"0xff0000", 0u},      {" #ff0000", 0u},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseColor(c.text), c.value) << '"' << c.text << '"';
}
}  // namespace
