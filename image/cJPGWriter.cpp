// Baseline JPEG encoder. Format: ISO/IEC 10918-1 (sequential DCT, Huffman
// coding) in a JFIF 1.01 file. Quantisation and Huffman tables are the
// examples of Annex K; colours are converted to YCbCr as JFIF defines.
#include "image/cJPGWriter.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "image/WriterCommon.h"
#include "image/cImage32.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// Annex K, table K.1 (luminance) and K.2 (chrominance), natural order.
constexpr uint8_t kLuminanceBase[64] = {
    16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
    14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
    18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};
constexpr uint8_t kChrominanceBase[64] = {
    17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99,
    24, 26, 56, 99, 99, 99, 99, 99, 47, 66, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};

// Annex K.3: the example Huffman tables (code counts per length, symbols).
constexpr uint8_t kDcLumBits[16] = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
constexpr uint8_t kDcChromBits[16] = {0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0};
constexpr uint8_t kDcValues[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
constexpr uint8_t kAcLumBits[16] = {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d};
constexpr uint8_t kAcLumValues[162] = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61, 0x07, 0x22, 0x71,
    0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52, 0xd1, 0xf0, 0x24, 0x33, 0x62, 0x72,
    0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x34, 0x35, 0x36, 0x37,
    0x38, 0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59,
    0x5a, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83,
    0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a, 0xa2, 0xa3,
    0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3,
    0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2,
    0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};
constexpr uint8_t kAcChromBits[16] = {0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77};
constexpr uint8_t kAcChromValues[162] = {
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61, 0x71, 0x13, 0x22,
    0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33, 0x52, 0xf0, 0x15, 0x62, 0x72, 0xd1,
    0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18, 0x19, 0x1a, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x35, 0x36,
    0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58,
    0x59, 0x5a, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a,
    0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a,
    0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba,
    0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda,
    0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};

struct HuffSpec {
    const uint8_t* bits;
    const uint8_t* values;
    size_t count;
};
constexpr HuffSpec kDcSpec[2] = {{kDcLumBits, kDcValues, 12}, {kDcChromBits, kDcValues, 12}};
constexpr HuffSpec kAcSpec[2] = {{kAcLumBits, kAcLumValues, 162}, {kAcChromBits, kAcChromValues, 162}};

struct JpegError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Code and length of every symbol, packed as code << 8 | length; length 0
// marks a symbol the table lacks.
struct HuffCodes {
    std::array<uint32_t, 256> packed{};
    uint32_t Length(int sym) const { return packed[size_t(sym)] & 255; }
};

// Canonical codes of ISO/IEC 10918-1 Annex C. A table that lists a symbol
// twice, more symbols than its counts, or more codes than fit in their
// lengths (the all-ones code is reserved) cannot be used.
HuffCodes BuildCodes(const HuffSpec& s) {
    size_t total = 0;
    for (int i = 0; i < 16; ++i) total += s.bits[i];
    if (total != s.count || total > 256) throw JpegError("Bad Huffman Table");
    HuffCodes c;
    uint32_t code = 0;
    size_t k = 0;
    for (int len = 1; len <= 16; ++len) {
        for (int i = 0; i < s.bits[len - 1]; ++i) {
            const uint8_t sym = s.values[k++];
            if (c.Length(sym)) throw JpegError("Bad Huffman Table");
            c.packed[sym] = code++ << 8 | uint32_t(len);
        }
        if (code >= (1u << len)) throw JpegError("Bad Huffman Table");
        code <<= 1;
    }
    return c;
}

uint32_t RoundHalfEvenDiv(uint32_t num, uint32_t den) {
    uint32_t q = num / den;
    const uint32_t twice = 2 * (num % den);
    if (twice > den || (twice == den && (q & 1))) ++q;
    return q;
}

// Entropy-coded bytes, with a 0 stuffed after every 0xFF. Bits gather in a
// word and leave four bytes at a time. A plain value, so that the coder can
// keep it in registers: stores through the byte pointer could otherwise
// alias its fields and force them through memory.
struct BitSink {
    uint8_t* p;
    uint64_t acc = 0;
    int n = 0;  // pending bits, the low bits of acc

    // len <= 32 bits; the caller has made room (see ScanBuffer).
    void Put(uint32_t bits, int len) {
        acc = acc << len | bits;
        n += len;
        if (n >= 32) {
            n -= 32;
            const uint32_t w = uint32_t(acc >> n);
            if (((w & 0x7F7F7F7Fu) + 0x01010101u) & w & 0x80808080u) {  // a byte is 0xFF
                for (int s = 24; s >= 0; s -= 8) Byte(uint8_t(w >> s));
            } else {
                const uint32_t be = __builtin_bswap32(w);
                std::memcpy(p, &be, 4);
                p += 4;
            }
        }
    }
    void Byte(uint8_t b) {
        *p++ = b;
        if (b == 0xFF) *p++ = 0;
    }
    // Pads the last byte with one bits and writes out what is pending.
    void Finish() {
        if (n % 8) {
            const int pad = 8 - n % 8;
            acc = acc << pad | ((1u << pad) - 1);
            n += pad;
        }
        for (; n >= 8; n -= 8) Byte(uint8_t(acc >> (n - 8)));
    }
};

// The growing buffer a BitSink writes into.
class ScanBuffer {
public:
    explicit ScanBuffer(size_t guess) : bytes_(guess) {}
    // A sink that may write at least n bytes more than `at` has.
    void Room(BitSink& at, size_t n) {
        const size_t used = size_t(at.p - bytes_.data());
        if (bytes_.size() - used >= n) return;
        bytes_.resize(std::max(bytes_.size() * 2, used + n));
        at.p = bytes_.data() + used;
    }
    uint8_t* Begin() { return bytes_.data(); }
    const ByteVec& Bytes(const BitSink& end) {
        bytes_.resize(size_t(end.p - bytes_.data()));
        return bytes_;
    }

private:
    ByteVec bytes_;
};

// A row of a block, eight lanes the compiler maps to whatever vector width
// the target has; every operation acts on each lane alone.
typedef float Row __attribute__((vector_size(32)));
typedef int IntRow __attribute__((vector_size(32)));

// One pass of the Arai-Agui-Nakajima DCT down all eight columns of a block
// at once, each lane one column; r holds the rows and receives the result.
inline void DctColumns(Row* r) {
    const Row t0 = r[0] + r[7], t7 = r[0] - r[7];
    const Row t1 = r[1] + r[6], t6 = r[1] - r[6];
    const Row t2 = r[2] + r[5], t5 = r[2] - r[5];
    const Row t3 = r[3] + r[4], t4 = r[3] - r[4];
    Row t10 = t0 + t3, t13 = t0 - t3, t11 = t1 + t2, t12 = t1 - t2;
    r[0] = t10 + t11;
    r[4] = t10 - t11;
    const Row z1 = (t12 + t13) * 0.707106781f;
    r[2] = t13 + z1;
    r[6] = t13 - z1;
    t10 = t4 + t5;
    t11 = t5 + t6;
    t12 = t6 + t7;
    const Row z5 = (t10 - t12) * 0.382683433f;
    const Row z2 = 0.541196100f * t10 + z5, z4 = 1.306562965f * t12 + z5, z3 = t11 * 0.707106781f;
    const Row z11 = t7 + z3, z13 = t7 - z3;
    r[5] = z13 + z2;
    r[3] = z13 - z2;
    r[1] = z11 + z4;
    r[7] = z11 - z4;
}

// 8x8 transpose in place, as the usual network of interleaves (24 shuffles
// in the avx2 build).
inline void Transpose(Row* r) {
    Row t[8], u[8];
    for (int i = 0; i < 4; ++i) {  // pairs of rows interleaved
        t[2 * i] = __builtin_shufflevector(r[2 * i], r[2 * i + 1], 0, 8, 1, 9, 4, 12, 5, 13);
        t[2 * i + 1] = __builtin_shufflevector(r[2 * i], r[2 * i + 1], 2, 10, 3, 11, 6, 14, 7, 15);
    }
    for (int i = 0; i < 2; ++i)  // columns c and c + 4 of four rows
        for (int j = 0; j < 2; ++j) {
            u[4 * i + 2 * j] = __builtin_shufflevector(t[4 * i + j], t[4 * i + j + 2], 0, 1, 8, 9, 4, 5, 12, 13);
            u[4 * i + 2 * j + 1] = __builtin_shufflevector(t[4 * i + j], t[4 * i + j + 2], 2, 3, 10, 11, 6, 7, 14, 15);
        }
    for (int c = 0; c < 4; ++c) {  // the halves of the upper and lower four rows joined
        r[c] = __builtin_shufflevector(u[c], u[c + 4], 0, 1, 2, 3, 8, 9, 10, 11);
        r[c + 4] = __builtin_shufflevector(u[c], u[c + 4], 4, 5, 6, 7, 12, 13, 14, 15);
    }
}

// Where the coefficient of natural index n (vertical frequency n / 8,
// horizontal n % 8) lies in the output of TransformStrip.
constexpr size_t Transposed(size_t n) { return n % 8 * 8 + n / 8; }

// Forward DCT of the blocks of one strip 8 rows high (rows `stride` floats
// apart; block b starts at src + 8b) and quantisation: q receives 64
// coefficients per block, AC limited to the 10 bits of 8-bit baseline data,
// and dc the DC values, limited to 11 bits. Each block stays in registers
// throughout; the second pass leaves it transposed, and so q receives it and
// divisor is laid out (see Transposed). The DCT outputs carry the AAN scale
// factors; the divisors undo them. A whole strip per call lets the blocks
// overlap in the pipeline, which the branches of the coder would not. No
// target here may fuse a multiply and an add: the file depends on every
// rounding (avx2 brings no FMA).
__attribute__((target_clones("avx2", "default")))
void TransformStrip(const float* src, size_t stride, size_t blocks, const float* divisor, int* q, int* dc) {
    for (size_t b = 0; b < blocks; ++b, src += 8, q += 64) {
        Row r[8];
        for (size_t y = 0; y < 8; ++y) std::memcpy(&r[y], src + y * stride, sizeof(Row));
        DctColumns(r);
        Transpose(r);
        DctColumns(r);
        for (size_t y = 0; y < 8; ++y) {
            Row d;
            std::memcpy(&d, divisor + 8 * y, sizeof(Row));
            IntRow v = __builtin_convertvector(r[y] * d + 16384.5f, IntRow) - 16384;
            v = v < -1023 ? -1023 : v;
            v = v > 1023 ? 1023 : v;
            std::memcpy(q + 8 * y, &v, sizeof(IntRow));
        }
        dc[b] = std::clamp(int(r[0][0] * divisor[0] + 16384.5f) - 16384, -2047, 2047);
    }
}

// Premultiplied BGRA pixels shown over the fill colour (R, G, B), as JFIF
// YCbCr with the level shift of 128 taken off the luminance. A valid pixel
// (colour <= alpha) stays within 0 ... 255; an invalid one only drives its
// coefficients to the limits TransformStrip enforces.
__attribute__((target_clones("avx2", "default")))
void ToYCbCr(const uint8_t* px, size_t n, const float* fill, float* __restrict y, float* __restrict cb,
             float* __restrict cr) {
    auto put = [&](size_t x, float r, float g, float b) {
        y[x] = 0.299f * r + 0.587f * g + 0.114f * b - 128.0f;
        cb[x] = -0.168735892f * r - 0.331264108f * g + 0.5f * b;
        cr[x] = 0.5f * r - 0.418687589f * g - 0.081312411f * b;
    };
    if (fill[0] == 0 && fill[1] == 0 && fill[2] == 0) {
        // Over black the uncovered part adds exactly +0 to each colour. The
        // pixels are read as words, which vectorises with shifts and masks.
        for (size_t x = 0; x < n; ++x) {
            uint32_t w;
            std::memcpy(&w, px + 4 * x, 4);
            put(x, float(w >> 16 & 255), float(w >> 8 & 255), float(w & 255));
        }
        return;
    }
    const float fr = fill[0] * (1.0f / 255.0f), fg = fill[1] * (1.0f / 255.0f), fb = fill[2] * (1.0f / 255.0f);
    for (size_t x = 0; x < n; ++x) {
        const uint8_t* p = px + x * 4;
        const float uncovered = float(255 - p[3]);
        put(x, float(p[2]) + fr * uncovered, float(p[1]) + fg * uncovered, float(p[0]) + fb * uncovered);
    }
}

struct Component {
    int id, h, v, table;
    std::array<float, 64> divisor;  // laid out as TransformStrip leaves the coefficients
    int lastDc = 0;
};

// Natural index of the k-th coefficient in zigzag order: the anti-diagonals
// walked alternately up and down.
std::array<uint8_t, 64> ZigzagOrder() {
    std::array<uint8_t, 64> z{};
    size_t k = 0;
    for (int s = 0; s < 15; ++s)
        for (int i = 0; i <= s; ++i) {
            const int r = (s & 1) ? i : s - i, c = s - r;
            if (r < 8 && c < 8) z[k++] = uint8_t(r * 8 + c);
        }
    return z;
}

// Bit n set when q[n] is not 0.
inline uint64_t NonzeroMask(const int* q) {
#if defined(__SSE2__)
    uint64_t zero = 0;
    for (int i = 0; i < 4; ++i) {
        const __m128i* p = reinterpret_cast<const __m128i*>(q + 16 * i);
        // Saturating packs keep every nonzero value nonzero.
        const __m128i lo = _mm_packs_epi32(_mm_loadu_si128(p), _mm_loadu_si128(p + 1));
        const __m128i hi = _mm_packs_epi32(_mm_loadu_si128(p + 2), _mm_loadu_si128(p + 3));
        const __m128i eq = _mm_cmpeq_epi8(_mm_packs_epi16(lo, hi), _mm_setzero_si128());
        zero |= uint64_t(uint32_t(_mm_movemask_epi8(eq))) << (16 * i);
    }
    return ~zero;
#else
    uint64_t m = 0;
    for (int n = 0; n < 64; ++n) m |= uint64_t(q[n] != 0) << n;
    return m;
#endif
}

// Moves the bits of a mask of TransformStrip's output to their zigzag
// positions, a row (one byte of the mask) at a time.
struct ZigzagBits {
    uint64_t row[8][256];
    ZigzagBits() {
        const std::array<uint8_t, 64> z = ZigzagOrder();
        uint8_t pos[64];
        for (uint8_t k = 0; k < 64; ++k) pos[Transposed(z[k])] = k;
        for (int r = 0; r < 8; ++r)
            for (int b = 0; b < 256; ++b) {
                row[r][b] = 0;
                for (int j = 0; j < 8; ++j)
                    if (b >> j & 1) row[r][b] |= uint64_t(1) << pos[r * 8 + j];
            }
    }
    uint64_t operator()(uint64_t natural) const {
        uint64_t m = 0;
        for (int r = 0; r < 8; ++r) m |= row[r][(natural >> (8 * r)) & 255];
        return m;
    }
};

// Every symbol the coder below can write must have a code: DC sizes 0-11;
// AC end of block, run of 16 zeros, and runs 0-15 before sizes 1-10.
void CheckCoverage(const HuffCodes& dc, const HuffCodes& ac) {
    bool ok = ac.Length(0x00) && ac.Length(0xF0);
    for (int n = 0; n <= 11; ++n) ok = ok && dc.Length(n);
    for (int run = 0; run < 16; ++run)
        for (int n = 1; n <= 10; ++n) ok = ok && ac.Length(run << 4 | n);
    if (!ok) throw JpegError("Bad Huffman Table");
}

// The code of a symbol followed by `size` bits, in one write.
inline void PutCoded(BitSink& bw, const HuffCodes& t, uint32_t sym, uint32_t bits, uint32_t size) {
    const uint32_t e = t.packed[sym];
    bw.Put((e >> 8) << size | bits, int((e & 255) + size));
}

// The magnitude category of v: its size in bits (v must not be 0).
inline uint32_t SizeOf(int v) { return uint32_t(32 - __builtin_clz(unsigned(v < 0 ? -v : v))); }

// The size low bits of v, negative values as v - 1 (without a branch: the
// sign of a coefficient is a coin toss).
inline uint32_t LowBits(int v, uint32_t size) { return uint32_t(v + (v >> 31)) & ((1u << size) - 1); }

// The AC codes of runs 0-15 before the values -15 ... 15 with the value
// bits appended, as (code << size | value bits) << 5 | length: most
// coefficients of a photo are this small, and one look-up then replaces the
// arithmetic of PutCoded.
struct ShortAcCodes {
    std::array<uint32_t, 16 * 32> packed{};
    explicit ShortAcCodes(const HuffCodes& ac) {
        for (int run = 0; run < 16; ++run)
            for (int v = -15; v <= 15; ++v) {
                if (v == 0) continue;
                const uint32_t size = SizeOf(v), e = ac.packed[uint32_t(run) << 4 | size];
                packed[size_t(run * 32 + v + 16)] = ((e >> 8) << size | LowBits(v, size)) << 5 | ((e & 255) + size);
            }
    }
    static bool Covers(int v) { return unsigned(v + 15) < 31; }
    uint32_t At(int run, int v) const { return packed[size_t(run * 32 + v + 16)]; }
};

// One block: the DC difference, then the nonzero AC coefficients in zigzag
// order with their zero runs, then end of block unless the last one is set.
// order[k] is where TransformStrip leaves the k-th coefficient in zigzag
// order; zigzagMask has bit k set when it is not 0.
void EncodeBlock(BitSink& sink, int dc, const int* q, const uint8_t* order, uint64_t zigzagMask, int& lastDc,
                 const HuffCodes& dct, const HuffCodes& act, const ShortAcCodes& shortAc) {
    BitSink bw = sink;
    const int diff = std::clamp(dc - lastDc, -2047, 2047);
    lastDc += diff;
    const uint32_t dn = diff ? SizeOf(diff) : 0;
    PutCoded(bw, dct, dn, LowBits(diff, dn), dn);
    int last = 0;
    for (uint64_t m = zigzagMask & ~uint64_t(1); m; m &= m - 1) {
        const int k = __builtin_ctzll(m);
        int run = k - last - 1;
        for (; run > 15; run -= 16) PutCoded(bw, act, 0xF0, 0, 0);
        const int v = q[order[k]];
        if (ShortAcCodes::Covers(v)) {
            const uint32_t e = shortAc.At(run, v);
            bw.Put(e >> 5, int(e & 31));
        } else {
            const uint32_t size = SizeOf(v);
            PutCoded(bw, act, uint32_t(run) << 4 | size, LowBits(v, size), size);
        }
        last = k;
    }
    if (last != 63) PutCoded(bw, act, 0x00, 0, 0);
    sink = bw;
}

}  // namespace

cJPGWriter::cJPGWriter() : zigzag_(ZigzagOrder()) {
    for (size_t i = 0; i < 64; ++i) {
        baseZigzag_[0][i] = kLuminanceBase[zigzag_[i]];
        baseZigzag_[1][i] = kChrominanceBase[zigzag_[i]];
    }
}

uint8_t cJPGWriter::ScaleQuantizationEntry(uint32_t base, uint8_t Quality) {
    // Quality 0 has no meaning; it scales like 1 rather than dividing by zero.
    const uint32_t q = std::max<uint32_t>(Quality, 1);
    const uint32_t s = q < 50 ? RoundHalfEvenDiv(5000, q) : q <= 100 ? 200 - 2 * q : 0;
    return uint8_t(std::clamp<uint32_t>(RoundHalfEvenDiv(base * s + 50, 100), 1, 255));
}

std::array<uint8_t, 64> cJPGWriter::ScaledTable(int table, uint8_t Quality) const {
    std::array<uint8_t, 64> t;
    for (size_t i = 0; i < 64; ++i) t[i] = ScaleQuantizationEntry(baseZigzag_[size_t(table & 1)][i], Quality);
    return t;
}

bool cJPGWriter::Encode(const uint8_t* bits, int32_t width, int32_t height, uint8_t Quality,
                        uint32_t TransparentFillColor, std::vector<uint8_t>& out) {
    out.clear();
    lastError_.clear();
    if (!bits || width <= 0 || height <= 0 || width > 65535 || height > 65535) {
        lastError_ = "Image size not storable in JPEG";
        return false;
    }
    try {
        // Full chroma resolution at high quality keeps coloured edges (captions,
        // logos) clean; below that 4:2:0 halves the chroma data.
        const int hs = Quality >= 90 ? 1 : 2;
        Component comps[3] = {{1, hs, hs, 0, {}}, {2, 1, 1, 1, {}}, {3, 1, 1, 1, {}}};
        std::array<std::array<uint8_t, 64>, 2> tables;
        static constexpr float kAanScale[8] = {1.0f, 1.387039845f, 1.306562965f, 1.175875602f,
                                               1.0f, 0.785694958f, 0.541196100f, 0.275899379f};
        for (int t = 0; t < 2; ++t) {
            tables[size_t(t)] = ScaledTable(t, Quality);
            for (uint8_t e : tables[size_t(t)])
                if (e == 0) throw JpegError("Bad Quantization Table");
        }
        for (Component& c : comps) {
            if (c.h < 1 || c.h > 4 || c.v < 1 || c.v > 4) throw JpegError("Invalid Sampling Value");
            for (size_t k = 0; k < 64; ++k) {
                const size_t n = zigzag_[k];
                c.divisor[Transposed(n)] =
                    1.0f / (float(tables[size_t(c.table)][k]) * kAanScale[n / 8] * kAanScale[n % 8] * 8.0f);
            }
        }
        const HuffCodes dc[2] = {BuildCodes(kDcSpec[0]), BuildCodes(kDcSpec[1])};
        const HuffCodes ac[2] = {BuildCodes(kAcSpec[0]), BuildCodes(kAcSpec[1])};
        for (int t = 0; t < 2; ++t) CheckCoverage(dc[t], ac[t]);
        const ShortAcCodes shortAc[2] = {ShortAcCodes(ac[0]), ShortAcCodes(ac[1])};
        static const ZigzagBits toZigzag;
        std::array<uint8_t, 64> order;  // where TransformStrip leaves the k-th coefficient in zigzag order
        for (size_t k = 0; k < 64; ++k) order[k] = uint8_t(Transposed(zigzag_[k]));

        // Entropy-coded data first, one strip of MCUs at a time.
        const int mcuW = 8 * hs, mcuH = 8 * hs;
        const int mcusX = (width + mcuW - 1) / mcuW, mcusY = (height + mcuH - 1) / mcuH;
        const size_t padW = size_t(mcusX) * size_t(mcuW);
        std::vector<float> planes[3];
        for (auto& p : planes) p.resize(padW * size_t(mcuH));
        std::vector<float> sub[2];
        if (hs == 2)
            for (auto& p : sub) p.resize(padW / 2 * size_t(mcuH) / 2);
        const float fill[3] = {float(TransparentFillColor & 255), float((TransparentFillColor >> 8) & 255),
                               float((TransparentFillColor >> 16) & 255)};
        std::vector<int> coefs[3], dcs[3];  // the blocks of one strip
        for (size_t ci = 0; ci < 3; ++ci) {
            dcs[ci].resize(size_t(mcusX) * size_t(comps[ci].h * comps[ci].v));
            coefs[ci].resize(dcs[ci].size() * 64);
        }
        ScanBuffer scan(size_t(width) * size_t(height) / 4 + 4096);
        BitSink bw{scan.Begin()};
        for (int my = 0; my < mcusY; ++my) {
            for (int r = 0; r < mcuH; ++r) {
                const int y = std::min(my * mcuH + r, height - 1);
                const uint8_t* row = PixelAt(bits, width, height, 0, y);
                float* py = &planes[0][size_t(r) * padW];
                float* pb = &planes[1][size_t(r) * padW];
                float* pr = &planes[2][size_t(r) * padW];
                ToYCbCr(row, size_t(width), fill, py, pb, pr);
                for (size_t x = size_t(width); x < padW; ++x) {  // repeat the last column
                    py[x] = py[width - 1];
                    pb[x] = pb[width - 1];
                    pr[x] = pr[width - 1];
                }
            }
            const float* src[3] = {planes[0].data(), planes[1].data(), planes[2].data()};
            size_t stride[3] = {padW, padW, padW};
            if (hs == 2) {
                const size_t sw = padW / 2;
                for (int c = 0; c < 2; ++c) {
                    const float* in = planes[size_t(c) + 1].data();
                    float* o = sub[c].data();
                    for (size_t y = 0; y < size_t(mcuH) / 2; ++y)
                        for (size_t x = 0; x < sw; ++x) {
                            const float* q = in + 2 * y * padW + 2 * x;
                            o[y * sw + x] = 0.25f * (q[0] + q[1] + q[padW] + q[padW + 1]);
                        }
                    src[c + 1] = o;
                    stride[c + 1] = sw;
                }
            }
            // Every block of the strip is transformed first, then coded in
            // the order of the MCUs.
            for (size_t ci = 0; ci < 3; ++ci) {
                const Component& c = comps[ci];
                const size_t across = size_t(mcusX) * size_t(c.h);
                for (int by = 0; by < c.v; ++by)
                    TransformStrip(src[ci] + size_t(by) * 8 * stride[ci], stride[ci], across, c.divisor.data(),
                                   coefs[ci].data() + size_t(by) * across * 64, dcs[ci].data() + size_t(by) * across);
            }
            for (int mx = 0; mx < mcusX; ++mx) {
                // The pixels of this MCU in the next strip are fetched ahead
                // (rows there lie backwards in memory, which the hardware
                // prefetcher would only learn anew each row).
                if (my + 1 < mcusY)
                    for (int r = 0; r < mcuH; ++r)
                        __builtin_prefetch(PixelAt(bits, width, height, std::min(mx * mcuW, width - 1),
                                                   std::min((my + 1) * mcuH + r, height - 1)),
                                           0, 2);
                for (size_t ci = 0; ci < 3; ++ci) {
                    Component& c = comps[ci];
                    const size_t across = size_t(mcusX) * size_t(c.h);
                    for (int by = 0; by < c.v; ++by)
                        for (int bx = 0; bx < c.h; ++bx) {
                            const size_t b = size_t(by) * across + size_t(mx * c.h + bx);
                            const int* q = coefs[ci].data() + b * 64;
                            // At most 11 + 11 bits for DC, 16 + 10 for each
                            // coefficient and 3 runs of 16 zeros: 216 bytes,
                            // twice that with every byte stuffed.
                            scan.Room(bw, 448);
                            EncodeBlock(bw, dcs[ci][b], q, order.data(), toZigzag(NonzeroMask(q)), c.lastDc,
                                        dc[c.table], ac[c.table], shortAc[c.table]);
                        }
                }
            }
        }
        scan.Room(bw, 16);
        bw.Finish();
        const ByteVec& coded = scan.Bytes(bw);

        // Markers, in JFIF order.
        out.reserve(coded.size() + 700);
        PutU16BE(out, 0xFFD8);
        PutU16BE(out, 0xFFE0);
        PutU16BE(out, 16);
        PutText(out, std::string_view("JFIF\0", 5));
        PutU16BE(out, 0x0101);
        PutU8(out, 0);   // no density units: X and Y give the aspect ratio
        PutU16BE(out, 1);
        PutU16BE(out, 1);
        PutU16BE(out, 0);  // no thumbnail
        for (int t = 0; t < 2; ++t) {
            PutU16BE(out, 0xFFDB);
            PutU16BE(out, 67);
            PutU8(out, uint32_t(t));  // 8-bit precision, table t
            PutBytes(out, tables[size_t(t)].data(), 64);
        }
        PutU16BE(out, 0xFFC0);
        PutU16BE(out, 17);
        PutU8(out, 8);
        PutU16BE(out, uint32_t(height));
        PutU16BE(out, uint32_t(width));
        PutU8(out, 3);
        for (const Component& c : comps) {
            PutU8(out, uint32_t(c.id));
            PutU8(out, uint32_t(c.h << 4 | c.v));
            PutU8(out, uint32_t(c.table));
        }
        for (int t = 0; t < 2; ++t)
            for (const HuffSpec* huff : {&kDcSpec[t], &kAcSpec[t]}) {
                PutU16BE(out, 0xFFC4);
                PutU16BE(out, uint32_t(3 + 16 + huff->count));
                PutU8(out, uint32_t((huff == &kAcSpec[t] ? 0x10 : 0) | t));
                PutBytes(out, huff->bits, 16);
                PutBytes(out, huff->values, huff->count);
            }
        PutU16BE(out, 0xFFDA);
        PutU16BE(out, 12);
        PutU8(out, 3);
        for (const Component& c : comps) {
            PutU8(out, uint32_t(c.id));
            PutU8(out, uint32_t(c.table << 4 | c.table));
        }
        PutU8(out, 0);   // spectral selection 0 ... 63
        PutU8(out, 63);
        PutU8(out, 0);
        PutBytes(out, coded.data(), coded.size());
        PutU16BE(out, 0xFFD9);
        return true;
    } catch (const std::exception& e) {
        lastError_ = e.what();
        out.clear();
        return false;
    }
}

bool cJPGWriter::Save(const std::string& fileName, std::vector<uint8_t>& out, const cImage32& image,
                      uint8_t Quality, uint32_t TransparentFillColor) {
    out.clear();
    if (!image.HasImage()) {
        lastError_ = "No image";
        return false;
    }
    if (!Encode(image.BitsPointer(), image.Width(), image.Height(), Quality, TransparentFillColor, out)) return false;
    return fileName.empty() || cImage32::WriteBytesToFile(fileName, out.data(), out.size());
}

namespace {
// Quality arrives as a number; the writer takes a byte.
uint8_t QualityByte(int Quality) { return uint8_t(std::clamp(Quality, 0, 255)); }
}  // namespace

bool cImage32::SaveToFile_JPG(const std::string& FileName, int Quality, uint32_t TransparentFillColor,
                              bool PromptOverwrite) {
    if (!PrepareSaveFile(FileName, PromptOverwrite)) return false;
    // The platform encoder and the library's own are the same writer here.
    ByteArray bytes;
    return cJPGWriter().Save(FileName, bytes, *this, QualityByte(Quality), TransparentFillColor);
}

bool cImage32::SaveToStream_JPG(ByteArray& outStream, int Quality) {
    return cJPGWriter().Save("", outStream, *this, QualityByte(Quality), 0);
}
