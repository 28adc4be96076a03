// Whole-picture pixel operations of cImage32: making it opaque, lighter or
// darker, grey or mirrored, blending it toward a colour, and the blurred drop
// shadow.
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

// column[x] += sign * alpha of pixel x.
__attribute__((target_clones("avx2", "default")))
void AddAlphaRow(uint32_t* column, const uint8_t* row, size_t w, int sign) {
    if (sign > 0) {
        for (size_t x = 0; x < w; ++x) column[x] += row[x * 4 + 3];
    } else {
        for (size_t x = 0; x < w; ++x) column[x] -= row[x * 4 + 3];
    }
}

// Window sums to shadow pixels: alpha = sum / area (exact: the 0.5 keeps the
// float product clear of the integer boundaries for sums below 2^17), colour
// premultiplied by it.
__attribute__((target_clones("avx2", "default")))
void ShadowRow(uint8_t* out, const uint32_t* window, size_t n, uint32_t area, uint32_t Color) {
    const float inverse = 1.0f / float(area);
    const uint32_t r = Color & 255, g = (Color >> 8) & 255, b = (Color >> 16) & 255;
    for (size_t x = 0; x < n; ++x) {
        const uint32_t a = uint32_t((float(window[x]) + 0.5f) * inverse);
        const uint32_t tr = r * a, tg = g * a, tb = b * a;
        const uint32_t px = a << 24 | ((tr + 1 + (tr >> 8)) >> 8) << 16 | ((tg + 1 + (tg >> 8)) >> 8) << 8 |
                            ((tb + 1 + (tb >> 8)) >> 8);
        std::memcpy(out + x * 4, &px, 4);
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
    if (!shadow->InitializeDIBUncleared(m_Width + n, m_Height + n)) return nullptr;

    // Memory order works as well as picture order: a shadow row m covers the
    // source rows m - n .. m in memory too, and columns x - n .. x.
    const size_t W = size_t(m_Width), H = size_t(m_Height), N = size_t(n), SW = W + N;
    std::vector<uint32_t> column(W, 0), prefix(W + 1, 0), window(SW);
    const uint8_t* src = m_Bits.get();
    for (size_t m = 0; m < H + N; ++m) {
        if (m < H) AddAlphaRow(column.data(), src + m * W * 4, W, 1);
        if (m >= N + 1 && m - N - 1 < H) AddAlphaRow(column.data(), src + (m - N - 1) * W * 4, W, -1);
        for (size_t x = 0; x < W; ++x) prefix[x + 1] = prefix[x] + column[x];
        // Window sums over the columns x - n .. x that exist: the left edge,
        // the middle (both ends inside), the right edge.
        const size_t left = std::min(N + 1, W), right = W;
        for (size_t x = 0; x < left; ++x) window[x] = prefix[x + 1];
        for (size_t x = left; x < right; ++x) window[x] = prefix[x + 1] - prefix[x - N];
        for (size_t x = std::max(left, right); x < SW; ++x) window[x] = prefix[W] - prefix[x > N ? x - N : 0];
        ShadowRow(shadow->BitsPointer() + m * SW * 4, window.data(), SW, uint32_t((n + 1) * (n + 1)), Color);
    }
    shadow->m_Alpha = 2;
    shadow->m_ImageType = 7;
    return shadow;
}

bool cImage32::MakeGrayScale(int Formula) {
    if (!HasImage()) return false;
    GreyRow(m_Bits.get(), size_t(m_Width) * size_t(m_Height), Formula);
    return true;
}

bool cImage32::MirrorImage(bool MirrorAxisX, bool MirrorAxisY) {
    if (!HasImage()) return false;
    const size_t w = size_t(m_Width), h = size_t(m_Height), stride = w * 4;
    uint8_t* bits = m_Bits.get();
    if (MirrorAxisX) {
        for (size_t y = 0; y < h; ++y) {
            uint32_t* row = reinterpret_cast<uint32_t*>(bits + y * stride);
            std::reverse(row, row + w);
        }
    }
    if (MirrorAxisY) {
        for (size_t y = 0; y < h / 2; ++y)
            std::swap_ranges(bits + y * stride, bits + (y + 1) * stride, bits + (h - 1 - y) * stride);
    }
    return true;
}
