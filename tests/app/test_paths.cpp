#include <gtest/gtest.h>

#include "app/Paths.h"
#include "app/Settings.h"

namespace {
TEST(MapWindowsPath, References) {
    Settings = SettingsData{};
    Settings.DriveRoots['C' - 'A'] = "/srv/playout";
    Settings.DriveRoots['E' - 'A'] = "/media/e/";
    const struct {
        const char* ref;
        const char* path;
    } cases[] = {
        {"C:\\images\\logo.png", "/srv/playout/images/logo.png"},
        {"c:/images/logo.png", "/srv/playout/images/logo.png"},
        {"E:\\a.png", "/media/e/a.png"},
        {"D:\\x\\y.png", "/x/y.png"},  // no root configured: "/"
        {"C:\\", "/srv/playout"},
        {"C:", "/srv/playout"},
        {"C:\\dir\\\\.\\file", "/srv/playout/dir/file"},
        {"C:\\..\\..\\etc\\passwd", "/srv/playout/etc/passwd"},
        {"C:\\a\\..\\b", "/srv/playout/b"},
        {"\\\\server\\share\\pic.png", "/mnt/server/share/pic.png"},
        {"\\\\..\\..\\x", "/mnt/x"},
        {"/already/local\\name.png", "/already/local\\name.png"},
        {"relative\\pic.png", "relative/pic.png"},
        {"", ""},
        {"1:\\x", "1:/x"},
    };
    for (const auto& c : cases) EXPECT_EQ(MapWindowsPath(c.ref), c.path) << c.ref;

    Settings.UncRoot = "/net/";
    EXPECT_EQ(MapWindowsPath("\\\\server\\share\\pic.png"), "/net/server/share/pic.png");
    Settings = SettingsData{};
}
}  // namespace
