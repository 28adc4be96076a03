// Baseline JPEG encoder. Format: ISO/IEC 10918-1 (sequential DCT, Huffman
// coding) in a JFIF 1.01 file. Quantisation and Huffman tables are the
// examples of Annex K; colours are converted to YCbCr as JFIF defines.
#include "image/cJPGWriter.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "image/WriterCommon.h"
#include "image/cImage32.h"

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

// Code and length of every symbol; length 0 marks a symbol the table lacks.
struct HuffCodes {
    std::array<uint16_t, 256> code{};
    std::array<uint8_t, 256> size{};
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
            if (c.size[sym]) throw JpegError("Bad Huffman Table");
            c.code[sym] = uint16_t(code++);
            c.size[sym] = uint8_t(len);
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

class BitWriter {
public:
    explicit BitWriter(ByteVec& out) : out_(out) {}
    void Put(uint32_t bits, int len) {
        acc_ = acc_ << len | (bits & ((1u << len) - 1));
        n_ += len;
        while (n_ >= 8) {
            n_ -= 8;
            const uint8_t b = uint8_t(acc_ >> n_);
            out_.push_back(b);
            if (b == 0xFF) out_.push_back(0);  // byte stuffing
        }
    }
    void Flush() {
        if (n_) Put(0x7F, 8 - n_);  // pad with one bits
    }

private:
    ByteVec& out_;
    uint64_t acc_ = 0;
    int n_ = 0;
};

// One pass of the Arai-Agui-Nakajima DCT down all eight columns of a block
// at once (rows contiguous), so that the compiler vectorises across columns.
inline void DctColumns(float* d) {
    for (int j = 0; j < 8; ++j) {
        float* p = d + j;
        const float t0 = p[0] + p[56], t7 = p[0] - p[56];
        const float t1 = p[8] + p[48], t6 = p[8] - p[48];
        const float t2 = p[16] + p[40], t5 = p[16] - p[40];
        const float t3 = p[24] + p[32], t4 = p[24] - p[32];
        float t10 = t0 + t3, t13 = t0 - t3, t11 = t1 + t2, t12 = t1 - t2;
        p[0] = t10 + t11;
        p[32] = t10 - t11;
        const float z1 = (t12 + t13) * 0.707106781f;
        p[16] = t13 + z1;
        p[48] = t13 - z1;
        t10 = t4 + t5;
        t11 = t5 + t6;
        t12 = t6 + t7;
        const float z5 = (t10 - t12) * 0.382683433f;
        const float z2 = 0.541196100f * t10 + z5, z4 = 1.306562965f * t12 + z5, z3 = t11 * 0.707106781f;
        const float z11 = t7 + z3, z13 = t7 - z3;
        p[40] = z13 + z2;
        p[24] = z13 - z2;
        p[8] = z11 + z4;
        p[56] = z11 - z4;
    }
}

inline void Transpose(const float* in, float* out) {
    for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 8; ++c) out[c * 8 + r] = in[r * 8 + c];
}

// Forward DCT of the 8x8 samples at src (rows `stride` floats apart) and
// quantisation: q receives the coefficients in natural order, AC limited to
// the 10 bits and DC to the 11 bits of 8-bit baseline data. The DCT outputs
// carry the AAN scale factors; the divisors undo them.
__attribute__((target_clones("avx2", "default")))
void TransformBlock(const float* src, size_t stride, const float* divisor, int* q) {
    alignas(32) float a[64], b[64];
    for (size_t y = 0; y < 8; ++y) std::memcpy(a + y * 8, src + y * stride, 32);
    DctColumns(a);
    Transpose(a, b);
    DctColumns(b);
    Transpose(b, a);
    for (size_t n = 0; n < 64; ++n) {
        const int v = int(a[n] * divisor[n] + 16384.5f) - 16384;
        q[n] = v < -1023 ? -1023 : v > 1023 ? 1023 : v;
    }
    q[0] = std::clamp(int(a[0] * divisor[0] + 16384.5f) - 16384, -2047, 2047);
}

// Premultiplied BGRA pixels shown over the fill colour (R, G, B), as JFIF
// YCbCr with the level shift of 128 taken off the luminance. A valid pixel
// (colour <= alpha) stays within 0 ... 255; an invalid one only drives its
// coefficients to the limits TransformBlock enforces.
__attribute__((target_clones("avx2", "default")))
void ToYCbCr(const uint8_t* px, size_t n, const float* fill, float* __restrict y, float* __restrict cb,
             float* __restrict cr) {
    const float fr = fill[0] * (1.0f / 255.0f), fg = fill[1] * (1.0f / 255.0f), fb = fill[2] * (1.0f / 255.0f);
    for (size_t x = 0; x < n; ++x) {
        const uint8_t* p = px + x * 4;
        const float uncovered = float(255 - p[3]);
        const float r = float(p[2]) + fr * uncovered;
        const float g = float(p[1]) + fg * uncovered;
        const float b = float(p[0]) + fb * uncovered;
        y[x] = 0.299f * r + 0.587f * g + 0.114f * b - 128.0f;
        cb[x] = -0.168735892f * r - 0.331264108f * g + 0.5f * b;
        cr[x] = 0.5f * r - 0.418687589f * g - 0.081312411f * b;
    }
}

struct Component {
    int id, h, v, table;
    std::array<float, 64> divisor;  // natural order
    int lastDc = 0;
};

inline int BitLength(int v) {
    v = v < 0 ? -v : v;
    return v ? 32 - __builtin_clz(unsigned(v)) : 0;
}

void PutSymbol(BitWriter& bw, const HuffCodes& t, int sym) {
    if (!t.size[size_t(sym)]) throw JpegError("Bad Huffman Table");
    bw.Put(t.code[size_t(sym)], t.size[size_t(sym)]);
}

void PutValue(BitWriter& bw, int v, int nbits) {
    if (nbits) bw.Put(uint32_t(v < 0 ? v - 1 : v), nbits);
}

}  // namespace

cJPGWriter::cJPGWriter() {
    // Walk the anti-diagonals alternately up and down.
    int k = 0;
    for (int s = 0; s < 15; ++s)
        for (int i = 0; i <= s; ++i) {
            const int r = (s & 1) ? i : s - i, c = s - r;
            if (r < 8 && c < 8) zigzag_[size_t(k++)] = uint8_t(r * 8 + c);
        }
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
                c.divisor[n] = 1.0f / (float(tables[size_t(c.table)][k]) * kAanScale[n / 8] * kAanScale[n % 8] * 8.0f);
            }
        }
        const HuffCodes dc[2] = {BuildCodes(kDcSpec[0]), BuildCodes(kDcSpec[1])};
        const HuffCodes ac[2] = {BuildCodes(kAcSpec[0]), BuildCodes(kAcSpec[1])};

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
        ByteVec scan;
        scan.reserve(size_t(width) * size_t(height) / 4);
        BitWriter bw(scan);
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
            for (int mx = 0; mx < mcusX; ++mx)
                for (size_t ci = 0; ci < 3; ++ci) {
                    Component& c = comps[ci];
                    for (int by = 0; by < c.v; ++by)
                        for (int bx = 0; bx < c.h; ++bx) {
                            const float* s = src[ci] + size_t(by) * 8 * stride[ci] + size_t(mx * c.h + bx) * 8;
                            alignas(32) int q[64];
                            TransformBlock(s, stride[ci], c.divisor.data(), q);
                            int zz[64];
                            uint64_t nonzero = 0;
                            for (size_t k = 1; k < 64; ++k) {
                                zz[k] = q[zigzag_[k]];
                                nonzero |= uint64_t(zz[k] != 0) << k;
                            }
                            const HuffCodes& dct = dc[c.table];
                            const HuffCodes& act = ac[c.table];
                            const int diff = std::clamp(q[0] - c.lastDc, -2047, 2047);
                            c.lastDc += diff;
                            const int dn = BitLength(diff);
                            PutSymbol(bw, dct, dn);
                            PutValue(bw, diff, dn);
                            int last = 0;
                            for (; nonzero; nonzero &= nonzero - 1) {
                                const int k = __builtin_ctzll(nonzero);
                                int run = k - last - 1;
                                for (; run > 15; run -= 16) PutSymbol(bw, act, 0xF0);
                                const int n = BitLength(zz[k]);
                                PutSymbol(bw, act, run << 4 | n);
                                PutValue(bw, zz[k], n);
                                last = k;
                            }
                            if (last != 63) PutSymbol(bw, act, 0x00);
                        }
                }
        }
        bw.Flush();

        // Markers, in JFIF order.
        out.reserve(scan.size() + 700);
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
        PutBytes(out, scan.data(), scan.size());
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
