// Encoders: what every saver writes reloads through the own decoders and stb_image (zlib reads
// PNG's chunks); PNG layouts, chunks and properties, JPEG tables and bytes, GIF palettes.
#include <gtest/gtest.h>
#include <stb/stb_image.h>
#include <zlib.h>

#include <filesystem>
#include <set>

#include "image/cGDIPlus.h"
#include "image/cGIFwriter.h"
#include "image/cJPGWriter.h"
#include "tests/image/ImageCoreTestSupport.h"

using namespace ict;

namespace {

// The pixels as stb_image decodes them, premultiplied; none when it cannot.
std::vector<uint32_t> Stb(const ByteArray& b) {
    int w = 0, h = 0, comp = 0;
    stbi_uc* p = stbi_load_from_memory(b.data(), int(b.size()), &w, &h, &comp, 4);
    std::vector<uint32_t> out;
    for (size_t i = 0; p && i < size_t(w) * size_t(h) * 4; i += 4) out.push_back(Premul(Argb(p[i + 3], p[i], p[i + 1], p[i + 2])));
    stbi_image_free(p);
    return out;
}

uint32_t Be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }
// The chunks after the signature ("" for a bad CRC), the data of the image chunks inflated.
std::vector<std::pair<std::string, ByteArray>> PngChunks(const ByteArray& b, ByteArray* raw = nullptr) {
    std::vector<std::pair<std::string, ByteArray>> out;
    ByteArray idat;
    for (size_t pos = 8, len; pos + 12 <= b.size() && (len = Be32(&b[pos])) <= b.size() - pos - 12; pos += len + 12) {
        const bool crcOk = crc32(0, &b[pos + 4], uInt(len + 4)) == Be32(&b[pos + 8 + len]);
        out.push_back({crcOk ? std::string(&b[pos + 4], &b[pos + 8]) : "", ByteArray(&b[pos + 8], &b[pos + 8 + len])});
        if (out.back().first == "IDAT") idat.insert(idat.end(), out.back().second.begin(), out.back().second.end());
    }
    uLongf n = raw ? uLongf(raw->size()) : 0;
    if (raw && uncompress(raw->data(), &n, idat.data(), uLong(idat.size())) != Z_OK) raw->clear();
    return out;
}

uint32_t Grey(uint32_t v) { return Argb(255, v, v, v); }
uint32_t Noise(int x, int y) {  // all 256 levels: fills the LZW dictionary quickly
    const uint32_t n = (uint32_t(x) * 2654435761u ^ uint32_t(y) * 40503u) * 2246822519u >> 13;
    return Argb(255, n & 255, 255 - (n & 255), n * 3 & 255);
}
uint32_t TwoHundredColours(int x, int y) {
    const uint32_t i = uint32_t(x * 7 + y * 13) % 200;
    return Argb(255, i * 37 % 256, i * 101 % 256, i * 53 % 256);
}

}  // namespace

// Every saver on pictures that would fool a loader guessing straight or premultiplied alpha, that
// pick each PNG layout and GIF table size, and with colours above alpha (taken, cut to alpha).
TEST(Savers, ReloadExactlyThroughTheOwnAndTheReferenceDecoders) {
    // Premultiplied pixels; the PNG layout (depth 0: not checked) and GIF table bits (0: more than GIF keeps).
    struct Picture { const char* name; int w, h; PixelFn fn; int pngType, pngDepth, gifBits; } pictures[] = {
        {"two colours", 19, 7, [](int x, int y) { return (x + y) % 3 ? 0xFF2040C0u : 0xFFFFE000u; }, 3, 1, 1},
        {"translucent palette", 33, 9, [](int x, int y) { return Premul(uint32_t((x * 7 + y) % 5) * 0x30000000u + 0x0F108040u * uint32_t(x % 3)); }, 3, 4, 0},
        {"200 colours", 120, 80, TwoHundredColours, 3, 8, 8},
        {"black and white", 17, 5, [](int x, int) { return Grey(x % 2 ? 255 : 0); }, 0, 1, 1},
        {"grey steps of 85", 9, 9, [](int x, int y) { return Grey(uint32_t((x + y) % 4) * 85); }, 0, 2, 2},
        {"20 colours", 21, 5, [](int x, int y) { return TwoHundredColours(x % 4, y); }, 3, 8, 5},
        {"grey steps of 17", 31, 3, [](int x, int) { return Grey(uint32_t(x % 16) * 17); }, 0, 4, 4},
        {"all grey levels", 256, 2, [](int x, int) { return Grey(uint32_t(x)); }, 0, 8, 8},
        {"grey with cut-outs", 64, 8, [](int x, int y) { return (x + y) % 5 == 0 ? 0u : Grey(uint32_t(x * 4 + 1)); }, 0, 8, 7},
        {"grey with soft alpha", 300, 3, [](int x, int y) { return Premul(Grey(x % 256) & (uint32_t((x + y * 7) % 256) << 24 | 0xFFFFFF)); }, 4, 8, 0},
        {"photo", 64, 48, PhotoPixel, 2, 8, 0},
        {"photo with cut-outs", 64, 48, [](int x, int y) { return (x / 8 + y / 8) % 2 ? 0u : PhotoPixel(x, y); }, 2, 8, 0},
        {"every premultiplied value", 256, 256, [](int x, int y) { return Premul(Argb(y, x, 255 - x, x ^ y)); }, 6, 8, 0},
        {"fully transparent", 3, 3, [](int, int) { return 0u; }, 0, 1, 1},
        {"one pixel", 1, 1, [](int, int) { return Argb(77, 3, 70, 77); }, 0, 0, 0},
        {"long single-colour run", 3000, 4, [](int x, int) { return x < 2990 ? 0xFF00FF00u : 0xFF0000FFu; }, 3, 1, 1},
        {"256 colours of noise", 300, 300, Noise, 3, 8, 8},
        {"wider than TGA and GIF allow", 65536, 1, [](int x, int) { return Argb(255, x >> 8, x & 255, 0); }, 0, 0, 0},
        // The first pixel once made the PNG writer's colour search loop forever.
        {"invalid premultiplied pixels", 6, 2, [](int x, int y) { return x + y == 0 ? 0x12345678u : Argb(x * 40 + y, 250, x * 90, 3); }, 0, 0, 0},
    };
    // What a clear picture reloads as; straight: a reference decoder reads them, colour above alpha is cut.
    struct Saver { const char* name; std::function<bool(cImage32&, ByteArray&)> save; int maxSide; uint32_t clearAs; bool straight; } savers[] = {
        {"PNG", [](cImage32& i, ByteArray& b) { return i.SaveToStream_PNG(b); }, 1 << 30, 0, true},
        {"TGA", [](cImage32& i, ByteArray& b) { return i.SaveToStream_TGA(b); }, 65535, 0, true},
        {"TGA RLE", [](cImage32& i, ByteArray& b) { return i.SaveToStream_TGA(b, true); }, 65535, 0, true},
        {"TGA 8 bits", [](cImage32& i, ByteArray& b) { return i.SaveToStream_TGA(b, false, true); }, 65535, 0, true},
        {"TGA premultiplied", [](cImage32& i, ByteArray& b) { return i.SaveToStream_TGA(b, true, false, true); }, 65535, 0, false},
        // Alpha bytes that are all 0 count as unused in a bitmap: opaque in the fill colour.
        {"BMP", [](cImage32& i, ByteArray& b) { return i.SaveToStream_Bitmap(b, false, 0xFF0080); }, 1 << 30, 0xFF8000FF, true},
        {"BMP premultiplied", [](cImage32& i, ByteArray& b) { return i.SaveToStream_Bitmap(b, true); }, 1 << 30, 0xFF000000, false},
        {"GIF", [](cImage32& i, ByteArray& b) { return i.SaveToStream_GIF(b); }, 65535, 0, true},
        {"GIF fixed palette", [](cImage32& i, ByteArray& b) { return i.SaveToStream_GIF(b, false); }, 65535, 0, true},
    };
    for (const Saver& s : savers) {
        ByteArray bytes{1};
        cImage32 none;  // no picture: false, and the output cleared
        EXPECT_TRUE(!s.save(none, bytes) && (bytes.empty() || std::string(s.name).starts_with("BMP"))) << s.name;
    }
    for (const Picture& p : pictures) {
        cImage32 img, back;
        Make(img, p.w, p.h, p.fn);
        const std::vector<uint32_t> given = Pixels(img), want = Pixels(p.w, p.h, [&](int x, int y) {  // colours cut to alpha
            const uint32_t v = Px(img, x, y), a = v >> 24;
            return Argb(a, std::min(Ch(v, 2), a), std::min(Ch(v, 1), a), std::min(Ch(v, 0), a));
        });
        const bool valid = given == want, clear = std::all_of(given.begin(), given.end(), [](uint32_t v) { return v == 0; });
        for (const Saver& s : savers) {
            SCOPED_TRACE(std::string(p.name) + " / " + s.name);
            const bool gif = std::string(s.name).starts_with("GIF");
            ByteArray bytes;
            EXPECT_TRUE(std::max(p.w, p.h) <= s.maxSide || !s.save(img, bytes));
            if (std::max(p.w, p.h) > s.maxSide || (gif && !p.gifBits)) continue;
            ASSERT_TRUE(s.save(img, bytes) && back.LoadPicture_Stream(bytes));
            const std::vector<uint32_t> exact = clear ? std::vector<uint32_t>(want.size(), s.clearAs) : want;
            const std::vector<uint32_t> got = Pixels(back);
            EXPECT_EQ(valid || s.straight ? Diff(back, exact, p.w) : "", "");
            for (uint32_t v : got) ASSERT_LE(std::max({Ch(v, 0), Ch(v, 1), Ch(v, 2)}), Ch(v, 3));
            // What all-clear alpha means is the own rule, not the reference decoder's.
            EXPECT_TRUE(!s.straight || exact != want || Stb(bytes) == exact) << stbi_failure_reason();
            // Drawing asks for per-pixel alpha exactly when the class is above 0; a TGA says how many alpha bits it has.
            const bool seeThrough = std::any_of(got.begin(), got.end(), [](uint32_t v) { return v >> 24 != 255; });
            EXPECT_EQ(back.Alpha() > 0, seeThrough);
            EXPECT_TRUE(!std::string(s.name).starts_with("TGA") || bytes[17] == (seeThrough ? 8 : 0));
            EXPECT_TRUE(s.name != std::string("PNG") || !p.pngDepth || bytes[25] * 100 + bytes[24] == p.pngType * 100 + p.pngDepth);
            EXPECT_TRUE(!gif || (std::string(bytes.begin(), bytes.begin() + 6) == "GIF89a" && (bytes[10] & 7) == p.gifBits - 1 && bytes.back() == ';'));
        }
    }
}

TEST(PngWriter, ChunksInOrderWithValidCrcsAndTheirProperties) {
    cImage32 img;
    Make(img, 20, 10, [](int x, int y) { return (x + y) % 4 ? 0xFF102030u : 0x80808080u; });
    const std::string longText(3000, 'x');
    ASSERT_TRUE(img.PngPropertySet(1, std::string("A title")) && img.PngPropertySet(512, std::string("A comment")));
    ASSERT_TRUE(img.PngPropertySet(4, longText) && img.PngPropertySet(1024, std::string("Playout channel"), "Channel"));
    ASSERT_TRUE(img.PngPropertySet(4096, int64_t(0x336699)) && img.PngPropertySet(2048, std::string("2026-03-04 05:06:07")));
    ByteArray png;
    const auto chunks = PngChunks((img.SaveToStream_PNG(png), png));
    std::string order;
    for (const auto& c : chunks) order += c.first + " " + (c.first == "tEXt" ? std::string(c.second.begin(), c.second.end()) + " " : "");
    ASSERT_EQ(order, std::string("IHDR tEXt Title\0A title PLTE bKGD tRNS IDAT tIME tEXt Comment\0A comment tEXt Channel\0Playout "
                                 "channel zTXt IEND ", 111));
    // zTXt: keyword, NUL, method 0, zlib stream; tIME from the property; bKGD names the palette entry of 0x336699.
    const ByteArray& z = chunks[9].second;
    ByteArray inflated(longText.size() + 10);
    uLongf len = uLongf(inflated.size());
    EXPECT_EQ(std::string(z.begin(), z.begin() + 13), std::string("Description\0\0", 13));
    ASSERT_EQ(uncompress(inflated.data(), &len, z.data() + 13, uLong(z.size() - 13)), Z_OK);
    EXPECT_EQ(std::string(inflated.begin(), inflated.begin() + ptrdiff_t(len)), longText);
    EXPECT_EQ(chunks[6].second, (ByteArray{0x07, 0xEA, 3, 4, 5, 6, 7}));
    const auto entry = chunks[2].second.begin() + chunks[3].second.at(0) * 3;
    EXPECT_EQ(ByteArray(entry, entry + 3), (ByteArray{0x99, 0x66, 0x33}));
    // A background that is not grey keeps a grey picture in colour.
    Make(img, 300, 2, [](int x, int) { return Grey(uint32_t(x % 256)); });
    ASSERT_TRUE(img.PngPropertySet(-1) && img.PngPropertySet(4096, int64_t(0xFF)) && img.SaveToStream_PNG(png));
    EXPECT_EQ(png[25], 2);
    EXPECT_EQ(PngChunks(png)[1], (std::pair<std::string, ByteArray>{"bKGD", {0, 255, 0, 0, 0, 0}}));
}

// Filters 0..4 on every row as asked; by default none for palette and low-depth grey; 5: some rows gain one.
TEST(PngWriter, FilterProperty) {
    const PixelFn steps = [](int x, int) { return Grey(x % 16 * 17); };
    struct Case { PixelFn fn; int w, h, bytesPerRow, filter; } cases[] = {  // filter -1: none set
        {PhotoPixel, 50, 30, 151, 0}, {PhotoPixel, 50, 30, 151, 1}, {PhotoPixel, 50, 30, 151, 2}, {PhotoPixel, 50, 30, 151, 3},
        {PhotoPixel, 50, 30, 151, 4}, {TwoHundredColours, 40, 20, 41, -1}, {TwoHundredColours, 40, 20, 41, 5},
        {steps, 31, 3, 17, -1},       {steps, 31, 3, 17, 5}};
    for (const Case& c : cases) {
        cImage32 img, back;
        ByteArray png, raw(size_t(c.bytesPerRow * c.h));
        ASSERT_TRUE(Make(img, c.w, c.h, c.fn).PngPropertySet(8192, c.filter < 0 ? PngPropertyValue() : int64_t(c.filter)));
        ASSERT_TRUE(img.SaveToStream_PNG(png) && back.LoadPicture_Stream(png));
        EXPECT_EQ(Diff(back, Pixels(img), c.w), "");
        ASSERT_EQ((PngChunks(png, &raw), raw.size()), size_t(c.bytesPerRow * c.h)) << c.filter;
        std::set<int> used;
        for (int y = 0; y < c.h; ++y) used.insert(raw[size_t(y * c.bytesPerRow)]);
        EXPECT_TRUE(c.filter == 5 ? used.size() > 1 : used == std::set<int>{std::max(c.filter, 0)}) << c.filter;
    }
}

TEST(PngWriter, PropertiesSetGetAndRemove) {
    cImage32 img;
    auto mask = [&] { return std::get<int64_t>(img.PngPropertyGet(0)); };
    ASSERT_EQ(mask(), 0);
    // A custom keyword that names a standard one lands on its bit; one entry per keyword.
    ASSERT_TRUE(img.PngPropertySet(1024, std::string("Agency"), "sOuRcE"));
    ASSERT_TRUE(img.PngPropertySet(1024, std::string("one"), "Show") && img.PngPropertySet(1024, std::string("two"), "show"));
    EXPECT_EQ(std::get<std::string>(img.PngPropertyGet(256)) + std::get<std::string>(img.PngPropertyGet(1024, "Show")), "Agencytwo");
    struct Bad { int id; PngPropertyValue value; std::string caption; } bad[] = {
        {3, std::string("x"), ""},    {1, int64_t(5), ""},     {1, std::string("a\0b", 3), ""},  // one bit; text; no NUL
        {1024, std::string("x"), ""}, {1024, std::string("x"), " lead"}, {1024, std::string("x"), "two  spaces"},
        {1024, std::string("x"), std::string(80, 'k')}, {2048, int64_t(20260304), ""}, {4096, std::string("red"), ""},
        {8192, int64_t(6), ""}};
    for (const Bad& b : bad) EXPECT_FALSE(img.PngPropertySet(b.id, b.value, b.caption)) << b.id << " " << b.caption;
    EXPECT_EQ(mask(), 256 | 1024);
    // The time is kept as given, whether or not tIME can use it; no value removes.
    ASSERT_TRUE(img.PngPropertySet(2048, std::string("yesterday")) && img.PngPropertySet(256));
    EXPECT_EQ(std::get<std::string>(img.PngPropertyGet(2048)), "yesterday");
    EXPECT_TRUE(std::holds_alternative<std::monostate>(img.PngPropertyGet(256)) && mask() == (1024 | 2048));
    EXPECT_TRUE(img.PngPropertySet(-1) && !img.PngWriterProperties());
}

// The file forms write the stream forms' bytes, and leave a file alone without leave to overwrite;
// without zlib only the platform's PNG encoder of the file form works (and keeps no text).
TEST(Savers, FileFormsWriteTheStreamBytes) {
    cImage32 img, back;
    Make(img, 30, 20, [](int x, int y) { return (x + y) % 7 ? PhotoPixel(x, y) : 0x40202020u; });
    // A fixed tIME gives the same bytes each time; the title only the own writer keeps.
    ASSERT_TRUE(img.PngPropertySet(2048, std::string("2020-01-01 00:00:00")) && img.PngPropertySet(1, std::string("A title")));
    const std::string path = std::string(KIV_BINARY_DIR) + "/writer-test.out";
    ByteArray png, jpg, platform, tga;
    for (bool zlib : {true, false}) {
        SetZlibEnabled(zlib);
        ASSERT_TRUE(zlib ? img.SaveToStream_PNG(png) : !img.SaveToStream_PNG(platform) && cGDIPlus::SaveToPNG("", png, img));
        ASSERT_TRUE(cJPGWriter().Save("", jpg, img, 95, 0xFF) && cGDIPlus::SaveToJPG("", platform, img, 95, 0xFF));
        EXPECT_EQ(platform, jpg);
        EXPECT_TRUE((std::filesystem::remove(path), img.SaveToFile_PNG(path, false)) && !img.SaveToFile_PNG(path, true));
        EXPECT_EQ(ReadFile(path), png);
        EXPECT_TRUE((std::filesystem::remove(path), img.SaveToFile_JPG(path, 95, 0xFF, false)) && !img.SaveToFile_JPG(path, 95, 0xFF, true));
        EXPECT_EQ(ReadFile(path), jpg);
        EXPECT_EQ((back.LoadPicture_Stream(png), Diff(back, Pixels(img), 30)), "");
        EXPECT_EQ(std::string(png.begin(), png.end()).find("tEXt") == std::string::npos, !zlib);
    }
    EXPECT_TRUE(img.SaveToStream_TGA(tga, true) && img.SaveToFile_TGA(path, true, false, false, false));
    EXPECT_EQ(ReadFile(path), tga);
    EXPECT_FALSE(cImage32().SaveToFile_TGA(path, false, false, false, false));
    img.isGDIplusEnabled(false);
    EXPECT_FALSE((std::filesystem::remove(path), SetZlibEnabled(false), img.SaveToFile_PNG(path, false)));
    SetZlibEnabled(true);
    EXPECT_FALSE(cGDIPlus::SaveToJPG("", platform, cImage32()));
}

// Quality scaling rounds halves to even within 1..255 (the digests below pin the rest).
TEST(JpegWriter, QualityScalingRoundsHalvesToEven) {
    const int cases[][3] = {{11, 50, 12}, {10, 50, 10}, {2, 50, 2}, {3, 50, 4}, {50, 16, 156}, {16, 10, 80}, {16, 75, 8},
                            {1, 90, 1}, {200, 25, 255}, {121, 100, 1}, {16, 1, 255}, {16, 255, 1}, {16, 0, 255}};
    for (const auto& c : cases)
        EXPECT_EQ(cJPGWriter::ScaleQuantizationEntry(uint32_t(c[0]), uint8_t(c[1])), c[2]) << c[0] << " q" << c[1];
    const auto lum = cJPGWriter().ScaledTable(0, 50), chrom = cJPGWriter().ScaledTable(1, 25);  // zigzag order
    EXPECT_EQ((ByteArray{lum[0], lum[1], lum[5], lum[63], chrom[0], chrom[1], chrom[63]}), (ByteArray{16, 12, 10, 100, 34, 36, 198}));
}

// JPEG through the reference decoder within PSNR floors (none for raw bytes, mostly invalid pixels),
// clear pixels showing the fill colour (0x00BBGGRR). The bytes are observable (files the engine leaves)
// and must stay the same: digests of both chroma samplings (4:4:4 from 90 up), odd sizes, alpha.
TEST(JpegWriter, DecodesWithinPsnrFloorsAndKeepsItsBytes) {
    const PixelFn fading = [](int x, int y) { return Premul(PhotoPixel(x, y) & (uint32_t(std::clamp(x * 7 - y * 3, 0, 255)) << 24 | 0xFFFFFF)); };
    struct Case { int w, h, quality; uint32_t fill; PixelFn fn; size_t size; uint64_t digest; double minPsnr; } cases[] = {
        {1920, 1080, 90, 0, PhotoPixel, 616099, 0x22c0d04d298ba00cull, 36}, {161, 91, 70, 0, PhotoPixel, 2296, 0x7382c3feac142325ull, 33},
        {37, 23, 100, 0, PhotoPixel, 1489, 0x71783c921e428adaull, 45},      {8, 8, 1, 0, PhotoPixel, 630, 0xe231cf0ebcc0ab4eull, 24},
        {75, 41, 95, 0x3366CC, fading, 1857, 0x0f4b2dd0a6317fb4ull, 40},    {75, 41, 50, 0xFFFFFF, fading, 814, 0xc743e4c424169617ull, 34},
        {40, 24, 90, 0, nullptr, 2382, 0x4a4a20cfe6ca3d31ull, 0},           {40, 24, 30, 0x123456, nullptr, 1012, 0xbbc99855bac9f7dfull, 0}};
    cImage32 img;
    ByteArray jpg;  // each save replaces what it holds
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " q" << c.quality);
        Make(img, c.w, c.h, c.fn ? c.fn : PhotoPixel);
        uint32_t seed = 99;
        for (size_t i = 0; !c.fn && i < size_t(c.w * c.h * 4); ++i) img.BitsPointer()[i] = uint8_t((seed = seed * 1664525u + 1013904223u) >> 24);
        ASSERT_TRUE(c.quality == 70 ? img.SaveToStream_JPG(jpg) : cJPGWriter().Save("", jpg, img, uint8_t(c.quality), c.fill));
        uint64_t digest = 1469598103934665603ull;
        for (uint8_t b : jpg) digest = (digest ^ b) * 1099511628211ull;
        EXPECT_TRUE(jpg.size() == c.size && digest == c.digest) << jpg.size() << " " << std::hex << digest;
        std::vector<uint32_t> want;
        for (uint32_t p : Pixels(img)) {  // shown over the fill colour
            auto over = [&](int k) { return Ch(p, k) + (Ch(c.fill, 2 - k) * (255 - (p >> 24)) + 127) / 255; };
            want.push_back(Argb(255, over(2), over(1), over(0)));
        }
        EXPECT_GE(Psnr(want, Stb(jpg)), c.minPsnr);
    }
    for (cJPGWriter w; int width : {65536, 65535})
        EXPECT_TRUE(w.Save("", jpg, Make(img, width, 1, PhotoPixel), 70, 0) == (width < 65536) && w.LastError().empty() == (width < 65536));
}

// Pixels at or above the tolerance are opaque and keep their colour (within premultiplication's
// rounding); photos are reduced by median cut, or to the fixed cube.
TEST(GifWriter, ToleranceDecidesTransparencyAndPhotosAreReduced) {
    const uint32_t alphas[] = {0, 64, 127, 128, 200, 255};
    cImage32 img;
    ByteArray gif;
    Make(img, 6, 2, [&](int x, int) { return Premul(alphas[x] << 24 | 0xC08040u); });
    for (const auto& [tolerance, firstOpaque] : {std::pair{128, 3}, {0, 1}, {1, 1}, {200, 4}, {256, 6}}) {
        ASSERT_TRUE(tolerance == 128 ? img.SaveToStream_GIF(gif) : img.SaveToStream_GIF(gif, true, tolerance));
        const std::vector<uint32_t> d = Stb(gif);
        ASSERT_EQ(d.size(), 12u) << stbi_failure_reason();
        for (int x = 0; x < 6; ++x) {
            EXPECT_EQ(d[size_t(6 + x)] >> 24, x < firstOpaque ? 0u : 255u) << tolerance << " " << x;
            for (int k = 0; k < 3 && x >= firstOpaque; ++k) EXPECT_NEAR(Ch(d[size_t(6 + x)], 2 - k), 0xC0 - 0x40 * k, 255.0 / alphas[x]) << x;
        }
    }
    Make(img, 320, 180, PhotoPixel);
    for (bool adaptive : {true, false}) {
        ASSERT_TRUE(img.SaveToStream_GIF(gif, adaptive));
        EXPECT_GE(Psnr(Pixels(img), Stb(gif)), adaptive ? 31.0 : 24.0) << adaptive;
    }
}
