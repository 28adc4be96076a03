#pragma once
// The row stages of the PNG decoder: sizes of the filtered data, the five
// filters, Adam7 placement and the conversion of samples to premultiplied
// BGRA. Separate from the chunk walk so each can be tested alone.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "image/Inflate.h"

class cImage32;

struct PngFormat {
    uint32_t width = 0, height = 0;
    int depth = 0, colorType = 0, interlace = 0;

    int Channels() const { return colorType == 2 ? 3 : colorType == 4 ? 2 : colorType == 6 ? 4 : 1; }
    int BitsPerPixel() const { return depth * Channels(); }
    // Bytes of one filtered row of w pixels, without its filter byte.
    uint64_t RowBytes(uint64_t w) const { return (w * uint64_t(BitsPerPixel()) + 7) / 8; }
};

// Adam7 passes: start column, start row, column step, row step.
struct Adam7Pass {
    uint32_t x0, y0, dx, dy;
};
inline constexpr Adam7Pass kAdam7[7] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                        {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
inline uint32_t Adam7Count(uint32_t size, uint32_t start, uint32_t step) {
    return size > start ? (size - start + step - 1) / step : 0;
}

// Size of the whole decompressed data: every row with its filter byte. An
// Adam7 pass without pixels has no rows at all.
uint64_t PngRawSize(const PngFormat& f);

// c * a div 255 for each colour, packed as the BGRA word of a pixel.
inline uint32_t PremultiplyPixel(uint32_t r, uint32_t g, uint32_t b, uint32_t a) {
    return (b * a / 255) | (g * a / 255) << 8 | (r * a / 255) << 16 | a << 24;
}

// Undoes the filter of the n bytes of one row at src into dst. prev is the
// previous row of the same pass already unfiltered (all zero for the first).
// Filter types other than 0-4 leave the row as it is.
void PngUnfilterRow(int filter, const uint8_t* src, uint8_t* dst, const uint8_t* prev, size_t n, size_t bpp);

struct PngConvertContext {
    PngFormat fmt;
    uint32_t lut[256] = {};  // palette or grey ramp, premultiplied BGRA
    bool hasKey = false;     // 16-bit grey or RGB transparency key
    uint16_t key[3] = {};
};

// Converts `count` pixels of one unfiltered row to BGRA words at dst, dst,
// dst + step, ...
void PngConvertRow(const PngConvertContext& ctx, const uint8_t* src, uint32_t count, uint32_t* dst, size_t step);

// Rebuilds the picture row by row as the decompressed data arrives: each
// row is unfiltered and every pixel written to its place in img (already
// sized to the picture). Bytes past the last row are ignored.
class PngRowDecoder final : public InflateSink {
public:
    PngRowDecoder(const PngConvertContext& ctx, cImage32& img);
    void Take(const uint8_t* data, size_t n) override;

private:
    void StartPass();
    void Row(const uint8_t* filtered);

    const PngConvertContext& ctx_;
    cImage32& img_;
    size_t bpp_;
    int pass_ = 0;  // 0-6 for Adam7 (empty passes skipped), 7 when done
    uint32_t passWidth_ = 0, passRows_ = 0, row_ = 0;
    size_t rowBytes_ = 0;  // with the filter byte
    std::vector<uint8_t> staged_;  // a row that arrives in pieces
    size_t stagedLen_ = 0;
    std::vector<uint8_t> cur_, prev_;
};
