#pragma once
// Helpers shared by the encoder tests: building pictures from straight
// colours, walking PNG chunks and JPEG segments, and comparing decodes.
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "image/cImage32.h"

namespace wts {

// Straight colour packed 0xAARRGGBB.
using PixelFn = std::function<uint32_t(int x, int y)>;

// An image whose pixels are the given straight colours premultiplied the
// library's way (c * a div 255).
inline bool MakeImage(cImage32& img, int w, int h, const PixelFn& fn) {
    if (!img.InitializeDIB(w, h)) return false;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const uint32_t c = fn(x, y), a = c >> 24;
            uint8_t* p = img.Row(y) + size_t(x) * 4;
            p[0] = uint8_t((c & 255) * a / 255);
            p[1] = uint8_t(((c >> 8) & 255) * a / 255);
            p[2] = uint8_t(((c >> 16) & 255) * a / 255);
            p[3] = uint8_t(a);
        }
    return true;
}

// A smooth, detailed, photo-like opaque picture (gradients, ripples, noise).
inline uint32_t PhotoPixel(int x, int y) {
    const double fx = x * 0.013, fy = y * 0.017;
    uint32_t n = uint32_t(x) * 73856093u ^ uint32_t(y) * 19349663u;
    n = (n ^ (n >> 13)) * 1274126177u;
    const int noise = int(n >> 28) - 8;
    auto ch = [&](double v) { return uint32_t(std::clamp(int(v) + noise, 0, 255)); };
    const uint32_t r = ch(128 + 90 * std::sin(fx + 0.7 * std::cos(fy * 1.3)));
    const uint32_t g = ch(120 + 80 * std::cos(fy * 0.8 - fx * 0.5) + 30 * std::sin(x * 0.11));
    const uint32_t b = ch(110 + 100 * std::sin((fx + fy) * 0.9) * std::cos(fy * 0.3));
    return 0xFF000000u | r << 16 | g << 8 | b;
}

// Reloads encoded bytes through the library's own decoder chain; empty when
// the result has the same size and the same premultiplied bytes.
inline std::string OwnRoundTrip(const cImage32& img, const std::vector<uint8_t>& encoded) {
    cImage32 back;
    if (!back.LoadPicture_Stream(encoded)) return "not loaded";
    if (back.Width() != img.Width() || back.Height() != img.Height()) return "size differs";
    const size_t n = size_t(img.Width()) * size_t(img.Height()) * 4;
    for (size_t i = 0; i < n; ++i)
        if (back.BitsPointer()[i] != img.BitsPointer()[i]) return "byte " + std::to_string(i) + " differs";
    return "";
}

struct Chunk {
    std::string type;
    std::vector<uint8_t> data;
    bool crcOk = false;
};

inline uint32_t Be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

// The chunks after the signature; empty when the signature is wrong or a
// chunk runs past the end.
inline std::vector<Chunk> PngChunks(const std::vector<uint8_t>& b) {
    static const uint8_t sig[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    std::vector<Chunk> out;
    if (b.size() < 8 || !std::equal(sig, sig + 8, b.begin())) return out;
    size_t pos = 8;
    while (pos + 12 <= b.size()) {
        const size_t len = Be32(&b[pos]);
        if (len > b.size() - pos - 12) return {};
        Chunk c;
        c.type.assign(reinterpret_cast<const char*>(&b[pos + 4]), 4);
        c.data.assign(b.begin() + ptrdiff_t(pos + 8), b.begin() + ptrdiff_t(pos + 8 + len));
        c.crcOk = crc32(0, &b[pos + 4], uInt(len + 4)) == Be32(&b[pos + 8 + len]);
        out.push_back(std::move(c));
        pos += len + 12;
    }
    return out;
}

// Peak signal-to-noise ratio (dB) of two equally sized 8-bit sample arrays.
inline double Psnr(const uint8_t* a, const uint8_t* b, size_t n) {
    double se = 0;
    for (size_t i = 0; i < n; ++i) se += double(int(a[i]) - int(b[i])) * double(int(a[i]) - int(b[i]));
    if (se == 0) return 99.0;
    return 10.0 * std::log10(255.0 * 255.0 * double(n) / se);
}

}  // namespace wts
