#pragma once
// TGA decoder and encoder (Truevision TGA 2.0): colour-mapped, true-colour
// and grey images, raw or run-length encoded, with the extension area and
// footer of TGA 2.0.
#include <cstddef>
#include <cstdint>

#include "image/cImage32.h"

class cTGAparser {
public:
    // TGA has no signature: only data whose header agrees with its length is
    // taken. True when cHost then holds the picture.
    bool LoadStream(const ByteArray& inStream, cImage32& cHost, size_t streamOffset = 0, size_t streamLength = 0);
    bool LoadBytes(const uint8_t* data, size_t size, cImage32& cHost);

    // The whole file for the image: header, pixels (bottom row first),
    // extension area and footer. False when there is no image.
    static bool Encode(const cImage32& image, ByteArray& out, bool Compress, bool ReduceBitDepth,
                       bool AllowPreMultipliedPixels);
};
