#include "core/Ansi.h"

#include <QList>
#include <QString>

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

unsigned char AnsiUpperChar(unsigned char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) return static_cast<unsigned char>(c - 0x20);
    switch (c) {
        case 0x9A: return 0x8A;
        case 0x9C: return 0x8C;
        case 0x9E: return 0x8E;
        case 0xFF: return 0x9F;
        default: return c;
    }
}

std::string AnsiUpper(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(AnsiUpperChar(static_cast<unsigned char>(c)));
    return out;
}

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

std::string AnsiToUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char byte : text) {
        const char16_t c = ToUnicode(static_cast<unsigned char>(byte));
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | c >> 12);
            out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string QStringToAnsi(const QString& text) {
    std::string out;
    out.reserve(static_cast<size_t>(text.size()));
    for (const uint code : text.toUcs4()) out += UnicodeToAnsi(code);
    return out;
}

namespace {
std::string Utf16ToAnsi(std::string_view bytes, bool bigEndian) {
    std::string out;
    out.reserve(bytes.size() / 2);
    const auto unit = [&](size_t i) -> char32_t {
        const auto hi = static_cast<unsigned char>(bytes[bigEndian ? i : i + 1]);
        const auto lo = static_cast<unsigned char>(bytes[bigEndian ? i + 1 : i]);
        return char32_t(hi) << 8 | lo;
    };
    // An odd last byte is half a unit: dropped.
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        char32_t code = unit(i);
        if (code >= 0xD800 && code <= 0xDBFF && i + 3 < bytes.size() && unit(i + 2) >= 0xDC00 &&
            unit(i + 2) <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (unit(i + 2) - 0xDC00);
            i += 2;
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            code = U'?';  // half a pair
        }
        out += UnicodeToAnsi(code);
    }
    return out;
}

std::string Utf8ToAnsi(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size();) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        const int length = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : (lead & 0xF8) == 0xF0 ? 4 : 0;
        char32_t code = length == 1 ? lead : length == 2 ? lead & 0x1F : length == 3 ? lead & 0x0F : lead & 0x07;
        bool valid = length > 0 && i + static_cast<size_t>(length) <= bytes.size();
        for (int k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(bytes[i + static_cast<size_t>(k)]);
            valid = (next & 0xC0) == 0x80;
            code = code << 6 | (next & 0x3F);
        }
        // Overlong forms, surrogates and codes beyond Unicode are malformed.
        static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
        if (valid && (code < kMin[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))) valid = false;
        if (!valid) {
            out += '?';
            ++i;  // resynchronise on the next byte
            continue;
        }
        out += UnicodeToAnsi(code);
        i += static_cast<size_t>(length);
    }
    return out;
}
}  // namespace

std::string FileTextToAnsi(std::string_view bytes) {
    if (bytes.starts_with("\xFF\xFE")) return Utf16ToAnsi(bytes.substr(2), false);
    if (bytes.starts_with("\xFE\xFF")) return Utf16ToAnsi(bytes.substr(2), true);
    if (bytes.starts_with("\xEF\xBB\xBF")) return Utf8ToAnsi(bytes.substr(3));
    return std::string(bytes);
}
