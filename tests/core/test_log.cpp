#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
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

TEST(FormatLogLine, ByteForByte) {
    EXPECT_EQ(FormatLogLine("Successfully initialized.", "SYS", " ", kMarch1, 25),
              "2024-03-01 14:05:09:17 [SYS]  Successfully initialized.\r\n");
    EXPECT_EQ(FormatLogLine("x", "", "", kMarch1, 25), "2024-03-01 14:05:09:17 [SYS]  x\r\n");
    EXPECT_EQ(FormatLogLine("", "TCP", "E", At(1999, 12, 31, 23, 59, 59, 0), 25), "1999-12-31 23:59:59:00 [TCP]E \r\n");
    EXPECT_EQ(FormatLogLine("a\tb", "DBG", "D", At(2024, 1, 2, 3, 4, 5, 999999), 25),
              "2024-01-02 03:04:05:24 [DBG]D a\tb\r\n");
}

TEST(FormatLogLine, FrameField) {
    const struct {
        int rate;
        int micros;
        const char* field;
    } cases[] = {
        {25, 0, "00"},      {25, 39999, "00"},  {25, 40000, "01"}, {25, 999999, "24"},  {0, 999999, "00"},
        {0, 500000, "00"},  {120, 999999, "119"}, {120, 500000, "60"}, {120, 8000, "00"}, {120, 8334, "01"},
        {1, 999999, "00"},  {-25, 500000, "00"}, {1000, 5000, "05"},  {2147483647, 999999, "2147481499"},
    };
    for (const auto& c : cases) {
        const std::string line = FormatLogLine("m", "SYS", " ", At(2024, 3, 1, 0, 0, 0, c.micros), c.rate);
        EXPECT_EQ(line.substr(20, line.find(' ', 20) - 20), c.field) << c.rate << " fps, " << c.micros << " us";
    }
}

TEST(EscapeLogMessage, ControlCharactersStayOnOneLine) {
    const struct {
        std::string in;
        const char* out;
    } cases[] = {
        {"a\r\nb\rc\nd", "a{CR}{LF}b{CR}c{LF}d"},
        {std::string("x\0y", 3), "x{NUL}y"},
        {std::string("\r\0\n", 3), "{CR}{NUL}{LF}"},
        {"\n\r", "{LF}{CR}"},
        {"\r\r\n\n", "{CR}{CR}{LF}{LF}"},
        {"tab\tstays", "tab\tstays"},
        {"\x80\xe9\xff", "\x80\xe9\xff"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(EscapeLogMessage(c.in), c.out);
}

class FakeView : public ConsoleViewSink {
public:
    void InsertLogLine(const std::string& line, const std::string& pending) override {
        inserted.push_back(line);
        lastPending = pending;
    }
    void Refill(const std::string& text, const std::string& pending) override { refilled = text + pending; }
    std::vector<std::string> inserted;
    std::string lastPending;
    std::string refilled;
};

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        Settings = SettingsData{};
        SetLogClock([] { return kMarch1; });
        SetConsoleViewSink(&view);
        PendingInput().clear();
        ConsoleShown = true;
    }
    void TearDown() override {
        SetLogClock({});
        SetConsoleViewSink(nullptr);
        ConsoleShown = false;
        PendingInput().clear();
    }
    FakeView view;
};

TEST_F(LogTest, WriteLogAppendsAndFeedsTheShownView) {
    const size_t before = ConsoleText().size();
    WriteLog("before config");  // DisplayFrameRate still unset
    Settings.DisplayFrameRate = 25;
    PendingInput() = "SET x";
    WriteLog("line\r\nbreak", "GFX", "I");
    const std::string expected = "2024-03-01 14:05:09:00 [SYS]  before config\r\n"
                                 "2024-03-01 14:05:09:17 [GFX]I line{CR}{LF}break\r\n";
    EXPECT_EQ(ConsoleText().substr(before), expected);
    ASSERT_EQ(view.inserted.size(), 2u);
    EXPECT_EQ(view.inserted[0] + view.inserted[1], expected);
    EXPECT_EQ(view.lastPending, "SET x");

    // Hidden console: the text still grows, the view hears nothing until it
    // is refilled.
    ConsoleShown = false;
    WriteLog("while hidden");
    EXPECT_EQ(view.inserted.size(), 2u);
    EXPECT_NE(ConsoleText().find("while hidden\r\n", before), std::string::npos);
    ConsoleShown = true;
    RefillConsoleView();
    EXPECT_EQ(view.refilled, ConsoleText() + "SET x");
}

TEST_F(LogTest, AViewThatThrowsDoesNotReachTheCaller) {
    struct Throwing : ConsoleViewSink {
        void InsertLogLine(const std::string&, const std::string&) override { throw std::runtime_error("view"); }
        void Refill(const std::string&, const std::string&) override { throw std::runtime_error("view"); }
    } throwing;
    SetConsoleViewSink(&throwing);
    const size_t before = ConsoleText().size();
    EXPECT_NO_THROW(WriteLog("still logged"));
    EXPECT_NO_THROW(RefillConsoleView());
    EXPECT_NE(ConsoleText().find("still logged", before), std::string::npos);
}

TEST_F(LogTest, EchoSeesEveryLine) {
    std::string echoed;
    SetLogEcho([&](const std::string& line) { echoed += line; });
    WriteLog("one");
    WriteLog("two", "TCP");
    SetLogEcho({});
    WriteLog("three");
    EXPECT_EQ(echoed, "2024-03-01 14:05:09:00 [SYS]  one\r\n2024-03-01 14:05:09:00 [TCP]  two\r\n");
}

class ConsoleLogTest : public LogTest {
protected:
    void SetUp() override {
        LogTest::SetUp();
        old = std::filesystem::current_path();
        std::filesystem::current_path(dir.Path());
    }
    void TearDown() override {
        std::filesystem::current_path(old);
        LogTest::TearDown();
    }
    std::filesystem::path old;
    TestDir dir;
};

TEST_F(ConsoleLogTest, WritesTheWholeTextAndReplacesWithinTheSameSecond) {
    WriteLog("first");
    const std::string path = WriteConsoleLog();
    EXPECT_EQ(path, dir.Path() + "/kiv_20240301_140509_clog.txt");
    // The announcing line is itself part of the file.
    EXPECT_NE(ConsoleText().find("[SYS]  Writing console log to " + path + "\r\n"), std::string::npos);
    EXPECT_EQ(ReadFile(path), ConsoleText());

    WriteLog("second");
    EXPECT_EQ(WriteConsoleLog(), path);
    EXPECT_EQ(ReadFile(path), ConsoleText());
}

TEST_F(ConsoleLogTest, KeepsTheNewestLogAndTheFileSaysWhatWasDropped) {
    const auto lines = [](const std::string& text) { return std::count(text.begin(), text.end(), '\n'); };
    const uint64_t droppedBefore = DroppedLogLines();
    const long linesBefore = lines(ConsoleText());
    SetConsoleTextLimit(1000);
    for (int i = 0; i < 100; ++i) WriteLog("line " + std::to_string(i));
    const std::string kept = ConsoleText();
    SetConsoleTextLimit(0);
    // Whole lines, the newest, within the bound plus what is allowed beyond it
    // before it is cut again.
    EXPECT_LE(kept.size(), 1250u);
    EXPECT_GT(kept.size(), 500u);
    EXPECT_EQ(kept.rfind("2024-03-01 14:05:09:00 [SYS]  line ", 0), 0u) << kept;
    EXPECT_TRUE(kept.ends_with("[SYS]  line 99\r\n"));
    const uint64_t dropped = DroppedLogLines() - droppedBefore;
    EXPECT_EQ(static_cast<long>(dropped) + lines(kept), linesBefore + 100);

    const std::string path = WriteConsoleLog();
    const std::string note = "2024-03-01 14:05:09:00 [SYS]W The log kept in memory holds its newest 64 MiB: " +
                             std::to_string(DroppedLogLines()) + " older lines were dropped and are not in this file.\r\n";
    EXPECT_EQ(ReadFile(path), note + ConsoleText());
}

TEST_F(ConsoleLogTest, KeepsTheNewestTwentyConsoleLogs) {
    const auto name = [](int year, int day) {
        char buf[40];
        std::snprintf(buf, sizeof buf, "kiv_%d01%02d_120000_clog.txt", year, day);
        return std::string(buf);
    };
    // Older and newer than the clock (which may have been set back), and
    // files that only look alike.
    std::vector<std::string> expected = {"kiv_20230101_120000_clog.txt.bak", "other_20230101_120000_clog.txt",
                                         "kiv_2023010x_120000_clog.txt", "kiv_notes_clog.txt",
                                         "kiv_20240301_140509_clog.txt"};
    for (size_t i = 0; i + 1 < expected.size(); ++i) dir.Write(expected[i], "alike");
    for (int day = 1; day <= 12; ++day) {
        dir.Write(name(2023, day), "older");
        dir.Write(name(2025, day), "newer");
        expected.push_back(name(2025, day));
        if (day > 5) expected.push_back(name(2023, day));
    }
    ASSERT_EQ(WriteConsoleLog(), dir.Path() + "/kiv_20240301_140509_clog.txt");
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) left.push_back(entry.path().filename());
    std::sort(left.begin(), left.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(left, expected);
    EXPECT_NE(ConsoleText().find("[SYS]  Removing old console log " + dir.Path() + "/" + name(2023, 5) + "\r\n"),
              std::string::npos);
}

TEST_F(ConsoleLogTest, UnwritableFolderLogsTheErrorAndAnswersEmpty) {
    // A removed working directory cannot take a file, even for root.
    const std::string gone = dir.Path() + "/gone";
    std::filesystem::create_directory(gone);
    std::filesystem::current_path(gone);
    std::filesystem::remove(gone);
    const size_t before = ConsoleText().size();
    EXPECT_EQ(WriteConsoleLog(), "");
    EXPECT_NE(ConsoleText().find("[SYS]E Unable to write console log.\r\n", before), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(gone));
}
// The echo's output through a pipe the test reads (or not).
class EchoPipe {
public:
    EchoPipe() {
        if (::pipe2(fds_, O_CLOEXEC) != 0) fds_[0] = fds_[1] = -1;
        ::fcntl(fds_[0], F_SETFL, O_NONBLOCK);
    }
    ~EchoPipe() {
        CloseReader();
        ::close(fds_[1]);
    }
    int Writer() const { return fds_[1]; }
    void CloseReader() {
        if (fds_[0] >= 0) ::close(fds_[0]);
        fds_[0] = -1;
    }
    // Reads until the echo has written everything pushed (bounded).
    std::string ReadAll(cLogEcho& echo) {
        for (int i = 0; i < 500; ++i) {
            const bool flushed = echo.Flush(10);
            char buf[65536];
            ssize_t n;
            bool any = false;
            while ((n = ::read(fds_[0], buf, sizeof buf)) > 0) {
                read_.append(buf, static_cast<size_t>(n));
                any = true;
            }
            if (flushed && !any) break;
        }
        return read_;
    }

private:
    int fds_[2];
    std::string read_;
};

size_t Occurrences(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++count;
    return count;
}

TEST(LogEcho, AStalledReaderCostsLinesNotTheEngineAndHearsHowMany) {
    EchoPipe out, err;
    ::fcntl(out.Writer(), F_SETPIPE_SZ, 4096);
    cLogEcho echo(out.Writer(), err.Writer(), EchoFormat::Raw, 4096);
    const std::string line = std::string(100, 'x') + "\r\n";
    // Nobody reads: each push returns at once, lines beyond the buffers go.
    for (int i = 0; i < 1000; ++i) echo.Push(line);
    std::string got = out.ReadAll(echo);
    // Caught up: the next line brings the count first.
    echo.Push(line);
    got = out.ReadAll(echo);
    const std::string noteStart = "[SYS]W Standard output was not read in time: ";
    ASSERT_EQ(Occurrences(got, noteStart), 1u) << got;
    const size_t note = got.find(noteStart);
    const size_t dropped = std::stoul(got.substr(note + noteStart.size()));
    EXPECT_GT(dropped, 0u);
    EXPECT_EQ(Occurrences(got, line) + dropped, 1001u);
    EXPECT_TRUE(got.ends_with(" log lines were not echoed there.\r\n" + line));
    EXPECT_FALSE(echo.Ended());
}

TEST(LogEcho, AClosedReaderEndsTheEchoWithOneNote) {
    EchoPipe out, err;
    cLogEcho echo(out.Writer(), err.Writer(), EchoFormat::Raw, 4096);
    out.CloseReader();
    echo.Push("line\r\n");
    EXPECT_FALSE(echo.Flush(5000));
    EXPECT_TRUE(echo.Ended());
    echo.Push("more\r\n");
    EXPECT_FALSE(echo.Flush(50));
    EXPECT_EQ(err.ReadAll(echo), "kiv: standard output was closed; the log is no longer echoed there.\n");
}

TEST(LogEcho, JournalLinesAreUtf8WithTheirPriority) {
    EchoPipe out, err;
    cLogEcho echo(out.Writer(), err.Writer(), EchoFormat::Journal, 4096);
    echo.Push("2024-03-01 14:05:09:00 [SYS]W caf\xe9 \x80\r\n");
    echo.Push("2024-03-01 14:05:09:00 [TCP]  plain\r\n2024-03-01 14:05:09:00 [SYS]F fatal\r\n");
    echo.Push("2024-03-01 14:05:09:00 [QUE]D debug\r\n");
    EXPECT_EQ(out.ReadAll(echo),
              "<4>2024-03-01 14:05:09:00 [SYS]W caf\xC3\xA9 \xE2\x82\xAC\n"
              "<6>2024-03-01 14:05:09:00 [TCP]  plain\n<2>2024-03-01 14:05:09:00 [SYS]F fatal\n"
              "<7>2024-03-01 14:05:09:00 [QUE]D debug\n");
}
}  // namespace
