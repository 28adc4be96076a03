#pragma once
// Bounds-checked reads of fixed-layout fields from a byte range. Every read
// reports failure instead of touching memory outside the range, so decoders
// can walk hostile data without their own offset arithmetic at each field.
#include <cstddef>
#include <cstdint>

struct ByteReader {
    const uint8_t* data = nullptr;
    size_t size = 0;

    ByteReader() = default;
    ByteReader(const uint8_t* d, size_t n) : data(d), size(n) {}

    // True when [pos, pos + n) lies inside the range (overflow-safe).
    bool Has(size_t pos, size_t n) const { return pos <= size && n <= size - pos; }

    bool U8(size_t pos, uint32_t& v) const {
        if (!Has(pos, 1)) return false;
        v = data[pos];
        return true;
    }
    bool U16LE(size_t pos, uint32_t& v) const {
        if (!Has(pos, 2)) return false;
        v = uint32_t(data[pos]) | uint32_t(data[pos + 1]) << 8;
        return true;
    }
    bool U32LE(size_t pos, uint32_t& v) const {
        if (!Has(pos, 4)) return false;
        v = uint32_t(data[pos]) | uint32_t(data[pos + 1]) << 8 | uint32_t(data[pos + 2]) << 16 |
            uint32_t(data[pos + 3]) << 24;
        return true;
    }
    bool U32BE(size_t pos, uint32_t& v) const {
        if (!Has(pos, 4)) return false;
        v = uint32_t(data[pos]) << 24 | uint32_t(data[pos + 1]) << 16 | uint32_t(data[pos + 2]) << 8 |
            uint32_t(data[pos + 3]);
        return true;
    }
};

// Unchecked big-endian read for callers that have already checked the range.
inline uint32_t LoadU32BE(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}
inline uint32_t LoadU16LE(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }
inline uint32_t LoadU32LE(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
