// BMP decoding: the 32-bit path with its alpha analysis, the picture loader
// for every other depth, against stb_image and against hand-made files.
#include <gtest/gtest.h>
#include <stb/stb_image.h>

#include "image/PictureLoader.h"
#include "image/cBMPparser.h"
#include "tests/image/ImageCoreTestSupport.h"

using namespace ict;

namespace {

struct Reference {
    int w = 0, h = 0;
    std::vector<uint8_t> rgba;  // top row first
};

bool LoadReference(const ByteArray& bytes, Reference& ref) {
    int n = 0;
    stbi_uc* p = stbi_load_from_memory(bytes.data(), int(bytes.size()), &ref.w, &ref.h, &n, 4);
    if (!p) return false;
    ref.rgba.assign(p, p + size_t(ref.w) * size_t(ref.h) * 4);
    stbi_image_free(p);
    return true;
}

// Colours equal to the reference's (within `tolerance`), every pixel opaque.
void ExpectSameOpaquePixels(const cImage32& img, const Reference& ref, const std::string& name, int tolerance = 0) {
    ASSERT_EQ(img.Width(), ref.w) << name;
    ASSERT_EQ(img.Height(), ref.h) << name;
    int mismatches = 0;
    for (int y = 0; y < ref.h; ++y)
        for (int x = 0; x < ref.w; ++x) {
            const uint8_t* r = ref.rgba.data() + (size_t(y) * size_t(ref.w) + size_t(x)) * 4;
            const uint32_t p = Px(img, x, y);
            if (std::abs(int(R(p)) - r[0]) > tolerance || std::abs(int(G(p)) - r[1]) > tolerance ||
                std::abs(int(B(p)) - r[2]) > tolerance || A(p) != 255)
                ++mismatches;
        }
    EXPECT_EQ(mismatches, 0) << name;
}

bool SamePixels(const cImage32& a, const cImage32& b) {
    return a.Width() == b.Width() && a.Height() == b.Height() &&
           std::memcmp(a.BitsPointer(), b.BitsPointer(), size_t(a.scanWidth()) * size_t(a.Height())) == 0;
}

}  // namespace

// Every good file of the suite that the reference reads gives its pixels,
// opaque, with the loader's picture type.
TEST(BmpDecoder, GoodSuiteMatchesReferenceDecoder) {
    int compared = 0;
    for (const auto& path : ListFiles(TestData("bmpsuite/g"), {".bmp"})) {
        const ByteArray bytes = ReadFile(path);
        cImage32 img;
        ASSERT_TRUE(img.LoadPicture_File(path)) << path;
        Reference ref;
        if (!LoadReference(bytes, ref)) continue;  // RLE: compared below
        ExpectSameOpaquePixels(img, ref, path);
        EXPECT_EQ(img.ImageType(), 1) << path;
        EXPECT_EQ(img.Alpha(), 0) << path;
        ++compared;
    }
    EXPECT_GE(compared, 20);
}

TEST(BmpDecoder, ImageRsSetMatchesReferenceDecoder) {
    int compared = 0;
    for (const auto& path : ListFiles(TestData("image-rs/bmp"), {".bmp"})) {
        if (path.find("/bmp/Core") == std::string::npos && path.find("/bmp/Info") == std::string::npos &&
            path.find("/bmp/V") == std::string::npos)
            continue;
        // The reference keeps their alpha, which the 32-bit path premultiplies
        // (tested on its own) and 16-bit bit fields do not read.
        if (path.find("A8_R8") != std::string::npos || path.find("A1_R5") != std::string::npos ||
            path.find("A4_R4") != std::string::npos)
            continue;
        cImage32 img;
        ASSERT_TRUE(img.LoadPicture_File(path)) << path;
        Reference ref;
        const std::string name = std::filesystem::path(path).filename().string();
        ASSERT_TRUE(LoadReference(ReadFile(TestData("image-rs/bmp/reference/" + name + ".png")), ref)) << path;
        // 5- and 6-bit fields are widened by bit repetition here and by rounding in
        // some of the references: they may differ by one.
        ExpectSameOpaquePixels(img, ref, path, 1);
        ++compared;
    }
    EXPECT_GE(compared, 15);
}

// Run-length encoded and top-down files show the same picture as their
// plain bottom-up siblings in the suite.
TEST(BmpDecoder, RleAndTopDownEqualTheirPlainSiblings) {
    const std::pair<const char*, const char*> pairs[] = {
        {"bmpsuite/g/pal8rle.bmp", "bmpsuite/g/pal8.bmp"},
        {"bmpsuite/g/pal4rle.bmp", "bmpsuite/g/pal4.bmp"},
        {"bmpsuite/g/pal8topdown.bmp", "bmpsuite/g/pal8.bmp"},
        {"image-rs/bmp/Info_8_Bit_Top_Down.bmp", "image-rs/bmp/Info_8_Bit.bmp"},
        {"image-rs/bmp/Info_R8_G8_B8_Top_Down.bmp", "image-rs/bmp/Info_R8_G8_B8.bmp"},
        {"image-rs/bmp/Info_A8_R8_G8_B8_Top_Down.bmp", "image-rs/bmp/Info_A8_R8_G8_B8.bmp"},
    };
    for (const auto& [a, b] : pairs) {
        cImage32 ia, ib;
        ASSERT_TRUE(ia.LoadPicture_File(TestData(a))) << a;
        ASSERT_TRUE(ib.LoadPicture_File(TestData(b))) << b;
        EXPECT_TRUE(SamePixels(ia, ib)) << a << " vs " << b;
        EXPECT_EQ(ia.ImageType(), ib.ImageType()) << a;
    }
}

TEST(BmpDecoder, BadFilesFailCleanlyAndQuestionableOnesDecodeOrFail) {
    for (const auto& path : ListFiles(TestData("bmpsuite/b"), {".bmp"})) {
        cImage32 img;
        const bool ok = img.LoadPicture_File(path);
        // A few "bad" files only carry a wrong size field that nothing reads.
        if (ok) {
            EXPECT_GT(img.Width(), 0) << path;
        } else {
            EXPECT_FALSE(img.HasImage()) << path;
            EXPECT_EQ(img.ImageType(), -1) << path;
        }
    }
    for (const char* name : {"bmpsuite/b/badrle.bmp", "bmpsuite/b/badrle4.bmp", "bmpsuite/b/shortfile.bmp",
                             "bmpsuite/b/reallybig.bmp", "bmpsuite/b/badbitcount.bmp", "bmpsuite/b/rletopdown.bmp",
                             "bmpsuite/b/badwidth.bmp"}) {
        cImage32 img;
        EXPECT_FALSE(img.LoadPicture_File(TestData(name))) << name;
    }
    for (const auto& path : ListFiles(TestData("bmpsuite/q"), {".bmp"})) {
        cImage32 img;
        if (img.LoadPicture_File(path)) {
            EXPECT_GT(img.Width(), 0) << path;
            EXPECT_NE(img.ImageType(), -1) << path;
        } else {
            EXPECT_FALSE(img.HasImage()) << path;
        }
    }
}

// 32-bit bitmaps keep their alpha: straight when bit fields declare an
// alpha byte, classified by the alpha analysis in a plain (BI_RGB) file.
TEST(BmpDecoder, ThirtyTwoBitAlphaIsClassified) {
    const std::vector<uint32_t> bgra = {0xFF0000, 0xFF00, 0xFF, 0xFF000000};
    const std::vector<uint32_t> argb = {0xFF00, 0xFF0000, 0xFF000000, 0xFF};
    struct Case {
        const char* what;
        std::vector<uint8_t> pixel0, pixel1;  // B, G, R, A
        int imageType, alpha;
        std::vector<uint8_t> out0, out1;
        std::vector<uint32_t> alphaBitFields = {};  // red, green, blue, alpha masks
    } cases[] = {
        {"unused fourth byte", {10, 20, 30, 0}, {40, 50, 60, 0}, 1, 0, {10, 20, 30, 255}, {40, 50, 60, 255}},
        {"all opaque", {10, 20, 30, 255}, {40, 50, 60, 255}, 1, 0, {10, 20, 30, 255}, {40, 50, 60, 255}},
        {"valid premultiplied", {10, 20, 30, 128}, {0, 0, 0, 0}, 7, 2, {10, 20, 30, 128}, {0, 0, 0, 0}},
        {"on/off premultiplied", {10, 20, 30, 255}, {0, 0, 0, 0}, 7, 1, {10, 20, 30, 255}, {0, 0, 0, 0}},
        {"straight alpha", {200, 100, 50, 128}, {40, 50, 60, 0}, 6, 2, {100, 50, 25, 128}, {0, 0, 0, 0}},
        // Colour under a transparent pixel, then an opaque one: not premultiplied.
        {"colour under transparency", {9, 9, 9, 0}, {40, 50, 60, 255}, 6, 1, {0, 0, 0, 0}, {40, 50, 60, 255}},
        // Declared straight alpha needs no guess: colours within their alpha are premultiplied too.
        {"declared alpha, dark colour", {100, 50, 25, 200}, {0, 0, 0, 0}, 6, 2, {78, 39, 19, 200}, {0, 0, 0, 0}, bgra},
        {"declared alpha, on/off", {10, 20, 30, 255}, {7, 7, 7, 0}, 6, 1, {10, 20, 30, 255}, {0, 0, 0, 0}, bgra},
        {"declared alpha all 0 is unused", {10, 20, 30, 0}, {40, 50, 60, 0}, 1, 0, {10, 20, 30, 255},
         {40, 50, 60, 255}, bgra},
        // Other layouts go to the loader, which reads their colours, opaque.
        {"alpha in another byte", {100, 50, 25, 200}, {0, 0, 0, 0}, 1, 0, {200, 25, 50, 255}, {0, 0, 0, 255}, argb},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> row = c.pixel0;
        row.insert(row.end(), c.pixel1.begin(), c.pixel1.end());
        cImage32 img;
        // With BI_ALPHABITFIELDS the four masks follow the 40-byte header, where a palette would be.
        const uint32_t compression = c.alphaBitFields.empty() ? 0 : 6;
        ASSERT_TRUE(img.LoadPicture_Stream(MakeBmp(2, 1, 32, compression, {row}, c.alphaBitFields))) << c.what;
        EXPECT_EQ(img.ImageType(), c.imageType) << c.what;
        EXPECT_EQ(img.Alpha(), c.alpha) << c.what;
        const uint8_t* p = img.BitsPointer();
        EXPECT_EQ(std::vector<uint8_t>(p, p + 4), c.out0) << c.what;
        EXPECT_EQ(std::vector<uint8_t>(p + 4, p + 8), c.out1) << c.what;
    }
}

// A V5 file of another writer whose bit fields declare alpha: the
// reference's straight pixels, premultiplied.
TEST(BmpDecoder, DeclaredAlphaMatchesReferenceDecoder) {
    const ByteArray bytes = ReadFile(TestData("bmpsuite/q/rgba32-1.bmp"));
    cImage32 img;
    ASSERT_TRUE(img.LoadPicture_Stream(bytes));
    EXPECT_EQ(img.Alpha(), 2);
    Reference ref;
    ASSERT_TRUE(LoadReference(bytes, ref));
    ASSERT_EQ(img.Width(), ref.w);
    ASSERT_EQ(img.Height(), ref.h);
    int mismatches = 0;
    for (int y = 0; y < ref.h; ++y)
        for (int x = 0; x < ref.w; ++x) {
            const uint8_t* r = ref.rgba.data() + (size_t(y) * size_t(ref.w) + size_t(x)) * 4;
            const unsigned a = r[3];
            mismatches += Px(img, x, y) != Argb(a, r[0] * a / 255, r[1] * a / 255, r[2] * a / 255);
        }
    EXPECT_EQ(mismatches, 0);
}

TEST(BmpDecoder, HeaderRules) {
    const std::vector<uint8_t> row = {1, 2, 3, 255};
    cImage32 img;
    // Width below 1 or height 0 ends the decode at once.
    EXPECT_FALSE(img.LoadPicture_Stream(MakeBmp(0, 1, 32, 0, {row})));
    EXPECT_FALSE(img.LoadPicture_Stream(MakeBmp(1, 0, 32, 0, {row})));
    // More pixels than the library allocates.
    EXPECT_FALSE(img.LoadPicture_Stream(MakeBmp(1 << 15, 1 << 14, 32, 0, {row})));
    // A 32-bit file whose pixels are cut short is not read past its end.
    ByteArray cut = MakeBmp(4, 4, 32, 0, {row, row, row, row});
    cut.resize(cut.size() - 5);
    EXPECT_FALSE(img.LoadPicture_Stream(cut));
    EXPECT_FALSE(img.HasImage());
}

TEST(BmpDecoder, StreamStartOffsetsEveryPosition) {
    ByteArray bytes(37, 0xEE);
    const ByteArray bmp = MakeBmp(1, 1, 24, 0, {{30, 20, 10}});
    bytes.insert(bytes.end(), bmp.begin(), bmp.end());
    bytes.insert(bytes.end(), 11, 0xEE);
    cImage32 img;
    ASSERT_TRUE(img.LoadPicture_Stream(bytes, 32, 32, 37, bmp.size()));
    EXPECT_EQ(Px(img, 0, 0), Argb(255, 10, 20, 30));
}

TEST(BmpDecoder, LowDepthsAndRle) {
    const std::vector<uint32_t> pal = {0x000000, 0xFF0000, 0x00FF00, 0x0000FF};  // BGRx as 0x00RRGGBB
    struct Case {
        const char* what;
        ByteArray file;
        std::vector<uint32_t> topRow;  // expected ARGB of the top row
    } cases[] = {
        {"1-bit", MakeBmp(3, 1, 1, 0, {{0b10100000}}, {0x000000, 0xFFFFFF}),
         {0xFFFFFFFF, 0xFF000000, 0xFFFFFFFF}},
        {"4-bit", MakeBmp(3, 1, 4, 0, {{0x12, 0x30}}, pal), {0xFFFF0000, 0xFF00FF00, 0xFF0000FF}},
        {"8-bit, index past the palette is black", MakeBmp(2, 1, 8, 0, {{3, 200}}, pal), {0xFF0000FF, 0xFF000000}},
        {"16-bit 5-5-5", MakeBmp(2, 1, 16, 0, {{0x00, 0x7C, 0x1F, 0x00}}), {0xFFFF0000, 0xFF0000FF}},
        {"24-bit", MakeBmp(1, 1, 24, 0, {{1, 2, 3}}), {0xFF030201}},
        // RLE8: run of 2 x index 1, literal of 3 (padded), end of line, end of bitmap.
        {"RLE8", MakeBmp(5, 1, 8, 1, {}, pal, {2, 1, 0, 3, 2, 3, 0, 0, 0, 0, 0, 1}),
         {0xFFFF0000, 0xFFFF0000, 0xFF00FF00, 0xFF0000FF, 0xFF000000}},
        // RLE4: run of 3 alternating 1,2; delta skips one pixel; end of bitmap. Skipped pixels are black.
        {"RLE4 with delta", MakeBmp(5, 1, 4, 2, {}, pal, {3, 0x12, 0, 2, 1, 0, 1, 0x30, 0, 1}),
         {0xFFFF0000, 0xFF00FF00, 0xFFFF0000, 0xFF000000, 0xFF0000FF}},
        // Rows coded at their padded width (8 pixels for 6 at 8 bits, 8 for 3 at 4 bits):
        // what lies past the row's end is dropped.
        {"RLE8 runs over the padded row",
         MakeBmp(6, 2, 8, 1, {}, pal, {8, 1, 0, 0, 0, 8, 2, 3, 1, 2, 3, 1, 3, 3, 0, 1}),
         {0xFF00FF00, 0xFF0000FF, 0xFFFF0000, 0xFF00FF00, 0xFF0000FF, 0xFFFF0000}},
        {"RLE4 runs over the padded row", MakeBmp(3, 1, 4, 2, {}, pal, {8, 0x12, 0, 1}),
         {0xFFFF0000, 0xFF00FF00, 0xFFFF0000}},
    };
    for (const auto& c : cases) {
        cImage32 img;
        ASSERT_TRUE(img.LoadPicture_Stream(c.file)) << c.what;
        ASSERT_EQ(img.Width(), int(c.topRow.size())) << c.what;
        for (size_t x = 0; x < c.topRow.size(); ++x) EXPECT_EQ(Px(img, int(x), 0), c.topRow[x]) << c.what << " x=" << x;
        EXPECT_EQ(img.ImageType(), 1) << c.what;
        EXPECT_EQ(img.Alpha(), 0) << c.what;
    }
}

TEST(BmpDecoder, RunsPastTheRowAreCutButRowsAboveThePictureFail) {
    const std::vector<uint32_t> pal = {0x000000, 0xFF0000};
    cImage32 img;
    // A pixel above the top row, by end-of-line or by a move.
    EXPECT_FALSE(img.LoadPicture_Stream(MakeBmp(2, 2, 8, 1, {}, pal, {1, 1, 0, 0, 1, 1, 0, 0, 1, 1, 0, 1})));
    EXPECT_FALSE(img.LoadPicture_Stream(MakeBmp(2, 2, 8, 1, {}, pal, {0, 2, 0, 2, 1, 1, 0, 1})));
    // Data that stops before the end of the bitmap.
    EXPECT_FALSE(img.LoadPicture_Stream(MakeBmp(2, 2, 8, 1, {}, pal, {2, 1, 0, 0})));
    EXPECT_FALSE(img.HasImage());
    // A run of 200 on a 2-pixel row, and a move past the right edge followed
    // by a pixel: only what lies inside the rows is drawn, bottom row first.
    ASSERT_TRUE(img.LoadPicture_Stream(MakeBmp(2, 2, 8, 1, {}, pal, {200, 1, 0, 0, 0, 2, 5, 0, 1, 1, 0, 1})));
    EXPECT_EQ(Px(img, 0, 1), 0xFFFF0000u);
    EXPECT_EQ(Px(img, 1, 1), 0xFFFF0000u);
    EXPECT_EQ(Px(img, 0, 0), 0xFF000000u);  // skipped by the move, then by the end marker
    EXPECT_EQ(Px(img, 1, 0), 0xFF000000u);
}

TEST(JpegLoader, SuitesDecodeCloseToReference) {
    int compared = 0;
    std::vector<std::string> files = ListFiles(TestData("jpegsuite"), {".jpg", ".jpeg"});
    for (const auto& f : ListFiles(TestData("jpeg-decoder/reftest"), {".jpg", ".jpeg"})) files.push_back(f);
    for (const auto& path : files) {
        const ByteArray bytes = ReadFile(path);
        cImage32 img;
        const bool ok = img.LoadPicture_File(path);
        // The suite's own reference picture when it ships one, else stb_image's decode.
        Reference ref;
        const std::string png = path.substr(0, path.size() - 4) + ".png";
        const bool refOk = std::filesystem::exists(png) ? LoadReference(ReadFile(png), ref) : LoadReference(bytes, ref);
        if (!ok) {
            EXPECT_FALSE(img.HasImage()) << path;
            continue;
        }
        // One file of the set is a PNG under a JPEG name; the PNG decoder takes it.
        const bool isPng = bytes.size() > 4 && bytes[0] == 0x89 && bytes[1] == 'P';
        EXPECT_EQ(img.ImageType(), isPng ? 10 : 1) << path;
        if (!refOk || img.ImageType() != 1) continue;
        ASSERT_EQ(img.Width(), ref.w) << path;
        ASSERT_EQ(img.Height(), ref.h) << path;
        // Two IDCTs differ a little; a wrong orientation or channel order would not.
        double diff = 0;
        for (int y = 0; y < ref.h; ++y)
            for (int x = 0; x < ref.w; ++x) {
                const uint8_t* r = ref.rgba.data() + (size_t(y) * size_t(ref.w) + size_t(x)) * 4;
                const uint32_t p = Px(img, x, y);
                diff += std::abs(int(R(p)) - r[0]) + std::abs(int(G(p)) - r[1]) + std::abs(int(B(p)) - r[2]);
                EXPECT_EQ(A(p), 255u);
            }
        EXPECT_LT(diff / (3.0 * ref.w * ref.h), 3.0) << path;
        ++compared;
    }
    EXPECT_GE(compared, 80);
    // The crash files and damaged copies are compared with TurboJPEG in test_jpeg.
    cImage32 img;
    EXPECT_FALSE(img.LoadPicture_File(TestData("pillow/jpeg/truncated_jpeg.jpg")));
    EXPECT_FALSE(img.LoadPicture_File(TestData("libjpeg-turbo/monkey12.jpg")));  // 12-bit samples
}
