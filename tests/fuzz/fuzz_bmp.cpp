// Bitmaps through the BMP decoder or the picture loader's own (the last byte picks); the last pixel touched.
#include "image/PictureLoader.h"
#include "image/cBMPparser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    cImage32 img;
    if (size && (data[size - 1] & 1 ? cBMPparser::LoadStream(data, size - 1, img) : DecodeBitmapFile(data, size - 1, img))) {
        volatile uint8_t last = img.BitsPointer()[size_t(img.scanWidth()) * size_t(img.Height()) - 1];
        (void)last;
    }
    return 0;
}
