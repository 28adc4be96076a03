#include <gtest/gtest.h>

#include <functional>

#include <QString>

#include "core/Config.h"
#include "core/Log.h"
#include "core/Settings.h"
#include "core/modMain.h"
#include "tests/core/TestDir.h"

namespace {
const char* kWarning = "[SYS]W Warning: The file kiv.ini is not compatible with this version of Kiv. Dazed and "
                       "confused, but trying to continue.\r\n";
const char* kError = "[SYS]E Error while reading kiv.ini. The file is probably missing or corrupt.\r\n";
const std::string kGeneral = "[General]\nVersion=1\n";  // the least a valid kiv.ini holds
const char* kFatal = "[SYS]F Fatal Error. Cannot continue, and will not be able to enter On Air mode.\r\n";

class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        Settings = SettingsData{};
        FatalError = false;
        SetProgramDir(dir.Path());
        mark = ConsoleText().size();
    }
    std::string Logged() const { return ConsoleText().substr(mark); }  // since SetUp
    int Read(const std::string& ini) { return dir.Write("kiv.ini", ini), ReadConfig(); }
    TestDir dir;
    size_t mark = 0;
};

// As a Windows editor saves Unicode: a byte order mark, then UTF-16 units,
// with characters of the upper half of Windows-1252 and one it lacks.
const std::u16string kUnicode =
    u"[General]\r\nVersion=1\r\nListeningPort=7004\r\n[Defaults]\nStartupImage=/img/caf\u00e9 \u20ac\u03a9.png\n";
std::string Utf16(bool bigEndian) {
    std::string bytes = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
    for (const char16_t unit : kUnicode) {
        const char hi = static_cast<char>(unit >> 8), lo = static_cast<char>(unit & 0xFF);
        bytes += bigEndian ? std::string{hi, lo} : std::string{lo, hi};
    }
    return bytes;
}

TEST_F(ConfigTest, FileShapes) {
    const auto port = [](int p) { return [p] { EXPECT_EQ(Settings.ListeningPort, p); }; };
    const auto unicode = [&] { EXPECT_EQ(Settings.StartupImage, "/img/caf\xE9 \x80?.png"), port(7004)(); };
    const std::tuple<std::string, bool, std::function<void()>> shapes[] = {
        {"[General]\r\nVersion=1\r\n", false, [&] {  // the defaults the shipped file does not spell out
             EXPECT_EQ(Settings.OnAirMonitor, 2);
             EXPECT_EQ(Settings.Compatible, "11.0.1");
             EXPECT_EQ(Settings.CacheDir, dir.Path() + "/cache");
         }},
        {"[General]\nVersion=2\nListeningPort=7000\n", true, port(7000)}, {"[General]\nVersion=0\n", true, {}},
        {"[General]\nListeningPort=7000\n", true, port(7000)}, {"[General]\nVersion=1.4\n", true, {}},
        {"[General]\nVersion=1.000000000000000000001\n", true, {}}, {"[General]\nVersion= 1.0 \n", false, {}},
        {"[General]\nVersion=0.1e1\n", false, {}}, {"[General]\nVersion=0.0e5\n", true, {}},
        // Ties to even; only the first [General] section counts, as with the system's reader.
        {kGeneral + "[Transition]\nTransDur=12.5\n[General]\nDisplayFrameRate=13.5\n", false,
         [] { EXPECT_EQ(Settings.TransDur, 12); EXPECT_EQ(Settings.DisplayFrameRate, 25); }},
        // Sections and keys without regard to case, blanks and quotes trimmed; the first of a key counts.
        {"  [ GENERAL ]  \n VERSION = 1 \nlisteningPORT\t=\t7001\t\nListeningPort=abc\nFoo=bar\n[Nowhere]\n"
         "ListeningPort=1\n[defaults]\nStartupImage = \"/img/a b.png\"\n",
         false, [] { EXPECT_EQ(Settings.ListeningPort, 7001); EXPECT_EQ(Settings.StartupImage, "/img/a b.png"); }},
        {kGeneral + "[Rendering]\nShadowColor=#ff0000\nBlurredBackgroundColor=ff0000\n[Defaults]\nStartupColor=#f00\n"
             "CleanupColor=#00Ff00\nBackgroundColor=#0000FF\nOutColor=#zz0000\n",
         false, [] {
             EXPECT_EQ(std::vector<uint32_t>({Settings.ShadowColor, Settings.BlurredBackgroundColor,
                                              Settings.StartupColor, Settings.CleanupColor, Settings.BackgroundColor,
                                              Settings.OutColor}),
                       std::vector<uint32_t>({255, 0, 0, 0xff00, 0xff0000, 0}));
         }},
        {kGeneral + "CacheDir=D:\\imagecache\\\n[Drives]\nD=/data/\n", false,
         [] { EXPECT_EQ(Settings.CacheDir, "/data/imagecache"); }},
        {kGeneral + "CacheDir=/var/cache/kiv/\nCompatible=9.9\n", false,
         [] { EXPECT_EQ(Settings.CacheDir, "/var/cache/kiv"); EXPECT_EQ(Settings.Compatible, "9.9"); }},
        {kGeneral + "CacheDir=\n", false, [&] { EXPECT_EQ(Settings.CacheDir, dir.Path() + "/cache"); }},
        {kGeneral + "[Drives]\nc=/srv/playout\n[Paths]\nUncRoot=/net\n[Defaults]\nStartupImage=C:\\logos\\start.png\n"
             "CleanupImage=\\\\fs\\gfx\\clean.png\n",
         false, [] {
             EXPECT_EQ(Settings.StartupImage + " " + Settings.CleanupImage,
                       "/srv/playout/logos/start.png /net/fs/gfx/clean.png");
         }},
        {kGeneral + "[HttpAuth]\nHttpAuthUser=" + std::string(10000, 'u') + "\n", false,
         [] { EXPECT_EQ(Settings.HttpAuthUser, std::string(749, 'u')); }},
        {"\xEF\xBB\xBF" + QString::fromStdU16String(kUnicode).toStdString(), false, unicode},
        {Utf16(false), false, unicode}, {Utf16(true), false, unicode},
        {kGeneral + "ListeningPort=70", false, port(70)},  // cut in the middle of a line
        {std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR=\xff\xfe[", 20), true, port(6100)},  // binary, no sections
    };
    for (const auto& [ini, warning, check] : shapes) {
        SCOPED_TRACE(ini.substr(0, 80));
        SetUp();
        EXPECT_EQ(Read(ini), 0);
        EXPECT_EQ(Logged().find(kWarning) != std::string::npos, warning) << Logged();
        EXPECT_TRUE(Logged().find(kError) == std::string::npos && !FatalError) << Logged();
        if (check) check();
    }
}

TEST_F(ConfigTest, FailurePath) {
    const std::string bad[] = {
        "[General]\nVersion=abc\nListeningPort=7000\n",
        kGeneral + "HideConsoleOnStartup=1\nListeningPort=abc\n[Defaults]\nStartupImage=/a.png\n",
        kGeneral + "[Transition]\nTransDur=\n", kGeneral + "ListeningPort=4294967296\n", kGeneral + "DisableGui=1x\n",
        "", "/",  // no file, a folder in its place
    };
    for (const std::string& ini : bad) {
        SCOPED_TRACE(ini);
        SetUp();
        std::filesystem::remove(dir.Path() + "/kiv.ini");
        if (ini == "/") std::filesystem::create_directory(dir.Path() + "/kiv.ini");
        if (ini.size() > 1) dir.Write("kiv.ini", ini);
        EXPECT_EQ(ReadConfig(), 1);
        const size_t error = Logged().find(kError);
        EXPECT_TRUE(error != std::string::npos && Logged().find(kFatal, error) != std::string::npos) << Logged();
        EXPECT_TRUE(FatalError);
        // What was converted before the bad value is kept, nothing after it.
        EXPECT_TRUE(&ini != &bad[0] || Settings.ListeningPort == 0);
        EXPECT_TRUE(&ini != &bad[1] || (std::tie(Settings.HideConsoleOnStartup, Settings.OnAirOnStartup,
                                                 Settings.ListeningPort, Settings.DisplayFrameRate,
                                                 Settings.StartupImage, Settings.CacheDir) ==
                                        std::make_tuple(1, 1, 0, 0, "/a.png", "")));
    }
}

TEST_F(ConfigTest, HugeFileIsReadOnlyAsFarAsTheBound) {
    std::string ini = "[General]\nVersion=1\nListeningPort=7004\n";
    while (ini.size() < (4u << 20)) ini += ";" + std::string(999, 'x') + "\n";
    ini += "DisplayFrameRate=50\n";
    EXPECT_EQ(Read(ini), 0);
    EXPECT_TRUE(Settings.ListeningPort == 7004 && Settings.DisplayFrameRate == 25);
}

// The shipped file spells out every default: an independent list of them.
TEST_F(ConfigTest, ShippedIniHasTheDefaultsAndAutomaticMonitor) {
    EXPECT_EQ(ReadConfigFile(KIV_SOURCE_DIR "/kiv.ini"), 0);
    EXPECT_EQ(Logged().find("]W "), std::string::npos) << Logged();
    SettingsData shipped = Settings;
    SetUp();
    ASSERT_EQ(Read(kGeneral), 0);
    EXPECT_EQ(shipped.OnAirMonitor, 0);
    EXPECT_EQ(shipped.UncRoot, "/mnt");  // written out in the shipped file
    EXPECT_TRUE(shipped.HttpPort == 6180 && Settings.HttpPort == 0 && Settings.HttpAddress == "127.0.0.1");
    // CacheDir: both "cache" beside the program.
    std::tie(shipped.HttpPort, shipped.OnAirMonitor, shipped.UncRoot, shipped.CacheDir) =
        std::tie(Settings.HttpPort, Settings.OnAirMonitor, Settings.UncRoot, Settings.CacheDir);
    EXPECT_TRUE(shipped == Settings) << "every other key of the shipped kiv.ini is at its default";
}

TEST(ReadIniValue, LooksUpOneValue) {
    TestDir dir;
    const std::string path = dir.Write("x.ini", "[A]\nkey=value\nlong=" + std::string(800, 'v') + "\n");
    const std::string missing = dir.Path() + "/missing.ini";
    for (const auto& [section, key, file] : {std::tuple{"a", "other", path}, {"b", "key", path}, {"a", "key", missing}})
        EXPECT_EQ(ReadIniValue(section, key, file, "def"), "def") << section << key << file;
    EXPECT_EQ(ReadIniValue("a", "key", path, "def"), "value");
    EXPECT_EQ(ReadIniValue("a", "long", path, ""), std::string(749, 'v'));
    EXPECT_EQ(ReadIniValue("a", "key", missing, std::string(800, 'd')), std::string(749, 'd'));
}

TEST(ToInt32HalfEven, Conversions) {
    const std::optional<int32_t> no;
    const std::pair<const char*, std::optional<int32_t>> cases[] = {
        {"0", 0}, {"12.5", 12}, {"13.5", 14}, {"0.5", 0}, {"1.5", 2}, {"2.5000001", 3}, {"2.4999999", 2},
        {"2.500", 2}, {"3.50", 4}, {"100", 100}, {"000.000", 0}, {"-2.5", -2}, {"-3.5", -4}, {"-0.6", -1},
        {" 7 ", 7}, {"+3", 3}, {"007", 7}, {"5.", 5}, {".5", 0}, {".51", 1}, {"1e3", 1000}, {"1.5E1", 15},
        {"25e-1", 2}, {"35e-1", 4}, {"1e-99999", 0}, {"2147483647", 2147483647}, {"2147483647.4", 2147483647},
        {"2147483647.5", no}, {"-2147483648", INT32_MIN}, {"-2147483648.5", INT32_MIN}, {"-2147483649", no},
        {"99999999999999999999", no}, {"1e999999999999", no}, {"", no}, {"  ", no}, {"abc", no}, {"12abc", no},
        {"1,5", no}, {".", no}, {"-", no}, {"1e", no}, {"1.2.3", no}, {"0x10", no},
    };
    for (const auto& [text, value] : cases) EXPECT_EQ(ToInt32HalfEven(text), value) << '"' << text << '"';
    EXPECT_EQ(ToInt32HalfEven(std::string("1\0002", 3)), no);
}

TEST(ParseColor, Shapes) {
    const std::pair<const char*, uint32_t> cases[] = {  // more shapes are read from kiv.ini above
        {"#123456", 0x563412u}, {"#FfFfFf", 0xffffffu}, {"#ff00001", 0u}, {"", 0u}, {"#", 0u}, {"# ff000", 0u},
        {"#-10000", 0u}, {"#ff000g", 0u}, {"0xff0000", 0u}, {" #ff0000", 0u},
    };
    for (const auto& [text, value] : cases) EXPECT_EQ(ParseColor(text), value) << '"' << text << '"';
}
}  // namespace
