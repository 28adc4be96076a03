// TGA decoder on arbitrary bytes, and the encoder on whatever it decoded.
#include "image/cTGAparser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    cImage32 img;
    ByteArray out;
    if (cTGAparser().LoadBytes(data, size, img) && !img.SaveToStream_TGA(out, size % 2 == 0, size % 3 == 0, size % 5 == 0))
        __builtin_trap();
    return 0;
}
