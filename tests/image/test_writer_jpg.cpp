// JPEG writer: quality scaling, segment order, and decodes by TurboJPEG and stb_image.
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <stb/stb_image.h>

#include "WriterTestSupport.h"
#include "image/cImage32.h"
#include "image/cJPGWriter.h"

namespace {

struct Decoded {
    int w = 0, h = 0;
    std::vector<uint8_t> rgb;
};

bool DecodeTurbo(const ByteArray& jpg, Decoded& d) {
    tjhandle tj = tjInitDecompress();
    int sub = 0, cs = 0;
    bool ok = tjDecompressHeader3(tj, jpg.data(), jpg.size(), &d.w, &d.h, &sub, &cs) == 0;
    if (ok) {
        d.rgb.resize(size_t(d.w) * size_t(d.h) * 3);
        ok = tjDecompress2(tj, jpg.data(), jpg.size(), d.rgb.data(), d.w, 0, d.h, TJPF_RGB, TJFLAG_ACCURATEDCT) == 0;
    }
    tjDestroy(tj);
    return ok;
}

// PSNR of TurboJPEG's own encoding of the same RGB at the same quality and
// chroma sampling, as the yardstick for ours.
double TurboPsnr(const std::vector<uint8_t>& rgb, int w, int h, int quality) {
    tjhandle tj = tjInitCompress();
    unsigned char* buf = nullptr;
    unsigned long size = 0;
    const int samp = quality >= 90 ? TJSAMP_444 : TJSAMP_420;
    double psnr = 0;
    if (tjCompress2(tj, rgb.data(), w, 0, h, TJPF_RGB, &buf, &size, samp, quality, TJFLAG_ACCURATEDCT) == 0) {
        Decoded d;
        if (DecodeTurbo(ByteArray(buf, buf + size), d)) psnr = wts::Psnr(rgb.data(), d.rgb.data(), rgb.size());
    }
    tjFree(buf);
    tjDestroy(tj);
    return psnr;
}

// Straight RGB of the picture shown over a fill colour (0x00BBGGRR), top row first.
std::vector<uint8_t> ExpectedRgb(const cImage32& img, uint32_t fill = 0) {
    std::vector<uint8_t> rgb;
    for (int y = 0; y < img.Height(); ++y)
        for (int x = 0; x < img.Width(); ++x) {
            const uint8_t* p = img.Row(y) + size_t(x) * 4;
            const uint32_t inv = 255u - p[3];
            rgb.push_back(uint8_t(p[2] + ((fill & 255) * inv + 127) / 255));
            rgb.push_back(uint8_t(p[1] + (((fill >> 8) & 255) * inv + 127) / 255));
            rgb.push_back(uint8_t(p[0] + (((fill >> 16) & 255) * inv + 127) / 255));
        }
    return rgb;
}

TEST(JpegWriter, QualityScalingRoundsHalvesToEvenWithinOneTo255) {
    struct Case {
        uint32_t base;
        int quality;
        int expected;
    };
    const Case cases[] = {
        {16, 50, 16},  {11, 50, 12},  {10, 50, 10},  {99, 50, 100}, {121, 50, 122},  // b + 0.5, halves to even
        {2, 50, 2},    {3, 50, 4},                                                     // 2.5 -> 2, 3.5 -> 4
        {16, 100, 1},  {121, 100, 1}, {1, 100, 1},                                     // s = 0, raised to 1
        {16, 25, 32},  {121, 25, 242}, {200, 25, 255},                                 // doubled, limited to 255
        {50, 16, 156},                           // s = round(312.5) = 312: 156.5 -> 156
        {16, 10, 80},                            // s = 500: 80.5 -> 80
        {16, 75, 8},   {11, 75, 6},              // s = 50: 8.5 -> 8, 6 -> 6
        {1, 90, 1},    {99, 90, 20},             // s = 20: 0.7 -> 1, 20.3 -> 20
        {16, 1, 255},  {16, 255, 1},  {16, 0, 255},  // extremes; 0 behaves as 1
    };
    for (const Case& c : cases)
        EXPECT_EQ(cJPGWriter::ScaleQuantizationEntry(c.base, uint8_t(c.quality)), c.expected)
            << "base " << c.base << " quality " << c.quality;
}

TEST(JpegWriter, ScaledTablesAreInZigzagOrder) {
    cJPGWriter w;
    const auto lum = w.ScaledTable(0, 50);
    const std::vector<uint8_t> lumHead(lum.begin(), lum.begin() + 10);
    EXPECT_EQ(lumHead, (std::vector<uint8_t>{16, 12, 12, 14, 12, 10, 16, 14, 14, 14}));
    EXPECT_EQ(lum[63], 100);  // 99 + 0.5 -> 100
    const auto chrom = w.ScaledTable(1, 25);
    EXPECT_EQ(chrom[0], 34);
    EXPECT_EQ(chrom[1], 36);
    EXPECT_EQ(chrom[63], 198);
}

TEST(JpegWriter, SegmentsComeInJfifOrder) {
    cImage32 img;
    ASSERT_TRUE(wts::MakeImage(img, 33, 17, wts::PhotoPixel));
    ByteArray jpg;
    ASSERT_TRUE(img.SaveToStream_JPG(jpg, 60));
    ASSERT_GE(jpg.size(), 4u);
    EXPECT_EQ(jpg[0], 0xFF);
    EXPECT_EQ(jpg[1], 0xD8);
    EXPECT_EQ(jpg[jpg.size() - 2], 0xFF);
    EXPECT_EQ(jpg[jpg.size() - 1], 0xD9);
    std::vector<int> markers;
    size_t pos = 2;
    cJPGWriter w;
    while (pos + 4 <= jpg.size() && jpg[pos] == 0xFF) {
        const int m = jpg[pos + 1];
        const size_t len = size_t(jpg[pos + 2]) << 8 | jpg[pos + 3];
        markers.push_back(m);
        if (m == 0xE0) {
            EXPECT_EQ(len, 16u);
            EXPECT_EQ(std::string(jpg.begin() + ptrdiff_t(pos + 4), jpg.begin() + ptrdiff_t(pos + 9)),
                      std::string("JFIF\0", 5));
            const std::vector<uint8_t> rest(jpg.begin() + ptrdiff_t(pos + 9), jpg.begin() + ptrdiff_t(pos + 18));
            EXPECT_EQ(rest, (std::vector<uint8_t>{1, 1, 0, 0, 1, 0, 1, 0, 0}));
        }
        if (m == 0xDB) {
            const int t = jpg[pos + 4];
            const auto expect = w.ScaledTable(t, 60);
            EXPECT_TRUE(std::equal(expect.begin(), expect.end(), jpg.begin() + ptrdiff_t(pos + 5))) << "table " << t;
        }
        if (m == 0xDA) break;
        pos += 2 + len;
    }
    EXPECT_EQ(markers, (std::vector<int>{0xE0, 0xDB, 0xDB, 0xC0, 0xC4, 0xC4, 0xC4, 0xC4, 0xDA}));
}

TEST(JpegWriter, DecodesWithinPsnrBoundsAtSeveralQualities) {
    struct Case {
        int w, h, quality;
        double minPsnr;
    };
    // Odd sizes exercise the padding of partial blocks; 90 and up keep full
    // chroma resolution, below that 4:2:0. The noisy test picture is hard to
    // compress, hence the modest floors; the comparison with TurboJPEG at the
    // same settings is the stricter bound.
    const Case cases[] = {{1, 1, 90, 36.0}, {37, 23, 90, 36.0}, {160, 90, 90, 36.0},
                          {161, 91, 70, 31.0}, {64, 64, 100, 45.0}, {50, 30, 20, 25.0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " q" << c.quality);
        cImage32 img;
        ASSERT_TRUE(wts::MakeImage(img, c.w, c.h, wts::PhotoPixel));
        ByteArray jpg;
        ASSERT_TRUE(img.SaveToStream_JPG(jpg, c.quality));
        Decoded d;
        ASSERT_TRUE(DecodeTurbo(jpg, d));
        ASSERT_EQ(d.w, c.w);
        ASSERT_EQ(d.h, c.h);
        const auto want = ExpectedRgb(img);
        const double psnr = wts::Psnr(want.data(), d.rgb.data(), want.size());
        EXPECT_GE(psnr, c.minPsnr);
        // A single pixel's error is too coarse for a comparison in decibels.
        if (c.w * c.h >= 64) {
            EXPECT_GE(psnr, TurboPsnr(want, c.w, c.h, c.quality) - 0.5);
        }

        int sw = 0, sh = 0, comp = 0;
        stbi_uc* s = stbi_load_from_memory(jpg.data(), int(jpg.size()), &sw, &sh, &comp, 3);
        ASSERT_NE(s, nullptr) << stbi_failure_reason();
        EXPECT_GE(wts::Psnr(want.data(), s, want.size()), c.minPsnr - 1.0);
        stbi_image_free(s);
    }
}

// The output bytes are observable (files the engine leaves), so any change
// to the transform or the coder must keep them exactly. Digests of the
// writer's output: opaque and partly transparent photos at both chroma
// samplings, odd sizes, and pixels whose colour exceeds their alpha (which
// only the coefficient limits keep in range).
TEST(JpegWriter, OutputBytesStayExactlyTheSame) {
    auto fnv = [](const ByteArray& b) {
        uint64_t h = 1469598103934665603ull;
        for (uint8_t c : b) h = (h ^ c) * 1099511628211ull;
        return h;
    };
    const wts::PixelFn photo = wts::PhotoPixel;
    const wts::PixelFn fading = [](int x, int y) {
        return (wts::PhotoPixel(x, y) & 0xFFFFFFu) | uint32_t(std::clamp(x * 7 - y * 3, 0, 255)) << 24;
    };
    struct Case {
        int w, h, quality;
        uint32_t fill;
        const wts::PixelFn* pixels;  // null: raw bytes, most of them invalid premultiplied pixels
        size_t size;
        uint64_t digest;
    };
    const Case cases[] = {
        {1920, 1080, 90, 0, &photo, 616099, 0x22c0d04d298ba00cull},
        {161, 91, 70, 0, &photo, 2296, 0x7382c3feac142325ull},
        {37, 23, 100, 0, &photo, 1489, 0x71783c921e428adaull},
        {8, 8, 1, 0, &photo, 630, 0xe231cf0ebcc0ab4eull},
        {75, 41, 95, 0x3366CC, &fading, 1857, 0x0f4b2dd0a6317fb4ull},
        {75, 41, 50, 0xFFFFFF, &fading, 814, 0xc743e4c424169617ull},
        {40, 24, 90, 0, nullptr, 2382, 0x4a4a20cfe6ca3d31ull},
        {40, 24, 30, 0x123456, nullptr, 1012, 0xbbc99855bac9f7dfull},
    };
    for (const Case& c : cases) {
        cImage32 img;
        if (c.pixels) {
            ASSERT_TRUE(wts::MakeImage(img, c.w, c.h, *c.pixels));
        } else {
            ASSERT_TRUE(img.InitializeDIB(c.w, c.h));
            uint32_t seed = 99;
            for (size_t i = 0; i < size_t(c.w) * size_t(c.h) * 4; ++i)
                img.BitsPointer()[i] = uint8_t((seed = seed * 1664525u + 1013904223u) >> 24);
        }
        ByteArray jpg;
        ASSERT_TRUE(cJPGWriter().Save("", jpg, img, uint8_t(c.quality), c.fill));
        EXPECT_EQ(jpg.size(), c.size) << c.w << "x" << c.h << " q" << c.quality;
        EXPECT_EQ(fnv(jpg), c.digest) << c.w << "x" << c.h << " q" << c.quality;
    }
}

TEST(JpegWriter, TransparentPixelsShowTheFillColour) {
    // Left third transparent, middle half transparent, right opaque grey.
    cImage32 img;
    ASSERT_TRUE(wts::MakeImage(img, 48, 16, [](int x, int) {
        return x < 16 ? 0u : x < 32 ? 0x80FFFFFFu : 0xFF404040u;
    }));
    const uint32_t fill = 0x0000FF;  // red
    cJPGWriter w;
    ByteArray jpg;
    ASSERT_TRUE(w.Save("", jpg, img, 95, fill));
    Decoded d;
    ASSERT_TRUE(DecodeTurbo(jpg, d));
    const auto want = ExpectedRgb(img, fill);
    EXPECT_GE(wts::Psnr(want.data(), d.rgb.data(), want.size()), 35.0);
    const uint8_t* left = &d.rgb[(8 * 48 + 4) * 3];
    EXPECT_NEAR(left[0], 255, 4);
    EXPECT_NEAR(left[1], 0, 4);
    EXPECT_NEAR(left[2], 0, 4);

    // The file form takes the fill colour too.
    const std::string path = std::string(KIV_BINARY_DIR) + "/writer_jpg_test.jpg";
    std::remove(path.c_str());
    ASSERT_TRUE(img.SaveToFile_JPG(path, 95, fill, false));
    std::FILE* f = std::fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    ByteArray fromFile(jpg.size() + 1);
    fromFile.resize(std::fread(fromFile.data(), 1, fromFile.size(), f));
    std::fclose(f);
    EXPECT_EQ(fromFile, jpg);
    std::remove(path.c_str());
}

TEST(JpegWriter, RefusesWhatBaselineCannotHold) {
    cJPGWriter w;
    cImage32 none;
    ByteArray jpg{1};
    EXPECT_FALSE(w.Save("", jpg, none, 70, 0));
    EXPECT_TRUE(jpg.empty());
    cImage32 wide;
    ASSERT_TRUE(wide.InitializeDIB(65536, 1));
    EXPECT_FALSE(w.Save("", jpg, wide, 70, 0));
    EXPECT_FALSE(w.LastError().empty());
    cImage32 ok;
    ASSERT_TRUE(ok.InitializeDIB(65535, 1));
    EXPECT_TRUE(w.Save("", jpg, ok, 70, 0));
    EXPECT_TRUE(w.LastError().empty());
}

}  // namespace
