#pragma once
// Helpers of the image-core tests: test files, small hand-made images and
// bitmap files, pixel access in picture coordinates.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "image/cImage32.h"
#include "tests/image/TestFiles.h"

namespace ict {

using testfiles::ListFiles;
using testfiles::ReadFile;
using testfiles::TestData;

inline void WriteFile(const std::string& path, const ByteArray& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// A fresh scratch folder per test.
inline std::string ScratchDir(const std::string& name) {
    const std::string dir = std::string(KIV_BINARY_DIR) + "/test-scratch/" + name;
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

// Pixel (x, y), y = 0 the top row, as 0xAARRGGBB.
inline uint32_t Px(const cImage32& img, int x, int y) {
    uint32_t v;
    std::memcpy(&v, img.Row(y) + size_t(x) * 4, 4);
    return v;
}
inline void SetPx(cImage32& img, int x, int y, uint32_t argb) { std::memcpy(img.Row(y) + size_t(x) * 4, &argb, 4); }

inline void Fill(cImage32& img, uint32_t argb) {
    for (int y = 0; y < img.Height(); ++y)
        for (int x = 0; x < img.Width(); ++x) SetPx(img, x, y, argb);
}

inline uint32_t Argb(unsigned a, unsigned r, unsigned g, unsigned b) { return a << 24 | r << 16 | g << 8 | b; }
inline unsigned A(uint32_t p) { return p >> 24; }
inline unsigned R(uint32_t p) { return (p >> 16) & 255; }
inline unsigned G(uint32_t p) { return (p >> 8) & 255; }
inline unsigned B(uint32_t p) { return p & 255; }

inline void Put16(ByteArray& b, size_t pos, uint32_t v) {
    b[pos] = uint8_t(v);
    b[pos + 1] = uint8_t(v >> 8);
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
        while (pixels.size() % 4) pixels.push_back(0);
    }
    const size_t dataPos = 54 + palette.size() * 4;
    ByteArray b(dataPos, 0);
    b[0] = 'B';
    b[1] = 'M';
    Put32(b, 2, uint32_t(dataPos + pixels.size()));
    Put32(b, 10, uint32_t(dataPos));
    Put32(b, 14, 40);
    Put32(b, 18, uint32_t(width));
    Put32(b, 22, uint32_t(height));
    Put16(b, 26, 1);
    Put16(b, 28, uint32_t(bits));
    Put32(b, 30, compression);
    Put32(b, 34, uint32_t(pixels.size()));
    Put32(b, 46, uint32_t(palette.size()));
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
