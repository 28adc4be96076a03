// ICO/CUR decoder; the wanted size and depth come from the first bytes, so one corpus reaches every entry.
#include "image/cICOparser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    cImage32 img;
    if (size >= 2 && cICOparser().LoadBytes(data + 2, size - 2, data[0] % 65, data[0] % 65, img, data[1] % 33) != img.HasImage())
        __builtin_trap();
    return 0;
}
