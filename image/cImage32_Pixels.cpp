// Whole-picture pixel operations of cImage32: making it opaque, lighter or
// darker, blending it toward a colour, and the blurred drop shadow.
#include <algorithm>
#include <cstring>
#include <vector>

#include "image/AlphaAnalysis.h"
#include "image/PixelKernels.h"
#include "image/cImage32.h"

namespace {

__attribute__((target_clones("avx2", "default")))
void BlendPixelsToColor(uint8_t* px, size_t n, const uint32_t kp[3], uint32_t q) {
    for (size_t i = 0; i < n; ++i, px += 4) {
        const uint32_t a = px[3];
        // Colours are premultiplied already; only the blend colour is scaled by alpha.
        for (int c = 0; c < 3; ++c) px[c] = uint8_t((px[c] * q * 255u + kp[c] * a) / 25500u);
    }
}

}  // namespace

bool cImage32::RemoveAlpha() {
    if (!HasImage()) return false;
    MakeAlphaOpaque(m_Bits.get(), size_t(m_Width) * size_t(m_Height));
    m_Alpha = 2;
    return true;
}

bool cImage32::MakeLighterDarker(float Percent) {
    if (!HasImage()) return false;
    if (!(Percent >= -100.0f && Percent <= 100.0f) || Percent == 0.0f) return true;
    LightAdjuster(Percent).Apply(m_Bits.get(), size_t(m_Width) * size_t(m_Height));
    return true;
}

bool cImage32::BlendToColor(uint32_t BlendColor, int BlendOpacity) {
    if (!HasImage()) return false;
    if (BlendOpacity < 1) return true;
    const uint32_t p = uint32_t(std::min(BlendOpacity, 100)), q = 100 - p;
    const uint32_t kR = BlendColor & 255, kG = (BlendColor >> 8) & 255, kB = (BlendColor >> 16) & 255;
    const uint32_t kp[3] = {kB * p, kG * p, kR * p};  // in pixel byte order B, G, R
    BlendPixelsToColor(m_Bits.get(), size_t(m_Width) * size_t(m_Height), kp, q);
    return true;
}

std::unique_ptr<cImage32> cImage32::CreateDropShadow(int blurDepth, uint32_t Color) {
    if (!HasImage()) return nullptr;
    const int n = std::clamp(blurDepth, 0, 10) * 2;
    auto shadow = std::make_unique<cImage32>();
    if (!shadow->InitializeDIB(m_Width + n, m_Height + n)) return nullptr;

    // The 256 possible shadow pixels: colour premultiplied by the blurred alpha.
    const uint32_t r = Color & 255, g = (Color >> 8) & 255, b = (Color >> 16) & 255;
    uint32_t pixelOf[256];
    for (uint32_t a = 0; a < 256; ++a)
        pixelOf[a] = a << 24 | (r * a / 255) << 16 | (g * a / 255) << 8 | (b * a / 255);
    // Exact division of a window sum by (n + 1)^2 through a 64-bit reciprocal.
    const uint64_t area = uint64_t(n + 1) * uint64_t(n + 1);
    const uint64_t reciprocal = (uint64_t(1) << 40) / area + 1;

    // Memory order works as well as picture order: a shadow row m covers the
    // source rows m - n .. m in memory too, and columns x - n .. x.
    const int W = m_Width, H = m_Height, SW = W + n;
    std::vector<uint32_t> column(size_t(W), 0);
    const uint8_t* src = m_Bits.get();
    for (int m = 0; m < H + n; ++m) {
        if (m < H)
            for (int x = 0; x < W; ++x) column[size_t(x)] += src[(size_t(m) * size_t(W) + size_t(x)) * 4 + 3];
        if (m - n - 1 >= 0 && m - n - 1 < H)
            for (int x = 0; x < W; ++x) column[size_t(x)] -= src[(size_t(m - n - 1) * size_t(W) + size_t(x)) * 4 + 3];
        uint8_t* out = shadow->BitsPointer() + size_t(m) * size_t(SW) * 4;
        uint64_t window = 0;
        for (int x = 0; x < SW; ++x) {
            if (x < W) window += column[size_t(x)];
            if (x - n - 1 >= 0 && x - n - 1 < W) window -= column[size_t(x - n - 1)];
            std::memcpy(out + size_t(x) * 4, &pixelOf[(window * reciprocal) >> 40], 4);
        }
    }
    shadow->m_Alpha = 2;
    shadow->m_ImageType = 7;
    return shadow;
}
