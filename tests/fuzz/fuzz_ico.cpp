// ICO/CUR decoder on arbitrary bytes; the wanted size and depth come from
// the first bytes so that one corpus reaches every entry choice.
#include <cstddef>
#include <cstdint>

#include "image/cICOparser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    cImage32 img;
    cICOparser parser;
    const bool ok = parser.LoadBytes(data + 2, size - 2, data[0] % 65, data[0] % 65, img, data[1] % 33);
    if (ok != img.HasImage()) __builtin_trap();
    return 0;
}
