#include "image/PictureLoader.h"

#include <turbojpeg.h>

#include <cstring>
#include <memory>

namespace {

struct TjDeleter {
    void operator()(void* h) const { tjDestroy(h); }
};

}  // namespace

bool DecodeJPEG(const uint8_t* data, size_t size, cImage32& image) {
    image.DestroyDIB();
    if (size < 4 || data[0] != 0xFF || data[1] != 0xD8) return false;
    std::unique_ptr<void, TjDeleter> tj(tjInitDecompress());
    if (!tj) return false;
    int width = 0, height = 0, subsamp = 0, colorspace = 0;
    if (tjDecompressHeader3(tj.get(), data, static_cast<unsigned long>(size), &width, &height, &subsamp,
                            &colorspace) != 0)
        return false;
    if (width < 1 || height < 1 || int64_t(width) * height > kMaxImagePixels) return false;
    if (!image.InitializeDIBUncleared(width, height)) return false;
    // Bottom-up BGRA is exactly the image's layout; the decoder sets alpha to 255.
    const int rc = tjDecompress2(tj.get(), data, static_cast<unsigned long>(size), image.BitsPointer(), width,
                                 image.scanWidth(), height, TJPF_BGRA, TJFLAG_BOTTOMUP | TJFLAG_LIMITSCANS);
    if (rc != 0) {
        // Warnings (such as stray bytes between markers) still give a whole
        // picture; data that ends early does not.
        const bool warning = tjGetErrorCode(tj.get()) == TJERR_WARNING;
        const char* text = tjGetErrorStr2(tj.get());
        if (!warning || (text && std::strstr(text, "Premature end"))) {
            image.DestroyDIB();
            return false;
        }
    }
    return true;
}

bool LoadStdPicture(const uint8_t* data, size_t size, StdPicture& picture) {
    picture.Type = 0;
    if (DecodeBitmapFile(data, size, picture.Bitmap) || DecodeJPEG(data, size, picture.Bitmap)) picture.Type = 1;
    return picture.Type != 0;
}
