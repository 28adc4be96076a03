// GIF saver: exact palettes, reduced palettes, transparency and the LZW coder.
#include <gtest/gtest.h>
#include <stb/stb_image.h>

#include "WriterTestSupport.h"
#include "image/cGIFwriter.h"
#include "image/cImage32.h"

namespace {

struct Decoded {
    int w = 0, h = 0;
    std::vector<uint8_t> rgba;
    const uint8_t* At(int x, int y) const { return &rgba[(size_t(y) * size_t(w) + size_t(x)) * 4]; }
};

bool DecodeStb(const ByteArray& gif, Decoded& d) {
    int comp = 0;
    stbi_uc* p = stbi_load_from_memory(gif.data(), int(gif.size()), &d.w, &d.h, &comp, 4);
    if (!p) return false;
    d.rgba.assign(p, p + size_t(d.w) * size_t(d.h) * 4);
    stbi_image_free(p);
    return true;
}

// First pixel whose decoded straight colour differs from the expected one
// (transparent pixels compared by alpha only); empty when none.
std::string Mismatch(const Decoded& d, int w, int h, const wts::PixelFn& want) {
    if (d.w != w || d.h != h) return "size";
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const uint32_t c = want(x, y);
            const uint8_t* p = d.At(x, y);
            const bool same = (c >> 24) == 0 ? p[3] == 0
                                             : p[3] == 255 && p[0] == ((c >> 16) & 255) && p[1] == ((c >> 8) & 255) &&
                                                   p[2] == (c & 255);
            if (!same) return "pixel " + std::to_string(x) + "," + std::to_string(y);
        }
    return "";
}

uint32_t TwoHundredColours(int x, int y) {
    const uint32_t i = uint32_t(x * 7 + y * 13) % 200;
    return 0xFF000000u | (i * 37 % 256) << 16 | (i * 101 % 256) << 8 | (i * 53 % 256);
}

// Index noise: a deterministic generator over all 256 entries, which fills
// the LZW dictionary quickly and forces clear codes.
uint32_t NoisePixel(int x, int y) {
    uint32_t n = uint32_t(x) * 2654435761u ^ uint32_t(y) * 40503u;
    n ^= n >> 15;
    n *= 2246822519u;
    n ^= n >> 13;
    const uint32_t i = n & 255;
    return 0xFF000000u | i << 16 | (255 - i) << 8 | (i * 3 & 255);
}

TEST(GifWriter, PicturesWithFewColoursRoundTripExactly) {
    struct Case {
        const char* name;
        int w, h;
        wts::PixelFn fn;
        int tableBits;
    };
    const Case cases[] = {
        {"one pixel", 1, 1, [](int, int) { return 0xFF123456u; }, 1},
        {"two colours", 31, 7, [](int x, int y) { return (x ^ y) & 1 ? 0xFFFFFFFFu : 0xFF000000u; }, 1},
        {"long single-colour run", 3000, 4, [](int x, int) { return x < 2990 ? 0xFF00FF00u : 0xFF0000FFu; }, 1},
        {"200 colours", 120, 80, TwoHundredColours, 8},
        {"256 colours of noise", 300, 300, NoisePixel, 8},
        {"cut-outs", 40, 30, [](int x, int y) { return (x + y) % 7 == 0 ? 0u : TwoHundredColours(x, y) | 0xFF000000u; },
         8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        cImage32 img;
        ASSERT_TRUE(wts::MakeImage(img, c.w, c.h, c.fn));
        for (bool adaptive : {true, false}) {
            ByteArray gif;
            ASSERT_TRUE(img.SaveToStream_GIF(gif, adaptive));
            ASSERT_GT(gif.size(), 13u);
            EXPECT_EQ(std::string(gif.begin(), gif.begin() + 6), "GIF89a");
            EXPECT_EQ(gif[10] & 7, c.tableBits - 1);
            EXPECT_EQ(gif.back(), 0x3B);
            Decoded d;
            ASSERT_TRUE(DecodeStb(gif, d)) << stbi_failure_reason();
            EXPECT_EQ(Mismatch(d, c.w, c.h, c.fn), "");
            EXPECT_EQ(wts::OwnRoundTrip(img, gif), "");
        }
    }
}

TEST(GifWriter, OpaquenessToleranceDecidesTransparency) {
    // Alpha 0, 64, 127, 128, 200, 255 across the picture.
    const uint32_t alphas[] = {0, 64, 127, 128, 200, 255};
    cImage32 img;
    ASSERT_TRUE(wts::MakeImage(img, 6, 2, [&](int x, int) { return alphas[x] << 24 | 0x00C08040u; }));
    struct Case {
        int tolerance;
        int firstOpaque;  // column of the first opaque pixel
    };
    for (const Case c : {Case{128, 3}, Case{0, 1}, Case{1, 1}, Case{200, 4}, Case{256, 6}}) {
        SCOPED_TRACE(c.tolerance);
        ByteArray gif;
        ASSERT_TRUE(img.SaveToStream_GIF(gif, true, c.tolerance));
        Decoded d;
        ASSERT_TRUE(DecodeStb(gif, d));
        for (int x = 0; x < 6; ++x) {
            const uint8_t* p = d.At(x, 1);
            if (x < c.firstOpaque) {
                EXPECT_EQ(p[3], 0) << x;
                continue;
            }
            // Opaque pixels keep their straight colour (within the rounding of premultiplication).
            EXPECT_EQ(p[3], 255) << x;
            EXPECT_NEAR(p[0], 0xC0, 255.0 / alphas[x]) << x;
            EXPECT_NEAR(p[1], 0x80, 255.0 / alphas[x]) << x;
            EXPECT_NEAR(p[2], 0x40, 255.0 / alphas[x]) << x;
        }
    }
}

TEST(GifWriter, PhotographsAreReducedWithinTolerance) {
    cImage32 img;
    const int w = 320, h = 180;
    ASSERT_TRUE(wts::MakeImage(img, w, h, wts::PhotoPixel));
    std::vector<uint8_t> want;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const uint32_t c = wts::PhotoPixel(x, y);
            want.insert(want.end(), {uint8_t(c >> 16), uint8_t(c >> 8), uint8_t(c), 255});
        }
    double psnr[2];
    for (bool adaptive : {true, false}) {
        ByteArray gif;
        ASSERT_TRUE(img.SaveToStream_GIF(gif, adaptive));
        EXPECT_EQ(gif[10] & 7, 7);
        Decoded d;
        ASSERT_TRUE(DecodeStb(gif, d));
        ASSERT_EQ(d.rgba.size(), want.size());
        psnr[adaptive] = wts::Psnr(want.data(), d.rgba.data(), want.size());
    }
    EXPECT_GE(psnr[1], 32.0);  // median cut
    EXPECT_GE(psnr[0], 25.0);  // fixed cube
    EXPECT_GT(psnr[1], psnr[0] + 2.0);
}

TEST(GifWriter, LzwCodesDecodeForEveryCodeSize) {
    // Index streams of 1 ... 8 bits, wrapped in a minimal GIF so that a
    // reference decoder checks the code stream.
    for (int bits = 1; bits <= 8; ++bits) {
        SCOPED_TRACE(bits);
        const int w = 257, h = 61;
        std::vector<uint8_t> idx(size_t(w) * h);
        for (size_t i = 0; i < idx.size(); ++i) idx[i] = uint8_t((i * i / 7 + i / 300) % (1u << bits));
        ByteArray gif = {'G', 'I', 'F', '8', '9', 'a', uint8_t(w), uint8_t(w >> 8), uint8_t(h), 0,
                         uint8_t(0xF0 | (bits - 1)), 0, 0};
        for (int i = 0; i < (1 << bits); ++i) gif.insert(gif.end(), {uint8_t(i), uint8_t(255 - i), uint8_t(i / 2)});
        gif.insert(gif.end(), {0x2C, 0, 0, 0, 0, uint8_t(w), uint8_t(w >> 8), uint8_t(h), 0, 0});
        GifLzwEncode(idx.data(), idx.size(), std::max(2, bits), gif);
        gif.push_back(0x3B);
        Decoded d;
        ASSERT_TRUE(DecodeStb(gif, d)) << stbi_failure_reason();
        ASSERT_EQ(d.w, w);
        for (size_t i = 0; i < idx.size(); ++i) ASSERT_EQ(d.rgba[i * 4], idx[i]) << "pixel " << i;
    }
}

TEST(GifWriter, RefusesImagesGifCannotHold) {
    cGIFwriter writer;
    ByteArray gif{1};
    cImage32 none;
    EXPECT_FALSE(writer.Save("", gif, none, true, 128));
    EXPECT_TRUE(gif.empty());
    cImage32 wide;
    ASSERT_TRUE(wide.InitializeDIB(65536, 1));
    EXPECT_FALSE(wide.SaveToStream_GIF(gif));
}

}  // namespace
