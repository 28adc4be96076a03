// Every BMP of the test data, and damaged copies of each (cut short, single
// bits flipped), through the loaders: a clean answer every time. JPEG files
// and their damaged copies are compared with TurboJPEG in test_jpeg.
#include <gtest/gtest.h>

#include "image/PictureLoader.h"
#include "image/cBMPparser.h"
#include "tests/image/ImageCoreTestSupport.h"

using namespace ict;

namespace {

// A successful load must describe a whole, readable picture; a failed one none.
void ExpectCleanResult(bool ok, const cImage32& img, const std::string& what) {
    if (!ok) {
        EXPECT_FALSE(img.HasImage()) << what;
        return;
    }
    ASSERT_TRUE(img.HasImage()) << what;
    ASSERT_GT(img.Width(), 0) << what;
    ASSERT_GT(img.Height(), 0) << what;
    EXPECT_LE(int64_t(img.Width()) * img.Height(), kMaxImagePixels) << what;
    EXPECT_GE(img.ImageType(), 0) << what;
    // Reading every byte lets the sanitizer see a short buffer.
    const uint8_t* p = img.BitsPointer();
    unsigned sum = 0;
    for (size_t i = 0; i < size_t(img.scanWidth()) * size_t(img.Height()); ++i) sum += p[i];
    (void)sum;
}

}  // namespace

TEST(ImageRobustness, BmpFilesAndDamagedCopies) {
    std::vector<std::string> files;
    for (const char* dir : {"bmpsuite", "image-rs/bmp", "pillow/bmp"})
        for (const auto& f : ListFiles(TestData(dir), {".bmp", ".dib"})) files.push_back(f);
    ASSERT_GT(files.size(), 120u);
    size_t runs = 0;
    for (const auto& path : files) {
        const ByteArray original = ReadFile(path);
        std::vector<ByteArray> inputs = DamagedCopies(original);
        inputs.push_back(original);
        for (const auto& bytes : inputs) {
            cImage32 viaChain, viaBmp, viaLoader;
            ExpectCleanResult(viaChain.LoadPicture_Stream(bytes), viaChain, path);
            ExpectCleanResult(cBMPparser::LoadStream(bytes.data(), bytes.size(), viaBmp), viaBmp, path);
            ExpectCleanResult(DecodeBitmapFile(bytes.data(), bytes.size(), viaLoader), viaLoader, path);
            ++runs;
        }
    }
    EXPECT_GT(runs, 4000u);
}

// The layouts that the files of other writers do not cover: rows coded past
// their padded width, alpha declared by bit fields, the library's own output.
TEST(ImageRobustness, HandMadeAndSavedBitmapsDamagedAndOversized) {
    const std::vector<uint32_t> pal = {0x000000, 0xFF0000, 0x00FF00, 0x0000FF};
    cImage32 saved;
    ASSERT_TRUE(saved.InitializeDIB(7, 5));
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 7; ++x) SetPx(saved, x, y, Argb(uint8_t(x * 40), uint8_t(x * 20), 0, uint8_t(y * 8)));
    ByteArray straight, premultiplied;
    ASSERT_TRUE(saved.SaveToStream_Bitmap(straight));
    ASSERT_TRUE(saved.SaveToStream_Bitmap(premultiplied, true));
    const ByteArray inputs[] = {
        MakeBmp(6, 2, 8, 1, {}, pal, {8, 1, 0, 0, 0, 8, 2, 3, 1, 2, 3, 1, 3, 3, 0, 1}),
        MakeBmp(3, 2, 4, 2, {}, pal, {8, 0x12, 0, 0, 0, 2, 5, 0, 3, 0x31, 0, 1}),
        MakeBmp(2, 1, 32, 6, {{1, 2, 3, 200, 9, 9, 9, 0}}, {0xFF0000, 0xFF00, 0xFF, 0xFF000000}),
        straight,
        premultiplied,
    };
    const std::vector<testfiles::SizeField> fields = {{10, 4}, {18, 4}, {22, 4}, {46, 4}};
    size_t runs = 0;
    for (const ByteArray& original : inputs) {
        std::vector<ByteArray> copies = DamagedCopies(original, fields);
        copies.push_back(original);
        for (const auto& bytes : copies) {
            cImage32 viaChain, viaBmp, viaLoader;
            ExpectCleanResult(viaChain.LoadPicture_Stream(bytes), viaChain, "hand-made");
            ExpectCleanResult(cBMPparser::LoadStream(bytes.data(), bytes.size(), viaBmp), viaBmp, "hand-made");
            ExpectCleanResult(DecodeBitmapFile(bytes.data(), bytes.size(), viaLoader), viaLoader, "hand-made");
            ++runs;
        }
        cImage32 img;
        EXPECT_TRUE(img.LoadPicture_Stream(original));
    }
    EXPECT_GT(runs, 150u);
}

// Headers that claim huge or overflowing sizes are refused before anything is allocated.
TEST(ImageRobustness, HostileBitmapHeaders) {
    const std::vector<uint8_t> row(16, 0x11);
    struct Case {
        const char* what;
        int w, h, bits;
        uint32_t compression;
    } cases[] = {
        {"width * height over 2^28", 70000, 70000, 8, 0}, {"negative width", -5, 4, 24, 0},
        {"height INT_MIN", 4, INT32_MIN, 24, 0},          {"32-bit over 2^28", 1 << 20, 1 << 10, 32, 0},
        {"RLE8 top-down", 4, -4, 8, 1},                   {"RLE4 with 8 bits", 4, 4, 8, 2},
        {"bit fields with 24 bits", 4, 4, 24, 3},         {"unknown compression", 4, 4, 8, 9},
        {"64 bits", 4, 4, 64, 0},                         {"zero bits", 4, 4, 0, 0},
    };
    for (const auto& c : cases) {
        const ByteArray bytes = MakeBmp(c.w, c.h, c.bits, c.compression, {row, row, row, row});
        cImage32 img;
        EXPECT_FALSE(img.LoadPicture_Stream(bytes)) << c.what;
        EXPECT_FALSE(img.HasImage()) << c.what;
    }
    // A palette that runs into the pixel data or past the end only leaves entries black.
    ByteArray shortPalette = MakeBmp(2, 1, 8, 0, {{0, 1}}, {0x00FF0000});
    Put32(shortPalette, 46, 200);
    cImage32 img;
    ASSERT_TRUE(img.LoadPicture_Stream(shortPalette));
    EXPECT_EQ(Px(img, 0, 0), 0xFFFF0000u);
    EXPECT_EQ(Px(img, 1, 0), 0xFF000000u);
}
