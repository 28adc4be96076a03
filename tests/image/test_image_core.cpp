// cImage32: life cycle, the loaders' rules, save-file handling; drawing,
// resampling and pixel operations against straightforward reference formulas.
#include <gtest/gtest.h>

#include <filesystem>
#include <numeric>
#include <random>

#include "image/ImageDialogs.h"
#include "image/ParallelRows.h"
#include "image/PixelKernels.h"
#include "tests/image/ImageCoreTestSupport.h"

using namespace ict;

namespace {

std::string ScratchDir(const std::string& name) {
    const std::string dir = std::string(KIV_BINARY_DIR) + "/test-scratch/" + name;
    return std::filesystem::remove_all(dir), std::filesystem::create_directories(dir), dir;
}

// A 1 x 1 24-bit bitmap of `size` bytes ending in its pixel row (B 0, G 1, R 2, padding).
ByteArray TinyBmp(uint32_t size) {
    ByteArray b = MakeBmp(1, 1, 24, 0, {});
    b.resize(size, 0);
    Put32(b, 2, size);
    Put32(b, 10, size - 4);
    b[size - 3] = 1;
    b[size - 2] = 2;
    return b;
}

std::mt19937 rng(7);
uint32_t Random(int = 0, int = 0) {  // premultiplied, a quarter opaque, some clear
    const unsigned a = rng() % 4 == 0 ? 255 : (rng() % 4 == 0 ? 0 : rng() % 256);
    auto c = [&] { return a ? unsigned(rng() % (a + 1)) : 0u; };
    return Argb(a, c(), c(), c());
}

// Source-over of premultiplied s on d at opacity op (0..255), per byte.
uint32_t ReferenceBlend(uint32_t d, uint32_t s, unsigned op, bool useAlpha = true) {
    const unsigned a = useAlpha ? s >> 24 : 255, ap = a * op / 255;
    if (a == 0) return d;
    if (op == 255 && a == 255) return s;
    uint32_t out = 0;
    for (int k = 0; k < 4; ++k)
        out |= (op == 255 ? Ch(s, k) + (255 - a) * Ch(d, k) / 255 : ((255 - ap) * Ch(d, k) + Ch(s, k) * op) / 255)
               << (8 * k);
    return out;
}

enum Filter { kNearest, kOwnNearest, kOwnLinear, kBicubic };

// Source pixels and weights of output o when n pixels are drawn as m, by the filters' definitions.
std::vector<std::pair<int, double>> Taps(Filter f, int n, int m, int o) {
    const double scale = double(n) / m;
    std::vector<std::pair<int, double>> w;
    if (f == kNearest) w = {{std::min(int((o + 0.5) * scale), n - 1), 1.0}};
    if (f == kOwnNearest) w = {{int(int64_t(o) * n / m), 1.0}};
    if (const double s = o * scale; f == kOwnLinear) {
        const int i = std::min(int(s), n - 1);
        w = {{i, 1.0 - (s - i)}, {std::min(i + 1, n - 1), s - i}};
    }
    if (f == kBicubic) {  // Keys' cubic, a = -0.5, widened by the shrink factor
        const double c = (o + 0.5) * scale, wide = std::max(scale, 1.0);
        for (int i = int(std::floor(c - 2 * wide)); i < std::ceil(c + 2 * wide); ++i) {
            const double x = std::fabs(i + 0.5 - c) / wide;
            const double k = x < 1 ? (1.5 * x - 2.5) * x * x + 1 : x < 2 ? ((-0.5 * x + 2.5) * x - 4) * x + 2 : 0;
            if (i >= 0 && i < n) w.push_back({i, k});
        }
    }
    const double sum = std::accumulate(w.begin(), w.end(), 0.0, [](double a, const auto& t) { return a + t.second; });
    for (auto& t : w) t.second /= sum;  // weights of pixels outside the span left out
    return w;
}

// The picture drawn as w x h (negative: mirrored first, then scaled), colours limited to their alpha.
std::vector<uint32_t> Resampled(const cImage32& src, Filter f, int w, int h) {
    const int aw = std::abs(w), ah = std::abs(h), sw = src.Width(), sh = src.Height();
    std::vector<uint32_t> out;
    for (int y = 0; y < ah; ++y)
        for (int x = 0; x < aw; ++x) {
            double c[4] = {};
            for (const auto& [j, wy] : Taps(f, sh, ah, y))
                for (const auto& [i, wx] : Taps(f, sw, aw, x))
                    for (int k = 0; k < 4; ++k) c[k] += wy * wx * Ch(Px(src, w < 0 ? sw - 1 - i : i, h < 0 ? sh - 1 - j : j), k);
            const long a = std::clamp(std::lround(c[3]), 0L, 255L);
            uint32_t p = uint32_t(a) << 24;
            for (int k = 0; k < 3; ++k) p |= uint32_t(std::clamp(std::lround(c[k]), 0L, a)) << (8 * k);
            out.push_back(p);
        }
    return out;
}

}  // namespace

TEST(Image32, DefaultsSizesEraseAndDestroy) {
    cImage32 img;
    EXPECT_EQ(img.CapabilityFlags(), 1 + 2 + 8 + 64);
    EXPECT_TRUE(img.isAlphaBlendFriendly() && img.isGDIplusEnabled() && img.HighQualityInterpolation() && !img.BitsPointer());
    EXPECT_EQ(img.ImageType() * 10 + img.Alpha(), -10);
    // Sizes, and what comes of them (0 x 0: refused); 2^28 pixels at most.
    const int cases[][4] = {{100, -50, 100, 50}, {0, 10, 0, 0}, {10, 0, 0, 0}, {-3, 4, 0, 0}, {1, 1, 1, 1},
                            {1 << 14, 1 << 14, 1 << 14, 1 << 14}, {(1 << 14) + 1, 1 << 14, 0, 0}, {17, 15790321, 0, 0},
                            {INT32_MAX, INT32_MAX, 0, 0}, {5, INT32_MIN, 0, 0}};
    for (const auto& c : cases) {
        cImage32 sized;
        EXPECT_EQ(sized.InitializeDIB(c[0], c[1]), c[2] > 0) << c[0] << "x" << c[1];
        EXPECT_EQ(sized.Width() * 100000 + sized.Height(), c[2] * 100000 + c[3]) << c[0] << "x" << c[1];
        const bool small = c[2] > 0 && c[0] < 1000;  // blank, ImageType 0, Alpha 1
        EXPECT_EQ(small ? Diff(sized, std::vector<uint32_t>(size_t(c[2] * c[3]), 0), c[2]) + std::to_string(sized.ImageType() * 10 + sized.Alpha()) : "1", "1");
    }
    Make(img, 3, 2, [](int, int) { return 0xFF102030u; }).SetImageType(7);
    img.Alpha(2);
    img.EraseDIB();
    EXPECT_EQ(Diff(img, std::vector<uint32_t>(6, 0), 3) + std::to_string(img.ImageType() * 10 + img.Alpha()), "1");
    img.DestroyDIB();
    EXPECT_EQ(img.HasImage() + img.Width() + img.Height() + img.ImageType() * 10 + img.Alpha(), -10);
}

TEST(Image32Loading, StreamFileRangeAndKeptBytes) {
    const ByteArray bmp = TinyBmp(57);
    cImage32 img;
    ASSERT_TRUE(img.LoadPicture_Stream(bmp));
    EXPECT_EQ(Diff(img, {Argb(255, 2, 1, 0)}, 1), "");
    EXPECT_FALSE(img.LoadPicture_Stream(ByteArray{}) || img.HasImage());  // a failed load leaves no image
    EXPECT_FALSE(img.LoadPicture_Stream(bmp, 32, 32, 0, 19) || img.LoadPicture_Stream(bmp, 32, 32, bmp.size()) ||
                 img.LoadPicture_Stream(bmp, 32, 32, 10, bmp.size()));  // too short; start, range past the end
    EXPECT_TRUE(img.LoadPicture_Stream(bmp, -5, -5, 0, 0, false, 40));  // bad icon sizes and depth are normalised
    ByteArray padded = bmp, kept;  // a range of a stream keeps only that range; length 0: to the end
    padded.insert(padded.begin(), 5, 0);
    EXPECT_TRUE(img.LoadPicture_Stream(padded, 32, 32, 5, 0, true) && img.GetOriginalFormat(kept) && kept == bmp);
    padded.insert(padded.end(), 11, 0xEE);
    EXPECT_TRUE(img.LoadPicture_Stream(padded, 32, 32, 5, bmp.size(), true) && img.GetOriginalFormat(kept) && kept == bmp);

    // A file must be longer than 56 bytes to reach the decoders.
    const std::string dir = ScratchDir("loading");
    ASSERT_TRUE(cImage32::WriteBytesToFile(dir + "/56.bmp", TinyBmp(56).data(), 56) &&
                cImage32::WriteBytesToFile(dir + "/57.bmp", bmp.data(), 57));
    EXPECT_TRUE(!img.LoadPicture_File(dir + "/56.bmp") && img.LoadPicture_File(dir + "/57.bmp"));
    for (const std::string& bad : {dir + "/missing.bmp", dir, std::string()}) EXPECT_FALSE(img.LoadPicture_File(bad)) << bad;
    img.isGDIplusEnabled(false);  // JPEG goes through the picture loader also without the drawing engine
    ASSERT_TRUE(img.LoadPicture_File(TestData("libjpeg-turbo/testorig.jpg")));
    EXPECT_EQ((std::vector<int>{img.ImageType(), img.Alpha(), img.Width(), img.Height()}), (std::vector<int>{1, 0, 227, 149}));
    // A file's bytes, kept, reload the same picture.
    const std::string path = TestData("bmpsuite/g/pal8.bmp");
    cImage32 plain;
    ASSERT_TRUE(img.LoadPicture_File(path, 32, 32, true) && img.GetOriginalFormat(kept));
    EXPECT_EQ(kept, ReadFile(path));
    const std::vector<uint32_t> before = Pixels(img);
    EXPECT_EQ((img.LoadPicture_FromOriginalFormat(), Diff(img, before, img.Width())), "");
    EXPECT_TRUE(img.GetOriginalFormat(kept));  // reloading keeps them again
    EXPECT_FALSE(!plain.LoadPicture_File(path) || plain.GetOriginalFormat(kept));
}

TEST(Image32Saving, OverwriteQuestionAndFileHandling) {
    const std::string dir = ScratchDir("saving"), path = dir + "/out.bmp";
    cImage32 img;
    ASSERT_TRUE(cImage32::WriteBytesToFile(path, reinterpret_cast<const uint8_t*>("old"), 3));
    ASSERT_TRUE(img.InitializeDIB(2, 2));
    EXPECT_FALSE(img.SaveToFile_Bitmap(path));  // nobody to ask means no
    int asked = 0;
    bool answer = false;
    SetImageQuestionHook([&](const std::string& text, const std::string& title) {
        EXPECT_EQ(text + "|" + title, "Overwrite existing file?|Overwrite Confirmation");
        return ++asked, answer;
    });
    EXPECT_FALSE(img.SaveToFile_Bitmap(path) || ReadFile(path) != ByteArray({'o', 'l', 'd'}));
    answer = true;
    EXPECT_TRUE(img.SaveToFile_Bitmap(path) && ReadFile(path).size() == 138u + 16u);
    EXPECT_TRUE(img.SaveToFile_Bitmap(path, false, 0, false) && asked == 2);  // without the prompt: replaced without asking
    EXPECT_FALSE(img.SaveToFile_Bitmap("") || cImage32().SaveToFile_Bitmap(dir + "/none.bmp"));
    // A folder of that name is never removed.
    std::filesystem::create_directory(dir + "/folder.bmp");
    EXPECT_FALSE(img.SaveToFile_Bitmap(dir + "/folder.bmp", false, 0, false) || !std::filesystem::is_directory(dir + "/folder.bmp"));
    SetImageQuestionHook({});
}

TEST(BlendKernel, MatchesTheReferenceFormulaForEveryOpacity) {
    for (unsigned op : {255u, 254u, 191u, 127u, 1u})
        for (bool useAlpha : {true, false}) {
            std::vector<uint32_t> src(37), dst(37), want(37);  // a vector body and a tail; runs take the shortcuts
            for (size_t i = 0; i < src.size(); ++i) {
                src[i] = i >= 8 && i < 16 ? Argb(255, 10, 20, 30) : i >= 16 && i < 24 ? 0 : Random();
                want[i] = ReferenceBlend(dst[i] = Random(), src[i], op, useAlpha);
            }
            BlendRow(reinterpret_cast<uint8_t*>(dst.data()), reinterpret_cast<const uint8_t*>(src.data()), 37, op, useAlpha);
            EXPECT_EQ(dst, want) << "op=" << op << " alpha=" << useAlpha;
        }
}

TEST(Render, OneToOneBlitOpacityAndSourceRectangles) {
    cImage32 src, dst, before, none;
    Make(src, 19, 7, Random);
    for (int opacity : {100, 50, 150, 33}) {  // 150 draws at 50 %
        Make(before, 23, 9, Random);
        Make(dst, 23, 9, [&](int x, int y) { return Px(before, x, y); });
        ASSERT_TRUE(src.Render(nullptr, 2, 1, 0, 0, 0, 0, 0, 0, opacity, true, true, &dst));
        const unsigned op = unsigned((opacity % 100 == 0 ? 100 : opacity % 100) * 255 / 100);
        EXPECT_EQ(Diff(dst, Pixels(23, 9, [&](int x, int y) {
                      const bool inside = x >= 2 && x < 21 && y >= 1 && y < 8;
                      return inside ? ReferenceBlend(Px(before, x, y), Px(src, x - 2, y - 1), op) : Px(before, x, y);
                  }), 23), "") << opacity;
    }
    const std::vector<uint32_t> drawn = Pixels(dst);  // none of what follows draws
    const DeviceContext empty;
    for (int opacity : {0, -5})  // nothing to do: true with an image
        EXPECT_TRUE(src.Render(nullptr, 0, 0, 0, 0, 0, 0, 0, 0, opacity, true, true, &dst) &&
                    !none.Render(nullptr, 0, 0, 0, 0, 0, 0, 0, 0, opacity, true, true, &dst));
    EXPECT_FALSE(none.Render(nullptr, 0, 0, 0, 0, 0, 0, 0, 0, 100, true, true, &dst) || src.Render(nullptr) || src.Render(&empty));
    // A source rectangle outside the picture: nothing drawn, false on every path.
    for (float angle : {0.0f, 30.0f})
        EXPECT_FALSE(src.Render(nullptr, 0, 0, 0, 0, 19, 0, 0, 0, 100, true, true, &dst, -1, 0, angle) ||
                     src.Render(nullptr, 0, 0, 0, 0, 0, 7, 0, 0, 100, true, true, &dst, 0, 0, angle));
    EXPECT_EQ(Pixels(dst), drawn);
}

TEST(Render, IntoATopDownSurfaceClippedAtItsEdgesAndCentred) {
    cImage32 src;
    Make(src, 3, 2, [](int x, int y) { return Argb(255, 10 * x, 10 * y, 7); });
    std::vector<uint32_t> surface(4 * 3, 0);
    const DeviceContext dc = DeviceContext::TopDown(reinterpret_cast<uint8_t*>(surface.data()), 4, 3, 16);
    ASSERT_TRUE(src.Render(&dc, -1, 2));  // half off the left and the bottom edge
    EXPECT_EQ(surface, (std::vector<uint32_t>{0, 0, 0, 0, 0, 0, 0, 0, Argb(255, 10, 0, 7), Argb(255, 20, 0, 7), 0, 0}));
    EXPECT_TRUE(src.Render(&dc, 100, 100));  // entirely off the target: nothing to do, no failure
    // CenterOnDestXY puts the middle of the picture at (destX, destY): 3 div 2 = 1, 2 div 2 = 1.
    ASSERT_TRUE(src.Render(&dc, 2, 1, 0, 0, 0, 0, 0, 0, 100, true, true, nullptr, -1, 0, 0, true));
    EXPECT_EQ(std::vector<uint32_t>(surface.begin(), surface.begin() + 8),
              (std::vector<uint32_t>{0, Argb(255, 0, 0, 7), Argb(255, 10, 0, 7), Argb(255, 20, 0, 7), 0, Argb(255, 0, 10, 7), Argb(255, 10, 10, 7), Argb(255, 20, 10, 7)}));
}

TEST(Render, QuarterTurnsClockwise) {
    cImage32 src, dst;
    // A 4 x 2 picture turned about the centre of its rectangle (4, 3) covers x 3..4, y 1..4, its top left at the top right.
    Make(src, 4, 2, [](int x, int y) { return Argb(255, 40 * x + 10, 100 * y + 10, 0); });
    for (bool hq : {true, false}) {
        src.HighQualityInterpolation(hq);
        ASSERT_TRUE(src.Render(nullptr, 2, 2, 0, 0, 0, 0, 0, 0, 100, true, true, &Make(dst, 8, 6, Clear), -1, 0, 90));
        for (int y = 0; y < 6; ++y)
            for (int x = 0; x < 8; ++x) {
                const uint32_t got = Px(dst, x, y), want = x >= 3 && x <= 4 && y >= 1 && y <= 4 ? Px(src, y - 1, 4 - x) : 0;
                for (int k = 0; k < 4; ++k) ASSERT_NEAR(Ch(got, k), Ch(want, k), 2) << hq << " at " << x << "," << y;
            }
    }
}

// Resize and stretched draws on every path against the filters' definitions: enlarged, shrunk
// (the filter widens: no aliasing), mirrored; tolerance 255: a sharp alpha edge, kept within alpha.
TEST(Resample, EveryPathMatchesItsFilter) {
    struct Case { bool render, hq, gdi; Filter filter; int w, h, outW, outH, tolerance; } cases[] = {
        {false, true, true, kBicubic, 7, 5, 23, 17, 2},      {false, true, true, kBicubic, 264, 132, 12, 6, 2},
        {false, true, true, kBicubic, 13, 8, -9, -6, 2},     {false, true, false, kOwnLinear, 7, 5, 23, 17, 1},
        {false, true, false, kOwnLinear, 13, 8, -9, -6, 1},  {false, false, true, kNearest, 7, 5, 23, 17, 0},
        {false, false, false, kOwnNearest, 13, 8, 9, 6, 0},  {false, false, true, kOwnNearest, 13, 8, -9, 6, 0},
        {true, true, true, kBicubic, 7, 5, 23, 17, 2},       {true, true, true, kBicubic, 13, 8, -9, -6, 2},
        {true, false, true, kNearest, 7, 5, 23, 17, 0},      {true, false, false, kOwnNearest, 13, 8, -29, 6, 0},
        {true, true, false, kOwnLinear, 7, 5, 23, 17, 1},    {true, true, false, kOwnLinear, 13, 8, 9, -6, 1},
        {false, true, true, kBicubic, 6, 6, 41, 37, 255},    {true, true, true, kBicubic, 6, 6, 41, 37, 255},
        {true, false, false, kOwnNearest, 2, 3, -3, -7, 0},  {false, false, false, kOwnNearest, 3, 2, -7, -3, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.render << c.hq << c.gdi << " " << c.outW << "x" << c.outH);
        cImage32 src, out;
        Make(src, c.w, c.h, [&](int x, int y) {
            const unsigned a = 80 + rng() % 146, v = 30 + rng() % (a - 59);  // clear of 0 and 255 by more than any overshoot
            return c.tolerance == 255 ? ((x + y) % 3 ? Argb(255, 255, 255, 0) : 0u) : Argb(a, v, a - v, (a + v) / 4);
        });
        if (!c.render) Make(out, c.w, c.h, [&](int x, int y) { return Px(src, x, y); });
        for (cImage32* i : {&src, &out}) i->HighQualityInterpolation(c.hq), i->isGDIplusEnabled(c.gdi);
        // A negative source size mirrors the drawn rectangle.
        ASSERT_TRUE(c.render ? src.Render(nullptr, 0, 0, std::abs(c.outW), std::abs(c.outH), 0, 0, c.outW < 0 ? -c.w : 0, c.outH < 0 ? -c.h : 0,
                                          100, true, true, &Make(out, std::abs(c.outW), std::abs(c.outH), Clear))
                             : out.Resize(c.outW, c.outH));
        const std::vector<uint32_t> got = Pixels(out), want = Resampled(src, c.filter, c.outW, c.outH);
        ASSERT_EQ(got.size(), want.size());
        for (size_t i = 0; i < got.size(); ++i)
            for (int k = 0; k < 4; ++k) {
                ASSERT_NEAR(Ch(got[i], k), Ch(want[i], k), c.tolerance) << "pixel " << i << " byte " << k;
                ASSERT_LE(Ch(got[i], k), Ch(got[i], 3)) << "pixel " << i;
            }
    }
}

TEST(Resample, ManyCoresGiveTheOneCoreResult) {
    cImage32 src, many, one;
    Make(src, 1200, 700, [](int x, int y) { return Premul(PhotoPixel(x, y) & ((x ^ y) & 1 ? 0x80FFFFFFu : ~0u)); });
    for (bool hq : {true, false}) {
        src.HighQualityInterpolation(hq);
        ASSERT_TRUE(src.CopyImageTo(many, 1100, 650));
        const SerialRows serial;
        ASSERT_TRUE(src.CopyImageTo(one, 1100, 650));
        EXPECT_TRUE(Pixels(many) == Pixels(one)) << hq;
    }
}

TEST(ScaleImage, FittedSizes) {
    cImage32 img;
    int w = -1, h = -1;
    img.ScaleImage(10, 10, w, h);  // no image: nothing written
    ASSERT_EQ(w, Make(img, 400, 300, Random).Width() - 401);
    const int cases[][5] = {{800, 600, 1, 400, 300}, {800, 600, 0, 800, 600}, {200, 200, 1, 200, 150}, {200, 200, 0, 200, 150},
                            {123, 77, 2, 123, 77},   {1, 1, 3, 400, 300},     {1, 1, -4, 400, 300},    {800, 100, 1, 133, 100}};
    for (const auto& c : cases)
        EXPECT_EQ((img.ScaleImage(c[0], c[1], w, h, c[2]), w * 100000 + h), c[3] * 100000 + c[4]) << c[0] << "x" << c[1] << " mode " << c[2];
}

// Resize and a copy keep type, alpha class and tag, the copy its own settings; the same size keeps the storage.
// Mirroring on each axis.
TEST(ResizeCopyMirror, FieldsAndPixels) {
    cImage32 img, dst;
    EXPECT_FALSE(img.Resize(4, 4) || img.CopyImageTo(dst) || img.MirrorImage(true, true));
    Make(img, 4, 1, [](int x, int) { return Argb(128, x * 40, 0, 0); });
    img.SetImageType(9);
    img.Alpha(2);
    img.Tag(std::string("mine"));
    img.SetOriginalFormat(ByteArray{1, 2, 3});
    img.HighQualityInterpolation(false);
    ByteArray kept;
    for (int width : {0, 8}) {  // nearest neighbour: doubling repeats each pixel
        ASSERT_TRUE(img.CopyImageTo(Make(dst, 1, 1, Random), width, 0, width));
        EXPECT_EQ(Diff(dst, Pixels(width ? 8 : 4, 1, [&](int x, int) { return Px(img, width ? x / 2 : x, 0); }), width ? 8 : 4), "");
        EXPECT_TRUE(dst.ImageType() * 10 + dst.Alpha() == 92 && dst.GetOriginalFormat(kept) == (width > 0) && dst.HighQualityInterpolation());
    }
    EXPECT_TRUE(kept == ByteArray({1, 2, 3}) && !img.CopyImageTo(img));
    const uint8_t* before = img.BitsPointer();
    EXPECT_TRUE(img.Resize(4, 1) && img.Resize(0, 0) && img.BitsPointer() == before);
    EXPECT_FALSE(img.Resize(INT32_MIN, 4));
    ASSERT_TRUE(img.Resize(2, 3));
    EXPECT_EQ(std::to_string(img.ImageType() * 10 + img.Alpha()) + std::any_cast<std::string>(img.Tag()), "92mine");
    Make(img, 3, 3, [](int x, int y) { return Argb(255, x, y, 0); });
    for (int axes = 0; axes < 4; ++axes) {
        ASSERT_TRUE(img.CopyImageTo(dst) && dst.MirrorImage(axes & 1, axes & 2));
        EXPECT_EQ(Diff(dst, Pixels(3, 3, [&](int x, int y) { return Px(img, axes & 1 ? 2 - x : x, axes & 2 ? 2 - y : y); }), 3), "");
    }
}

// An opaque, a half-transparent and a clear pixel through the pixel operations and a draw's grey
// and light (the drawing engine's colour matrix and, with it disabled, the own path).
TEST(PixelOps, GreyLightBlendAndOpaque) {
    auto run = [](char op, float v, cImage32& img) {
        cImage32 dst;
        switch (op) {
            case 'g': return img.MakeGrayScale(int(v));
            case 'l': return img.MakeLighterDarker(v);
            case 'b': return v ? img.BlendToColor(0x336699, int(v)) : img.BlendToColor(0x336699);
            case 'o': return img.RemoveAlpha() && img.Alpha() == 2;
        }
        return img.Render(nullptr, 0, 0, 0, 0, 0, 0, 0, 0, 100, true, true, &Make(dst, 3, 1, Clear), op == 'G' ? int(v) : -1,
                          op == 'L' ? v : 0) && dst.CopyImageTo(img);
    };
    const uint32_t a = Argb(255, 200, 100, 50), b = Argb(255, 100, 0, 250), half = Argb(128, 100, 20, 0);
    const uint32_t white = Argb(255, 255, 255, 255), halfWhite = Argb(128, 128, 128, 128), black = Argb(255, 0, 0, 0);
    // g grey, G drawn grey, l light, L drawn light, b blend toward 0x336699, o opaque
    struct Case { char op; float v; uint32_t first, want0, want1; } cases[] = {
        // 0.299 * 200 + 0.587 * 100 + 0.114 * 50 = 124.2; formulas outside -1..7 are formula 0.
        {'g', 0, a, Argb(255, 124, 124, 124), Argb(128, 42, 42, 42)}, {'G', 0, a, Argb(255, 124, 124, 124), Argb(128, 42, 42, 42)},
        {'g', 3, a, Argb(255, 175, 175, 175), Argb(128, 82, 82, 82)}, {'G', 3, a, Argb(255, 175, 175, 175), Argb(128, 82, 82, 82)},
        {'G', 9, a, Argb(255, 124, 124, 124), Argb(128, 42, 42, 42)},
        // Light 100: every colour reaches its alpha; out of range: none. 20 %: 51, at alpha 128 round(128 * 51) div 255.
        {'l', 100, b, white, halfWhite},    {'L', 100, a, white, halfWhite},  {'l', -100, b, black, Argb(128, 0, 0, 0)},
        {'l', 150, b, b, half},             {'L', 500, a, a, half},           {'o', 0, b, b, Argb(255, 100, 20, 0)},
        {'l', 20, b, Argb(255, 151, 51, 255), Argb(128, 125, 45, 25)}, {'L', 20, b, Argb(255, 151, 51, 255), Argb(128, 125, 45, 25)},
        {'l', -20, b, Argb(255, 49, 0, 199), Argb(128, 75, 0, 0)},
        // Toward R 0x99, G 0x66, B 0x33, 33 % by default: (100 * 67 + 153 * 33) / 100 = 117; alpha scales the colour.
        {'b', -3, b, b, half}, {'b', 100, b, Argb(255, 0x99, 0x66, 0x33), Argb(128, 76, 51, 25)},
        {'b', 250, b, Argb(255, 0x99, 0x66, 0x33), Argb(128, 76, 51, 25)}, {'b', 0, b, Argb(255, 117, 33, 184), Argb(128, 92, 30, 8)},
    };
    for (const Case& c : cases)
        for (bool gdi : {true, false}) {
            cImage32 img, none;
            Make(img, 3, 1, [&](int x, int) { return x == 0 ? c.first : x == 1 ? half : 0u; }).isGDIplusEnabled(gdi);
            ASSERT_TRUE(run(c.op, c.v, img)) << c.op << c.v;
            EXPECT_EQ(Diff(img, {c.want0, c.want1, c.op == 'o' ? black : 0u}, 3), "") << c.op << c.v << " gdi " << gdi;
            EXPECT_FALSE(run(c.op, c.v, none)) << c.op << c.v;
        }
}

TEST(DropShadow, RunningSumsEqualTheDirectWindowSumAndDepthIsClamped) {
    cImage32 img, none;
    EXPECT_EQ(none.CreateDropShadow(), nullptr);
    Make(img, 17, 11, Random);
    for (int depth : {-4, 0, 1, 3, 10, 11, 99}) {
        const int n = std::clamp(depth == 99 ? 4 : depth, 0, 10) * 2;
        const auto shadow = depth == 99 ? img.CreateDropShadow() : img.CreateDropShadow(depth, 0x204080);
        const uint32_t colour = depth == 99 ? 0xC0C0C0 : Argb(0, 0x80, 0x40, 0x20);  // 0x00BBGGRR given
        ASSERT_EQ(shadow->ImageType() * 10 + shadow->Alpha(), 72);
        EXPECT_EQ(Diff(*shadow, Pixels(17 + n, 11 + n, [&](int x, int y) {
                      unsigned sum = 0;
                      for (int j = std::max(y - n, 0); j <= std::min(y, 10); ++j)
                          for (int i = std::max(x - n, 0); i <= std::min(x, 16); ++i) sum += Ch(Px(img, i, j), 3);
                      return Premul(sum / unsigned((n + 1) * (n + 1)) << 24 | colour);
                  }), 17 + n), "") << depth;
    }
}
