// ICO / CUR decoder. Format: Windows icon resource files (ICONDIR, 16-byte
// ICONDIRENTRY records, then per entry a PNG stream or a bottom-up DIB
// whose height covers the colour bitmap followed by the 1-bit AND mask).
#include "image/cICOparser.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "image/AlphaAnalysis.h"
#include "image/ByteReader.h"
#include "image/LoadGuard.h"
#include "image/cPNGparser.h"

namespace {

int RealSize(int stored) { return stored == 0 ? 256 : stored; }

// Bits per pixel a PNG entry stands for, from its IHDR.
int PngBitCount(int depth, int colorType) {
    if (depth == 16 || colorType == 4 || colorType == 6) return 32;
    if (colorType == 2) return 24;
    return depth;
}

// Reads what the directory alone does not tell: PNG or bitmap, and the bit
// count. Cursor entries keep their hotspot where icons keep planes and bit
// count, so their depth always comes from the image data itself, as it does
// for icon entries whose directory leaves it 0.
void InspectEntry(const ByteReader& r, bool cursor, IconEntry& e) {
    const size_t off = e.imageOffset;
    const bool deriveDepth = cursor || e.bitCount == 0;
    if (r.Has(off, 8) && IsPngSignature(r.data + off)) {
        e.planes = 255;
        uint32_t len, w, h, depth, ct;
        if (!r.U32BE(off + 8, len) || !r.Has(off + 12, 4) || std::memcmp(r.data + off + 12, "IHDR", 4) != 0 ||
            !r.U32BE(off + 16, w) || !r.U32BE(off + 20, h) || !r.U8(off + 24, depth) || !r.U8(off + 25, ct) ||
            w < 1 || w > 256 || h < 1 || h > 256) {
            e.bitCount = 0;
            return;
        }
        e.width = int(w & 0xFF);  // 256 is stored as 0
        e.height = int(h & 0xFF);
        if (deriveDepth) e.bitCount = PngBitCount(int(depth), int(ct));
        return;
    }
    uint32_t headerSize, bits;
    if (!r.U32LE(off, headerSize) || !r.U16LE(off + 14, bits)) {
        e.bitCount = 0;
        return;
    }
    e.headerSize = headerSize;
    if (deriveDepth) e.bitCount = int(bits);
}

bool DecodeDib(const ByteReader& r, const IconEntry& e, bool cursor, cImage32& img) {
    const size_t off = e.imageOffset;
    uint32_t hs, w, h2, bits, comp, used = 0;
    if (!r.U32LE(off, hs) || hs < 40 || !r.U32LE(off + 4, w) || !r.U32LE(off + 8, h2) || !r.U16LE(off + 14, bits) ||
        !r.U32LE(off + 16, comp) || !r.U32LE(off + 32, used))
        return false;
    // Signed fields read as unsigned: negative sizes fail these tests too.
    if (comp != 0 || w < 1 || w > 0xFFFF || h2 < 2 || h2 > 0x1FFFF) return false;
    if (bits != 1 && bits != 4 && bits != 8 && bits != 24 && bits != 32) return false;
    const uint32_t h = h2 / 2;
    const size_t colours = bits <= 8 ? (used && used < (1u << bits) ? used : (1u << bits)) : 0;
    const size_t paletteAt = off + hs;
    const size_t pixelsAt = paletteAt + 4 * colours;
    const size_t xorStride = (size_t(bits) * w + 31) / 32 * 4, andStride = (size_t(w) + 31) / 32 * 4;
    if (!r.Has(paletteAt, 4 * colours) || !r.Has(pixelsAt, xorStride * h)) return false;
    const size_t maskAt = pixelsAt + xorStride * h;
    const bool haveMask = r.Has(maskAt, andStride * h);  // some writers cut the mask short
    if (!img.InitializeDIB(int(w), int(h))) return false;

    // Indexes past the entry's colours show opaque black, as in a bitmap file.
    uint32_t palette[256];
    std::fill(palette, palette + 256, 0xFF000000u);
    for (size_t i = 0; i < colours; ++i) palette[i] = 0xFF000000u | (LoadU32LE(r.data + paletteAt + 4 * i) & 0xFFFFFF);
    auto masked = [&](uint32_t row, uint32_t x) {
        return haveMask && ((r.data[maskAt + row * andStride + (x >> 3)] >> (7 - (x & 7))) & 1);
    };

    uint8_t* bitsOut = img.BitsPointer();
    const size_t count = size_t(w) * h;
    // Both the DIB and the image keep their bottom row first.
    if (bits == 32) {
        bool anyAlpha = false;
        for (uint32_t y = 0; y < h; ++y) {
            const uint8_t* src = r.data + pixelsAt + y * xorStride;
            std::memcpy(bitsOut + size_t(y) * w * 4, src, size_t(w) * 4);
            for (uint32_t x = 0; x < w && !anyAlpha; ++x) anyAlpha = src[4 * x + 3] != 0;
        }
        img.SetImageType(cursor ? 5 : 3);
        if (anyAlpha) {
            // Icon alpha is straight by definition: colours that happen to
            // stay within their alpha are still to be premultiplied.
            const AlphaClass c = AnalyseAlpha(bitsOut, count, true);
            if (c.ImageType == 7) {
                for (size_t i = 0; i < count; ++i) {
                    uint8_t* p = bitsOut + i * 4;
                    for (int k = 0; k < 3; ++k) p[k] = uint8_t(p[k] * p[3] / 255);
                }
            }
            img.Alpha(c.Alpha);
            return true;
        }
        // No alpha at all: the AND mask says what is transparent.
        bool anyClear = false;
        for (uint32_t y = 0; y < h; ++y)
            for (uint32_t x = 0; x < w; ++x) {
                uint8_t* p = bitsOut + (size_t(y) * w + x) * 4;
                if (masked(y, x)) {
                    std::memset(p, 0, 4);
                    anyClear = true;
                } else {
                    p[3] = 255;
                }
            }
        img.Alpha(anyClear ? 1 : 0);
        return true;
    }

    bool anyClear = false;
    for (uint32_t y = 0; y < h; ++y) {
        const uint8_t* src = r.data + pixelsAt + y * xorStride;
        uint32_t* dst = reinterpret_cast<uint32_t*>(bitsOut + size_t(y) * w * 4);
        for (uint32_t x = 0; x < w; ++x) {
            uint32_t c;
            if (bits == 24) {
                c = 0xFF000000u | uint32_t(src[3 * x + 2]) << 16 | uint32_t(src[3 * x + 1]) << 8 | src[3 * x];
            } else {
                const uint32_t bit = x * bits;
                c = palette[(src[bit >> 3] >> (8 - bits - (bit & 7))) & ((1u << bits) - 1)];
            }
            if (masked(y, x)) {
                c = 0;
                anyClear = true;
            }
            dst[x] = c;
        }
    }
    img.SetImageType(cursor ? 12 : 8);
    img.Alpha(anyClear ? 1 : 0);
    return true;
}

}  // namespace

int cICOparser::ChooseEntry(const std::vector<IconEntry>& entries, int W, int H, int D) {
    const int n = int(entries.size());
    if (n == 0) return 0;
    if (n == 1) return entries[0].bitCount ? 1 : 0;
    std::vector<int> score(size_t(n), 0);
    int best = 10000, chosen = 0;
    for (int i = 0; i < n; ++i) {
        const IconEntry& e = entries[size_t(i)];
        if (!e.bitCount) continue;
        // A too-small entry costs twice its shortfall (and scores negative).
        int dx = RealSize(e.width) - W, dy = RealSize(e.height) - H;
        if (dx < 0) dx *= 2;
        if (dy < 0) dy *= 2;
        int s = dx + dy + std::abs(D - e.bitCount);
        if (e.bitCount > 32) s = -10000;
        score[size_t(i)] = s;
        if (s == 0) return i + 1;
        if (s > 0 && s < best) {
            best = s;
            chosen = i + 1;
        }
    }
    if (chosen) return chosen;
    best = -1;
    for (int i = n - 1; i >= 0; --i) {
        const IconEntry& e = entries[size_t(i)];
        if (!e.bitCount) continue;
        const int s = std::abs(score[size_t(i)]) + std::abs(32 - e.bitCount);
        if (best < 0 || s <= best) {
            best = s;
            chosen = i + 1;
        }
    }
    return chosen ? chosen : 1;
}

bool cICOparser::LoadBytes(const uint8_t* data, size_t size, int iconCx, int iconCy, cImage32& cHost,
                           int icoBitDepth) {
    return GuardLoad(cHost, false, [&] { return Decode(data, size, iconCx, iconCy, cHost, icoBitDepth); });
}

bool cICOparser::Decode(const uint8_t* data, size_t size, int iconCx, int iconCy, cImage32& cHost, int icoBitDepth) {
    m_Entries.clear();
    m_Chosen = 0;
    const ByteReader r(data, size);
    uint32_t reserved, type, count;
    if (!data || !r.U16LE(0, reserved) || !r.U16LE(2, type) || !r.U16LE(4, count)) return false;
    if (count < 1 || reserved != 0 || (type != 1 && type != 2)) return false;
    if (size_t(count) * 16 + 6 > size) return false;
    const bool cursor = type == 2;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* d = data + 6 + 16 * size_t(i);
        IconEntry e;
        e.width = d[0];
        e.height = d[1];
        e.colorCount = d[2];
        e.reserved = d[3];
        e.planes = int(LoadU16LE(d + 4));
        e.bitCount = int(LoadU16LE(d + 6));
        e.bytesInRes = LoadU32LE(d + 8);
        e.imageOffset = LoadU32LE(d + 12);
        InspectEntry(r, cursor, e);
        m_Entries.push_back(e);
    }
    m_Chosen = ChooseEntry(m_Entries, iconCx, iconCy, icoBitDepth);
    if (m_Chosen == 0) return false;
    const IconEntry& e = m_Entries[size_t(m_Chosen - 1)];
    cHost.DestroyDIB();
    if (e.planes == 255) {
        // A PNG stream ends itself with IEND; some writers understate its
        // size in the directory, so it may run to the end of the file.
        const size_t off = std::min<size_t>(e.imageOffset, size);
        cPNGparser png;
        png.LoadBytes(data + off, size - off, cHost);
        if (cHost.HasImage()) cHost.SetImageType(11);
    } else if (!DecodeDib(r, e, cursor, cHost)) {
        cHost.DestroyDIB();
    }
    return cHost.HasImage();
}

bool cICOparser::LoadStream(const ByteArray& inStream, int iconCx, int iconCy, cImage32& cHost, size_t streamOffset,
                            size_t streamLength, int icoBitDepth, long) {
    if (streamOffset >= inStream.size()) return false;
    const size_t avail = inStream.size() - streamOffset;
    return LoadBytes(inStream.data() + streamOffset, streamLength == 0 ? avail : std::min(streamLength, avail), iconCx,
                     iconCy, cHost, icoBitDepth);
}

int cICOparser::Width(int Index) const {
    return Index >= 1 && Index <= IconCount() ? RealSize(m_Entries[size_t(Index - 1)].width) : 0;
}
int cICOparser::Height(int Index) const {
    return Index >= 1 && Index <= IconCount() ? RealSize(m_Entries[size_t(Index - 1)].height) : 0;
}
bool cICOparser::IsIconPNG(int Index) const {
    return Index >= 1 && Index <= IconCount() && m_Entries[size_t(Index - 1)].planes == 255;
}
int cICOparser::bitDepth(int Index) const {
    return Index >= 1 && Index <= IconCount() ? m_Entries[size_t(Index - 1)].bitCount : 0;
}

int cICOparser::ColorCount(int Index) const {
    if (Index < 1 || Index > IconCount()) return 0;
    const IconEntry& e = m_Entries[size_t(Index - 1)];
    if (e.planes == 255 || e.bitCount < 1 || e.bitCount > 8) return 0;
    const int64_t w = Width(Index), h = Height(Index);
    const int64_t colourBytes = (e.bitCount * w + 31) / 32 * 4 * h, maskBytes = (w + 31) / 32 * 4 * h;
    const int64_t rest = int64_t(e.bytesInRes) - e.headerSize - colourBytes - maskBytes;
    return rest > 0 ? int(rest / 4) : 0;
}

int64_t cICOparser::ColorByteOffset(int Index) const {
    if (Index < 1 || Index > IconCount()) return 0;
    const IconEntry& e = m_Entries[size_t(Index - 1)];
    int64_t at = int64_t(e.imageOffset) + e.headerSize;
    if (e.bitCount > 0 && e.bitCount < 16) at += 4 * (int64_t(1) << e.bitCount);
    return at;
}
