// GIF decoder (block walk and LZW) on arbitrary bytes.
#include "image/cGIFparser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    cImage32 img;
    if (!cGIFparser().LoadBytes(data, size, img) && img.HasImage()) __builtin_trap();
    return 0;
}
