#pragma once
// Helpers of the image tests: pictures made from a pixel function, pixel
// access in picture coordinates, a photo-like picture, hand-made bitmap files
// and damaged copies of inputs.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "image/cImage32.h"
#include "tests/image/TestFiles.h"

namespace ict {

using testfiles::ListFiles;
using testfiles::ReadFile;
using testfiles::WriteFile;
using testfiles::TestData;
using PixelFn = std::function<uint32_t(int x, int y)>;  // 0xAARRGGBB

inline uint32_t Argb(unsigned a, unsigned r, unsigned g, unsigned b) { return a << 24 | r << 16 | g << 8 | b; }
// Byte k of a pixel: 0 blue, 1 green, 2 red, 3 alpha.
inline unsigned Ch(uint32_t p, int k) { return (p >> (8 * k)) & 255; }
inline unsigned A(uint32_t p) { return Ch(p, 3); }
inline unsigned R(uint32_t p) { return Ch(p, 2); }
inline unsigned G(uint32_t p) { return Ch(p, 1); }
inline unsigned B(uint32_t p) { return Ch(p, 0); }
// A straight colour premultiplied the library's way (c * a div 255).
inline uint32_t Premul(uint32_t c) {
    const unsigned a = c >> 24;
    return Argb(a, Ch(c, 2) * a / 255, Ch(c, 1) * a / 255, Ch(c, 0) * a / 255);
}

// Pixel (x, y), y = 0 the top row.
inline uint32_t Px(const cImage32& img, int x, int y) {
    uint32_t v;
    std::memcpy(&v, img.Row(y) + size_t(x) * 4, 4);
    return v;
}
inline void SetPx(cImage32& img, int x, int y, uint32_t argb) { std::memcpy(img.Row(y) + size_t(x) * 4, &argb, 4); }
// The pixels fn(x, y) of a w x h picture, top row first.
inline std::vector<uint32_t> Pixels(int w, int h, const PixelFn& fn) {
    std::vector<uint32_t> out;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) out.push_back(fn(x, y));
    return out;
}
inline std::vector<uint32_t> Pixels(const cImage32& img) {
    return Pixels(img.Width(), img.Height(), [&](int x, int y) { return Px(img, x, y); });
}
// Empty when the picture holds `want` (top row first, w pixels a row), else the first difference.
inline std::string Diff(const cImage32& img, const std::vector<uint32_t>& want, int w) {
    const std::vector<uint32_t> got = Pixels(img);
    if (img.Width() != w || got.size() != want.size()) return "size " + std::to_string(img.Width());
    const size_t i = size_t(std::mismatch(got.begin(), got.end(), want.begin()).first - got.begin());
    return i == got.size() ? "" : "pixel " + std::to_string(i % size_t(w)) + "," + std::to_string(i / size_t(w)) + ": " +
                                      std::to_string(got[i]) + " instead of " + std::to_string(want[i]);
}
inline uint32_t Clear(int, int) { return 0; }
// A w x h picture of the premultiplied pixels fn(x, y).
inline cImage32& Make(cImage32& img, int w, int h, const PixelFn& fn) {
    if (img.InitializeDIB(w, h))
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) SetPx(img, x, y, fn(x, y));
    return img;
}

// Smooth, detailed, photo-like opaque colours (gradients, ripples, noise).
inline uint32_t PhotoPixel(int x, int y) {
    const double fx = x * 0.013, fy = y * 0.017;
    uint32_t n = uint32_t(x) * 73856093u ^ uint32_t(y) * 19349663u;
    n = (n ^ (n >> 13)) * 1274126177u;
    const int noise = int(n >> 28) - 8;
    auto ch = [&](double v) { return unsigned(std::clamp(int(v) + noise, 0, 255)); };
    return Argb(255, ch(128 + 90 * std::sin(fx + 0.7 * std::cos(fy * 1.3))),
                ch(120 + 80 * std::cos(fy * 0.8 - fx * 0.5) + 30 * std::sin(x * 0.11)),
                ch(110 + 100 * std::sin((fx + fy) * 0.9) * std::cos(fy * 0.3)));
}

// Peak signal-to-noise ratio (dB) of the colours of two equally long pixel lists.
inline double Psnr(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b) {
    double se = a.size() == b.size() ? 0 : INFINITY;  // sizes differ: 0 dB
    for (size_t i = 0; i < std::min(a.size(), b.size()) * 3; ++i) se += std::pow(double(Ch(a[i / 3], int(i % 3))) - Ch(b[i / 3], int(i % 3)), 2);
    return se == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 * 3.0 * double(a.size()) / se);
}

inline void Put32(ByteArray& b, size_t pos, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[pos + size_t(i)] = uint8_t(v >> (8 * i));
}

// A BITMAPINFOHEADER bitmap file: `rowsInFileOrder` rows of raw bytes (each
// padded here to 4 bytes), `palette` as BGRx entries.
inline ByteArray MakeBmp(int width, int height, int bits, uint32_t compression,
                         const std::vector<std::vector<uint8_t>>& rowsInFileOrder,
                         const std::vector<uint32_t>& palette = {}, const ByteArray& rawPixels = {}) {
    ByteArray pixels = rawPixels;
    for (const auto& row : rowsInFileOrder) {
        pixels.insert(pixels.end(), row.begin(), row.end());
        pixels.resize((pixels.size() + 3) / 4 * 4, 0);
    }
    const size_t dataPos = 54 + palette.size() * 4;
    ByteArray b(dataPos, 0);
    const uint32_t fields[][2] = {{0, 'B' | 'M' << 8}, {2, uint32_t(dataPos + pixels.size())}, {10, uint32_t(dataPos)},
                                  {14, 40}, {18, uint32_t(width)}, {22, uint32_t(height)}, {26, 1 | uint32_t(bits) << 16},
                                  {30, compression}, {34, uint32_t(pixels.size())}, {46, uint32_t(palette.size())}};
    for (const auto& [pos, v] : fields) Put32(b, pos, v);
    for (size_t i = 0; i < palette.size(); ++i) Put32(b, 54 + i * 4, palette[i]);
    b.insert(b.end(), pixels.begin(), pixels.end());
    return b;
}

// The damaged copies of an input, collected.
inline std::vector<ByteArray> DamagedCopies(const ByteArray& in,
                                            const std::vector<testfiles::SizeField>& sizeFields = {}) {
    std::vector<ByteArray> out;
    testfiles::ForEachDamagedCopy(in, [&](const ByteArray& c) { out.push_back(c); }, sizeFields);
    return out;
}

}  // namespace ict
