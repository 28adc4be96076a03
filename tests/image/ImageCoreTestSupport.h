#pragma once
// Helpers of the image tests: test data, damaged copies of inputs, pictures made from a pixel
// function, pixel access in picture coordinates, a photo-like picture, hand-made bitmap files.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "image/cImage32.h"

namespace ict {

inline std::string TestData(const std::string& rel) { return std::string(KIV_TESTDATA) + "/" + rel; }

// Regular files below `dir` whose extension (any case) is one of `exts`, sorted.
inline std::vector<std::string> ListFiles(const std::string& dir, const std::vector<std::string>& exts) {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) {
        std::string ext = e.path().extension().string();
        std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return char(std::tolower(c)); });
        if (e.is_regular_file() && std::find(exts.begin(), exts.end(), ext) != exts.end())
            out.push_back(e.path().string());
    }
    std::sort(out.begin(), out.end());
    return out;
}

inline ByteArray ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return ByteArray(std::istreambuf_iterator<char>(f), {});
}

using SizeField = std::pair<size_t, int>;  // a little-endian size field of a header: offset, width in bytes

// Copies cut at a spread of lengths (the loaders' 20- and 57-byte thresholds too), with single bits
// flipped (deterministic), and with size fields claiming more than the data holds.
inline void ForEachDamagedCopy(const ByteArray& src, const std::function<void(const ByteArray&)>& fn,
                               const std::vector<SizeField>& sizeFields = {}) {
    if (src.empty()) return;
    for (const auto& [offset, width] : sizeFields) {
        if (offset + size_t(width) > src.size()) continue;
        const uint32_t largest = width == 1 ? 0xFF : width == 2 ? 0xFFFF : 0x7FFFFFFF;
        for (uint32_t v : {largest, std::min(largest, 1u << 14), std::min(largest, (1u << 14) + 1)}) {
            ByteArray big = src;
            for (int i = 0; i < width; ++i) big[offset + size_t(i)] = uint8_t(v >> (8 * i));
            fn(big);
        }
    }
    for (size_t cut : {size_t(1), size_t(8), size_t(13), size_t(20), size_t(33), size_t(57), src.size() / 4,
                       src.size() / 2, src.size() - src.size() / 8, src.size() - 1})
        if (cut < src.size()) fn(ByteArray(src.begin(), src.begin() + ptrdiff_t(cut)));
    uint32_t seed = 0x9E3779B9u ^ uint32_t(src.size());
    ByteArray copy = src;
    for (int i = 0; i < 24; ++i) {
        seed = seed * 1664525u + 1013904223u;
        const size_t pos = (seed >> 8) % src.size();
        const uint8_t mask = uint8_t(1u << (seed & 7));
        copy[pos] ^= mask;
        fn(copy);
        copy[pos] ^= mask;
    }
}

using PixelFn = std::function<uint32_t(int x, int y)>;  // 0xAARRGGBB

inline uint32_t Argb(unsigned a, unsigned r, unsigned g, unsigned b) { return a << 24 | r << 16 | g << 8 | b; }
// Byte k of a pixel: 0 blue, 1 green, 2 red, 3 alpha.
inline unsigned Ch(uint32_t p, int k) { return (p >> (8 * k)) & 255; }
// A straight colour premultiplied the library's way (c * a div 255).
inline uint32_t Premul(uint32_t c) {
    const unsigned a = c >> 24;
    return Argb(a, Ch(c, 2) * a / 255, Ch(c, 1) * a / 255, Ch(c, 0) * a / 255);
}

// Pixel (x, y), y = 0 the top row.
inline uint32_t Px(const cImage32& img, int x, int y = 0) {
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

}  // namespace ict
