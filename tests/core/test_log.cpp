#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <vector>

#include "core/Log.h"
#include "core/Settings.h"
#include "core/StdoutEcho.h"
#include "core/modMain.h"
#include "tests/core/TestDir.h"

// These tests run with TZ=UTC, so local time is the UTC time built here.
namespace {
using namespace std::chrono;

system_clock::time_point At(int y, unsigned mo, unsigned d, int h, int mi, int s, int micros) {
    return sys_days{year{y} / month{mo} / day{d}} + hours{h} + minutes{mi} + seconds{s} + microseconds{micros};
}
const system_clock::time_point kMarch1 = At(2024, 3, 1, 14, 5, 9, 680000);
const std::string kStamp = "2024-03-01 14:05:09:";

TEST(FormatLogLine, ByteForByte) {
    EXPECT_EQ(FormatLogLine("Successfully initialized.", "SYS", " ", kMarch1, 25),
              "2024-03-01 14:05:09:17 [SYS]  Successfully initialized.\r\n");
    EXPECT_EQ(FormatLogLine("x", "", "", kMarch1, 25), "2024-03-01 14:05:09:17 [SYS]  x\r\n");
    EXPECT_EQ(FormatLogLine("", "TCP", "E", At(1999, 12, 31, 23, 59, 59, 0), 25), "1999-12-31 23:59:59:00 [TCP]E \r\n");
    // The frame within the second, truncated; a rate of 0 or below counts as unset.
    const std::tuple<int, int, const char*> frames[] = {
        {25, 0, "00"}, {25, 39999, "00"}, {25, 40000, "01"}, {25, 999999, "24"}, {0, 999999, "00"}, {0, 500000, "00"},
        {120, 999999, "119"}, {120, 500000, "60"}, {120, 8000, "00"}, {120, 8334, "01"}, {1, 999999, "00"},
        {-25, 500000, "00"}, {1000, 5000, "05"}, {2147483647, 999999, "2147481499"},
    };
    for (const auto& [rate, micros, field] : frames) {
        const std::string line = FormatLogLine("m", "SYS", " ", At(2024, 3, 1, 0, 0, 0, micros), rate);
        EXPECT_EQ(line.substr(20, line.find(' ', 20) - 20), field) << rate << " fps, " << micros << " us";
    }
    // Control characters stay on one line.
    const std::pair<std::string, const char*> escapes[] = {
        {"a\r\nb\rc\nd", "a{CR}{LF}b{CR}c{LF}d"}, {std::string("x\0y", 3), "x{NUL}y"}, {"\n\r", "{LF}{CR}"},
        {std::string("\r\0\n", 3), "{CR}{NUL}{LF}"}, {"\r\r\n\n", "{CR}{CR}{LF}{LF}"}, {"tab\tstays", "tab\tstays"},
        {"\x80\xe9\xff", "\x80\xe9\xff"}, {"", ""},
    };
    for (const auto& [in, out] : escapes) EXPECT_EQ(EscapeLogMessage(in), out);
}

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        Settings = SettingsData{};
        SetLogClock([] { return kMarch1; });
        std::filesystem::current_path(dir.Path());
    }
    void TearDown() override { std::filesystem::current_path(old), SetLogClock({}); }
    const std::filesystem::path old = std::filesystem::current_path();
    TestDir dir;
};

TEST_F(LogTest, ConsoleLogFileHoldsTheTextKeptInMemory) {
    WriteLog("first");
    const std::string path = WriteConsoleLog();
    EXPECT_EQ(path, dir.Path() + "/kiv_20240301_140509_clog.txt");
    // The announcing line is itself part of the file; within the same second it is replaced.
    EXPECT_TRUE(ConsoleText().ends_with("[SYS]  Writing console log to " + path + "\r\n"));
    EXPECT_EQ(ReadFile(path), ConsoleText());
    const auto lines = [](const std::string& text) { return std::count(text.begin(), text.end(), '\n'); };
    const uint64_t droppedBefore = DroppedLogLines();
    const long linesBefore = lines(ConsoleText());
    SetConsoleTextLimit(1000);
    size_t most = 0;
    for (int i = 0; i < 100; ++i) WriteLog("line " + std::to_string(i)), most = std::max(most, ConsoleText().size());
    const std::string kept = ConsoleText();
    SetConsoleTextLimit(0);
    // Whole lines, the newest, within the bound plus the quarter allowed beyond it.
    EXPECT_TRUE(most <= 1250 && most > 1200 && kept.size() > 500) << most << " " << kept.size();
    EXPECT_TRUE(kept.starts_with(kStamp + "00 [SYS]  line ") && kept.ends_with("[SYS]  line 99\r\n")) << kept;
    EXPECT_EQ(static_cast<long>(DroppedLogLines() - droppedBefore) + lines(kept), linesBefore + 100);
    EXPECT_EQ(WriteConsoleLog(), path);
    EXPECT_EQ(ReadFile(path), kStamp + "00 [SYS]W The log kept in memory holds its newest 64 MiB: " +
                                  std::to_string(DroppedLogLines()) +
                                  " older lines were dropped and are not in this file.\r\n" + ConsoleText());
}

TEST_F(LogTest, KeepsTheNewestTwentyConsoleLogs) {
    const auto name = [](int y, int d) { return "kiv_" + std::to_string(y * 10000 + 100 + d) + "_120000_clog.txt"; };
    // Older and newer than the clock (which may have been set back), and files that only look alike.
    std::vector<std::string> expected = {"kiv_20230101_120000_clog.txt.bak", "other_20230101_120000_clog.txt",
                                         "kiv_2023010x_120000_clog.txt", "kiv_notes_clog.txt"};
    for (const std::string& alike : expected) dir.Write(alike, "alike");
    expected.push_back("kiv_20240301_140509_clog.txt");
    for (int day = 1; day <= 12; ++day) {
        dir.Write(name(2023, day), "older");
        dir.Write(name(2025, day), "newer");
        expected.push_back(name(2025, day));
        if (day > 5) expected.push_back(name(2023, day));
    }
    ASSERT_EQ(WriteConsoleLog(), dir.Path() + "/" + expected[4]);
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) left.push_back(entry.path().filename());
    std::sort(left.begin(), left.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(left, expected);
    EXPECT_NE(ConsoleText().find("[SYS]  Removing old console log " + dir.Path() + "/" + name(2023, 5) + "\r\n"),
              std::string::npos);
    // A removed working directory cannot take a file, even for root.
    std::filesystem::create_directory(dir.Path() + "/gone");
    std::filesystem::current_path(dir.Path() + "/gone");
    std::filesystem::remove(dir.Path() + "/gone");
    EXPECT_EQ(WriteConsoleLog(), "");
    EXPECT_TRUE(ConsoleText().ends_with("[SYS]E Unable to write console log.\r\n"));
}

// Journal lines are UTF-8 with their priority; raw ones as they are.
TEST(LogEcho, JournalLinesAreUtf8WithTheirPriority) {
    TestDir dir;
    const auto echoed = [&dir](EchoFormat format, const std::string& pushed) {
        const std::string path = dir.Write("echo", "");
        const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        {
            cLogEcho echo(fd, fd, format, 4096);
            echo.Push(pushed);
            EXPECT_TRUE(echo.Flush(5000));
        }
        ::close(fd);
        return ReadFile(path);
    };
    const std::string lines = kStamp + "00 [SYS]W caf\xe9 \x80\r\n" + kStamp + "00 [TCP]  plain\r\n" + kStamp +
                              "00 [SYS]F fatal\r\n" + kStamp + "00 [QUE]D debug\r\n";
    EXPECT_EQ(echoed(EchoFormat::Raw, lines), lines);
    EXPECT_EQ(echoed(EchoFormat::Journal, lines), "<4>" + kStamp + "00 [SYS]W caf\xC3\xA9 \xE2\x82\xAC\n<6>" + kStamp +
                                                      "00 [TCP]  plain\n<2>" + kStamp + "00 [SYS]F fatal\n<7>" +
                                                      kStamp + "00 [QUE]D debug\n");
}
}  // namespace
