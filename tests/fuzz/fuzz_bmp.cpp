// Bitmap files through the BMP decoder and the picture loader's own bitmap
// decoding. The last byte picks the path so that one corpus covers both.
#include <cstddef>
#include <cstdint>

#include "image/PictureLoader.h"
#include "image/cBMPparser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    cImage32 img;
    if (data[size - 1] & 1) {
        cBMPparser::LoadStream(data, size - 1, img);
    } else {
        DecodeBitmapFile(data, size - 1, img);
    }
    if (img.HasImage()) {
        volatile uint8_t sink = img.BitsPointer()[size_t(img.scanWidth()) * size_t(img.Height()) - 1];
        (void)sink;
    }
    return 0;
}
