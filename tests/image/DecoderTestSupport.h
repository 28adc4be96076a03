#pragma once
// Reference PNG reading with libpng and pixel comparison with straight RGBA.
#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>

#include "tests/image/TestFiles.h"

namespace dts {

using testfiles::ReadFile;

// Straight (not premultiplied) RGBA, top row first.
struct Rgba {
    int w = 0, h = 0;
    std::vector<uint8_t> px;
};

// 8-bit RGBA of any PNG: 16-bit samples cut to their high byte, tRNS as alpha, no gamma or background.
inline bool ReadPngWithLibpng(const ByteArray& bytes, Rgba& out) {
    struct Reader {
        const ByteArray* b;
        size_t pos;
    } reader{&bytes, 0};
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    std::vector<png_bytep> rows;
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_set_read_fn(png, &reader, [](png_structp p, png_bytep data, png_size_t n) {
        auto* r = static_cast<Reader*>(png_get_io_ptr(p));
        if (r->pos + n > r->b->size()) png_error(p, "eof");
        std::memcpy(data, r->b->data() + r->pos, n);
        r->pos += n;
    });
    png_read_info(png, info);
    png_set_expand(png);
    png_set_strip_16(png);
    png_set_gray_to_rgb(png);
    png_set_interlace_handling(png);
    png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);
    png_read_update_info(png, info);
    out.w = int(png_get_image_width(png, info));
    out.h = int(png_get_image_height(png, info));
    out.px.assign(size_t(out.w) * size_t(out.h) * 4, 0);
    for (int y = 0; y < out.h; ++y) rows.push_back(out.px.data() + size_t(y) * size_t(out.w) * 4);
    png_read_image(png, rows.data());
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

inline Rgba ReadPngFile(const std::string& path) {
    Rgba out;
    return ReadPngWithLibpng(ReadFile(path), out) ? out : Rgba{};
}

// First difference from straight RGBA premultiplied as c * a div 255, within `tolerance`; empty when
// they agree. With an offset the image is compared to the part of `ref` it covers (a GIF frame).
inline std::string CompareToStraight(const cImage32& img, const Rgba& ref, int tolerance = 0, int left = -1,
                                     int top = 0) {
    if (!img.HasImage() || (left < 0 && (img.Width() != ref.w || img.Height() != ref.h)))
        return "size " + std::to_string(img.Width()) + "x" + std::to_string(img.Height());
    for (int y = 0; y < img.Height() && top + y < ref.h; ++y)
        for (int x = 0; x < img.Width() && std::max(left, 0) + x < ref.w; ++x) {
            const uint8_t* s = ref.px.data() + (size_t(top + y) * size_t(ref.w) + size_t(std::max(left, 0) + x)) * 4;
            const uint8_t* got = img.Row(y) + size_t(x) * 4;
            for (int k = 0; k < 4; ++k)
                if (std::abs(int(k == 3 ? s[3] : s[2 - k] * s[3] / 255) - int(got[k])) > tolerance)
                    return "pixel (" + std::to_string(x) + "," + std::to_string(y) + ") byte " + std::to_string(k);
        }
    return "";
}

// Pixel (x, y) of the picture as the word 0xAARRGGBB.
inline uint32_t PixelAt(const cImage32& img, int x, int y = 0) {
    uint32_t v;
    std::memcpy(&v, img.Row(y) + size_t(x) * 4, 4);
    return v;
}

inline bool SamePixels(const cImage32& a, const cImage32& b) {
    return a.HasImage() && b.HasImage() && a.Width() == b.Width() && a.Height() == b.Height() &&
           std::memcmp(a.BitsPointer(), b.BitsPointer(), size_t(a.scanWidth()) * size_t(a.Height())) == 0;
}

// Restores the library-wide zlib switch when a test ends.
struct ZlibSwitch {
    explicit ZlibSwitch(bool on) { SetZlibEnabled(on); }
    ~ZlibSwitch() { SetZlibEnabled(true); }
};

}  // namespace dts
