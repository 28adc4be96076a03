// 32-bit bottom-up bitmap files. Straight colours go under a BITMAPV5HEADER
// whose bit fields include an alpha mask, which says that the fourth byte is
// straight alpha; premultiplied pixels, which no bitmap header can describe,
// go under a plain BITMAPINFOHEADER (BI_RGB) and are classified on loading.
#include <algorithm>

#include "image/WriterCommon.h"
#include "image/cImage32.h"

namespace {

void Put16(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

constexpr uint32_t kBitFields = 3, kSrgb = 0x73524742, kIntentImages = 4;

}  // namespace

bool cImage32::SaveToStream_Bitmap(ByteArray& outStream, bool KeepPreMultipliedPixels, uint32_t TransparentFillColor) {
    if (!HasImage()) return false;
    const size_t infoSize = KeepPreMultipliedPixels ? 40 : 124, headers = 14 + infoSize;
    const size_t pixelBytes = size_t(m_Width) * size_t(m_Height) * 4;
    if (headers + pixelBytes > UINT32_MAX) return false;
    ByteArray out(headers + pixelBytes, 0);
    uint8_t* h = out.data();
    h[0] = 'B';
    h[1] = 'M';
    Put32(h + 2, uint32_t(out.size()));
    Put32(h + 10, uint32_t(headers));
    Put32(h + 14, uint32_t(infoSize));
    Put32(h + 18, uint32_t(m_Width));
    Put32(h + 22, uint32_t(m_Height));  // positive: bottom-up, as stored
    Put16(h + 26, 1);
    Put16(h + 28, 32);
    Put32(h + 34, uint32_t(pixelBytes));
    Put32(h + 38, 2835);  // 72 dpi
    Put32(h + 42, 2835);

    const uint8_t* src = m_Bits.get();
    uint8_t* dst = out.data() + headers;
    if (KeepPreMultipliedPixels) {
        std::copy(src, src + pixelBytes, dst);
    } else {
        Put32(h + 30, kBitFields);
        Put32(h + 54, 0x00FF0000);  // red, green, blue and alpha masks
        Put32(h + 58, 0x0000FF00);
        Put32(h + 62, 0x000000FF);
        Put32(h + 66, 0xFF000000);
        Put32(h + 70, kSrgb);
        Put32(h + 122, kIntentImages);
        const uint8_t fill[3] = {uint8_t(TransparentFillColor >> 16), uint8_t(TransparentFillColor >> 8),
                                 uint8_t(TransparentFillColor)};
        const uint8_t* unpremultiply = UnpremultiplyTable();
        for (size_t i = 0; i < pixelBytes; i += 4) {
            const uint32_t a = src[i + 3];
            const uint8_t* straight = unpremultiply + a * 256;
            dst[i + 3] = uint8_t(a);
            for (size_t c = 0; c < 3; ++c) dst[i + c] = a == 255 ? src[i + c] : a == 0 ? fill[c] : straight[src[i + c]];
        }
    }
    outStream = std::move(out);
    return true;
}

bool cImage32::SaveToFile_Bitmap(const std::string& FileName, bool KeepPreMultipliedPixels,
                                 uint32_t TransparentFillColor, bool PromptOverwrite) {
    if (!PrepareSaveFile(FileName, PromptOverwrite)) return false;
    ByteArray bytes;
    return SaveToStream_Bitmap(bytes, KeepPreMultipliedPixels, TransparentFillColor) &&
           WriteBytesToFile(FileName, bytes.data(), bytes.size());
}
