#pragma once
// The picture loader: decodes the formats that have no decoder of their own
// in the chain (BMP of 1, 4, 8, 16 and 24 bits, RLE4/RLE8, JPEG) into a
// picture object that cBMPparser::ConvertstdPicTo32bpp turns into an image.
#include <cstddef>
#include <cstdint>
#include <optional>

#include "image/cImage32.h"

struct StdPicture {
    int Type = 0;      // 0 none, 1 bitmap (the only kind this loader makes)
    cImage32 Bitmap;   // the pixels, bottom-up BGRA; alpha bytes already 255
};

// False (and Type 0) for data the loader cannot read.
bool LoadStdPicture(const uint8_t* data, size_t size, StdPicture& picture);

// Bytes per row of a bitmap with `bits` per pixel: rows are padded to 32 bits.
inline uint64_t BitmapRowBytes(uint64_t bits, uint64_t width) { return (bits * width + 31) / 32 * 4; }

// The two formats on their own, for the loader and for tests.
bool DecodeBitmapFile(const uint8_t* data, size_t size, cImage32& image);
bool DecodeJPEG(const uint8_t* data, size_t size, cImage32& image);
// DecodeJPEG with the picture's rows cut at `cutRow` (rounded down to a row
// of coding units) between the two decoders that share a large picture,
// run one after the other on the calling thread, whatever the picture's
// size: the result must not depend on where the cut falls. No value when
// those decoders do not take the picture (then one decoded it alone).
std::optional<bool> DecodeJPEGCutAt(const uint8_t* data, size_t size, cImage32& image, int cutRow);
