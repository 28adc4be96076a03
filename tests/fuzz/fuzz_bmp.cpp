// Bitmaps through the BMP decoder or the picture loader's own (the last byte picks); the last pixel touched.
#include "image/PictureLoader.h"
#include "image/cBMPparser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    cImage32 img;
    if (size && (data[size - 1] & 1 ? cBMPparser::LoadStream(data, size - 1, img) : DecodeBitmapFile(data, size - 1, img)))
        static_cast<void>(*static_cast<volatile const uint8_t*>(img.BitsPointer() + size_t(img.scanWidth()) * img.Height() - 1));
    return 0;
}
