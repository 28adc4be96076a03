#pragma once
// BMP decoding (Windows bitmap file: BITMAPFILEHEADER + info header). 32-bit
// BMPs, plain or with byte-wide BGRA bit fields, are read here with their
// alpha; every other input goes to the picture loader (other BMP depths and
// bit fields, RLE, JPEG), whose result is converted.
#include <cstddef>
#include <cstdint>

#include "image/cImage32.h"

struct StdPicture;

class cBMPparser {
public:
    // True when cHost now holds the image; false lets the chain go on.
    static bool LoadStream(const uint8_t* inStream, size_t streamLength, cImage32& cHost);
    // Moves a loaded picture into cHost as an opaque picture of its type (the
    // loader has already set every alpha byte to 255).
    static bool ConvertstdPicTo32bpp(StdPicture& stdPic, cImage32& cHost);
};
