#pragma once
// GIF encoder for cImage32 pictures (GIF89a): one frame with a global colour
// table, an optional transparent index and the library's own LZW coder.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class cImage32;

class cGIFwriter {
public:
    // Encodes the image; with a file name the bytes are also written to that
    // new file. Pixels whose alpha is below OpaquenessTolerance become
    // transparent; the others keep their straight colour. A picture of at
    // most 256 colours (255 with transparency) keeps them exactly; a richer
    // one is reduced by median cut when UseAdaptivePalette, else mapped onto
    // a fixed colour cube with a grey ramp.
    bool Save(const std::string& fileName, std::vector<uint8_t>& out, const cImage32& image, bool UseAdaptivePalette,
              int OpaquenessTolerance) const;
    // Encodes premultiplied BGRA, bottom-up pixels.
    bool Encode(const uint8_t* bits, int32_t width, int32_t height, bool UseAdaptivePalette, int OpaquenessTolerance,
                std::vector<uint8_t>& out) const;
};

// GIF variable-length-code LZW of palette indices (each below
// 2^minCodeSize), appended to out as 255-byte sub-blocks and a terminator.
void GifLzwEncode(const uint8_t* indices, size_t count, int minCodeSize, std::vector<uint8_t>& out);
