#include <gtest/gtest.h>

#include <QString>

#include "core/Ansi.h"

namespace {
TEST(Ansi, Windows1252BothWays) {
    std::string all;
    for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
    ASSERT_EQ(AnsiToQString(all).size(), 256);
    EXPECT_EQ(QStringToAnsi(AnsiToQString(all)), all);
    EXPECT_EQ(AnsiToQString("caf\xe9 \x80 \x9f"), QString::fromUtf8("café € Ÿ"));
    EXPECT_EQ(QStringToAnsi(QString::fromUtf8("€äAΩ😀x")), "\x80\xe4" "A??x");
}

// Every letter whose capital the code page holds becomes that capital.
TEST(Ansi, UpperCase) {
    for (int b = 0; b < 256; ++b) {
        const std::string unicodeUpper = QStringToAnsi(AnsiToQString(std::string(1, char(b))).toUpper());
        const bool kept = unicodeUpper.size() != 1 || (unicodeUpper == "?" && b != '?');
        EXPECT_EQ(AnsiUpperChar(b), kept ? b : static_cast<unsigned char>(unicodeUpper[0])) << b;
    }
    EXPECT_EQ(AnsiUpper("caf\xe9 \xdf\xb5\xf7\x9a"), "CAF\xc9 \xdf\xb5\xf7\x8a");
}

TEST(Ansi, FileTextWithAndWithoutByteOrderMark) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain \xE9\x80", "plain \xE9\x80"},  // no mark: the bytes as they are
        {"\xEF\xBB\xBF" "a\xC3\xA9\xE2\x82\xAC", "a\xE9\x80"},
        {"\xEF\xBB\xBF" "\xC3(\xE2\x82\xC0\x80\xF0\x9F\x98\x80\xC0\xAF\xED\xA0\x80z",
         "?(" + std::string(10, '?') + "z"},
        {std::string("\xFF\xFE" "a\0\xE9\0\xAC\x20", 8), "a\xE9\x80"},
        {std::string("\xFE\xFF\0a\0\xE9\x20\xAC", 8), "a\xE9\x80"},
        {std::string("\xFF\xFE\x3D\xD8\x00\xDE" "b", 7), "?"},     // a pair outside the code page; odd byte
        {std::string("\xFF\xFE\x3D\xD8" "c\0\x00\xDE", 8), "?c?"},  // unpaired halves
        {"\xFF\xFE", ""},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(FileTextToAnsi(in), out) << in;
}
}  // namespace
