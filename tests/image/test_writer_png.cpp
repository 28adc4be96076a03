// PNG writer: layout choice, exact round trips, chunk order and properties.
#include <gtest/gtest.h>
#include <zlib.h>


#include "DecoderTestSupport.h"
#include "WriterTestSupport.h"
#include "image/cGDIPlus.h"
#include "image/cImage32.h"
#include "image/cPNGwriter.h"

namespace {

struct LayoutCase {
    const char* name;
    int w, h;
    wts::PixelFn fn;
    int colourType, bitDepth;
};

uint32_t Grey(uint32_t v, uint32_t a = 255) { return a << 24 | v << 16 | v << 8 | v; }

std::vector<LayoutCase> LayoutCases() {
    return {
        {"two colours: 1-bit palette", 19, 7,
         [](int x, int y) { return (x + y) % 3 ? 0xFF2040C0u : 0xFFFFE000u; }, 3, 1},
        {"palette with translucent entries", 33, 9,
         [](int x, int y) { return uint32_t((x * 7 + y) % 5) * 0x30000000u + 0x0F108040u * uint32_t(x % 3); }, 3, 4},
        {"200 colours: 8-bit palette", 40, 20, [](int x, int y) { return 0xFF000000u | uint32_t((x + y * 40) % 200) * 0x010305u; }, 3, 8},
        {"black and white: 1-bit grey", 17, 5, [](int x, int) { return Grey(x % 2 ? 255 : 0); }, 0, 1},
        {"grey steps of 85: 2-bit grey", 9, 9, [](int x, int y) { return Grey(uint32_t((x + y) % 4) * 85); }, 0, 2},
        {"grey steps of 17: 4-bit grey", 31, 3, [](int x, int) { return Grey(uint32_t(x % 16) * 17); }, 0, 4},
        {"all grey levels: 8-bit grey", 256, 2, [](int x, int) { return Grey(uint32_t(x)); }, 0, 8},
        {"grey with cut-outs: keyed grey", 64, 8,
         [](int x, int y) { return (x + y) % 5 == 0 ? 0u : Grey(uint32_t(x * 4 + 1)); }, 0, 8},
        {"grey with soft alpha: grey+alpha", 300, 3,
         [](int x, int y) { return Grey(uint32_t(x % 256), uint32_t((x + y * 7) % 256)); }, 4, 8},
        {"photo: RGB", 64, 48, wts::PhotoPixel, 2, 8},
        {"photo with cut-outs: keyed RGB", 64, 48,
         [](int x, int y) { return (x / 8 + y / 8) % 2 ? 0u : wts::PhotoPixel(x, y); }, 2, 8},
        {"every premultiplied value: RGBA", 256, 256,
         [](int x, int y) { return uint32_t(y) << 24 | uint32_t(x) << 16 | uint32_t(255 - x) << 8 | uint32_t(x ^ y); },
         6, 8},
    };
}

TEST(PngWriter, ChoosesSmallestExactLayoutAndRoundTripsThroughLibpng) {
    for (const LayoutCase& c : LayoutCases()) {
        SCOPED_TRACE(c.name);
        cImage32 img;
        ASSERT_TRUE(wts::MakeImage(img, c.w, c.h, c.fn));
        ByteArray png;
        ASSERT_TRUE(img.SaveToStream_PNG(png));
        const auto chunks = wts::PngChunks(png);
        ASSERT_FALSE(chunks.empty());
        ASSERT_EQ(chunks.front().type, "IHDR");
        EXPECT_EQ(chunks.front().data[9], c.colourType);
        EXPECT_EQ(chunks.front().data[8], c.bitDepth);
        dts::Rgba ref;
        ASSERT_TRUE(dts::ReadPngWithLibpng(png, ref));
        EXPECT_EQ(dts::CompareToStraight(img, ref), "");
        EXPECT_EQ(wts::OwnRoundTrip(img, png), "");
    }
}

TEST(PngWriter, UnpremultipliedSamplesReloadToTheSamePixels) {
    // Every (colour, alpha) pair with colour <= alpha: the stored straight
    // value must premultiply back to exactly the original.
    cImage32 img;
    ASSERT_TRUE(img.InitializeDIB(256, 256));
    for (int a = 0; a < 256; ++a)
        for (int c = 0; c < 256; ++c) {
            uint8_t* p = img.Row(a) + size_t(c) * 4;
            const uint8_t v = uint8_t(std::min(c, a));
            p[0] = v;
            p[1] = uint8_t(v / 2);
            p[2] = uint8_t(a - v);
            p[3] = uint8_t(a);
        }
    ByteArray png;
    ASSERT_TRUE(img.SaveToStream_PNG(png));
    dts::Rgba ref;
    ASSERT_TRUE(dts::ReadPngWithLibpng(png, ref));
    EXPECT_EQ(dts::CompareToStraight(img, ref), "");
    EXPECT_EQ(wts::OwnRoundTrip(img, png), "");
}

TEST(PngWriter, ChunksComeInOrderWithValidCrcs) {
    cImage32 img;
    ASSERT_TRUE(wts::MakeImage(img, 20, 10, [](int x, int y) { return (x + y) % 4 ? 0xFF102030u : 0x80FFFFFFu; }));
    const std::string longText(3000, 'x');
    ASSERT_TRUE(img.PngPropertySet(1, std::string("A title")));
    ASSERT_TRUE(img.PngPropertySet(512, std::string("A comment")));
    ASSERT_TRUE(img.PngPropertySet(4, longText));
    ASSERT_TRUE(img.PngPropertySet(1024, std::string("Playout channel"), "Channel"));
    ASSERT_TRUE(img.PngPropertySet(4096, int64_t(0x00336699)));
    ASSERT_TRUE(img.PngPropertySet(2048, std::string("2026-03-04 05:06:07")));
    ByteArray png;
    ASSERT_TRUE(img.SaveToStream_PNG(png));
    const auto chunks = wts::PngChunks(png);
    std::string order;
    for (const auto& c : chunks) {
        EXPECT_TRUE(c.crcOk) << c.type;
        order += c.type + " ";
    }
    EXPECT_EQ(order, "IHDR tEXt PLTE bKGD tRNS IDAT tIME tEXt tEXt zTXt IEND ");

    auto text = [](const wts::Chunk& c) { return std::string(c.data.begin(), c.data.end()); };
    EXPECT_EQ(text(chunks[1]), std::string("Title\0A title", 13));
    EXPECT_EQ(text(chunks[7]), std::string("Comment\0A comment", 17));
    EXPECT_EQ(text(chunks[8]), std::string("Channel\0Playout channel", 23));
    // zTXt: keyword, NUL, method 0, zlib stream.
    const auto& z = chunks[9].data;
    ASSERT_GT(z.size(), 14u);
    EXPECT_EQ(std::string(z.begin(), z.begin() + 13), std::string("Description\0\0", 13));
    std::vector<uint8_t> inflated(longText.size() + 10);
    uLongf len = uLongf(inflated.size());
    ASSERT_EQ(uncompress(inflated.data(), &len, z.data() + 13, uLong(z.size() - 13)), Z_OK);
    EXPECT_EQ(std::string(inflated.begin(), inflated.begin() + ptrdiff_t(len)), longText);
    // tIME from the property; bKGD names the palette entry of 0x00336699 (R 0x99, G 0x66, B 0x33).
    EXPECT_EQ(chunks[6].data, (std::vector<uint8_t>{0x07, 0xEA, 3, 4, 5, 6, 7}));
    const auto& plte = chunks[2].data;
    const size_t idx = chunks[3].data.at(0);
    ASSERT_LT(idx * 3 + 2, plte.size());
    EXPECT_EQ(plte[idx * 3], 0x99);
    EXPECT_EQ(plte[idx * 3 + 1], 0x66);
    EXPECT_EQ(plte[idx * 3 + 2], 0x33);
    dts::Rgba ref;
    ASSERT_TRUE(dts::ReadPngWithLibpng(png, ref));
    EXPECT_EQ(dts::CompareToStraight(img, ref), "");
}

TEST(PngWriter, NonGreyBackgroundKeepsGreyPictureInColour) {
    cImage32 img;
    ASSERT_TRUE(wts::MakeImage(img, 300, 2, [](int x, int) { return Grey(uint32_t(x % 256)) ; }));
    ByteArray plain, withBackground;
    ASSERT_TRUE(img.SaveToStream_PNG(plain));
    EXPECT_EQ(wts::PngChunks(plain).front().data[9], 0);
    ASSERT_TRUE(img.PngPropertySet(4096, int64_t(0x0000FF)));  // red: not expressible as grey
    ASSERT_TRUE(img.SaveToStream_PNG(withBackground));
    const auto chunks = wts::PngChunks(withBackground);
    EXPECT_EQ(chunks.front().data[9], 2);
    EXPECT_EQ(chunks[1].type, "bKGD");
    EXPECT_EQ(chunks[1].data, (std::vector<uint8_t>{0, 255, 0, 0, 0, 0}));
}

// The filter bytes of the image data's rows.
std::vector<int> RowFilters(const ByteArray& png) {
    const auto chunks = wts::PngChunks(png);
    const uint32_t w = wts::Be32(chunks.front().data.data()), h = wts::Be32(chunks.front().data.data() + 4);
    const uint32_t bitsPerPixel = uint32_t(chunks.front().data[8]) * (chunks.front().data[9] == 2 ? 3 : 1);
    const size_t rowBytes = (size_t(w) * bitsPerPixel + 7) / 8 + 1;
    std::vector<uint8_t> raw(rowBytes * h);
    uLongf len = uLongf(raw.size());
    for (const auto& c : chunks)
        if (c.type == "IDAT" && uncompress(raw.data(), &len, c.data.data(), uLong(c.data.size())) != Z_OK) return {};
    std::vector<int> filters;
    for (size_t row = 0; row < h && len == raw.size(); ++row) filters.push_back(raw[row * rowBytes]);
    return filters;
}

TEST(PngWriter, FilterProperty) {
    cImage32 photo;
    ASSERT_TRUE(wts::MakeImage(photo, 50, 30, wts::PhotoPixel));
    for (int filter = 0; filter <= 4; ++filter) {
        SCOPED_TRACE(filter);
        ASSERT_TRUE(photo.PngPropertySet(8192, int64_t(filter)));
        ByteArray png;
        ASSERT_TRUE(photo.SaveToStream_PNG(png));
        EXPECT_EQ(RowFilters(png), std::vector<int>(30, filter));
        dts::Rgba ref;
        ASSERT_TRUE(dts::ReadPngWithLibpng(png, ref));
        EXPECT_EQ(dts::CompareToStraight(photo, ref), "");
    }
    // Palette and 1-bit grey rows stay unfiltered unless a choice per row is
    // asked for; then the rows that gain from a filter get one.
    for (const LayoutCase& c : LayoutCases()) {
        if (c.colourType != 3 && c.bitDepth >= 8) continue;
        SCOPED_TRACE(c.name);
        cImage32 img;
        ASSERT_TRUE(wts::MakeImage(img, c.w, c.h, c.fn));
        ByteArray plain, chosen;
        ASSERT_TRUE(img.SaveToStream_PNG(plain));
        ASSERT_TRUE(img.PngPropertySet(8192, int64_t(5)));
        ASSERT_TRUE(img.SaveToStream_PNG(chosen));
        EXPECT_EQ(RowFilters(plain), std::vector<int>(size_t(c.h), 0));
        const std::vector<int> filters = RowFilters(chosen);
        ASSERT_EQ(filters.size(), size_t(c.h));
        EXPECT_TRUE(std::any_of(filters.begin(), filters.end(), [](int f) { return f != 0; }));
        EXPECT_EQ(wts::OwnRoundTrip(img, chosen), "");
    }
}

TEST(PngWriter, PropertiesSetGetAndRemove) {
    cImage32 img;
    EXPECT_EQ(std::get<int64_t>(img.PngPropertyGet(0)), 0);
    // A custom keyword that names a standard one lands on its bit.
    ASSERT_TRUE(img.PngPropertySet(1024, std::string("Agency"), "sOuRcE"));
    EXPECT_EQ(std::get<std::string>(img.PngPropertyGet(256)), "Agency");
    EXPECT_EQ(std::get<int64_t>(img.PngPropertyGet(0)), 256);
    ASSERT_TRUE(img.PngPropertySet(1024, std::string("one"), "Show"));
    ASSERT_TRUE(img.PngPropertySet(1024, std::string("two"), "show"));  // one entry per keyword
    EXPECT_EQ(std::get<std::string>(img.PngPropertyGet(1024, "Show")), "two");
    EXPECT_EQ(std::get<int64_t>(img.PngPropertyGet(0)), 256 | 1024);

    struct Bad {
        int id;
        PngPropertyValue value;
        std::string caption;
    };
    const Bad bad[] = {
        {3, std::string("x"), ""},                            // not one property bit
        {1, int64_t(5), ""},                                  // text expected
        {1, std::string("a\0b", 3), ""},                      // NUL in text
        {1024, std::string("x"), ""},                         // no keyword
        {1024, std::string("x"), " lead"},                    // leading space
        {1024, std::string("x"), "two  spaces"},              // doubled space
        {1024, std::string("x"), std::string(80, 'k')},         // longer than 79
        {2048, int64_t(20260304), ""},                        // text expected
        {4096, std::string("red"), ""},                       // number expected
        {8192, int64_t(6), ""},                               // no such filter
    };
    for (const Bad& b : bad) EXPECT_FALSE(img.PngPropertySet(b.id, b.value, b.caption)) << b.id << " " << b.caption;
    EXPECT_EQ(std::get<int64_t>(img.PngPropertyGet(0)), 256 | 1024);

    // The time is kept as given, whether or not tIME can use it.
    ASSERT_TRUE(img.PngPropertySet(2048, std::string("yesterday")));
    EXPECT_EQ(std::get<std::string>(img.PngPropertyGet(2048)), "yesterday");
    EXPECT_EQ(std::get<int64_t>(img.PngPropertyGet(0)), 256 | 1024 | 2048);

    ASSERT_TRUE(img.PngPropertySet(256));  // no value: removed
    EXPECT_TRUE(std::holds_alternative<std::monostate>(img.PngPropertyGet(256)));
    ASSERT_TRUE(img.PngPropertySet(-1));
    EXPECT_EQ(img.PngWriterProperties(), nullptr);
    EXPECT_TRUE(std::holds_alternative<std::monostate>(img.PngPropertyGet(1024, "Show")));
}

TEST(PngWriter, FailsWithoutImage) {
    cImage32 img;
    ByteArray png{1, 2, 3};
    EXPECT_FALSE(img.SaveToStream_PNG(png));
    EXPECT_TRUE(png.empty());
    EXPECT_FALSE(img.SaveToFile_PNG(std::string(KIV_BINARY_DIR) + "/writer_png_none.png", false));
}

TEST(PngWriter, WithoutZlibOnlyThePlatformRouteOfTheFileFormWorks) {
    cImage32 img;
    ASSERT_TRUE(wts::MakeImage(img, 12, 8, wts::PhotoPixel));
    ASSERT_TRUE(img.PngPropertySet(1, std::string("kept only by the own writer")));
    const std::string path = std::string(KIV_BINARY_DIR) + "/writer_png_nozlib.png";
    auto hasText = [](const ByteArray& b) {
        for (const auto& c : wts::PngChunks(b))
            if (c.type == "tEXt") return true;
        return false;
    };
    ByteArray png;
    {
        dts::ZlibSwitch off(false);
        EXPECT_FALSE(img.SaveToStream_PNG(png));
        std::remove(path.c_str());
        ASSERT_TRUE(img.SaveToFile_PNG(path, false));
        const ByteArray file = dts::ReadFile(path);
        EXPECT_FALSE(hasText(file));
        EXPECT_EQ(wts::OwnRoundTrip(img, file), "");

        img.isGDIplusEnabled(false);
        std::remove(path.c_str());
        EXPECT_FALSE(img.SaveToFile_PNG(path, false));
        img.isGDIplusEnabled(true);
    }
    std::remove(path.c_str());
    ASSERT_TRUE(img.SaveToFile_PNG(path, false));
    EXPECT_TRUE(hasText(dts::ReadFile(path)));
    EXPECT_TRUE(img.SaveToStream_PNG(png));
    std::remove(path.c_str());
}

// The platform's JPEG encoder is the library's own (its PNG one is tested
// through SaveToFile_PNG without zlib): quality scales the size,
// transparent pixels show the fill colour.
TEST(PngWriter, PlatformJpegSaverUsesTheOwnWriter) {
    cImage32 img, clear, back;
    ASSERT_TRUE(wts::MakeImage(img, 200, 120, wts::PhotoPixel));
    ByteArray fine, coarse;
    ASSERT_TRUE(cGDIPlus::SaveToJPG("", fine, img, 95));
    ASSERT_TRUE(cGDIPlus::SaveToJPG("", coarse, img, 20));
    EXPECT_GT(fine.size(), coarse.size() * 2);
    ASSERT_TRUE(clear.InitializeDIB(16, 16));
    ASSERT_TRUE(cGDIPlus::SaveToJPG("", fine, clear, 80, 0x0000FF));
    ASSERT_TRUE(back.LoadPicture_Stream(fine));
    const uint32_t p = dts::PixelAt(back, 8, 8);
    EXPECT_TRUE(((p >> 16) & 255) >= 250 && ((p >> 8) & 255) <= 5 && (p & 255) <= 5) << std::hex << p;
    EXPECT_FALSE(cGDIPlus::SaveToJPG("", fine, cImage32()));
}

TEST(PngWriter, SaveToFileWritesTheStreamBytes) {
    cImage32 img;
    ASSERT_TRUE(wts::MakeImage(img, 30, 20, wts::PhotoPixel));
    ASSERT_TRUE(img.PngPropertySet(2048, std::string("2020-01-01 00:00:00")));  // fixed tIME: same bytes
    const std::string path = std::string(KIV_BINARY_DIR) + "/writer_png_test.png";
    std::remove(path.c_str());
    ASSERT_TRUE(img.SaveToFile_PNG(path, false));
    ByteArray stream;
    ASSERT_TRUE(img.SaveToStream_PNG(stream));
    EXPECT_EQ(dts::ReadFile(path), stream);
    // Existing file and no permission to overwrite: left alone.
    EXPECT_FALSE(img.SaveToFile_PNG(path, true));
    EXPECT_EQ(dts::ReadFile(path), stream);
    std::remove(path.c_str());
}

}  // namespace
