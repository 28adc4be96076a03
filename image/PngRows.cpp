#include "image/PngRows.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "image/cImage32.h"

uint64_t PngRawSize(const PngFormat& f) {
    if (f.interlace == 0) return uint64_t(f.height) * (f.RowBytes(f.width) + 1);
    uint64_t total = 0;
    for (const Adam7Pass& p : kAdam7) {
        const uint32_t w = Adam7Count(f.width, p.x0, p.dx), h = Adam7Count(f.height, p.y0, p.dy);
        if (w && h) total += uint64_t(h) * (f.RowBytes(w) + 1);
    }
    return total;
}

namespace {

inline uint8_t Paeth(int a, int b, int c) {
    const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
    if (pa <= pb && pa <= pc) return uint8_t(a);
    return uint8_t(pb <= pc ? b : c);
}

// The pixel distance is a template argument for the common sizes so that the
// loops carry no variable-stride dependency the compiler cannot see through.
template <size_t Bpp>
void Unfilter(int filter, uint8_t* row, const uint8_t* prev, size_t n, size_t bppRuntime) {
    const size_t bpp = Bpp ? Bpp : bppRuntime;
    switch (filter) {
    case 1:
        for (size_t i = bpp; i < n; ++i) row[i] = uint8_t(row[i] + row[i - bpp]);
        break;
    case 2:
        for (size_t i = 0; i < n; ++i) row[i] = uint8_t(row[i] + prev[i]);
        break;
    case 3:
        for (size_t i = 0; i < bpp && i < n; ++i) row[i] = uint8_t(row[i] + (prev[i] >> 1));
        for (size_t i = bpp; i < n; ++i) row[i] = uint8_t(row[i] + ((row[i - bpp] + prev[i]) >> 1));
        break;
    case 4:
        for (size_t i = 0; i < bpp && i < n; ++i) row[i] = uint8_t(row[i] + prev[i]);
        for (size_t i = bpp; i < n; ++i) row[i] = uint8_t(row[i] + Paeth(row[i - bpp], prev[i], prev[i - bpp]));
        break;
    default:
        break;  // None, and unknown filter types, which are taken as unfiltered
    }
}

template <int Depth>
inline uint32_t Sample(const uint8_t* src, uint32_t i) {
    if constexpr (Depth == 8) {
        return src[i];
    } else {
        const uint32_t bit = i * Depth;
        return (src[bit >> 3] >> (8 - Depth - (bit & 7))) & ((1u << Depth) - 1);
    }
}

template <int Depth, bool Unit>
void ConvertIndexed(const uint32_t* lut, const uint8_t* src, uint32_t count, uint32_t* dst, size_t step) {
    for (uint32_t i = 0; i < count; ++i) dst[Unit ? i : i * step] = lut[Sample<Depth>(src, i)];
}

template <bool Unit>
void ConvertRowT(const PngConvertContext& ctx, const uint8_t* src, uint32_t count, uint32_t* dst, size_t step) {
    const PngFormat& f = ctx.fmt;
    auto at = [&](uint32_t i) -> uint32_t& { return dst[Unit ? i : i * step]; };
    if (f.colorType == 3 || (f.colorType == 0 && f.depth <= 8)) {
        switch (f.depth) {
        case 1: return ConvertIndexed<1, Unit>(ctx.lut, src, count, dst, step);
        case 2: return ConvertIndexed<2, Unit>(ctx.lut, src, count, dst, step);
        case 4: return ConvertIndexed<4, Unit>(ctx.lut, src, count, dst, step);
        default: return ConvertIndexed<8, Unit>(ctx.lut, src, count, dst, step);
        }
    }
    // Sixteen-bit samples keep their high byte; transparency keys compare
    // the whole 16-bit value, as the format defines them.
    const bool wide = f.depth == 16;
    const size_t s = wide ? 2 : 1;
    switch (f.colorType) {
    case 0:  // 16-bit grey (lower depths are indexed above)
        for (uint32_t i = 0; i < count; ++i) {
            const uint8_t* p = src + 2 * size_t(i);
            const uint32_t g = p[0];
            const bool clear = ctx.hasKey && (uint32_t(p[0]) << 8 | p[1]) == ctx.key[0];
            at(i) = clear ? 0 : 0xFF000000u | g << 16 | g << 8 | g;
        }
        break;
    case 2:
        for (uint32_t i = 0; i < count; ++i) {
            const uint8_t* p = src + 3 * s * i;
            const uint32_t r = p[0], g = p[s], b = p[2 * s];
            bool clear = false;
            if (ctx.hasKey) {
                clear = wide ? (r << 8 | p[1]) == ctx.key[0] && (g << 8 | p[3]) == ctx.key[1] &&
                                   (b << 8 | p[5]) == ctx.key[2]
                             : r == (ctx.key[0] & 0xFFu) && g == (ctx.key[1] & 0xFFu) && b == (ctx.key[2] & 0xFFu);
            }
            at(i) = clear ? 0 : 0xFF000000u | r << 16 | g << 8 | b;
        }
        break;
    case 4:
        for (uint32_t i = 0; i < count; ++i) {
            const uint8_t* p = src + 2 * s * i;
            at(i) = PremultiplyPixel(p[0], p[0], p[0], p[s]);
        }
        break;
    default:  // 6, RGBA
        for (uint32_t i = 0; i < count; ++i) {
            const uint8_t* p = src + 4 * s * i;
            at(i) = PremultiplyPixel(p[0], p[s], p[2 * s], p[3 * s]);
        }
        break;
    }
}

}  // namespace

void PngUnfilterRow(int filter, uint8_t* row, const uint8_t* prev, size_t n, size_t bpp) {
    switch (bpp) {
    case 3: return Unfilter<3>(filter, row, prev, n, bpp);
    case 4: return Unfilter<4>(filter, row, prev, n, bpp);
    default: return Unfilter<0>(filter, row, prev, n, bpp);
    }
}

void PngConvertRow(const PngConvertContext& ctx, const uint8_t* src, uint32_t count, uint32_t* dst, size_t step) {
    if (step == 1) ConvertRowT<true>(ctx, src, count, dst, 1);
    else ConvertRowT<false>(ctx, src, count, dst, step);
}

void PngReconstruct(const PngConvertContext& ctx, uint8_t* raw, cImage32& img) {
    const PngFormat& f = ctx.fmt;
    const size_t bpp = size_t(std::max(1, f.BitsPerPixel() / 8));
    const std::vector<uint8_t> zero(size_t(f.RowBytes(f.width)), 0);
    auto rowOut = [&](uint32_t y) { return reinterpret_cast<uint32_t*>(img.Row(int(y))); };

    if (f.interlace == 0) {
        const size_t rb = size_t(f.RowBytes(f.width));
        const uint8_t* prev = zero.data();
        for (uint32_t y = 0; y < f.height; ++y, raw += rb + 1) {
            uint8_t* row = raw + 1;
            PngUnfilterRow(raw[0], row, prev, rb, bpp);
            PngConvertRow(ctx, row, f.width, rowOut(y), 1);
            prev = row;
        }
        return;
    }
    for (const Adam7Pass& p : kAdam7) {
        const uint32_t w = Adam7Count(f.width, p.x0, p.dx), h = Adam7Count(f.height, p.y0, p.dy);
        if (!w || !h) continue;
        const size_t rb = size_t(f.RowBytes(w));
        const uint8_t* prev = zero.data();
        for (uint32_t r = 0; r < h; ++r, raw += rb + 1) {
            uint8_t* row = raw + 1;
            PngUnfilterRow(raw[0], row, prev, rb, bpp);
            PngConvertRow(ctx, row, w, rowOut(p.y0 + r * p.dy) + p.x0, p.dx);
            prev = row;
        }
    }
}
