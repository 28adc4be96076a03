// PNG encoder. Format: ISO/IEC 15948 (PNG, second edition).
//
// The smallest lossless layout is picked from the pixels: palette when the
// picture has 256 straight colours or fewer and that takes fewer bits, grey
// at the smallest exact depth, RGB, grey+alpha or RGBA otherwise; pictures
// whose pixels are either opaque or fully transparent use a tRNS colour key
// instead of an alpha channel when a free key exists.
#include "image/cPNGwriter.h"

#include <zlib.h>

#include <algorithm>
#include <bit>
#include <bitset>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <stdexcept>

#include "image/WriterCommon.h"
#include "image/cGDIPlus.h"
#include "image/cImage32.h"

namespace {

constexpr std::array<std::string_view, 10> kStandardKeywords = {
    "Title", "Author", "Description", "Copyright", "Creation Time",
    "Software", "Disclaimer", "Warning", "Source", "Comment"};
constexpr int kCommentIndex = 9;
// Text longer than this is stored compressed; below it zTXt rarely saves bytes.
constexpr size_t kCompressTextFrom = 1024;

int StandardIndexOfId(int32_t id) {
    for (int i = 0; i < 10; ++i)
        if (id == (1 << i)) return i;
    return -1;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = uint8_t(a[i]), y = uint8_t(b[i]);
        if (x >= 'a' && x <= 'z') x = uint8_t(x - 32);
        if (y >= 'a' && y <= 'z') y = uint8_t(y - 32);
        if (x != y) return false;
    }
    return true;
}

int StandardIndexOfKeyword(std::string_view keyword) {
    for (int i = 0; i < 10; ++i)
        if (EqualNoCase(keyword, kStandardKeywords[size_t(i)])) return i;
    return -1;
}

// PNG keywords: 1 to 79 printable Latin-1 characters, no leading, trailing or
// doubled spaces.
bool ValidKeyword(std::string_view k) {
    if (k.empty() || k.size() > 79 || k.front() == ' ' || k.back() == ' ') return false;
    for (size_t i = 0; i < k.size(); ++i) {
        const uint8_t c = uint8_t(k[i]);
        if (c < 32 || (c > 126 && c < 161)) return false;
        if (c == ' ' && k[i + 1] == ' ') return false;
    }
    return true;
}

bool ValidText(std::string_view t) { return t.find('\0') == std::string_view::npos; }

bool ParseTime(std::string_view s, std::tm& tm) {
    int Y, M, D, h, m, sec;
    char tail;
    const std::string z(s);
    if (std::sscanf(z.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%c", &Y, &M, &D, &h, &m, &sec, &tail) != 6) return false;
    if (Y < 1 || M < 1 || M > 12 || D < 1 || D > 31 || h > 23 || m > 59 || sec > 60 || h < 0 || m < 0 || sec < 0)
        return false;
    tm = {};
    tm.tm_year = Y - 1900;
    tm.tm_mon = M - 1;
    tm.tm_mday = D;
    tm.tm_hour = h;
    tm.tm_min = m;
    tm.tm_sec = sec;
    return true;
}

void AppendChunk(ByteVec& out, const char* type, const uint8_t* data, size_t n) {
    PutU32BE(out, uint32_t(n));
    const size_t start = out.size();
    PutBytes(out, type, 4);
    if (n) PutBytes(out, data, n);
    PutU32BE(out, uint32_t(crc32(0, out.data() + start, uInt(n + 4))));
}
void AppendChunk(ByteVec& out, const char* type, const ByteVec& data) {
    AppendChunk(out, type, data.data(), data.size());
}

bool Deflate(const uint8_t* src, size_t n, ByteVec& dst) {
    uLongf len = compressBound(uLong(n));
    dst.resize(len);
    if (compress2(dst.data(), &len, src, uLong(n), 9) != Z_OK) return false;
    dst.resize(len);
    return true;
}

// Straight RGBA of a premultiplied pixel, packed 0xAARRGGBB.
inline uint32_t Straight(uint32_t p, const uint8_t* unpre) {
    const uint32_t a = p >> 24;
    if (a == 255) return p;
    if (a == 0) return 0;
    const uint8_t* t = unpre + a * 256;
    return a << 24 | uint32_t(t[(p >> 16) & 255]) << 16 | uint32_t(t[(p >> 8) & 255]) << 8 | t[p & 255];
}

inline uint32_t LoadPixel(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;  // BGRA bytes read little-endian: 0xAARRGGBB
}

// Small set of at most 257 colours with their palette index.
class ColourSet {
public:
    static constexpr size_t kSlots = 1024;
    // False once the set holds more than 256 colours.
    bool Insert(uint32_t c) {
        size_t i = Hash(c);
        while (used_[i]) {
            if (keys_[i] == c) return true;
            i = (i + 1) & (kSlots - 1);
        }
        if (list_.size() > 256) return false;
        used_[i] = true;
        keys_[i] = c;
        list_.push_back(c);
        return list_.size() <= 256;
    }
    void SetIndex(uint32_t c, uint8_t index) { index_[Find(c)] = index; }
    uint8_t IndexOf(uint32_t c) const { return index_[Find(c)]; }
    bool Contains(uint32_t c) const {
        size_t i = Hash(c);
        while (used_[i]) {
            if (keys_[i] == c) return true;
            i = (i + 1) & (kSlots - 1);
        }
        return false;
    }
    const std::vector<uint32_t>& List() const { return list_; }

private:
    static size_t Hash(uint32_t c) { return size_t((c * 2654435761u) >> 22) & (kSlots - 1); }
    size_t Find(uint32_t c) const {
        size_t i = Hash(c);
        while (keys_[i] != c || !used_[i]) i = (i + 1) & (kSlots - 1);
        return i;
    }
    std::array<uint32_t, kSlots> keys_{};
    std::array<bool, kSlots> used_{};
    std::array<uint8_t, kSlots> index_{};
    std::vector<uint32_t> list_;
};

enum ColourType : uint8_t { Grey = 0, Rgb = 2, Indexed = 3, GreyAlpha = 4, Rgba = 6 };

struct Layout {
    ColourType type = Rgba;
    uint8_t depth = 8;
    int32_t greyKey = -1;  // tRNS grey key, in sample units
    int64_t rgbKey = -1;   // tRNS colour key 0xRRGGBB
    std::vector<uint32_t> palette;  // straight 0xAARRGGBB, non-opaque entries first
    size_t paletteAlphas = 0;       // entries listed in tRNS
    int greyStep = 1;               // 255 / (2^depth - 1) for grey
};

int Channels(ColourType t) {
    switch (t) {
        case Grey: case Indexed: return 1;
        case GreyAlpha: return 2;
        case Rgb: return 3;
        default: return 4;
    }
}

// Smallest grey depth at which every used level is exact, and (when a key is
// needed) a free exact level exists for it. 0 when none.
int ChooseGreyDepth(const std::bitset<256>& levels, bool needKey, int32_t& key) {
    for (int d : {1, 2, 4, 8}) {
        const int step = 255 / ((1 << d) - 1);
        bool exact = true;
        for (int v = 0; v < 256 && exact; ++v)
            if (levels[size_t(v)] && v % step) exact = false;
        if (!exact) continue;
        if (!needKey) return d;
        for (int v = 0; v < 256; v += step)
            if (!levels[size_t(v)]) {
                key = v / step;
                return d;
            }
    }
    return 0;
}

class Encoder {
public:
    Encoder(const uint8_t* bits, int32_t w, int32_t h) : bits_(bits), w_(w), h_(h), unpre_(UnpremultiplyTable()) {}

    void Analyse(std::optional<uint32_t> background, Layout& L) {
        bool opaque = true, binary = true, grey = true, many = false;
        std::bitset<256> levels;
        // Runs of one value are looked at once. Any 32-bit value may be a
        // pixel (invalid premultiplied ones included), so "none yet" is a flag.
        bool haveLast = false;
        uint32_t last = 0;
        for (int32_t y = 0; y < h_; ++y) {
            const uint8_t* row = PixelAt(bits_, w_, h_, 0, y);
            for (int32_t x = 0; x < w_; ++x) {
                const uint32_t p = LoadPixel(row + size_t(x) * 4);
                if (haveLast && p == last) continue;
                haveLast = true;
                last = p;
                const uint32_t a = p >> 24;
                if (a != 255) {
                    opaque = false;
                    if (a != 0) binary = false;
                }
                const uint32_t s = Straight(p, unpre_);
                if (grey) {
                    const uint32_t r = (s >> 16) & 255, g = (s >> 8) & 255, b = s & 255;
                    if (r != g || g != b) grey = false;
                    else if (a == 255) levels.set(r);
                }
                if (!many && !colours_.Insert(s)) many = true;
            }
        }
        std::optional<uint32_t> bkgd;  // 0x00RRGGBB
        if (background) {
            const uint32_t c = *background;
            bkgd = (c & 255) << 16 | (c & 0xFF00) | ((c >> 16) & 255);
            if (!many && !colours_.Insert(0xFF000000u | *bkgd)) many = true;
            const uint32_t r = *bkgd >> 16, g = (*bkgd >> 8) & 255, b = *bkgd & 255;
            if (r != g || g != b) grey = false;
            else levels.set(r);
        }

        int otherBits = 32;
        Layout other;
        if (grey) {
            int32_t key = -1;
            const int d = (opaque || binary) ? ChooseGreyDepth(levels, !opaque, key) : 0;
            if (d) {
                other.type = Grey;
                other.depth = uint8_t(d);
                other.greyStep = 255 / ((1 << d) - 1);
                other.greyKey = key;
                otherBits = d;
            } else {
                other.type = GreyAlpha;
                otherBits = 16;
            }
        } else if (opaque) {
            other.type = Rgb;
            otherBits = 24;
        } else if (binary) {
            const int64_t key = FreeRgbKey();
            if (key >= 0) {
                other.type = Rgb;
                other.rgbKey = key;
                otherBits = 24;
            }
        }

        if (!many) {
            const size_t n = colours_.List().size();
            const int d = n <= 2 ? 1 : n <= 4 ? 2 : n <= 16 ? 4 : 8;
            if (d < otherBits) {
                L = {};
                L.type = Indexed;
                L.depth = uint8_t(d);
                L.palette = colours_.List();
                std::stable_partition(L.palette.begin(), L.palette.end(), [](uint32_t c) { return (c >> 24) != 255; });
                for (size_t i = 0; i < L.palette.size(); ++i) {
                    colours_.SetIndex(L.palette[i], uint8_t(i));
                    if ((L.palette[i] >> 24) != 255) L.paletteAlphas = i + 1;
                }
                return;
            }
        }
        L = other;
    }

    // First colour no opaque pixel uses, or -1 when all 2^24 are taken.
    int64_t FreeRgbKey() const {
        std::vector<uint64_t> used(1 << 18, 0);
        for (int32_t y = 0; y < h_; ++y) {
            const uint8_t* row = PixelAt(bits_, w_, h_, 0, y);
            for (int32_t x = 0; x < w_; ++x) {
                const uint32_t p = LoadPixel(row + size_t(x) * 4);
                if ((p >> 24) == 255) used[(p & 0xFFFFFF) >> 6] |= uint64_t(1) << (p & 63);
            }
        }
        for (size_t i = 0; i < used.size(); ++i)
            if (~used[i]) return int64_t(i * 64 + size_t(std::countr_one(used[i])));
        return -1;
    }

    size_t RowBytes(const Layout& L) const {
        return (size_t(w_) * size_t(Channels(L.type)) * L.depth + 7) / 8;
    }

    void PackRow(const Layout& L, int32_t y, uint8_t* dst) const {
        const uint8_t* row = PixelAt(bits_, w_, h_, 0, y);
        if (L.type == Indexed || L.type == Grey) {
            std::memset(dst, 0, RowBytes(L));
            unsigned acc = 0;
            int filled = 0;
            for (int32_t x = 0; x < w_; ++x) {
                const uint32_t p = LoadPixel(row + size_t(x) * 4);
                unsigned v;
                if (L.type == Indexed) v = colours_.IndexOf(Straight(p, unpre_));
                else if ((p >> 24) == 0 && L.greyKey >= 0) v = unsigned(L.greyKey);
                else v = ((p >> 16) & 255) / unsigned(L.greyStep);
                acc = acc << L.depth | v;
                filled += L.depth;
                if (filled == 8) {
                    *dst++ = uint8_t(acc);
                    acc = 0;
                    filled = 0;
                }
            }
            if (filled) *dst = uint8_t(acc << (8 - filled));
            return;
        }
        for (int32_t x = 0; x < w_; ++x) {
            const uint32_t p = LoadPixel(row + size_t(x) * 4);
            uint32_t s = Straight(p, unpre_);
            if (L.type == Rgb && (p >> 24) == 0 && L.rgbKey >= 0) s = uint32_t(L.rgbKey);
            const uint8_t r = uint8_t(s >> 16), g = uint8_t(s >> 8), b = uint8_t(s), a = uint8_t(s >> 24);
            switch (L.type) {
                case GreyAlpha: *dst++ = r; *dst++ = a; break;
                case Rgb: *dst++ = r; *dst++ = g; *dst++ = b; break;
                default: *dst++ = r; *dst++ = g; *dst++ = b; *dst++ = a; break;
            }
        }
    }

    uint32_t BackgroundSample(const Layout& L, uint32_t colorRef) const {
        const uint32_t r = colorRef & 255;
        if (L.type == Indexed) return colours_.IndexOf(0xFF000000u | r << 16 | (colorRef & 0xFF00) | ((colorRef >> 16) & 255));
        return r / uint32_t(L.greyStep);
    }

private:
    const uint8_t* bits_;
    int32_t w_, h_;
    const uint8_t* unpre_;
    ColourSet colours_;
};

inline uint8_t Paeth(int a, int b, int c) {
    const int p = a + b - c;
    const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    if (pa <= pb && pa <= pc) return uint8_t(a);
    return uint8_t(pb <= pc ? b : c);
}

// Applies PNG filter `type` to row `cur` (prior row `prev`, pixel distance bpp).
void FilterRow(int type, const uint8_t* cur, const uint8_t* prev, size_t n, size_t bpp, uint8_t* dst) {
    switch (type) {
        case 0: std::memcpy(dst, cur, n); break;
        case 1:
            for (size_t i = 0; i < n; ++i) dst[i] = uint8_t(cur[i] - (i >= bpp ? cur[i - bpp] : 0));
            break;
        case 2:
            for (size_t i = 0; i < n; ++i) dst[i] = uint8_t(cur[i] - prev[i]);
            break;
        case 3:
            for (size_t i = 0; i < n; ++i)
                dst[i] = uint8_t(cur[i] - ((unsigned(i >= bpp ? cur[i - bpp] : 0) + prev[i]) >> 1));
            break;
        default:
            for (size_t i = 0; i < bpp && i < n; ++i) dst[i] = uint8_t(cur[i] - prev[i]);
            for (size_t i = bpp; i < n; ++i) dst[i] = uint8_t(cur[i] - Paeth(cur[i - bpp], prev[i], prev[i - bpp]));
            break;
    }
}

uint64_t SignedSum(const uint8_t* p, size_t n) {
    uint64_t s = 0;
    for (size_t i = 0; i < n; ++i) s += unsigned(std::abs(int(int8_t(p[i]))));
    return s;
}

void AppendText(ByteVec& out, std::string_view keyword, std::string_view text, bool compressed) {
    ByteVec data;
    PutText(data, keyword);
    PutU8(data, 0);
    if (!compressed) {
        PutText(data, text);
        AppendChunk(out, "tEXt", data);
        return;
    }
    PutU8(data, 0);  // compression method: zlib deflate
    ByteVec z;
    if (!Deflate(reinterpret_cast<const uint8_t*>(text.data()), text.size(), z)) throw std::runtime_error("deflate failed");
    PutBytes(data, z.data(), z.size());
    AppendChunk(out, "zTXt", data);
}

}  // namespace

bool cPNGwriter::SetProperty(int32_t id, const PngPropertyValue& value, std::string_view captionMisc) {
    const bool remove = std::holds_alternative<std::monostate>(value);
    const std::string* text = std::get_if<std::string>(&value);
    const int64_t* number = std::get_if<int64_t>(&value);
    int index = StandardIndexOfId(id);
    if (id == PropMiscText) {
        index = StandardIndexOfKeyword(captionMisc);
        if (index < 0) {
            if (!ValidKeyword(captionMisc)) return false;
            auto it = std::find_if(miscText_.begin(), miscText_.end(),
                                   [&](const TextEntry& e) { return EqualNoCase(e.keyword, captionMisc); });
            if (remove) {
                if (it != miscText_.end()) miscText_.erase(it);
                return true;
            }
            if (!text || !ValidText(*text)) return false;
            if (it != miscText_.end()) it->text = *text;
            else miscText_.push_back({std::string(captionMisc), *text});
            return true;
        }
    }
    if (index >= 0) {
        if (remove) standardText_[size_t(index)].reset();
        else if (!text || !ValidText(*text)) return false;
        else standardText_[size_t(index)] = *text;
        return true;
    }
    switch (id) {
        case PropTime:
            if (remove) timeText_.reset();
            else if (!text) return false;
            else timeText_ = *text;
            return true;
        case PropBackground:
            if (remove) background_.reset();
            else if (!number) return false;
            else background_ = uint32_t(*number) & 0xFFFFFF;
            return true;
        case PropFilter:
            if (remove) filter_.reset();
            else if (!number || *number < 0 || *number > 5) return false;
            else filter_ = int(*number);
            return true;
        default:
            return false;
    }
}

PngPropertyValue cPNGwriter::GetProperty(int32_t id, std::string_view captionMisc) const {
    int index = StandardIndexOfId(id);
    if (id == 0) return PngPropertyValue(int64_t(PropertyMask()));
    if (id == PropMiscText) {
        index = StandardIndexOfKeyword(captionMisc);
        if (index < 0) {
            for (const TextEntry& e : miscText_)
                if (EqualNoCase(e.keyword, captionMisc)) return PngPropertyValue(e.text);
            return {};
        }
    }
    if (index >= 0) {
        if (standardText_[size_t(index)]) return PngPropertyValue(*standardText_[size_t(index)]);
        return {};
    }
    if (id == PropTime && timeText_) return PngPropertyValue(*timeText_);
    if (id == PropBackground && background_) return PngPropertyValue(int64_t(*background_));
    if (id == PropFilter && filter_) return PngPropertyValue(int64_t(*filter_));
    return {};
}

uint32_t cPNGwriter::PropertyMask() const {
    uint32_t mask = 0;
    for (size_t i = 0; i < standardText_.size(); ++i)
        if (standardText_[i]) mask |= 1u << i;
    if (!miscText_.empty()) mask |= PropMiscText;
    if (timeText_) mask |= PropTime;
    if (background_) mask |= PropBackground;
    if (filter_) mask |= PropFilter;
    return mask;
}

bool cPNGwriter::Encode(const uint8_t* bits, int32_t width, int32_t height, std::vector<uint8_t>& out) const {
    out.clear();
    if (!bits || width <= 0 || height <= 0) return false;
    try {
        auto enc = std::make_unique<Encoder>(bits, width, height);  // off the stack: its colour set is 6 KB
        Layout L;
        enc->Analyse(background_, L);

        // Filter every row into the raw image data.
        const size_t rowBytes = enc->RowBytes(L);
        const size_t bpp = std::max<size_t>(1, size_t(Channels(L.type)) * L.depth / 8);
        // Without a filter property, the PNG recommendation: no filtering for
        // palettes and depths below 8, a choice per row otherwise. Asked for
        // explicitly, the per-row choice applies to every layout.
        const int fixedFilter = filter_ ? (*filter_ < 5 ? *filter_ : -1) : (L.type == Indexed || L.depth < 8) ? 0 : -1;
        ByteVec raw((rowBytes + 1) * size_t(height));
        ByteVec prev(rowBytes, 0), cur(rowBytes), trial(rowBytes);
        uint8_t* dst = raw.data();
        for (int32_t y = 0; y < height; ++y) {
            enc->PackRow(L, y, cur.data());
            int best = fixedFilter < 0 ? 0 : fixedFilter;
            if (fixedFilter < 0) {
                uint64_t bestSum = UINT64_MAX;
                for (int f = 0; f < 5; ++f) {
                    FilterRow(f, cur.data(), prev.data(), rowBytes, bpp, trial.data());
                    const uint64_t s = SignedSum(trial.data(), rowBytes);
                    if (s < bestSum) {
                        bestSum = s;
                        best = f;
                    }
                }
            }
            *dst++ = uint8_t(best);
            FilterRow(best, cur.data(), prev.data(), rowBytes, bpp, dst);
            dst += rowBytes;
            std::swap(prev, cur);
        }
        ByteVec idat;
        if (!Deflate(raw.data(), raw.size(), idat)) return false;
        ByteVec().swap(raw);

        static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
        out.reserve(idat.size() + 1024);
        PutBytes(out, kSignature, 8);
        ByteVec c;
        PutU32BE(c, uint32_t(width));
        PutU32BE(c, uint32_t(height));
        PutU8(c, L.depth);
        PutU8(c, L.type);
        PutU8(c, 0);  // deflate
        PutU8(c, 0);  // adaptive filtering
        PutU8(c, 0);  // not interlaced
        AppendChunk(out, "IHDR", c);

        // Short standard entries lead, so that readers stopping at the image
        // data still see them; the comment, custom and long entries follow.
        auto early = [&](size_t i) { return i != kCommentIndex && standardText_[i]->size() <= kCompressTextFrom; };
        for (size_t i = 0; i < standardText_.size(); ++i)
            if (standardText_[i] && early(i)) AppendText(out, kStandardKeywords[i], *standardText_[i], false);

        if (L.type == Indexed) {
            c.clear();
            for (uint32_t p : L.palette) {
                PutU8(c, p >> 16);
                PutU8(c, p >> 8);
                PutU8(c, p);
            }
            AppendChunk(out, "PLTE", c);
        }
        if (background_) {
            c.clear();
            const uint32_t bg = *background_;
            if (L.type == Indexed) PutU8(c, enc->BackgroundSample(L, bg));
            else if (L.type == Grey || L.type == GreyAlpha) PutU16BE(c, enc->BackgroundSample(L, bg));
            else {
                PutU16BE(c, bg & 255);
                PutU16BE(c, (bg >> 8) & 255);
                PutU16BE(c, (bg >> 16) & 255);
            }
            AppendChunk(out, "bKGD", c);
        }
        c.clear();
        if (L.type == Indexed && L.paletteAlphas)
            for (size_t i = 0; i < L.paletteAlphas; ++i) PutU8(c, L.palette[i] >> 24);
        else if (L.greyKey >= 0) PutU16BE(c, uint32_t(L.greyKey));
        else if (L.rgbKey >= 0) {
            PutU16BE(c, uint32_t(L.rgbKey >> 16) & 255);
            PutU16BE(c, uint32_t(L.rgbKey >> 8) & 255);
            PutU16BE(c, uint32_t(L.rgbKey) & 255);
        }
        if (!c.empty()) AppendChunk(out, "tRNS", c);

        AppendChunk(out, "IDAT", idat);

        std::tm tm{};
        if (!timeText_ || !ParseTime(*timeText_, tm)) {
            const std::time_t now = std::time(nullptr);
            gmtime_r(&now, &tm);
        }
        c.clear();
        PutU16BE(c, uint32_t(tm.tm_year + 1900));
        PutU8(c, uint32_t(tm.tm_mon + 1));
        PutU8(c, uint32_t(tm.tm_mday));
        PutU8(c, uint32_t(tm.tm_hour));
        PutU8(c, uint32_t(tm.tm_min));
        PutU8(c, uint32_t(tm.tm_sec));
        AppendChunk(out, "tIME", c);

        for (int pass = 0; pass < 2; ++pass) {
            const bool compressed = pass == 1;
            for (size_t i = 0; i < standardText_.size(); ++i)
                if (standardText_[i] && !early(i) && (standardText_[i]->size() > kCompressTextFrom) == compressed)
                    AppendText(out, kStandardKeywords[i], *standardText_[i], compressed);
            for (const TextEntry& e : miscText_)
                if ((e.text.size() > kCompressTextFrom) == compressed) AppendText(out, e.keyword, e.text, compressed);
        }
        AppendChunk(out, "IEND", nullptr, 0);
        return true;
    } catch (const std::exception&) {
        out.clear();
        return false;
    }
}

bool cPNGwriter::Save(const cImage32& image, const std::string& fileName, std::vector<uint8_t>& out) const {
    out.clear();
    if (!cImage32::isZlibEnabled() || !image.HasImage()) return false;
    if (!Encode(image.BitsPointer(), image.Width(), image.Height(), out)) return false;
    return fileName.empty() || cImage32::WriteBytesToFile(fileName, out.data(), out.size());
}

bool cImage32::SaveToFile_PNG(const std::string& FileName, bool PromptOverwrite) {
    if (!PrepareSaveFile(FileName, PromptOverwrite)) return false;
    ByteArray bytes;
    auto platform = [&] { return isGDIplusEnabled() && cGDIPlus::SaveToPNG(FileName, bytes, *this); };
    // The own writer first only when properties were set: the platform route
    // would drop them.
    if (m_PngWriter) return m_PngWriter->Save(*this, FileName, bytes) || platform();
    return platform() || cPNGwriter().Save(*this, FileName, bytes);
}

bool cImage32::SaveToStream_PNG(ByteArray& outStream) {
    return m_PngWriter ? m_PngWriter->Save(*this, "", outStream) : cPNGwriter().Save(*this, "", outStream);
}

bool cImage32::PngPropertySet(int PropertyID, const PngPropertyValue& PropertyValue, const std::string& Caption_Misc) {
    if (PropertyID == -1) {
        m_PngWriter.reset();
        return true;
    }
    if (m_PngWriter) return m_PngWriter->SetProperty(PropertyID, PropertyValue, Caption_Misc);
    auto writer = std::make_shared<cPNGwriter>();
    if (!writer->SetProperty(PropertyID, PropertyValue, Caption_Misc)) return false;
    if (!writer->Empty()) m_PngWriter = std::move(writer);
    return true;
}

PngPropertyValue cImage32::PngPropertyGet(int PropertyID, const std::string& Caption_Misc) const {
    if (!m_PngWriter) return PropertyID == 0 ? PngPropertyValue(int64_t(0)) : PngPropertyValue();
    return m_PngWriter->GetProperty(PropertyID, Caption_Misc);
}
