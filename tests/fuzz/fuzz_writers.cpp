// Encoders on any pixels (repeating the input: short inputs give few colours), colours above alpha
// too. Reloaded, nothing has a colour above its alpha; PNG, TGA, BMP give back the pixels cut to
// their alpha, GIF too when its palette holds them, JPEG a picture of the same size.
#include <algorithm>
#include <cstring>
#include <set>

#include "image/cImage32.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5) return 0;
    const int w = 1 + data[0] % 96, h = 1 + data[1] % 96, mode = data[2] % 5, option = data[3];
    data += 4;
    size -= 4;
    SetZlibEnabled(true);
    cImage32 img, back;
    if (!img.InitializeDIB(w, h)) __builtin_trap();
    const size_t n = size_t(w) * size_t(h) * 4;
    ByteArray cut(n), bytes;
    std::set<uint32_t> colours;
    bool valid = true, clear = true, onOff = true;
    uint8_t* p = img.BitsPointer();
    for (size_t i = 0; i < n; ++i) {
        const uint8_t v = data[i % size], alpha = data[(i | 3) % size];
        p[i] = i % 4 == 3 || (option & 0x80) ? v : std::min(v, alpha);  // as given, or valid
        cut[i] = std::min(p[i], alpha);
        valid = valid && p[i] == cut[i];
        if (i % 4 == 3) clear = clear && !v, onOff = onOff && (v == 0 || v == 255);
        if (i % 4 == 3 && v == 255) colours.insert(uint32_t(p[i - 3]) | uint32_t(p[i - 2]) << 8 | uint32_t(p[i - 1]) << 16);
    }
    const bool saved = mode == 0   ? img.SaveToStream_PNG(bytes)
                       : mode == 1 ? img.SaveToStream_GIF(bytes, option & 1, 128)
                       : mode == 2 ? img.SaveToStream_JPG(bytes, 1 + option % 100)
                       : mode == 3 ? img.SaveToStream_TGA(bytes, option & 1, option & 2, option & 4)
                                   : img.SaveToStream_Bitmap(bytes, option & 1, 0);
    // GIF: at most 255 colours and no partial transparency; a bitmap: premultiplied pixels are
    // classified on loading (exact only while valid), all-zero alpha bytes count as unused.
    const bool exact = mode == 1 ? onOff && colours.size() <= 255 : mode == 4 ? !clear && (!(option & 1) || valid) : mode != 2;
    if (!saved || !back.LoadPicture_Stream(bytes) || back.Width() != w || back.Height() != h) __builtin_trap();
    const uint8_t* q = back.BitsPointer();
    for (size_t i = 0; i < n; i += 4)
        if (std::max({q[i], q[i + 1], q[i + 2]}) > q[i + 3]) __builtin_trap();
    if (exact && std::memcmp(q, cut.data(), n) != 0) __builtin_trap();
    return 0;
}
