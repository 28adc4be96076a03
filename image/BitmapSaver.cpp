// 32-bit bottom-up bitmap files (BITMAPFILEHEADER + BITMAPINFOHEADER, BI_RGB)
// with the alpha channel in the fourth byte, as the decoder's 32-bit path reads them.
#include <algorithm>

#include "image/cImage32.h"

namespace {

void Put16(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

}  // namespace

bool cImage32::SaveToStream_Bitmap(ByteArray& outStream, bool KeepPreMultipliedPixels, uint32_t TransparentFillColor) {
    if (!HasImage()) return false;
    constexpr size_t kHeaders = 14 + 40;
    const size_t pixelBytes = size_t(m_Width) * size_t(m_Height) * 4;
    if (kHeaders + pixelBytes > UINT32_MAX) return false;
    ByteArray out(kHeaders + pixelBytes, 0);
    uint8_t* h = out.data();
    h[0] = 'B';
    h[1] = 'M';
    Put32(h + 2, uint32_t(out.size()));
    Put32(h + 10, uint32_t(kHeaders));
    Put32(h + 14, 40);
    Put32(h + 18, uint32_t(m_Width));
    Put32(h + 22, uint32_t(m_Height));  // positive: bottom-up, as stored
    Put16(h + 26, 1);
    Put16(h + 28, 32);
    Put32(h + 34, uint32_t(pixelBytes));
    Put32(h + 38, 2835);  // 72 dpi
    Put32(h + 42, 2835);

    const uint8_t* src = m_Bits.get();
    uint8_t* dst = out.data() + kHeaders;
    if (KeepPreMultipliedPixels) {
        std::copy(src, src + pixelBytes, dst);
    } else {
        const uint8_t fill[3] = {uint8_t(TransparentFillColor >> 16), uint8_t(TransparentFillColor >> 8),
                                 uint8_t(TransparentFillColor)};
        for (size_t i = 0; i < pixelBytes; i += 4) {
            const uint32_t a = src[i + 3];
            dst[i + 3] = uint8_t(a);
            for (int c = 0; c < 3; ++c) {
                const uint32_t v = src[i + size_t(c)];
                // Rounded up, so that premultiplying again gives back exactly v.
                dst[i + size_t(c)] = a == 255 ? uint8_t(v) : a == 0 ? fill[c] : uint8_t(std::min<uint32_t>(255, (v * 255 + a - 1) / a));
            }
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
