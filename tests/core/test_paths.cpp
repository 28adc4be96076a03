#include <gtest/gtest.h>

#include <filesystem>

#include "core/Paths.h"
#include "core/Settings.h"
#include "tests/core/TestDir.h"

namespace {
TEST(MapWindowsPath, References) {
    Settings = SettingsData{};
    Settings.DriveRoots['C' - 'A'] = "/srv/playout";
    Settings.DriveRoots['E' - 'A'] = "/media/e/";
    const std::pair<const char*, const char*> cases[] = {
        {"C:\\images\\logo.png", "/srv/playout/images/logo.png"},
        {"c:/images/logo.png", "/srv/playout/images/logo.png"},
        {"E:\\a.png", "/media/e/a.png"}, {"D:\\x\\y.png", "/x/y.png"},  // no root configured: "/"
        {"C:\\", "/srv/playout"}, {"C:", "/srv/playout"}, {"C:\\dir\\\\.\\file", "/srv/playout/dir/file"},
        {"C:\\..\\..\\etc\\passwd", "/srv/playout/etc/passwd"}, {"C:\\a\\..\\b", "/srv/playout/b"},
        {"\\\\server\\share\\pic.png", "/mnt/server/share/pic.png"}, {"\\\\..\\..\\x", "/mnt/x"},
        {"/already/local\\name.png", "/already/local\\name.png"}, {"relative\\pic.png", "relative/pic.png"},
        {"", ""}, {"1:\\x", "1:/x"},
    };
    for (const auto& [ref, path] : cases) EXPECT_EQ(MapWindowsPath(ref), path) << ref;
    Settings.UncRoot = "/net/";
    EXPECT_EQ(MapWindowsPath("\\\\server\\share\\pic.png"), "/net/server/share/pic.png");
}

// Names on disk that differ in case from a Windows reference are found, with
// Windows-1252 letters; among several the smallest name byte by byte.
TEST(MapWindowsPath, CaseInsensitiveWhenMissingAsWritten) {
    TestDir dir;
    const std::string root = dir.Path();
    for (const char* folder : {"Stills/News", "dup", "docs", "unc/Host/Share", "Exact", "exact"})
        std::filesystem::create_directories(root + "/" + folder);
    for (const char* file : {"Stills/News/Flash.PNG", "dup/a.png", "dup/A.png", "Docs", "docs/x.png",
                             "Stills/\xC4rger \x8A.png", "unc/Host/Share/F.png", "Exact/x.png", "exact/x.png"})
        dir.Write(file, "x");
    Settings = SettingsData{};
    Settings.DriveRoots['S' - 'A'] = root;
    Settings.UncRoot = root + "/unc";
    const std::pair<const char*, const char*> cases[] = {  // paths under root
        {"S:\\STILLS\\NEWS\\FLASH.png", "/Stills/News/Flash.PNG"},
        {"s:\\stills\\news\\..\\NEWS\\flash.png", "/Stills/News/Flash.PNG"},
        {"S:\\DUP\\a.PNG", "/dup/A.png"}, {"S:\\dup\\a.png", "/dup/a.png"},  // exists as written
        {"S:\\DOCS\\X.PNG", "/docs/x.png"},                                  // the file "Docs" is no folder
        {"S:\\EXACT\\X.PNG", "/Exact/x.png"}, {"S:\\stills\\\xE4RGER \x9A.PNG", "/Stills/\xC4rger \x8A.png"},
        {"S:\\STILLS\\NONE\\FLASH.PNG", "/Stills/NONE/FLASH.PNG"},  // missing: kept as written
        {"\\\\HOST\\share\\f.png", "/unc/Host/Share/F.png"},
    };
    for (const auto& [ref, path] : cases) EXPECT_EQ(MapWindowsPath(ref), root + path) << ref;
    // Paths of this machine are case-sensitive.
    EXPECT_EQ(MapWindowsPath(root + "/STILLS/News/Flash.PNG"), root + "/STILLS/News/Flash.PNG");
}
}  // namespace
