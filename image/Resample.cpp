#include "image/Resample.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <immintrin.h>
#include <memory>
#include <new>
#include <tuple>
#include <utility>
#include <vector>

#include "image/ParallelRows.h"

namespace {

constexpr int kPrecision = 14;  // fixed-point weights: 1.0 = 1 << 14
constexpr int32_t kOne = 1 << kPrecision;

// For each output index: the first source index and `taps` weights (some
// zero). first + taps never passes the end of the source span.
struct FilterTable {
    int taps = 1;
    std::vector<int32_t> first;
    std::vector<int16_t> weights;
    std::vector<int32_t> pairs;  // weights two by two, for the horizontal pass
};

double Cubic(double x) {
    constexpr double a = -0.5;
    x = std::fabs(x);
    if (x < 1.0) return ((a + 2.0) * x - (a + 3.0)) * x * x + 1.0;
    if (x < 2.0) return (((x - 5.0) * x + 8.0) * x - 4.0) * a;
    return 0.0;
}

// The first source index (within the span) and unnormalised weights of
// output index o.
int Weights(ResampleFilter filter, int srcLen, int outLen, int o, std::vector<double>& w) {
    const double scale = double(srcLen) / double(outLen);
    w.clear();
    switch (filter) {
        case ResampleFilter::Nearest:
            w.push_back(1.0);
            return std::min(int((o + 0.5) * scale), srcLen - 1);
        case ResampleFilter::OwnNearest:
            w.push_back(1.0);
            return int(int64_t(o) * srcLen / outLen);
        case ResampleFilter::OwnLinear: {
            const double s = double(o) * scale;
            const int i0 = std::min(int(s), srcLen - 1);
            const double f = s - i0;
            w.push_back(1.0 - f);
            // A neighbour past the span's end is left out; the weights are renormalised.
            if (f > 0.0 && i0 + 1 < srcLen) w.push_back(f);
            return i0;
        }
        case ResampleFilter::Bicubic: {
            const double center = (o + 0.5) * scale;
            const double fscale = std::max(scale, 1.0);
            const double support = 2.0 * fscale;
            const int a = std::max(0, int(std::floor(center - support)));
            const int b = std::min(srcLen, int(std::ceil(center + support)));
            for (int i = a; i < b; ++i) w.push_back(Cubic((i + 0.5 - center) / fscale));
            if (w.empty()) {
                w.push_back(1.0);
                return std::clamp(int(center), 0, srcLen - 1);
            }
            return a;
        }
    }
    return 0;
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
        // A mirrored span is mirrored first and then scaled: output index o
        // reads the reversed span as an upright draw reads the span itself.
        int lo = Weights(filter, srcLen, outLen, outFrom + i, w);
        if (int(w.size()) > t.taps) w.resize(size_t(t.taps));
        if (mirrored) {
            lo = srcLen - lo - int(w.size());
            std::reverse(w.begin(), w.end());
        }
        lo += srcStart;
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
// table entry. Two taps at a time: the bytes of two neighbouring pixels
// interleaved and widened to 16 bits give B0 B1 G0 G1 R0 R1 A0 A1, which one
// multiply-add with a (w0, w1) pair turns into the four channel sums (SSE2,
// so every x86-64 runs it).
// Static initialisation may run before the compiler's own CPU probe.
const bool kHaveAvx2 = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));

// The same for two output pixels at a time, one per 128-bit half (AVX2);
// answers how many it did (none for an odd tap count).
__attribute__((target("avx2"))) size_t HorizontalPairsAvx2(const uint8_t* src, uint8_t* out, const FilterTable& t) {
    const size_t n = t.first.size();
    const int taps = t.taps, pairCount = taps / 2;
    if (taps & 1) return 0;
    const __m256i zero = _mm256_setzero_si256();
    const __m256i half = _mm256_set1_epi32(kOne / 2);
    size_t i = 0;
    for (; i + 2 <= n; i += 2) {
        const uint8_t* p0 = src + size_t(t.first[i]) * 4;
        const uint8_t* p1 = src + size_t(t.first[i + 1]) * 4;
        const int32_t* w0 = &t.pairs[i * size_t(pairCount)];
        const int32_t* w1 = w0 + pairCount;
        __m256i acc = half;
        for (int k = 0; k < pairCount; ++k) {
            const __m128i a = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p0 + 8 * k));
            const __m128i b = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p1 + 8 * k));
            const __m256i mixed = _mm256_inserti128_si256(
                _mm256_castsi128_si256(_mm_unpacklo_epi8(a, _mm_srli_si128(a, 4))), _mm_unpacklo_epi8(b, _mm_srli_si128(b, 4)), 1);
            const __m256i wts =
                _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_set1_epi32(w0[k])), _mm_set1_epi32(w1[k]), 1);
            acc = _mm256_add_epi32(acc, _mm256_madd_epi16(_mm256_unpacklo_epi8(mixed, zero), wts));
        }
        acc = _mm256_srai_epi32(acc, kPrecision);
        const __m256i bytes = _mm256_packus_epi16(_mm256_packs_epi32(acc, zero), zero);
        const int32_t v0 = _mm256_extract_epi32(bytes, 0), v1 = _mm256_extract_epi32(bytes, 4);
        std::memcpy(out + i * 4, &v0, 4);
        std::memcpy(out + i * 4 + 4, &v1, 4);
    }
    return i;
}

void HorizontalPass(const uint8_t* src, uint8_t* out, const FilterTable& t) {
    const size_t n = t.first.size();
    const int taps = t.taps, pairCount = taps / 2;
    const __m128i zero = _mm_setzero_si128();
    const __m128i half = _mm_set1_epi32(kOne / 2);
    const size_t done = kHaveAvx2 ? HorizontalPairsAvx2(src, out, t) : 0;
    const int32_t* pairs = t.pairs.data() + done * size_t(pairCount);
    for (size_t i = done; i < n; ++i, pairs += pairCount) {
        const uint8_t* p = src + size_t(t.first[i]) * 4;
        __m128i acc = half;
        for (int k = 0; k < pairCount; ++k, p += 8) {
            const __m128i two = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
            const __m128i mixed = _mm_unpacklo_epi8(two, _mm_srli_si128(two, 4));
            acc = _mm_add_epi32(acc, _mm_madd_epi16(_mm_unpacklo_epi8(mixed, zero), _mm_set1_epi32(pairs[k])));
        }
        if (taps & 1) {
            int32_t p0;
            std::memcpy(&p0, p, 4);
            const __m128i one = _mm_unpacklo_epi8(_mm_unpacklo_epi8(_mm_cvtsi32_si128(p0), zero), zero);
            const int16_t w = t.weights[i * size_t(taps) + size_t(taps - 1)];
            acc = _mm_add_epi32(acc, _mm_madd_epi16(one, _mm_set1_epi32(int32_t(uint16_t(w)))));
        }
        // >> 14, then saturate to 0..255 through two packs.
        acc = _mm_srai_epi32(acc, kPrecision);
        const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(acc, zero), zero);
        const int32_t v = _mm_cvtsi128_si32(bytes);
        std::memcpy(out + i * 4, &v, 4);
    }
}

int32_t WeightPair(int16_t a, int16_t b) { return int32_t(uint16_t(a)) | int32_t(uint32_t(uint16_t(b)) << 16); }

// The (w0, w1) pairs of every entry, as HorizontalPass multiplies them.
void MakePairs(FilterTable& t) {
    const int pairCount = t.taps / 2;
    t.pairs.resize(t.first.size() * size_t(pairCount));
    for (size_t i = 0; i < t.first.size(); ++i)
        for (int k = 0; k < pairCount; ++k) {
            const int16_t* w = &t.weights[i * size_t(t.taps) + size_t(2 * k)];
            t.pairs[i * size_t(pairCount) + size_t(k)] = WeightPair(w[0], w[1]);
        }
}

// The source indexes that entries [from, to) of a table reach: [lo, hi).
std::pair<int, int> Reach(const FilterTable& t, size_t from, size_t to) {
    int lo = INT32_MAX, hi = 0;
    for (size_t i = from; i < to; ++i) lo = std::min(lo, t.first[i]), hi = std::max(hi, t.first[i] + t.taps);
    return {lo, hi};
}

// VerticalPass's register path 32 bytes at a time (AVX2); every unpack and
// pack works within its 128-bit half, so each half is the SSE2 step. Answers
// how many bytes it did.
__attribute__((target("avx2"))) size_t VerticalPairsAvx2(const uint8_t* const* ra, const uint8_t* const* rb,
                                                          const __m128i* wts, int pairCount, size_t bytes,
                                                          uint8_t* out) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i half = _mm256_set1_epi32(kOne / 2);
    __m256i w[4];
    for (int j = 0; j < pairCount; ++j) w[j] = _mm256_broadcastsi128_si256(wts[j]);
    size_t i = 0;
    for (; i + 32 <= bytes; i += 32) {
        __m256i s0 = half, s1 = half, s2 = half, s3 = half;
        for (int j = 0; j < pairCount; ++j) {
            const __m256i va = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(ra[j] + i));
            const __m256i vb = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rb[j] + i));
            const __m256i lo = _mm256_unpacklo_epi8(va, vb), hi = _mm256_unpackhi_epi8(va, vb);
            s0 = _mm256_add_epi32(s0, _mm256_madd_epi16(_mm256_unpacklo_epi8(lo, zero), w[j]));
            s1 = _mm256_add_epi32(s1, _mm256_madd_epi16(_mm256_unpackhi_epi8(lo, zero), w[j]));
            s2 = _mm256_add_epi32(s2, _mm256_madd_epi16(_mm256_unpacklo_epi8(hi, zero), w[j]));
            s3 = _mm256_add_epi32(s3, _mm256_madd_epi16(_mm256_unpackhi_epi8(hi, zero), w[j]));
        }
        s0 = _mm256_srai_epi32(s0, kPrecision), s1 = _mm256_srai_epi32(s1, kPrecision);
        s2 = _mm256_srai_epi32(s2, kPrecision), s3 = _mm256_srai_epi32(s3, kPrecision);
        const __m256i packed = _mm256_packus_epi16(_mm256_packs_epi32(s0, s1), _mm256_packs_epi32(s2, s3));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), packed);
    }
    return i;
}

// Weighted sum of `taps` rows of `bytes` bytes each, two rows at a time:
// their bytes interleaved and widened give (a, b) pairs for one multiply-add.
// Up to four pairs the sums stay in registers; more rows (a strong shrink)
// are added one pair at a time over the whole row into `acc`.
void VerticalPass(const uint8_t* const* rows, const int16_t* w, int taps, size_t bytes, int32_t* acc, uint8_t* out) {
    constexpr int kRegisterPairs = 4;
    const __m128i zero = _mm_setzero_si128();
    const size_t body = bytes & ~size_t(15);
    if (taps <= 2 * kRegisterPairs) {
        const uint8_t *ra[kRegisterPairs], *rb[kRegisterPairs];
        int16_t wa[kRegisterPairs], wb[kRegisterPairs];
        __m128i wts[kRegisterPairs];
        int pairCount = 0;
        for (int k = 0; k < taps; k += 2) {
            // An odd last row pairs with itself at weight 0.
            const int16_t w0 = w[k], w1 = k + 1 < taps ? w[k + 1] : 0;
            if (w0 == 0 && w1 == 0) continue;
            ra[pairCount] = rows[k], rb[pairCount] = k + 1 < taps ? rows[k + 1] : rows[k];
            wa[pairCount] = w0, wb[pairCount] = w1;
            wts[pairCount++] = _mm_set1_epi32(WeightPair(w0, w1));
        }
        const __m128i half = _mm_set1_epi32(kOne / 2);
        const size_t done = kHaveAvx2 ? VerticalPairsAvx2(ra, rb, wts, pairCount, bytes, out) : 0;
        for (size_t i = done; i < body; i += 16) {
            __m128i s0 = half, s1 = half, s2 = half, s3 = half;
            for (int j = 0; j < pairCount; ++j) {
                const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(ra[j] + i));
                const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rb[j] + i));
                const __m128i lo = _mm_unpacklo_epi8(va, vb), hi = _mm_unpackhi_epi8(va, vb);
                s0 = _mm_add_epi32(s0, _mm_madd_epi16(_mm_unpacklo_epi8(lo, zero), wts[j]));
                s1 = _mm_add_epi32(s1, _mm_madd_epi16(_mm_unpackhi_epi8(lo, zero), wts[j]));
                s2 = _mm_add_epi32(s2, _mm_madd_epi16(_mm_unpacklo_epi8(hi, zero), wts[j]));
                s3 = _mm_add_epi32(s3, _mm_madd_epi16(_mm_unpackhi_epi8(hi, zero), wts[j]));
            }
            s0 = _mm_srai_epi32(s0, kPrecision), s1 = _mm_srai_epi32(s1, kPrecision);
            s2 = _mm_srai_epi32(s2, kPrecision), s3 = _mm_srai_epi32(s3, kPrecision);
            const __m128i packed = _mm_packus_epi16(_mm_packs_epi32(s0, s1), _mm_packs_epi32(s2, s3));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), packed);
        }
        for (size_t i = body; i < bytes; ++i) {
            int32_t sum = kOne / 2;
            for (int j = 0; j < pairCount; ++j) sum += wa[j] * ra[j][i] + wb[j] * rb[j][i];
            out[i] = Clamp8(sum >> kPrecision);
        }
        return;
    }
    for (size_t i = 0; i < bytes; ++i) acc[i] = kOne / 2;
    for (int k = 0; k < taps; k += 2) {
        const uint8_t* a = rows[k];
        const uint8_t* b = k + 1 < taps ? rows[k + 1] : rows[k];
        const int16_t wa = w[k], wb = k + 1 < taps ? w[k + 1] : 0;
        if (wa == 0 && wb == 0) continue;
        const __m128i wts = _mm_set1_epi32(WeightPair(wa, wb));
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

typedef uint8_t u8x32 __attribute__((vector_size(32)));
typedef uint32_t u32x8 __attribute__((vector_size(32)));

// Cubic overshoot may leave a colour above its alpha; premultiplied pixels
// never have that. Eight pixels at a time: each pixel's alpha spread over its
// four bytes, then a bytewise minimum (alpha itself stays).
__attribute__((target_clones("avx2", "default")))
void LimitToAlpha(uint8_t* px, size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        u32x8 v;
        std::memcpy(&v, px + i * 4, 32);
        u32x8 a = v & 0xFF000000u;
        a |= a >> 8;
        a |= a >> 16;
        const u8x32 b = (u8x32)v, c = (u8x32)a;
        const u8x32 m = b < c ? b : c;
        std::memcpy(px + i * 4, &m, 32);
    }
    for (uint8_t* p = px + i * 4; i < n; ++i, p += 4) {
        const uint8_t a = p[3];
        p[0] = std::min(p[0], a);
        p[1] = std::min(p[1], a);
        p[2] = std::min(p[2], a);
    }
}

// Drops the zero weights at both ends of every entry (an enlarging cubic
// reaches a neighbour at distance 2, where its weight is 0): fewer taps,
// the same sums. `srcEnd` bounds the windows as in BuildFilter.
void TrimZeroTaps(FilterTable& t, int srcEnd) {
    const size_t n = t.first.size();
    const int taps = t.taps;
    std::vector<int> lead(n), span(n);
    int widest = 1;
    for (size_t i = 0; i < n; ++i) {
        const int16_t* w = &t.weights[i * size_t(taps)];
        int k0 = 0, k1 = taps - 1;
        while (k0 < k1 && w[k0] == 0) ++k0;
        while (k1 > k0 && w[k1] == 0) --k1;
        lead[i] = k0;
        span[i] = k1 - k0 + 1;
        widest = std::max(widest, span[i]);
    }
    if (widest == taps) return;
    std::vector<int16_t> weights(n * size_t(widest), 0);
    for (size_t i = 0; i < n; ++i) {
        const int from = t.first[i] + lead[i];
        const int first = std::min(from, srcEnd - widest);
        std::copy_n(&t.weights[i * size_t(taps) + size_t(lead[i])], span[i],
                    &weights[i * size_t(widest) + size_t(from - first)]);
        t.first[i] = first;
    }
    t.weights = std::move(weights);
    t.taps = widest;
}

// A job made ready to run: both tables, and which pass goes first.
struct Plan {
    FilterTable h, v;
    bool horizontalFirst = true;
    int colLo = 0, colHi = 0;  // source columns the horizontal table reaches
};

// Output rows [y0, y1) of the part (indexes into the vertical table).
void RunRows(const PixelRows& source, const Plan& p, const ResampleJob& job, size_t y0, size_t y1,
             const ResampleRowSink& sink) {
    const FilterTable &h = p.h, &v = p.v;
    const size_t outCols = h.first.size();
    std::vector<uint8_t> out(outCols * 4);
    std::vector<const uint8_t*> rows(size_t(v.taps));
    if (p.horizontalFirst) {
        const auto [rowLo, rowHi] = Reach(v, y0, y1);
        const size_t srcRows = size_t(rowHi - rowLo);
        // Every byte is written before it is read: no clearing needed.
        const auto mid = std::make_unique_for_overwrite<uint8_t[]>(srcRows * outCols * 4);
        for (size_t r = 0; r < srcRows; ++r) HorizontalPass(source.Row(rowLo + int(r)), mid.get() + r * outCols * 4, h);
        std::vector<int32_t> acc(outCols * 4);
        for (size_t y = y0; y < y1; ++y) {
            for (int k = 0; k < v.taps; ++k) rows[size_t(k)] = mid.get() + size_t(v.first[y] + k - rowLo) * outCols * 4;
            VerticalPass(rows.data(), &v.weights[y * size_t(v.taps)], v.taps, outCols * 4, acc.data(), out.data());
            LimitToAlpha(out.data(), outCols);
            sink(job.OutY0 + int(y), out.data());
        }
    } else {
        const size_t srcCols = size_t(p.colHi - p.colLo);
        std::vector<uint8_t> mid(srcCols * 4);
        std::vector<int32_t> acc(srcCols * 4);
        FilterTable hLocal = h;  // column indexes relative to colLo
        for (int32_t& f : hLocal.first) f -= p.colLo;
        for (size_t y = y0; y < y1; ++y) {
            for (int k = 0; k < v.taps; ++k) rows[size_t(k)] = source.Row(v.first[y] + k) + size_t(p.colLo) * 4;
            VerticalPass(rows.data(), &v.weights[y * size_t(v.taps)], v.taps, srcCols * 4, acc.data(), mid.data());
            HorizontalPass(mid.data(), out.data(), hLocal);
            LimitToAlpha(out.data(), outCols);
            sink(job.OutY0 + int(y), out.data());
        }
    }
}

const uint8_t* ImageRow(const void* image, int y) { return static_cast<const cImage32*>(image)->Row(y); }

}  // namespace

PixelRows::PixelRows(const cImage32& image)
    : Width(image.Width()), Height(image.Height()), Owner(&image), RowOf(ImageRow) {}

bool ResampleRect(const PixelRows& source, const ResampleJob& job, const ResampleRowSink& sink) {
    if (source.Width < 1 || source.Height < 1 || job.SrcWidth < 1 || job.SrcHeight < 1 || job.OutWidth < 1 ||
        job.OutHeight < 1)
        return false;
    if (job.SrcX < 0 || job.SrcY < 0 || job.SrcX + job.SrcWidth > source.Width ||
        job.SrcY + job.SrcHeight > source.Height)
        return false;
    if (job.OutX0 < 0 || job.OutY0 < 0 || job.OutX1 > job.OutWidth || job.OutY1 > job.OutHeight) return false;
    if (job.OutX0 >= job.OutX1 || job.OutY0 >= job.OutY1) return true;
    try {
        Plan p;
        p.h = BuildFilter(job.Filter, job.SrcX, job.SrcWidth, job.OutWidth, job.OutX0, job.OutX1, job.MirrorX);
        p.v = BuildFilter(job.Filter, job.SrcY, job.SrcHeight, job.OutHeight, job.OutY0, job.OutY1, job.MirrorY);
        const size_t outCols = size_t(job.OutX1 - job.OutX0);
        const size_t outRows = size_t(job.OutY1 - job.OutY0);
        // Source rows and columns that the two tables reach.
        const auto [rowLo, rowHi] = Reach(p.v, 0, p.v.first.size());
        const auto [colLo, colHi] = Reach(p.h, 0, p.h.first.size());
        const double srcRows = double(rowHi - rowLo), srcCols = double(colHi - colLo);

        // The vertical pass vectorises across whole rows, the horizontal one
        // works pixel by pixel: put the bigger share of the work vertically.
        // The order changes how the result rounds, so it is chosen here for
        // the whole job, from the untrimmed tables.
        const double hFirst = srcRows * outCols * p.h.taps * 2.0 + double(outRows) * outCols * p.v.taps;
        const double vFirst = double(outRows) * srcCols * p.v.taps + double(outRows) * outCols * p.h.taps * 2.0;
        p.horizontalFirst = hFirst <= vFirst;

        TrimZeroTaps(p.h, job.SrcX + job.SrcWidth);
        TrimZeroTaps(p.v, job.SrcY + job.SrcHeight);
        MakePairs(p.h);
        std::tie(p.colLo, p.colHi) = Reach(p.h, 0, p.h.first.size());

        // Each part computes its own rows, the source rows they need included.
        ParallelRows(int(outRows), std::min(hFirst, vFirst) / double(outRows), [&](int from, int to) {
            RunRows(source, p, job, size_t(from), size_t(to), sink);
        });
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}
