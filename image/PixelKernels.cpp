#include "image/PixelKernels.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

// Two 8-bit channels per 32-bit word, each in its own 16-bit field, so one
// multiply serves two channels and plain uint32 loops vectorise.
constexpr uint32_t kLowBytes = 0x00FF00FF;

// Exact floor(t / 255) of both 16-bit fields, for fields below 65280 (then
// no carry crosses into the next field).
inline uint32_t Div255Fields(uint32_t t) { return ((t + 0x00010001u + ((t >> 8) & kLowBytes)) >> 8) & kLowBytes; }

inline uint32_t BlendPixel(uint32_t d, uint32_t s, uint32_t op, bool useSourceAlpha) {
    const uint32_t a = useSourceAlpha ? s >> 24 : 255;
    const uint32_t ap = (a * op + 1 + ((a * op) >> 8)) >> 8;  // a * op / 255
    const uint32_t k = 255 - ap;
    const uint32_t rb = Div255Fields((d & kLowBytes) * k + (s & kLowBytes) * op);
    const uint32_t ag = Div255Fields(((d >> 8) & kLowBytes) * k + ((s >> 8) & kLowBytes) * op);
    return a == 0 && op == 255 ? d : (rb | ag << 8);
}

typedef uint32_t u32x8 __attribute__((vector_size(32)));
typedef uint16_t u16x16 __attribute__((vector_size(32)));

// BlendPixel on 8 pixels: the channel products as 16-bit lanes.
__attribute__((always_inline)) inline void BlendVector(u32x8& d, const u32x8& s, uint32_t op, bool useSourceAlpha) {
    const u32x8 low = u32x8{} + kLowBytes;
    const u32x8 a = useSourceAlpha ? s >> 24 : u32x8{} + 255u;
    const u16x16 aop = (u16x16)a * (u16x16)(u32x8{} + op);  // high halves stay 0
    const u16x16 ap = (aop + 1 + (aop >> 8)) >> 8;
    const u32x8 k = 255u - (u32x8)ap;
    const u16x16 kk = (u16x16)(k | k << 16), opop = (u16x16)(u32x8{} + (op | op << 16));
    u16x16 rb = (u16x16)(d & low) * kk + (u16x16)(s & low) * opop;
    u16x16 ag = (u16x16)((d >> 8) & low) * kk + (u16x16)((s >> 8) & low) * opop;
    rb = (rb + 1 + (rb >> 8)) >> 8;
    ag = (ag + 1 + (ag >> 8)) >> 8;
    const u32x8 out = (u32x8)rb | ((u32x8)ag << 8);
    // Below full opacity the formula itself keeps d where a = 0 (s is 0 there).
    d = op == 255 ? (a == 0 ? d : out) : out;
}

// BlendVector for 8 opaque source pixels below full opacity: a' = op, so
// every byte is ((255 - op) * d + s * op) / 255.
__attribute__((always_inline)) inline void BlendOpaqueVector(u32x8& d, const u32x8& s, uint32_t op) {
    const u32x8 low = u32x8{} + kLowBytes;
    const uint32_t k = 255 - op;
    const u16x16 kk = (u16x16)(u32x8{} + (k | k << 16)), opop = (u16x16)(u32x8{} + (op | op << 16));
    u16x16 rb = (u16x16)(d & low) * kk + (u16x16)(s & low) * opop;
    u16x16 ag = (u16x16)((d >> 8) & low) * kk + (u16x16)((s >> 8) & low) * opop;
    rb = (rb + 1 + (rb >> 8)) >> 8;
    ag = (ag + 1 + (ag >> 8)) >> 8;
    d = (u32x8)rb | ((u32x8)ag << 8);
}

// Run-time dispatched versions stay internal: a multi-versioned function
// with external linkage does not link the same way under every compiler.
// opaqueSource: every source alpha is 255 (and op < 255: the fade's case).
__attribute__((target_clones("avx2", "default")))
void BlendRowDispatched(uint8_t* dst, const uint8_t* src, size_t n, unsigned op, bool useSourceAlpha,
                        bool opaqueSource) {
    size_t i = 0;
    // Word access through memcpy: the rows need not be 4-byte aligned.
    for (; i + 8 <= n; i += 8) {
        u32x8 s, d;
        // Large pictures stream from memory: ask for the next lines early.
        __builtin_prefetch(src + i * 4 + 1024);
        __builtin_prefetch(dst + i * 4 + 1024, 1);
        std::memcpy(&s, src + i * 4, 32);
        if (opaqueSource) {
            std::memcpy(&d, dst + i * 4, 32);
            BlendOpaqueVector(d, s, op);
            std::memcpy(dst + i * 4, &d, 32);
            continue;
        }
        if (useSourceAlpha && op == 255) {
            // Drawn at full opacity, whole blocks of transparent or opaque
            // pixels (margins, photos) need no arithmetic.
            const u32x8 a = s >> 24;
            uint64_t lanes[4];
            std::memcpy(lanes, &a, 32);
            if ((lanes[0] | lanes[1] | lanes[2] | lanes[3]) == 0) continue;
            if ((lanes[0] & lanes[1] & lanes[2] & lanes[3]) == 0x000000FF000000FFull) {
                std::memcpy(dst + i * 4, &s, 32);
                continue;
            }
        }
        std::memcpy(&d, dst + i * 4, 32);
        BlendVector(d, s, op, useSourceAlpha);
        std::memcpy(dst + i * 4, &d, 32);
    }
    for (; i < n; ++i) {
        uint32_t s, d;
        std::memcpy(&s, src + i * 4, 4);
        std::memcpy(&d, dst + i * 4, 4);
        d = BlendPixel(d, s, op, useSourceAlpha);
        std::memcpy(dst + i * 4, &d, 4);
    }
}

__attribute__((target_clones("avx2", "default")))
void LightenDarkenDispatched(uint8_t* px, size_t n, const int16_t* kOfAlpha, bool lighten) {
    for (size_t i = 0; i < n; ++i, px += 4) {
        const int a = px[3];
        const int k = kOfAlpha[a];
        if (lighten) {
            for (int c = 0; c < 3; ++c) px[c] = uint8_t(std::min(px[c] + k, a));
        } else {
            for (int c = 0; c < 3; ++c) px[c] = uint8_t(std::max(px[c] + k, 0));
        }
    }
}

// The AND of the alpha bytes of n pixels (255 when all are opaque), copying
// them to dst on the way when dst is given.
__attribute__((target_clones("avx2", "default")))
uint32_t AlphaAnd(uint8_t* dst, const uint8_t* src, size_t n) {
    u32x8 all = u32x8{} + 0xFFFFFFFFu;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        u32x8 v;
        std::memcpy(&v, src + i * 4, 32);
        all &= v;
        if (dst) std::memcpy(dst + i * 4, &v, 32);
    }
    uint32_t a = 0xFFFFFFFFu;
    for (int k = 0; k < 8; ++k) a &= all[k];
    for (; i < n; ++i) {
        uint32_t v;
        std::memcpy(&v, src + i * 4, 4);
        a &= v;
        if (dst) std::memcpy(dst + i * 4, &v, 4);
    }
    return a >> 24;
}

}  // namespace

bool CopyPixelsOpaque(uint8_t* dst, const uint8_t* src, size_t n) { return AlphaAnd(dst, src, n) == 255; }

bool AllOpaque(const uint8_t* px, size_t n) { return AlphaAnd(nullptr, px, n) == 255; }

void BlendRow(uint8_t* dst, const uint8_t* src, size_t n, unsigned op, bool useSourceAlpha) {
    // An opaque row (checked at a fraction of the blend's cost) needs no
    // alpha per pixel.
    const bool opaqueSource = useSourceAlpha && op < 255 && AllOpaque(src, n);
    BlendRowDispatched(dst, src, n, op, useSourceAlpha, opaqueSource);
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

void LightAdjuster::Apply(uint8_t* px, size_t n) const { LightenDarkenDispatched(px, n, m_k, m_lighten); }
