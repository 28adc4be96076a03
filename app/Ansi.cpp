#include "app/Ansi.h"

#include <QList>

namespace {
// 0x80..0x9F of Windows-1252. The five unassigned codes map to the C1
// control of the same number, as the system's own conversion does, so that
// every byte survives a round trip.
constexpr char16_t kHigh[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

char16_t ToUnicode(unsigned char c) { return (c >= 0x80 && c <= 0x9F) ? kHigh[c - 0x80] : char16_t(c); }
}  // namespace

QString AnsiToQString(std::string_view text) {
    QString out(static_cast<qsizetype>(text.size()), Qt::Uninitialized);
    QChar* dst = out.data();
    for (size_t i = 0; i < text.size(); ++i) dst[i] = QChar(ToUnicode(static_cast<unsigned char>(text[i])));
    return out;
}

std::string UnicodeToAnsi(char32_t code) {
    if (code < 0x80 || (code >= 0xA0 && code <= 0xFF)) return std::string(1, static_cast<char>(code));
    for (int i = 0; i < 32; ++i)
        if (kHigh[i] == code) return std::string(1, static_cast<char>(0x80 + i));
    return "?";
}

std::string QStringToAnsi(const QString& text) {
    std::string out;
    out.reserve(static_cast<size_t>(text.size()));
    for (const uint code : text.toUcs4()) out += UnicodeToAnsi(code);
    return out;
}
