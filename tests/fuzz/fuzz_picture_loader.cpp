// The whole decoder chain over a byte array, as LoadPicture_Stream runs it:
// JPEG through TurboJPEG, bitmaps, and whatever else the chain recognises.
#include <cstddef>
#include <cstdint>

#include "image/cImage32.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const ByteArray bytes(data, data + size);
    cImage32 img;
    if (img.LoadPicture_Stream(bytes)) {
        // Touch the last pixel so a short buffer would show.
        volatile uint8_t sink = img.BitsPointer()[size_t(img.scanWidth()) * size_t(img.Height()) - 1];
        (void)sink;
    }
    return 0;
}
