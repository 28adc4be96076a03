// Encoders on arbitrary pictures: every saver must take any pixel values,
// also colours above their alpha, which no valid picture has. Reloaded
// through the library's own decoders, PNG, TGA and BMP give back the pixels
// with colours cut to their alpha, GIF too when its palette holds them, JPEG
// a picture of the same size; nothing reloads with a colour above its alpha.
// Pixels come from the input bytes, repeated, so that short inputs give
// pictures with few colours.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <set>

#include "image/cImage32.h"

namespace {

size_t PixelCount(const cImage32& img) { return size_t(img.Width()) * size_t(img.Height()); }

// The picture with every colour cut to its alpha.
ByteArray Cut(const cImage32& img) {
    ByteArray out(img.BitsPointer(), img.BitsPointer() + PixelCount(img) * 4);
    for (size_t i = 0; i < out.size(); i += 4)
        for (size_t c = 0; c < 3; ++c) out[i + c] = std::min(out[i + c], out[i + 3]);
    return out;
}

bool Valid(const cImage32& img) {
    const uint8_t* p = img.BitsPointer();
    for (size_t i = 0; i < PixelCount(img); ++i, p += 4)
        if (std::max({p[0], p[1], p[2]}) > p[3]) return false;
    return true;
}

// At most 255 colours and no partial transparency: a GIF keeps such a picture exactly.
bool GifExact(const cImage32& img) {
    std::set<uint32_t> colours;
    const uint8_t* p = img.BitsPointer();
    for (size_t i = 0; i < PixelCount(img); ++i, p += 4) {
        if (p[3] != 0 && p[3] != 255) return false;
        if (p[3] == 255) colours.insert(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16);
        if (colours.size() > 255) return false;
    }
    return true;
}

// A bitmap whose alpha bytes are all 0 reloads opaque: its alpha counts as unused.
bool AllClear(const cImage32& img) {
    const uint8_t* p = img.BitsPointer();
    for (size_t i = 0; i < PixelCount(img); ++i)
        if (p[i * 4 + 3]) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5) return 0;
    const int w = 1 + data[0] % 96, h = 1 + data[1] % 96, mode = data[2] % 5, option = data[3];
    const bool asGiven = option & 0x80;
    data += 4;
    size -= 4;
    SetZlibEnabled(true);
    cImage32 img;
    if (!img.InitializeDIB(w, h)) __builtin_trap();
    uint8_t* p = img.BitsPointer();
    for (size_t i = 0; i < size_t(w) * size_t(h); ++i, p += 4) {
        const uint8_t alpha = data[(i * 4 + 3) % size];
        for (int c = 0; c < 3; ++c) {
            const uint8_t v = data[(i * 4 + size_t(c)) % size];
            p[c] = asGiven ? v : std::min(v, alpha);
        }
        p[3] = alpha;
    }
    const ByteArray cut = Cut(img);
    ByteArray bytes;
    bool saved = false, exact = false;
    switch (mode) {
        case 0:
            saved = img.SaveToStream_PNG(bytes);
            exact = true;
            break;
        case 1:
            saved = img.SaveToStream_GIF(bytes, option & 1, 128);
            exact = GifExact(img);
            break;
        case 2:
            saved = img.SaveToStream_JPG(bytes, 1 + option % 100);
            break;
        case 3:
            saved = img.SaveToStream_TGA(bytes, option & 1, option & 2, option & 4);
            exact = true;
            break;
        default:
            // Premultiplied pixels in a plain bitmap are classified on loading:
            // exact only while they are valid.
            saved = img.SaveToStream_Bitmap(bytes, option & 1, 0);
            exact = !AllClear(img) && (!(option & 1) || !asGiven || Valid(img));
            break;
    }
    cImage32 back;
    if (!saved || !back.LoadPicture_Stream(bytes) || back.Width() != w || back.Height() != h || !Valid(back))
        __builtin_trap();
    if (exact && std::memcmp(back.BitsPointer(), cut.data(), cut.size()) != 0) __builtin_trap();
    return 0;
}
