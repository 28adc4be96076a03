// PNG decoder with zlib or, when the last byte is odd, as if it were absent (no CRC checks, own inflate).
#include "image/cPNGparser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    SetZlibEnabled(!(data[size - 1] & 1));
    cImage32 img;
    if (cPNGparser().LoadBytes(data, size - 1, img) && img.HasImage() && img.ImageType() != 10) __builtin_trap();
    return 0;
}
