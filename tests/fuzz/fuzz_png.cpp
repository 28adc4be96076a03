// PNG decoder in the default configuration (CRC checks) on arbitrary bytes.
#include <cstddef>
#include <cstdint>

#include "image/cPNGparser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SetZlibEnabled(true);
    cImage32 img;
    cPNGparser parser;
    if (parser.LoadBytes(data, size, img) && img.HasImage() && img.ImageType() != 10) __builtin_trap();
    return 0;
}
