#include "image/PngRows.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <vector>

#include "image/cImage32.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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
void Unfilter(int filter, const uint8_t* src, uint8_t* row, const uint8_t* prev, size_t n, size_t bppRuntime) {
    const size_t bpp = Bpp ? Bpp : bppRuntime;
    switch (filter) {
    case 1:
        for (size_t i = 0; i < bpp && i < n; ++i) row[i] = src[i];
        for (size_t i = bpp; i < n; ++i) row[i] = uint8_t(src[i] + row[i - bpp]);
        break;
    case 2:
        for (size_t i = 0; i < n; ++i) row[i] = uint8_t(src[i] + prev[i]);
        break;
    case 3:
        for (size_t i = 0; i < bpp && i < n; ++i) row[i] = uint8_t(src[i] + (prev[i] >> 1));
        for (size_t i = bpp; i < n; ++i) row[i] = uint8_t(src[i] + ((row[i - bpp] + prev[i]) >> 1));
        break;
    case 4:
        for (size_t i = 0; i < bpp && i < n; ++i) row[i] = uint8_t(src[i] + prev[i]);
        for (size_t i = bpp; i < n; ++i) row[i] = uint8_t(src[i] + Paeth(row[i - bpp], prev[i], prev[i - bpp]));
        break;
    default:  // None, and unknown filter types, which are taken as unfiltered
        std::memcpy(row, src, n);
        break;
    }
}

#if defined(__SSE2__)
// Sub, Average and Paeth of 3- and 4-byte pixels one whole pixel at a time,
// with the pixel to the left kept in a register: the byte loops above are
// bound by the store-to-load latency of row[i - bpp]. Each pixel is moved as
// 4 bytes; for 3-byte pixels the fourth lane is the next pixel's first byte,
// computed in vain and overwritten by that pixel; only the last pixel of the
// row moves exactly 3 bytes, so nothing outside the row is touched.
template <size_t Size>
inline __m128i LoadPixel(const uint8_t* p) {
    uint32_t v = 0;
    std::memcpy(&v, p, Size);
    return _mm_cvtsi32_si128(int(v));
}
template <size_t Size>
inline void StorePixel(uint8_t* p, __m128i v) {
    const uint32_t w = uint32_t(_mm_cvtsi128_si32(v));
    std::memcpy(p, &w, Size);
}
// Calls step(i, size) for every pixel at byte i, size being the bytes to move.
template <size_t Bpp, typename Step>
inline void ForEachPixel(size_t n, Step step) {
    size_t i = 0;
    for (; i + Bpp < n; i += Bpp) step(i, std::integral_constant<size_t, 4>());
    if (i < n) step(i, std::integral_constant<size_t, Bpp>());
}

template <size_t Bpp>
void UnfilterPixels(int filter, const uint8_t* src, uint8_t* row, const uint8_t* prev, size_t n) {
    const __m128i zero = _mm_setzero_si128(), ones = _mm_set1_epi8(-1);
    switch (filter) {
    case 1: {
        __m128i a = zero;
        ForEachPixel<Bpp>(n, [&](size_t i, auto size) {
            a = _mm_add_epi8(LoadPixel<size>(src + i), a);
            StorePixel<size>(row + i, a);
        });
        break;
    }
    case 3: {
        // floor((a + b) / 2) is ~avg(~a, ~b) with the rounding-up byte
        // average; keeping the left pixel complemented leaves two operations
        // on the chain from pixel to pixel.
        __m128i na = ones;
        ForEachPixel<Bpp>(n, [&](size_t i, auto size) {
            const __m128i nb = _mm_xor_si128(LoadPixel<size>(prev + i), ones);
            na = _mm_sub_epi8(_mm_avg_epu8(na, nb), LoadPixel<size>(src + i));
            StorePixel<size>(row + i, _mm_xor_si128(na, ones));
        });
        break;
    }
    case 4: {
        const __m128i low = _mm_set1_epi16(0xFF);
        auto abs16 = [&](__m128i v) { return _mm_max_epi16(v, _mm_sub_epi16(zero, v)); };
        __m128i a = zero, c = zero;
        ForEachPixel<Bpp>(n, [&](size_t i, auto size) {
            const __m128i b = _mm_unpacklo_epi8(LoadPixel<size>(prev + i), zero);
            const __m128i x = _mm_unpacklo_epi8(LoadPixel<size>(src + i), zero);
            const __m128i bc = _mm_sub_epi16(b, c), ac = _mm_sub_epi16(a, c);
            const __m128i pa = abs16(bc), pb = abs16(ac), pc = abs16(_mm_add_epi16(bc, ac));
            // a when pa <= pb and pa <= pc, else b when pb <= pc, else c
            const __m128i notA = _mm_or_si128(_mm_cmpgt_epi16(pa, pb), _mm_cmpgt_epi16(pa, pc));
            const __m128i notB = _mm_cmpgt_epi16(pb, pc);
            const __m128i bOrC = _mm_or_si128(_mm_and_si128(notB, c), _mm_andnot_si128(notB, b));
            const __m128i pred = _mm_or_si128(_mm_and_si128(notA, bOrC), _mm_andnot_si128(notA, a));
            a = _mm_and_si128(_mm_add_epi16(x, pred), low);
            c = b;
            StorePixel<size>(row + i, _mm_packus_epi16(a, a));
        });
        break;
    }
    default: Unfilter<Bpp>(filter, src, row, prev, n, Bpp); break;
    }
}
#endif

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

// The two layouts of nearly every photo, as loops simple enough for the
// compiler to vectorise.
__attribute__((target_clones("avx2", "default")))
void ConvertRgb8(const uint8_t* __restrict src, uint32_t count, uint32_t* __restrict dst) {
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* p = src + 3 * size_t(i);
        dst[i] = 0xFF000000u | uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
    }
}

__attribute__((target_clones("avx2", "default")))
void ConvertRgba8(const uint8_t* __restrict src, uint32_t count, uint32_t* __restrict dst) {
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* p = src + 4 * size_t(i);
        dst[i] = PremultiplyPixel(p[0], p[1], p[2], p[3]);
    }
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

void PngUnfilterRow(int filter, const uint8_t* src, uint8_t* dst, const uint8_t* prev, size_t n, size_t bpp) {
    switch (bpp) {
#if defined(__SSE2__)
    case 3: return UnfilterPixels<3>(filter, src, dst, prev, n);
    case 4: return UnfilterPixels<4>(filter, src, dst, prev, n);
#else
    case 3: return Unfilter<3>(filter, src, dst, prev, n, bpp);
    case 4: return Unfilter<4>(filter, src, dst, prev, n, bpp);
#endif
    default: return Unfilter<0>(filter, src, dst, prev, n, bpp);
    }
}

void PngConvertRow(const PngConvertContext& ctx, const uint8_t* src, uint32_t count, uint32_t* dst, size_t step) {
    const PngFormat& f = ctx.fmt;
    if (step == 1 && f.depth == 8 && f.colorType == 2 && !ctx.hasKey) ConvertRgb8(src, count, dst);
    else if (step == 1 && f.depth == 8 && f.colorType == 6) ConvertRgba8(src, count, dst);
    else if (step == 1) ConvertRowT<true>(ctx, src, count, dst, 1);
    else ConvertRowT<false>(ctx, src, count, dst, step);
}

PngRowDecoder::PngRowDecoder(const PngConvertContext& ctx, cImage32& img)
    : ctx_(ctx), img_(img), bpp_(size_t(std::max(1, ctx.fmt.BitsPerPixel() / 8))) {
    const size_t widest = size_t(ctx.fmt.RowBytes(ctx.fmt.width));
    staged_.resize(widest + 1);
    cur_.resize(widest);
    prev_.resize(widest);
    pass_ = ctx.fmt.interlace ? 0 : 6;  // a plain picture is one pass of the full size
    StartPass();
}

void PngRowDecoder::StartPass() {
    const PngFormat& f = ctx_.fmt;
    for (; pass_ < 7; ++pass_) {
        const Adam7Pass& p = kAdam7[pass_];
        passWidth_ = f.interlace ? Adam7Count(f.width, p.x0, p.dx) : f.width;
        passRows_ = f.interlace ? Adam7Count(f.height, p.y0, p.dy) : f.height;
        if (passWidth_ && passRows_) break;
    }
    row_ = 0;
    rowBytes_ = size_t(f.RowBytes(passWidth_)) + 1;
    std::fill(prev_.begin(), prev_.end(), 0);
}

void PngRowDecoder::Row(const uint8_t* filtered) {
    const size_t n = rowBytes_ - 1;
    PngUnfilterRow(filtered[0], filtered + 1, cur_.data(), prev_.data(), n, bpp_);
    const uint32_t y = ctx_.fmt.interlace ? kAdam7[pass_].y0 + row_ * kAdam7[pass_].dy : row_;
    const uint32_t x0 = ctx_.fmt.interlace ? kAdam7[pass_].x0 : 0, dx = ctx_.fmt.interlace ? kAdam7[pass_].dx : 1;
    PngConvertRow(ctx_, cur_.data(), passWidth_, reinterpret_cast<uint32_t*>(img_.Row(int(y))) + x0, dx);
    cur_.swap(prev_);
    if (++row_ == passRows_) {
        ++pass_;
        StartPass();
    }
}

void PngRowDecoder::Take(const uint8_t* data, size_t n) {
    while (n && pass_ < 7) {
        if (stagedLen_ == 0 && n >= rowBytes_) {
            const size_t len = rowBytes_;
            Row(data);
            data += len;
            n -= len;
            continue;
        }
        const size_t k = std::min(n, rowBytes_ - stagedLen_);
        std::memcpy(staged_.data() + stagedLen_, data, k);
        stagedLen_ += k;
        data += k;
        n -= k;
        if (stagedLen_ == rowBytes_) {
            stagedLen_ = 0;
            Row(staged_.data());
        }
    }
}
