#include "image/PixelKernels.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

typedef uint8_t u8x32 __attribute__((vector_size(32)));
typedef uint16_t u16x32 __attribute__((vector_size(64)));

// Exact floor(t / 255) for t < 65280, in 16-bit lanes.
// (By reference: passing 64-byte vectors by value would change the ABI.)
__attribute__((always_inline)) inline void Div255(u16x32& t) { t = (t + 1 + (t >> 8)) >> 8; }

inline unsigned Div255(unsigned t) { return (t + 1 + (t >> 8)) >> 8; }

inline void BlendPixel(uint8_t* d, const uint8_t* s, unsigned op, bool useSourceAlpha) {
    const unsigned a = useSourceAlpha ? s[3] : 255;
    if (a == 0) return;
    const unsigned ap = Div255(a * op);
    for (int c = 0; c < 4; ++c) d[c] = uint8_t(Div255((255 - ap) * d[c] + s[c] * op));
}

}  // namespace

__attribute__((target_clones("avx2", "default")))
void BlendRow(uint8_t* dst, const uint8_t* src, size_t n, unsigned op, bool useSourceAlpha) {
    size_t i = 0;
    const u16x32 opv = u16x32{} + uint16_t(op);
    for (; i + 8 <= n; i += 8) {
        u8x32 s8, d8;
        std::memcpy(&s8, src + i * 4, 32);
        if (useSourceAlpha) {
            // Whole blocks of opaque or transparent pixels are common in pictures.
            const u8x32 alpha = __builtin_shufflevector(s8, s8, 3, 3, 3, 3, 7, 7, 7, 7, 11, 11, 11, 11, 15, 15, 15, 15,
                                                        19, 19, 19, 19, 23, 23, 23, 23, 27, 27, 27, 27, 31, 31, 31, 31);
            uint64_t lanes[4];
            std::memcpy(lanes, &alpha, 32);
            if ((lanes[0] | lanes[1] | lanes[2] | lanes[3]) == 0) continue;
            if (op == 255 && (lanes[0] & lanes[1] & lanes[2] & lanes[3]) == ~uint64_t(0)) {
                std::memcpy(dst + i * 4, &s8, 32);
                continue;
            }
            std::memcpy(&d8, dst + i * 4, 32);
            const u16x32 s = __builtin_convertvector(s8, u16x32);
            const u16x32 d = __builtin_convertvector(d8, u16x32);
            const u16x32 a = __builtin_convertvector(alpha, u16x32);
            u16x32 ap = a * opv;
            Div255(ap);
            u16x32 r = (255 - ap) * d + s * opv;
            Div255(r);
            r = a == 0 ? d : r;
            d8 = __builtin_convertvector(r, u8x32);
        } else {
            std::memcpy(&d8, dst + i * 4, 32);
            const u16x32 s = __builtin_convertvector(s8, u16x32);
            const u16x32 d = __builtin_convertvector(d8, u16x32);
            u16x32 r = (255 - opv) * d + s * opv;
            Div255(r);
            d8 = __builtin_convertvector(r, u8x32);
        }
        std::memcpy(dst + i * 4, &d8, 32);
    }
    for (; i < n; ++i) BlendPixel(dst + i * 4, src + i * 4, op, useSourceAlpha);
}

GreyWeights GreyFormula(int formula) {
    switch (formula) {
        case -1: return {1.0f, 1.0f, 1.0f};
        case 1: return {0.213f, 0.715f, 0.072f};
        case 2: return {0.333f, 0.334f, 0.333f};
        case 3: return {0.8f, 0.1f, 0.1f};
        case 4: return {0.1f, 0.8f, 0.1f};
        case 5: return {0.1f, 0.1f, 0.8f};
        case 6: return {0.45f, 0.45f, 0.1f};
        case 7: return {0.1f, 0.45f, 0.45f};
        default: return {0.299f, 0.587f, 0.114f};
    }
}

void GreyRow(uint8_t* px, size_t n, int formula) {
    if (formula == -1) return;
    const GreyWeights w = GreyFormula(formula);
    for (size_t i = 0; i < n; ++i, px += 4) {
        const float grey = w.r * px[2] + w.g * px[1] + w.b * px[0];
        // The weights sum to 1, so the grey never exceeds the largest colour (<= alpha).
        const uint8_t v = uint8_t(std::min(std::lround(grey), long(px[3])));
        px[0] = px[1] = px[2] = v;
    }
}

LightAdjuster::LightAdjuster(float Percent) {
    if (Percent < -100.0f || Percent > 100.0f) Percent = 0.0f;
    const float delta = Percent / 100.0f * 255.0f;
    m_lighten = delta > 0.0f;
    for (int a = 0; a < 256; ++a) {
        const float product = float(a) * delta;
        m_k[a] = int16_t(int(std::nearbyint(product)) / 255);  // rounded, then divided toward zero
    }
}

__attribute__((target_clones("avx2", "default")))
void LightAdjuster::Apply(uint8_t* px, size_t n) const {
    for (size_t i = 0; i < n; ++i, px += 4) {
        const int a = px[3];
        const int k = m_k[a];
        if (m_lighten) {
            for (int c = 0; c < 3; ++c) px[c] = uint8_t(std::min(px[c] + k, a));
        } else {
            for (int c = 0; c < 3; ++c) px[c] = uint8_t(std::max(px[c] + k, 0));
        }
    }
}
