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
    if (uint64_t(dataPos) + rowBytes * rows > streamLength || bits != 32 || compression != 0)
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
    // A 32-bit bitmap may carry straight alpha; premultiply so every drawing
    // path can rely on colour <= alpha.
    const AlphaClass cls = AnalyseAlpha(dst, size_t(w) * rows, true);
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
