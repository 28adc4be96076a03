#include "image/Resample.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <emmintrin.h>
#include <memory>
#include <new>
#include <vector>

namespace {

constexpr int kPrecision = 14;  // fixed-point weights: 1.0 = 1 << 14
constexpr int32_t kOne = 1 << kPrecision;

// For each output index: the first source index and `taps` weights (some
// zero). first + taps never passes the end of the source span.
struct FilterTable {
    int taps = 1;
    std::vector<int32_t> first;
    std::vector<int16_t> weights;
};

double Cubic(double x) {
    constexpr double a = -0.5;
    x = std::fabs(x);
    if (x < 1.0) return ((a + 2.0) * x - (a + 3.0)) * x * x + 1.0;
    if (x < 2.0) return (((x - 5.0) * x + 8.0) * x - 4.0) * a;
    return 0.0;
}

// The source index and unnormalised weights of output index o.
int Weights(ResampleFilter filter, int srcStart, int srcLen, int outLen, int o, std::vector<double>& w) {
    const double scale = double(srcLen) / double(outLen);
    w.clear();
    switch (filter) {
        case ResampleFilter::Nearest:
            w.push_back(1.0);
            return srcStart + std::min(int((o + 0.5) * scale), srcLen - 1);
        case ResampleFilter::OwnNearest:
            w.push_back(1.0);
            return srcStart + int(int64_t(o) * srcLen / outLen);
        case ResampleFilter::OwnLinear: {
            const double s = double(o) * scale;
            const int i0 = std::min(int(s), srcLen - 1);
            const double f = s - i0;
            w.push_back(1.0 - f);
            // A neighbour past the span's end is left out; the weights are renormalised.
            if (f > 0.0 && i0 + 1 < srcLen) w.push_back(f);
            return srcStart + i0;
        }
        case ResampleFilter::Bicubic: {
            const double center = srcStart + (o + 0.5) * scale;
            const double fscale = std::max(scale, 1.0);
            const double support = 2.0 * fscale;
            const int a = std::max(srcStart, int(std::floor(center - support)));
            const int b = std::min(srcStart + srcLen, int(std::ceil(center + support)));
            for (int i = a; i < b; ++i) w.push_back(Cubic((i + 0.5 - center) / fscale));
            if (w.empty()) {
                w.push_back(1.0);
                return std::clamp(int(center), srcStart, srcStart + srcLen - 1);
            }
            return a;
        }
    }
    return srcStart;
}

int MaxTaps(ResampleFilter filter, double scale) {
    switch (filter) {
        case ResampleFilter::Nearest:
        case ResampleFilter::OwnNearest: return 1;
        case ResampleFilter::OwnLinear: return 2;
        case ResampleFilter::Bicubic: return int(std::ceil(4.0 * std::max(scale, 1.0))) + 2;
    }
    return 1;
}

FilterTable BuildFilter(ResampleFilter filter, int srcStart, int srcLen, int outLen, int outFrom, int outTo,
                        bool mirrored) {
    const int count = outTo - outFrom;
    const double scale = double(srcLen) / double(outLen);
    const int srcEnd = srcStart + srcLen;
    FilterTable t;
    t.taps = std::min(MaxTaps(filter, scale), srcLen);
    t.first.resize(size_t(count));
    t.weights.assign(size_t(count) * size_t(t.taps), 0);
    std::vector<double> w;
    for (int i = 0; i < count; ++i) {
        const int o = mirrored ? outLen - 1 - (outFrom + i) : outFrom + i;
        const int lo = Weights(filter, srcStart, srcLen, outLen, o, w);
        if (int(w.size()) > t.taps) w.resize(size_t(t.taps));
        double sum = 0.0;
        for (double v : w) sum += v;
        if (sum == 0.0) sum = 1.0;
        // Shift the window left when it would run past the span's end.
        const int first = std::min(lo, srcEnd - t.taps);
        const int offset = lo - first;
        t.first[size_t(i)] = first;
        int16_t* dst = &t.weights[size_t(i) * size_t(t.taps)];
        int32_t total = 0;
        int biggest = offset;
        for (size_t k = 0; k < w.size(); ++k) {
            const int32_t q = int32_t(std::lround(w[k] / sum * kOne));
            dst[size_t(offset) + k] = int16_t(q);
            total += q;
            if (std::abs(q) > std::abs(int32_t(dst[biggest]))) biggest = offset + int(k);
        }
        // Rounding must not tint flat areas: the weights add up to exactly one.
        dst[biggest] = int16_t(dst[biggest] + (kOne - total));
    }
    return t;
}

inline uint8_t Clamp8(int32_t v) { return uint8_t(v < 0 ? 0 : (v > 255 ? 255 : v)); }

// Out of `taps` source pixels at `src + first * 4`: one output pixel per
// table entry. Two taps at a time: the bytes of two pixels interleaved and
// widened to 16 bits give B0 B1 G0 G1 R0 R1 A0 A1, which one multiply-add
// with (w0, w1) pairs turns into the four channel sums (SSE2, so every
// x86-64 runs it).
void HorizontalPass(const uint8_t* src, uint8_t* out, const FilterTable& t) {
    const size_t n = t.first.size();
    const int taps = t.taps;
    const __m128i zero = _mm_setzero_si128();
    const __m128i half = _mm_set1_epi32(kOne / 2);
    for (size_t i = 0; i < n; ++i) {
        const uint8_t* p = src + size_t(t.first[i]) * 4;
        const int16_t* w = &t.weights[i * size_t(taps)];
        __m128i acc = half;
        int k = 0;
        for (; k + 2 <= taps; k += 2, p += 8) {
            int32_t p0, p1;
            std::memcpy(&p0, p, 4);
            std::memcpy(&p1, p + 4, 4);
            const __m128i pair = _mm_unpacklo_epi8(_mm_unpacklo_epi8(_mm_cvtsi32_si128(p0), _mm_cvtsi32_si128(p1)), zero);
            const __m128i wts = _mm_set1_epi32(int32_t(uint16_t(w[k])) | int32_t(uint32_t(uint16_t(w[k + 1])) << 16));
            acc = _mm_add_epi32(acc, _mm_madd_epi16(pair, wts));
        }
        if (k < taps) {
            int32_t p0;
            std::memcpy(&p0, p, 4);
            const __m128i one = _mm_unpacklo_epi8(_mm_unpacklo_epi8(_mm_cvtsi32_si128(p0), zero), zero);
            acc = _mm_add_epi32(acc, _mm_madd_epi16(one, _mm_set1_epi32(int32_t(uint16_t(w[k])))));
        }
        // >> 14, then saturate to 0..255 through two packs.
        acc = _mm_srai_epi32(acc, kPrecision);
        const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(acc, zero), zero);
        const int32_t v = _mm_cvtsi128_si32(bytes);
        std::memcpy(out + i * 4, &v, 4);
    }
}

// Weighted sum of `taps` rows of `bytes` bytes each, two rows at a time:
// their bytes interleaved and widened give (a, b) pairs for one multiply-add.
void VerticalPass(const uint8_t* const* rows, const int16_t* w, int taps, size_t bytes, int32_t* acc, uint8_t* out) {
    const __m128i zero = _mm_setzero_si128();
    const size_t body = bytes & ~size_t(15);
    for (size_t i = 0; i < bytes; ++i) acc[i] = kOne / 2;
    for (int k = 0; k < taps; k += 2) {
        const uint8_t* a = rows[k];
        // An odd last row pairs with itself at weight 0.
        const uint8_t* b = k + 1 < taps ? rows[k + 1] : rows[k];
        const int16_t wa = w[k], wb = k + 1 < taps ? w[k + 1] : 0;
        if (wa == 0 && wb == 0) continue;
        const __m128i wts = _mm_set1_epi32(int32_t(uint16_t(wa)) | int32_t(uint32_t(uint16_t(wb)) << 16));
        for (size_t i = 0; i < body; i += 16) {
            const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i));
            const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
            const __m128i lo = _mm_unpacklo_epi8(va, vb), hi = _mm_unpackhi_epi8(va, vb);
            const __m128i sums[4] = {_mm_madd_epi16(_mm_unpacklo_epi8(lo, zero), wts),
                                     _mm_madd_epi16(_mm_unpackhi_epi8(lo, zero), wts),
                                     _mm_madd_epi16(_mm_unpacklo_epi8(hi, zero), wts),
                                     _mm_madd_epi16(_mm_unpackhi_epi8(hi, zero), wts)};
            for (int q = 0; q < 4; ++q) {
                __m128i* slot = reinterpret_cast<__m128i*>(acc + i + size_t(q) * 4);
                _mm_storeu_si128(slot, _mm_add_epi32(_mm_loadu_si128(slot), sums[q]));
            }
        }
        for (size_t i = body; i < bytes; ++i) acc[i] += wa * a[i] + wb * b[i];
    }
    for (size_t i = 0; i < body; i += 16) {
        __m128i v[4];
        for (int q = 0; q < 4; ++q)
            v[q] = _mm_srai_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(acc + i + size_t(q) * 4)), kPrecision);
        const __m128i packed = _mm_packus_epi16(_mm_packs_epi32(v[0], v[1]), _mm_packs_epi32(v[2], v[3]));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), packed);
    }
    for (size_t i = body; i < bytes; ++i) out[i] = Clamp8(acc[i] >> kPrecision);
}

// Cubic overshoot may leave a colour above its alpha; premultiplied pixels never have that.
__attribute__((target_clones("avx2", "default")))
void LimitToAlpha(uint8_t* px, size_t n) {
    for (size_t i = 0; i < n; ++i, px += 4) {
        const uint8_t a = px[3];
        px[0] = std::min(px[0], a);
        px[1] = std::min(px[1], a);
        px[2] = std::min(px[2], a);
    }
}

}  // namespace

bool ResampleRect(const cImage32& source, const ResampleJob& job, const ResampleRowSink& sink) {
    if (!source.HasImage() || job.SrcWidth < 1 || job.SrcHeight < 1 || job.OutWidth < 1 || job.OutHeight < 1)
        return false;
    if (job.SrcX < 0 || job.SrcY < 0 || job.SrcX + job.SrcWidth > source.Width() ||
        job.SrcY + job.SrcHeight > source.Height())
        return false;
    if (job.OutX0 < 0 || job.OutY0 < 0 || job.OutX1 > job.OutWidth || job.OutY1 > job.OutHeight) return false;
    if (job.OutX0 >= job.OutX1 || job.OutY0 >= job.OutY1) return true;
    try {
        const FilterTable h =
            BuildFilter(job.Filter, job.SrcX, job.SrcWidth, job.OutWidth, job.OutX0, job.OutX1, job.MirrorX);
        const FilterTable v =
            BuildFilter(job.Filter, job.SrcY, job.SrcHeight, job.OutHeight, job.OutY0, job.OutY1, job.MirrorY);
        const size_t outCols = size_t(job.OutX1 - job.OutX0);
        const size_t outRows = size_t(job.OutY1 - job.OutY0);
        // Source rows and columns that the two tables reach.
        int rowLo = INT32_MAX, rowHi = 0, colLo = INT32_MAX, colHi = 0;
        for (int32_t f : v.first) rowLo = std::min(rowLo, f), rowHi = std::max(rowHi, f + v.taps);
        for (int32_t f : h.first) colLo = std::min(colLo, f), colHi = std::max(colHi, f + h.taps);
        const size_t srcRows = size_t(rowHi - rowLo), srcCols = size_t(colHi - colLo);

        // The vertical pass vectorises across whole rows, the horizontal one
        // works pixel by pixel: put the bigger share of the work vertically.
        const double hFirst = double(srcRows) * outCols * h.taps * 2.0 + double(outRows) * outCols * v.taps;
        const double vFirst = double(outRows) * srcCols * v.taps + double(outRows) * outCols * h.taps * 2.0;

        std::vector<uint8_t> out(outCols * 4);
        std::vector<const uint8_t*> rows(size_t(v.taps));
        if (hFirst <= vFirst) {
            // Every byte is written before it is read: no clearing needed.
            const auto mid = std::make_unique_for_overwrite<uint8_t[]>(srcRows * outCols * 4);
            for (size_t r = 0; r < srcRows; ++r)
                HorizontalPass(source.Row(rowLo + int(r)), mid.get() + r * outCols * 4, h);
            std::vector<int32_t> acc(outCols * 4);
            for (size_t y = 0; y < outRows; ++y) {
                for (int k = 0; k < v.taps; ++k)
                    rows[size_t(k)] = mid.get() + size_t(v.first[y] + k - rowLo) * outCols * 4;
                VerticalPass(rows.data(), &v.weights[y * size_t(v.taps)], v.taps, outCols * 4, acc.data(),
                             out.data());
                LimitToAlpha(out.data(), outCols);
                sink(job.OutY0 + int(y), out.data());
            }
        } else {
            std::vector<uint8_t> mid(srcCols * 4);
            std::vector<int32_t> acc(srcCols * 4);
            FilterTable hLocal = h;  // column indexes relative to colLo
            for (int32_t& f : hLocal.first) f -= colLo;
            for (size_t y = 0; y < outRows; ++y) {
                for (int k = 0; k < v.taps; ++k) rows[size_t(k)] = source.Row(v.first[y] + k) + size_t(colLo) * 4;
                VerticalPass(rows.data(), &v.weights[y * size_t(v.taps)], v.taps, srcCols * 4, acc.data(),
                             mid.data());
                HorizontalPass(mid.data(), out.data(), hLocal);
                LimitToAlpha(out.data(), outCols);
                sink(job.OutY0 + int(y), out.data());
            }
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}
