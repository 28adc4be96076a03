// GIF encoder writing the GIF89a format (CompuServe, 1990).
#include "image/cGIFwriter.h"

#include <algorithm>
#include <stdexcept>
#include <unordered_map>

#include "image/WriterCommon.h"
#include "image/cImage32.h"

namespace {

constexpr int kMaxCodes = 4096;

class LzwBits {
public:
    explicit LzwBits(ByteVec& out) : out_(out) {}
    void Put(uint32_t code, int len) {
        acc_ |= code << n_;
        n_ += len;
        while (n_ >= 8) {
            out_.push_back(uint8_t(acc_));
            acc_ >>= 8;
            n_ -= 8;
        }
    }
    void Flush() {
        if (n_) out_.push_back(uint8_t(acc_));
        acc_ = 0;
        n_ = 0;
    }

private:
    ByteVec& out_;
    uint32_t acc_ = 0;
    int n_ = 0;
};

struct Rgb {
    uint8_t r, g, b;
};

inline int Dist2(const Rgb& a, int r, int g, int b) {
    const int dr = a.r - r, dg = a.g - g, db = a.b - b;
    return 2 * dr * dr + 4 * dg * dg + db * db;  // rough perceptual weights
}

// Nearest palette entry of a colour, memoised per 6-bit-per-channel cell and
// chosen for the cell's centre: 2^18 cells keep the lookup cheap for photos.
class NearestMap {
public:
    explicit NearestMap(const std::vector<Rgb>& palette) : palette_(palette), cells_(1 << 18, -1) {}
    uint8_t Find(uint32_t r, uint32_t g, uint32_t b) {
        const size_t cell = (r >> 2) << 12 | (g >> 2) << 6 | (b >> 2);
        int16_t& v = cells_[cell];
        if (v < 0) {
            const int cr = int(r | 2), cg = int(g | 2), cb = int(b | 2);
            int best = 0, bestD = INT32_MAX;
            for (size_t i = 0; i < palette_.size(); ++i) {
                const int d = Dist2(palette_[i], cr, cg, cb);
                if (d < bestD) {
                    bestD = d;
                    best = int(i);
                }
            }
            v = int16_t(best);
        }
        return uint8_t(v);
    }

private:
    const std::vector<Rgb>& palette_;
    std::vector<int16_t> cells_;
};

// Median cut over a 5-bit-per-channel histogram: the box with the largest
// squared error is split at the pixel median of its widest channel until
// there are `colours` boxes; each box gives the mean of its pixels.
std::vector<Rgb> MedianCut(const std::vector<uint32_t>& straight, size_t colours) {
    struct Bin {
        uint32_t key;
        uint64_t count, sum[3];
    };
    std::vector<Bin> bins(1 << 15);
    for (size_t i = 0; i < bins.size(); ++i) bins[i] = {uint32_t(i), 0, {0, 0, 0}};
    for (uint32_t c : straight) {
        if (!c) continue;  // transparent
        const uint32_t r = (c >> 16) & 255, g = (c >> 8) & 255, b = c & 255;
        Bin& bin = bins[(r >> 3) << 10 | (g >> 3) << 5 | (b >> 3)];
        ++bin.count;
        bin.sum[0] += r;
        bin.sum[1] += g;
        bin.sum[2] += b;
    }
    bins.erase(std::remove_if(bins.begin(), bins.end(), [](const Bin& b) { return b.count == 0; }), bins.end());

    struct Box {
        size_t begin, end;
        double error;
        int axis;
    };
    auto mean = [](const Bin& b, int ch) { return double(b.sum[ch]) / double(b.count); };
    auto makeBox = [&](size_t begin, size_t end) {
        Box box{begin, end, 0.0, 0};
        double total = 0, s[3] = {0, 0, 0}, s2[3] = {0, 0, 0};
        for (size_t i = begin; i < end; ++i) {
            const double n = double(bins[i].count);
            total += n;
            for (int ch = 0; ch < 3; ++ch) {
                const double m = mean(bins[i], ch);
                s[ch] += n * m;
                s2[ch] += n * m * m;
            }
        }
        double worst = -1;
        for (int ch = 0; ch < 3; ++ch) {
            const double var = s2[ch] - s[ch] * s[ch] / total;
            box.error += var;
            if (var > worst) {
                worst = var;
                box.axis = ch;
            }
        }
        if (end - begin < 2) box.error = -1;  // one cell: cannot be split
        return box;
    };
    std::vector<Box> boxes{makeBox(0, bins.size())};
    while (boxes.size() < colours) {
        auto it = std::max_element(boxes.begin(), boxes.end(), [](const Box& a, const Box& b) { return a.error < b.error; });
        if (it->error <= 0) break;
        const Box box = *it;
        const int ax = box.axis;
        std::sort(bins.begin() + ptrdiff_t(box.begin), bins.begin() + ptrdiff_t(box.end),
                  [&](const Bin& a, const Bin& b) { return mean(a, ax) < mean(b, ax); });
        uint64_t total = 0, run = 0;
        for (size_t i = box.begin; i < box.end; ++i) total += bins[i].count;
        size_t cut = box.begin + 1;
        for (size_t i = box.begin; i + 1 < box.end; ++i) {
            run += bins[i].count;
            cut = i + 1;
            if (2 * run >= total) break;
        }
        *it = makeBox(box.begin, cut);
        boxes.push_back(makeBox(cut, box.end));
    }
    std::vector<Rgb> palette;
    for (const Box& box : boxes) {
        uint64_t n = 0, s[3] = {0, 0, 0};
        for (size_t i = box.begin; i < box.end; ++i) {
            n += bins[i].count;
            for (int ch = 0; ch < 3; ++ch) s[ch] += bins[i].sum[ch];
        }
        palette.push_back({uint8_t((s[0] + n / 2) / n), uint8_t((s[1] + n / 2) / n), uint8_t((s[2] + n / 2) / n)});
    }
    return palette;
}

// Fixed palette: a 6x6x6 colour cube and a ramp of greys between its steps.
std::vector<Rgb> FixedPalette(size_t colours) {
    std::vector<Rgb> p;
    for (int r = 0; r < 6; ++r)
        for (int g = 0; g < 6; ++g)
            for (int b = 0; b < 6; ++b) p.push_back({uint8_t(r * 51), uint8_t(g * 51), uint8_t(b * 51)});
    for (int v = 3; p.size() < colours && v < 256; v += 6)
        if (v % 51) p.push_back({uint8_t(v), uint8_t(v), uint8_t(v)});
    return p;
}

}  // namespace

void GifLzwEncode(const uint8_t* indices, size_t count, int minCodeSize, std::vector<uint8_t>& out) {
    ByteVec codes;
    LzwBits bits(codes);
    const uint32_t clear = 1u << minCodeSize, eoi = clear + 1;
    int width = minCodeSize + 1;
    uint32_t next = eoi + 1;
    // Dictionary of (prefix code, index) -> code; a generation number per
    // entry saves clearing 4 MB at every reset.
    std::vector<uint32_t> dict(size_t(1) << 20, 0);
    uint32_t generation = 1;
    auto emit = [&](uint32_t code) {
        bits.Put(code, width);
        // The decoder widens its codes one entry later than the encoder adds them.
        if (next >= (1u << width) && width < 12) ++width;
    };
    bits.Put(clear, width);
    if (count) {
        uint32_t prefix = indices[0];
        for (size_t i = 1; i < count; ++i) {
            const uint32_t k = indices[i];
            const uint32_t key = prefix << 8 | k;
            if ((dict[key] >> 12) == generation) {
                prefix = dict[key] & 0xFFF;
                continue;
            }
            emit(prefix);
            if (next >= kMaxCodes - 1) {
                emit(clear);
                width = minCodeSize + 1;
                next = eoi + 1;
                ++generation;
            } else {
                dict[key] = generation << 12 | next++;
            }
            prefix = k;
        }
        emit(prefix);
    }
    bits.Put(eoi, width);
    bits.Flush();
    PutU8(out, uint32_t(minCodeSize));
    for (size_t pos = 0; pos < codes.size(); pos += 255) {
        const size_t n = std::min<size_t>(255, codes.size() - pos);
        PutU8(out, uint32_t(n));
        PutBytes(out, codes.data() + pos, n);
    }
    PutU8(out, 0);
}

bool cGIFwriter::Encode(const uint8_t* bits, int32_t width, int32_t height, bool UseAdaptivePalette,
                        int OpaquenessTolerance, std::vector<uint8_t>& out) const {
    out.clear();
    if (!bits || width <= 0 || height <= 0 || width > 65535 || height > 65535) return false;
    try {
        const uint8_t* unpre = UnpremultiplyTable();
        const uint32_t tolerance = uint32_t(std::clamp(OpaquenessTolerance, 0, 256));
        const size_t n = size_t(width) * size_t(height);
        // Straight colours top-down; transparent pixels marked by alpha 0.
        std::vector<uint32_t> straight(n);
        bool transparent = false;
        for (int32_t y = 0; y < height; ++y) {
            const uint8_t* row = PixelAt(bits, width, height, 0, y);
            uint32_t* dst = straight.data() + size_t(y) * size_t(width);
            for (int32_t x = 0; x < width; ++x) {
                const uint8_t* p = row + size_t(x) * 4;
                const uint32_t a = p[3];
                if (a < tolerance || a == 0) {
                    dst[x] = 0;
                    transparent = true;
                } else {
                    const uint8_t* t = unpre + a * 256;
                    dst[x] = 0xFF000000u | uint32_t(t[p[2]]) << 16 | uint32_t(t[p[1]]) << 8 | t[p[0]];
                }
            }
        }
        const size_t maxColours = transparent ? 255 : 256;

        // Exact palette when the colours fit.
        std::unordered_map<uint32_t, uint8_t> exact;
        std::vector<Rgb> palette;
        bool fits = true;
        uint32_t last = 0;
        for (uint32_t c : straight) {
            if (!c || c == last || exact.count(c)) continue;
            last = c;
            if (exact.size() == maxColours) {
                fits = false;
                break;
            }
            exact.emplace(c, uint8_t(palette.size()));
            palette.push_back({uint8_t(c >> 16), uint8_t(c >> 8), uint8_t(c)});
        }
        std::vector<uint8_t> index(n);
        if (fits) {
            last = 0;
            uint8_t lastIndex = 0;
            for (size_t i = 0; i < n; ++i) {
                const uint32_t c = straight[i];
                if (c && c != last) {
                    last = c;
                    lastIndex = exact[c];
                }
                index[i] = lastIndex;
            }
        } else {
            palette = UseAdaptivePalette ? MedianCut(straight, maxColours) : FixedPalette(maxColours);
            NearestMap nearest(palette);
            for (size_t i = 0; i < n; ++i) {
                const uint32_t c = straight[i];
                if (c) index[i] = nearest.Find((c >> 16) & 255, (c >> 8) & 255, c & 255);
            }
        }
        const size_t entries = palette.size() + (transparent ? 1 : 0);
        if (transparent)
            for (size_t i = 0; i < n; ++i)
                if (!straight[i]) index[i] = uint8_t(palette.size());
        std::vector<uint32_t>().swap(straight);
        int tableBits = 1;
        while ((size_t(1) << tableBits) < entries) ++tableBits;

        PutText(out, "GIF89a");
        PutU16LE(out, uint32_t(width));
        PutU16LE(out, uint32_t(height));
        PutU8(out, 0x80u | 7u << 4 | uint32_t(tableBits - 1));  // global table, 8-bit colour resolution
        PutU8(out, 0);  // background index
        PutU8(out, 0);  // square pixels
        for (size_t i = 0; i < (size_t(1) << tableBits); ++i) {
            const Rgb c = i < palette.size() ? palette[i] : Rgb{0, 0, 0};
            PutU8(out, c.r);
            PutU8(out, c.g);
            PutU8(out, c.b);
        }
        if (transparent) {
            static const uint8_t kGce[] = {0x21, 0xF9, 4, 0x01, 0, 0};  // transparent index given, no delay
            PutBytes(out, kGce, sizeof kGce);
            PutU8(out, uint32_t(palette.size()));
            PutU8(out, 0);
        }
        PutU8(out, 0x2C);
        PutU16LE(out, 0);
        PutU16LE(out, 0);
        PutU16LE(out, uint32_t(width));
        PutU16LE(out, uint32_t(height));
        PutU8(out, 0);  // no local table, not interlaced
        GifLzwEncode(index.data(), n, std::max(2, tableBits), out);
        PutU8(out, 0x3B);
        return true;
    } catch (const std::exception&) {
        out.clear();
        return false;
    }
}

bool cGIFwriter::Save(const std::string& fileName, std::vector<uint8_t>& out, const cImage32& image,
                      bool UseAdaptivePalette, int OpaquenessTolerance) const {
    out.clear();
    if (!image.HasImage()) return false;
    if (!Encode(image.BitsPointer(), image.Width(), image.Height(), UseAdaptivePalette, OpaquenessTolerance, out))
        return false;
    return fileName.empty() || cImage32::WriteBytesToFile(fileName, out.data(), out.size());
}

bool cImage32::SaveToFile_GIF(const std::string& FileName, bool UseAdaptivePalette, int OpaquenessTolerance,
                              bool PromptOverwrite) {
    if (!PrepareSaveFile(FileName, PromptOverwrite)) return false;
    ByteArray bytes;
    return cGIFwriter().Save(FileName, bytes, *this, UseAdaptivePalette, OpaquenessTolerance);
}

bool cImage32::SaveToStream_GIF(ByteArray& outStream, bool UseAdaptivePalette, int OpaquenessTolerance) {
    return cGIFwriter().Save("", outStream, *this, UseAdaptivePalette, OpaquenessTolerance);
}
