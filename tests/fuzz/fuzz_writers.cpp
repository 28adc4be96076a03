// Encoders on arbitrary pictures: PNG always, and GIF when its palette can
// hold the colours exactly, reload pixel for pixel through the library's own
// decoders; JPEG reloads at the same size. Pixels come from the input bytes,
// repeated, so that short inputs give pictures with few colours.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <set>

#include "image/cImage32.h"

namespace {

bool SameImage(const cImage32& a, const cImage32& b) {
    return b.HasImage() && a.Width() == b.Width() && a.Height() == b.Height() &&
           std::memcmp(a.BitsPointer(), b.BitsPointer(), size_t(a.Width()) * size_t(a.Height()) * 4) == 0;
}

// At most 255 colours and no partial transparency: a GIF keeps such a picture exactly.
bool GifExact(const cImage32& img) {
    std::set<uint32_t> colours;
    const uint8_t* p = img.BitsPointer();
    for (size_t i = 0; i < size_t(img.Width()) * size_t(img.Height()); ++i, p += 4) {
        if (p[3] != 0 && p[3] != 255) return false;
        if (p[3] == 255) colours.insert(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16);
        if (colours.size() > 255) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5) return 0;
    const int w = 1 + data[0] % 96, h = 1 + data[1] % 96, mode = data[2] % 3, option = data[3];
    data += 4;
    size -= 4;
    SetZlibEnabled(true);
    cImage32 img;
    if (!img.InitializeDIB(w, h)) __builtin_trap();
    uint8_t* p = img.BitsPointer();
    for (size_t i = 0; i < size_t(w) * size_t(h); ++i, p += 4) {
        const uint8_t alpha = data[(i * 4 + 3) % size];
        for (int c = 0; c < 3; ++c) p[c] = std::min(data[(i * 4 + size_t(c)) % size], alpha);
        p[3] = alpha;
    }
    ByteArray bytes;
    cImage32 back;
    switch (mode) {
        case 0:
            if (!img.SaveToStream_PNG(bytes) || !back.LoadPicture_Stream(bytes) || !SameImage(img, back))
                __builtin_trap();
            break;
        case 1:
            if (!img.SaveToStream_GIF(bytes, option & 1, 128) || !back.LoadPicture_Stream(bytes)) __builtin_trap();
            if (back.Width() != w || back.Height() != h || (GifExact(img) && !SameImage(img, back))) __builtin_trap();
            break;
        default:
            if (!img.SaveToStream_JPG(bytes, 1 + option % 100) || !back.LoadPicture_Stream(bytes) ||
                back.Width() != w || back.Height() != h)
                __builtin_trap();
            break;
    }
    return 0;
}
