// The whole decoder chain as LoadPicture_Stream runs it; the last pixel touched so a short buffer shows.
#include "image/cImage32.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    cImage32 img;
    if (img.LoadPicture_Stream(ByteArray(data, data + size)))
        static_cast<void>(*static_cast<volatile const uint8_t*>(img.BitsPointer() + size_t(img.scanWidth()) * img.Height() - 1));
    return 0;
}
