#include "image/cBMPparser.h"

#include <cstring>

#include "image/AlphaAnalysis.h"
#include "image/ByteReader.h"
#include "image/PictureLoader.h"

namespace {

bool FallBackToPictureLoader(const uint8_t* inStream, size_t streamLength, cImage32& cHost) {
    if (cHost.HasImage()) return false;
    StdPicture picture;
    return LoadStdPicture(inStream, streamLength, picture) && cBMPparser::ConvertstdPicTo32bpp(picture, cHost);
}

// Bit fields that put blue, green, red and alpha in the four bytes of a
// pixel, in that order: the header itself says the fourth byte is alpha, and
// alpha in a bitmap is straight. The alpha mask follows the colour masks, in
// a header of 56 bytes or more, or after a 40-byte one with BI_ALPHABITFIELDS.
bool DeclaresStraightAlpha(const ByteReader& in, uint32_t compression) {
    uint32_t headerSize = 0, r = 0, g = 0, b = 0, a = 0;
    if (compression != 3 && compression != 6) return false;
    if (!in.U32LE(14, headerSize) || (headerSize < 56 && compression != 6)) return false;
    return in.U32LE(54, r) && in.U32LE(58, g) && in.U32LE(62, b) && in.U32LE(66, a) && r == 0x00FF0000 &&
           g == 0x0000FF00 && b == 0x000000FF && a == 0xFF000000;
}

bool AllAlphaZero(const uint8_t* bits, size_t pixelCount) {
    for (size_t i = 0; i < pixelCount; ++i)
        if (bits[i * 4 + 3]) return false;
    return true;
}

}  // namespace

bool cBMPparser::LoadStream(const uint8_t* inStream, size_t streamLength, cImage32& cHost) {
    const ByteReader in(inStream, streamLength);
    uint32_t signature = 0, dataPos = 0, width = 0, height = 0, bits = 0, compression = 0;
    if (!in.U16LE(0, signature) || signature != 0x4D42) return FallBackToPictureLoader(inStream, streamLength, cHost);
    if (!in.U32LE(18, width) || !in.U32LE(22, height) || !in.U16LE(28, bits)) return false;
    const int32_t w = int32_t(width), h = int32_t(height);
    if (w < 1 || h == 0 || h == INT32_MIN) return false;
    const uint64_t rows = uint64_t(h < 0 ? -int64_t(h) : int64_t(h));
    if (!in.U32LE(10, dataPos) || !in.U32LE(30, compression)) return FallBackToPictureLoader(inStream, streamLength, cHost);
    const uint64_t rowBytes = BitmapRowBytes(bits, uint64_t(w));
    const bool straightAlpha = bits == 32 && DeclaresStraightAlpha(in, compression);
    if (uint64_t(dataPos) + rowBytes * rows > streamLength || bits != 32 || (compression != 0 && !straightAlpha))
        return FallBackToPictureLoader(inStream, streamLength, cHost);

    if (!cHost.InitializeDIBUncleared(w, int(rows))) return false;  // every byte is copied below
    const uint8_t* src = inStream + dataPos;
    uint8_t* dst = cHost.BitsPointer();
    const size_t stride = size_t(cHost.scanWidth());
    if (h > 0) {
        std::memcpy(dst, src, stride * rows);
    } else {
        for (size_t y = 0; y < rows; ++y) std::memcpy(dst + y * stride, src + (rows - 1 - y) * stride, stride);
    }
    // Premultiplied pixels, so every drawing path can rely on colour <= alpha.
    // Declared alpha bytes that are all 0 are taken as unused, as in a plain
    // 32-bit bitmap: writers that fill in an alpha mask and no alpha exist.
    // Without a declaration the analysis tells straight from premultiplied.
    const size_t n = size_t(w) * rows;
    const AlphaClass cls = !straightAlpha       ? AnalyseAlpha(dst, n, true)
                           : AllAlphaZero(dst, n) ? MakeAlphaOpaque(dst, n)
                                                  : ApplyDeclaredAlpha(dst, n, false);
    cHost.SetImageType(cls.ImageType);
    cHost.Alpha(cls.Alpha);
    return true;
}

bool cBMPparser::ConvertstdPicTo32bpp(StdPicture& stdPic, cImage32& cHost) {
    if (stdPic.Type == 0 || !stdPic.Bitmap.HasImage()) return false;
    // The loader's pixels are already opaque; hand the buffer over rather than copy it.
    cHost.SwapDIBs(stdPic.Bitmap);
    cHost.SetImageType(stdPic.Type);
    cHost.Alpha(0);
    return true;
}
