#pragma once
// Test-data access and damaged-input generation shared by the image tests.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "image/cImage32.h"

namespace testfiles {

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
inline void WriteFile(const std::string& path, const ByteArray& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// A little-endian size field of a header: its offset and width in bytes.
struct SizeField {
    size_t offset;
    int bytes;
};

// Copies cut at a spread of lengths (the loaders' 20- and 57-byte thresholds too), with single bits
// flipped (deterministic), and with size fields claiming more than the data holds.
inline void ForEachDamagedCopy(const ByteArray& src, const std::function<void(const ByteArray&)>& fn,
                               const std::vector<SizeField>& sizeFields = {}) {
    if (src.empty()) return;
    for (const SizeField& f : sizeFields) {
        if (f.offset + size_t(f.bytes) > src.size()) continue;
        const uint32_t largest = f.bytes == 1 ? 0xFF : f.bytes == 2 ? 0xFFFF : 0x7FFFFFFF;
        for (uint32_t v : {largest, std::min(largest, 1u << 14), std::min(largest, (1u << 14) + 1)}) {
            ByteArray big = src;
            for (int i = 0; i < f.bytes; ++i) big[f.offset + size_t(i)] = uint8_t(v >> (8 * i));
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

}  // namespace testfiles
