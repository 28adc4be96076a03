#include <gtest/gtest.h>

#include "app/Ansi.h"

namespace {
TEST(Ansi, EveryByteIsOneCharacterAndRoundTrips) {
    std::string all;
    for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
    const QString shown = AnsiToQString(all);
    ASSERT_EQ(shown.size(), 256);
    EXPECT_EQ(QStringToAnsi(shown), all);
}

TEST(Ansi, Windows1252Characters) {
    EXPECT_EQ(AnsiToQString("caf\xe9 \x80 \x9f"), QString::fromUtf8("café € Ÿ"));
    EXPECT_EQ(UnicodeToAnsi(U'€'), "\x80");
    EXPECT_EQ(UnicodeToAnsi(U'ä'), "\xe4");
    EXPECT_EQ(UnicodeToAnsi(U'A'), "A");
    EXPECT_EQ(UnicodeToAnsi(U'Ω'), "?");
    EXPECT_EQ(UnicodeToAnsi(U'\U0001F600'), "?");
    EXPECT_EQ(QStringToAnsi(QString::fromUtf8("Ω😀x")), "??x");
}
}  // namespace
