// Windows bitmap files of 1, 2, 4, 8, 16, 24 and 32 bits per pixel,
// uncompressed, with bit fields, or run-length encoded (RLE8, RLE4), with
// BITMAPCOREHEADER (OS/2 1.x) and BITMAPINFOHEADER up to V5. The result is
// opaque: what a bitmap keeps in a fourth byte is not taken as alpha here.
#include <algorithm>
#include <cstring>

#include "image/ByteReader.h"
#include "image/PictureLoader.h"

namespace {

enum Compression : uint32_t { kRGB = 0, kRLE8 = 1, kRLE4 = 2, kBitFields = 3, kAlphaBitFields = 6 };

struct BmpInfo {
    uint32_t dataPos = 0;
    uint32_t headerSize = 0;
    int32_t width = 0;
    int32_t height = 0;  // negative: rows stored top to bottom
    uint32_t bits = 0;
    uint32_t compression = kRGB;
    uint32_t colorsUsed = 0;
    uint32_t masks[3] = {0, 0, 0};  // red, green, blue
    size_t paletteStart = 0;
    size_t paletteEntrySize = 4;
};

bool ReadInfo(const ByteReader& in, BmpInfo& info) {
    uint32_t sig = 0;
    if (!in.U16LE(0, sig) || sig != 0x4D42) return false;
    if (!in.U32LE(10, info.dataPos) || !in.U32LE(14, info.headerSize)) return false;
    if (info.headerSize == 12) {
        uint32_t w = 0, h = 0;
        if (!in.U16LE(18, w) || !in.U16LE(20, h) || !in.U16LE(24, info.bits)) return false;
        info.width = int32_t(w);
        info.height = int32_t(h);
        info.paletteEntrySize = 3;
        info.paletteStart = 14 + 12;
        return true;
    }
    if (info.headerSize < 40) return false;
    uint32_t w = 0, h = 0;
    if (!in.U32LE(18, w) || !in.U32LE(22, h) || !in.U16LE(28, info.bits) || !in.U32LE(30, info.compression) ||
        !in.U32LE(46, info.colorsUsed))
        return false;
    info.width = int32_t(w);
    info.height = int32_t(h);
    // OS/2 2.x reuses 3 and 4 for Huffman and RLE24, which are not read here.
    if (info.headerSize == 64 && (info.compression == 3 || info.compression == 4)) return false;
    info.paletteStart = 14 + size_t(info.headerSize);
    if (info.compression == kBitFields || info.compression == kAlphaBitFields) {
        // The masks follow a 40-byte header and sit inside the longer ones.
        for (int i = 0; i < 3; ++i)
            if (!in.U32LE(54 + 4 * size_t(i), info.masks[i])) return false;
        if (info.headerSize == 40) info.paletteStart += info.compression == kBitFields ? 12 : 16;
    } else if (info.bits == 16) {
        info.masks[0] = 0x7C00;
        info.masks[1] = 0x03E0;
        info.masks[2] = 0x001F;
    } else if (info.bits == 32) {
        info.masks[0] = 0xFF0000;
        info.masks[1] = 0x00FF00;
        info.masks[2] = 0x0000FF;
    }
    return true;
}

bool ValidLayout(const BmpInfo& info) {
    if (info.width < 1 || info.height == 0 || info.height == INT32_MIN) return false;
    switch (info.compression) {
        case kRGB:
            return info.bits == 1 || info.bits == 2 || info.bits == 4 || info.bits == 8 || info.bits == 16 ||
                   info.bits == 24 || info.bits == 32;
        case kRLE8:
            return info.bits == 8 && info.height > 0;
        case kRLE4:
            return info.bits == 4 && info.height > 0;
        case kBitFields:
        case kAlphaBitFields:
            return info.bits == 16 || info.bits == 32;
        default:
            return false;
    }
}

// One colour channel described by a bit mask, scaled to 8 bits by repeating
// its bits (so a 5-bit 31 becomes 255 and 0 stays 0).
struct Channel {
    uint32_t mask = 0;
    int shift = 0;
    int width = 0;

    explicit Channel(uint32_t m) : mask(m) {
        if (!m) return;
        while (!((m >> shift) & 1)) ++shift;
        while (shift + width < 32 && ((m >> (shift + width)) & 1)) ++width;
    }
    uint8_t Get(uint32_t pixel) const {
        if (!width) return 0;
        const uint32_t v = (pixel & mask) >> shift;
        if (width >= 8) return uint8_t(v >> (width - 8));
        uint32_t out = 0;
        for (int s = 8 - width;; s -= width) {
            if (s >= 0) {
                out |= v << s;
            } else {
                out |= v >> -s;
                break;
            }
            if (s == 0) break;
        }
        return uint8_t(out);
    }
};

using Palette = uint32_t[256];  // BGRA, alpha 255

void ReadPalette(const ByteReader& in, const BmpInfo& info, Palette& palette) {
    for (uint32_t& c : palette) c = 0xFF000000u;
    if (info.bits > 8) return;
    size_t count = size_t(1) << info.bits;
    if (info.colorsUsed != 0 && info.colorsUsed < count) count = info.colorsUsed;
    // Entries that the file cuts short (or that overlap the pixels) stay black.
    const size_t end = info.dataPos > info.paletteStart ? std::min<size_t>(info.dataPos, in.size) : 0;
    for (size_t i = 0; i < count; ++i) {
        const size_t pos = info.paletteStart + i * info.paletteEntrySize;
        if (pos + 3 > end) break;
        const uint8_t* p = in.data + pos;
        palette[i] = 0xFF000000u | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
    }
}

inline void Put(uint8_t* dst, uint32_t bgra) { std::memcpy(dst, &bgra, 4); }

void DecodeUncompressed(const ByteReader& in, const BmpInfo& info, const Palette& palette, cImage32& image) {
    const size_t width = size_t(info.width);
    const size_t rows = size_t(image.Height());
    const uint64_t rowBytes = BitmapRowBytes(info.bits, width);  // length checked by the caller
    const Channel r(info.masks[0]), g(info.masks[1]), b(info.masks[2]);
    for (size_t fileRow = 0; fileRow < rows; ++fileRow) {
        const uint8_t* src = in.data + info.dataPos + fileRow * rowBytes;
        const int y = info.height > 0 ? int(rows - 1 - fileRow) : int(fileRow);
        uint8_t* dst = image.Row(y);
        switch (info.bits) {
            case 1:
            case 2:
            case 4: {
                const unsigned perByte = 8 / info.bits, mask = (1u << info.bits) - 1;
                for (size_t x = 0; x < width; ++x) {
                    const unsigned shift = 8 - info.bits * (1 + unsigned(x % perByte));
                    Put(dst + x * 4, palette[(src[x / perByte] >> shift) & mask]);
                }
                break;
            }
            case 8:
                for (size_t x = 0; x < width; ++x) Put(dst + x * 4, palette[src[x]]);
                break;
            case 24:
                for (size_t x = 0; x < width; ++x, src += 3, dst += 4) {
                    dst[0] = src[0];
                    dst[1] = src[1];
                    dst[2] = src[2];
                    dst[3] = 255;
                }
                break;
            case 16:
            case 32: {
                const size_t step = info.bits / 8;
                for (size_t x = 0; x < width; ++x, src += step, dst += 4) {
                    const uint32_t p = step == 2 ? LoadU16LE(src) : LoadU32LE(src);
                    dst[0] = b.Get(p);
                    dst[1] = g.Get(p);
                    dst[2] = r.Get(p);
                    dst[3] = 255;
                }
                break;
            }
        }
    }
}

// RLE8/RLE4 (bottom-up only). Pixels the stream skips stay black. Pixels
// past the end of a row are dropped (some writers code the padded row), but
// a pixel for a row above the picture fails the decode. With `bits` null the
// stream is only checked, so that a corrupt one fails before a large
// picture is allocated.
bool DecodeRLE(const ByteReader& in, const BmpInfo& info, const Palette& palette, uint8_t* bits) {
    const bool four = info.compression == kRLE4;
    const int width = info.width, rows = info.height;
    size_t pos = info.dataPos;
    // Positions stop at the right and top edges, where nothing is written:
    // moves cannot make them overflow.
    int x = 0, y = 0;  // y counts from the bottom row, as the stream does
    auto put = [&](unsigned index) {
        if (x == width) return;
        if (bits) Put(bits + (size_t(y) * size_t(width) + size_t(x)) * 4, palette[index]);
        ++x;
    };
    for (;;) {
        uint32_t count = 0, value = 0;
        // Data that ends without an end marker must have covered every row.
        if (!in.U8(pos, count) || !in.U8(pos + 1, value)) return y == rows;
        pos += 2;
        if (count > 0) {
            if (y == rows) return false;
            for (uint32_t i = 0; i < count; ++i) put(four ? ((i & 1) ? value & 15 : value >> 4) : value);
        } else if (value == 0) {  // end of line
            x = 0;
            y = std::min(y + 1, rows);
        } else if (value == 1) {  // end of bitmap
            return true;
        } else if (value == 2) {  // move by dx, dy
            uint32_t dx = 0, dy = 0;
            if (!in.U8(pos, dx) || !in.U8(pos + 1, dy)) return false;
            pos += 2;
            x = std::min(x + int(dx), width);
            y = std::min(y + int(dy), rows);
        } else {  // literal run of `value` pixels, padded to a 16-bit boundary
            const size_t bytes = four ? (value + 1) / 2 : value;
            if (!in.Has(pos, bytes) || y == rows) return false;
            for (uint32_t i = 0; i < value; ++i) {
                const uint8_t byte = in.data[pos + (four ? i / 2 : i)];
                put(four ? ((i & 1) ? byte & 15 : byte >> 4) : byte);
            }
            pos += (bytes + 1) & ~size_t(1);
        }
    }
}

}  // namespace

bool DecodeBitmapFile(const uint8_t* data, size_t size, cImage32& image) {
    image.DestroyDIB();
    const ByteReader in(data, size);
    BmpInfo info;
    if (!ReadInfo(in, info) || !ValidLayout(info)) return false;
    const int rows = info.height < 0 ? -info.height : info.height;
    if (int64_t(info.width) * rows > kMaxImagePixels) return false;
    Palette palette;
    ReadPalette(in, info, palette);
    const bool rle = info.compression == kRLE8 || info.compression == kRLE4;
    // Check the data before allocating for it.
    if (rle) {
        if (!DecodeRLE(in, info, palette, nullptr)) return false;
    } else {
        const uint64_t rowBytes = BitmapRowBytes(info.bits, uint64_t(info.width));
        if (!in.Has(info.dataPos, size_t(rowBytes * uint64_t(rows)))) return false;
    }
    // RLE leaves gaps that must read as opaque black; everything else writes every pixel.
    if (!image.InitializeDIBUncleared(info.width, rows)) return false;
    if (rle) {
        const uint32_t black = 0xFF000000u;
        const size_t n = size_t(info.width) * size_t(rows);
        for (size_t i = 0; i < n; ++i) Put(image.BitsPointer() + i * 4, black);
        DecodeRLE(in, info, palette, image.BitsPointer());
    } else {
        DecodeUncompressed(in, info, palette, image);
    }
    image.SetImageType(1);
    image.Alpha(0);
    return true;
}
