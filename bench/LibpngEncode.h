#pragma once
// Reference PNG encoding with libpng, for the benchmarks' inputs and baselines.
#include <png.h>

#include <csetjmp>
#include <cstdint>
#include <vector>

// 8-bit rows of the given colour type (tightly packed); `level` -1 keeps
// libpng's default compression.
inline std::vector<uint8_t> LibpngEncode(int w, int h, int colorType, const std::vector<uint8_t>& rows,
                                         const std::vector<png_color>& pal = {}, int level = -1) {
    std::vector<uint8_t> out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return {};
    }
    png_set_write_fn(
        png, &out,
        [](png_structp p, png_bytep d, png_size_t n) {
            auto* o = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(p));
            o->insert(o->end(), d, d + n);
        },
        nullptr);
    if (level >= 0) png_set_compression_level(png, level);
    png_set_IHDR(png, info, png_uint_32(w), png_uint_32(h), 8, colorType, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (!pal.empty()) png_set_PLTE(png, info, pal.data(), int(pal.size()));
    png_write_info(png, info);
    const size_t stride = rows.size() / size_t(h);
    for (int y = 0; y < h; ++y) png_write_row(png, const_cast<png_bytep>(rows.data() + size_t(y) * stride));
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return out;
}
