#pragma once
// Helpers shared by the encoders: appending fixed-layout fields to an output
// buffer and straight colours from premultiplied pixels.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

using ByteVec = std::vector<uint8_t>;

inline void PutU8(ByteVec& o, uint32_t v) { o.push_back(uint8_t(v)); }
inline void PutU16BE(ByteVec& o, uint32_t v) {
    o.push_back(uint8_t(v >> 8));
    o.push_back(uint8_t(v));
}
inline void PutU32BE(ByteVec& o, uint32_t v) {
    o.push_back(uint8_t(v >> 24));
    o.push_back(uint8_t(v >> 16));
    o.push_back(uint8_t(v >> 8));
    o.push_back(uint8_t(v));
}
inline void PutU16LE(ByteVec& o, uint32_t v) {
    o.push_back(uint8_t(v));
    o.push_back(uint8_t(v >> 8));
}
inline void PutU32LE(ByteVec& o, uint32_t v) {
    PutU16LE(o, v);
    PutU16LE(o, v >> 16);
}
inline void PutBytes(ByteVec& o, const void* p, size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    o.insert(o.end(), b, b + n);
}
inline void PutText(ByteVec& o, std::string_view s) { PutBytes(o, s.data(), s.size()); }

// Straight colour of premultiplied sample c under alpha a, indexed [a * 256 + c].
// Rounded up (ceil(255c / a)) so that the library's truncating premultiplication
// c' * a div 255 gives c back exactly: saved pictures reload pixel for pixel.
// Alpha 0 maps to 0.
const uint8_t* UnpremultiplyTable();

// Premultiplied BGRA pixel at column x of picture row y (0 = top) of a bottom-up buffer.
inline const uint8_t* PixelAt(const uint8_t* bits, int32_t width, int32_t height, int32_t x, int32_t y) {
    return bits + (size_t(height - 1 - y) * size_t(width) + size_t(x)) * 4;
}
