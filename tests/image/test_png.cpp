// PNG decoder: PngSuite conformance against libpng (with zlib and with the
// own inflate), the file form, hand-made cases for the decoder's own rules,
// and damaged copies of every suite file.
#include <gtest/gtest.h>
#include <zlib.h>

#include "DecoderTestSupport.h"
#include "image/PngRows.h"
#include "image/cPNGparser.h"

namespace {

using dts::PixelAt;

using dts::ZlibSwitch;

std::vector<std::string> SuiteFiles() {
    auto a = dts::ListFiles(dts::TestData("pngsuite"), {".png"});
    auto b = dts::ListFiles(dts::TestData("libpng-pngsuite"), {".png"});
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bool IsCorruptSuiteFile(const std::string& path) {
    return std::filesystem::path(path).filename().string()[0] == 'x';
}

class PngSuite : public ::testing::TestWithParam<bool> {};

TEST_P(PngSuite, EveryFileMatchesLibpngOrFailsCleanly) {
    ZlibSwitch zlib(GetParam());
    const auto files = SuiteFiles();
    ASSERT_GT(files.size(), 200u);
    int decoded = 0;
    for (const auto& path : files) {
        const ByteArray bytes = dts::ReadFile(path);
        cImage32 img;
        cPNGparser parser;
        const bool isPng = parser.LoadStream(bytes, img);
        const std::string name = std::filesystem::path(path).filename().string();
        if (IsCorruptSuiteFile(path)) {
            // Without zlib no CRC is checked, so the two files whose only
            // fault is a CRC decode; every other corrupt file gives no image.
            const bool crcOnly = name == "xcsn0g01.png" || name == "xhdn0g08.png";
            EXPECT_EQ(img.HasImage(), crcOnly && !GetParam()) << name;
            if (isPng && !img.HasImage()) {
                EXPECT_NE(parser.LastError(), cPNGparser::Error::None) << name;
            }
            continue;
        }
        ASSERT_TRUE(isPng) << name;
        dts::Rgba ref;
        ASSERT_TRUE(dts::ReadPngWithLibpng(bytes, ref)) << name;
        EXPECT_EQ(dts::CompareToStraight(img, ref), "") << name;
        EXPECT_EQ(img.ImageType(), 10) << name;
        ++decoded;
    }
    EXPECT_GT(decoded, 200);
}

INSTANTIATE_TEST_SUITE_P(Zlib, PngSuite, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "WithZlib" : "OwnInflate"; });

TEST(PngFile, ChunkByChunkReadingGivesTheSamePixelsAsTheStream) {
    for (const auto& path : SuiteFiles()) {
        if (IsCorruptSuiteFile(path)) continue;
        cImage32 fromStream, fromFile;
        cPNGparser parser;
        ASSERT_TRUE(parser.LoadStream(dts::ReadFile(path), fromStream));
        std::FILE* f = std::fopen(path.c_str(), "rb");
        ASSERT_NE(f, nullptr);
        EXPECT_TRUE(parser.LoadFile(f, path, fromFile)) << path;
        std::fclose(f);
        ASSERT_TRUE(fromFile.HasImage()) << path;
        ASSERT_EQ(fromFile.Width(), fromStream.Width());
        ASSERT_EQ(fromFile.Height(), fromStream.Height());
        EXPECT_EQ(0, std::memcmp(fromFile.BitsPointer(), fromStream.BitsPointer(),
                                 size_t(fromFile.scanWidth()) * size_t(fromFile.Height())))
            << path;
        EXPECT_EQ(fromFile.Alpha(), fromStream.Alpha());
    }
}

// ---- hand-made files

void PutU32BE(ByteArray& b, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(uint8_t(v >> s));
}

struct Chunk {
    std::string type;
    ByteArray data;
    bool badCrc = false;
};

ByteArray Assemble(const std::vector<Chunk>& chunks) {
    ByteArray out = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    for (const Chunk& c : chunks) {
        PutU32BE(out, uint32_t(c.data.size()));
        const size_t start = out.size();
        out.insert(out.end(), c.type.begin(), c.type.end());
        out.insert(out.end(), c.data.begin(), c.data.end());
        uLong crc = crc32(0, out.data() + start, uInt(c.data.size() + 4));
        PutU32BE(out, uint32_t(crc) ^ (c.badCrc ? 1u : 0u));
    }
    return out;
}

ByteArray Ihdr(uint32_t w, uint32_t h, int depth, int colorType, int interlace = 0) {
    ByteArray d;
    PutU32BE(d, w);
    PutU32BE(d, h);
    d.insert(d.end(), {uint8_t(depth), uint8_t(colorType), 0, 0, uint8_t(interlace)});
    return d;
}

ByteArray Compress(const ByteArray& raw) {
    uLongf n = compressBound(uLong(raw.size()));
    ByteArray z(n);
    compress(z.data(), &n, raw.data(), uLong(raw.size()));
    z.resize(n);
    return z;
}

// A non-interlaced picture from its filtered rows (filter byte included).
ByteArray SimplePng(uint32_t w, uint32_t h, int depth, int ct, const ByteArray& raw, std::vector<Chunk> extra = {}) {
    std::vector<Chunk> chunks = {{"IHDR", Ihdr(w, h, depth, ct)}};
    chunks.insert(chunks.end(), extra.begin(), extra.end());
    chunks.push_back({"IDAT", Compress(raw)});
    chunks.push_back({"IEND", {}});
    return Assemble(chunks);
}

struct PixelCase {
    const char* what;
    ByteArray png;
    int alphaClass;
    std::vector<uint32_t> firstRow;  // expected 0xAARRGGBB, premultiplied
};

TEST(PngRules, PixelConversionAndAlphaClass) {
    const std::vector<PixelCase> cases = {
        {"grey 1-bit", SimplePng(4, 1, 1, 0, {0, 0b10100000}), 0,
         {0xFFFFFFFF, 0xFF000000, 0xFFFFFFFF, 0xFF000000}},
        {"grey 2-bit levels", SimplePng(4, 1, 2, 0, {0, 0b00011011}), 0,
         {0xFF000000, 0xFF555555, 0xFFAAAAAA, 0xFFFFFFFF}},
        {"grey 8-bit with tRNS key 0", SimplePng(3, 1, 8, 0, {0, 0, 7, 0}, {{"tRNS", {0, 0}}}), 1,
         {0x00000000, 0xFF070707, 0x00000000}},
        {"palette with 3 tRNS entries", SimplePng(4, 1, 8, 3, {0, 0, 1, 2, 3},
                                                  {{"PLTE", {10, 20, 30, 40, 50, 60, 70, 80, 90, 255, 255, 255}},
                                                   {"tRNS", {0, 128, 255}}}),
         1, {0x00000000, 0x8014191E, 0xFF46505A, 0xFFFFFFFF}},
        {"index beyond the palette is black", SimplePng(2, 1, 8, 3, {0, 0, 200}, {{"PLTE", {1, 2, 3}}}), 0,
         {0xFF010203, 0xFF000000}},
        {"palette without PLTE at 1 bit", SimplePng(2, 1, 1, 3, {0, 0b01000000}), 0, {0xFF000000, 0xFFFFFFFF}},
        {"RGBA premultiplied", SimplePng(1, 1, 8, 6, {0, 200, 100, 50, 128}), 2, {0x80643219}},
        {"grey+alpha", SimplePng(2, 1, 8, 4, {0, 255, 0, 100, 255}), 2, {0x00000000, 0xFF646464}},
        {"16-bit RGB keeps the high bytes", SimplePng(1, 1, 16, 2, {0, 0x12, 0xFF, 0x34, 0x00, 0x56, 0xAB}), 0,
         {0xFF123456}},
        {"RGB 8-bit key", SimplePng(2, 1, 8, 2, {0, 1, 2, 3, 1, 2, 4}, {{"tRNS", {0, 1, 0, 2, 0, 3}}}), 1,
         {0x00000000, 0xFF010204}},
        // The key of a 16-bit picture is a 16-bit value: a sample that shares
        // only its high byte with the key stays visible.
        {"16-bit grey key compares all 16 bits", SimplePng(2, 1, 16, 0, {0, 0x12, 0x34, 0x12, 0xFF},
                                                           {{"tRNS", {0x12, 0x34}}}),
         1, {0x00000000, 0xFF121212}},
        {"16-bit RGB key compares all 16 bits",
         SimplePng(2, 1, 16, 2, {0, 1, 1, 2, 2, 3, 3, 1, 1, 2, 2, 3, 4}, {{"tRNS", {1, 1, 2, 2, 3, 3}}}), 1,
         {0x00000000, 0xFF010203}},
        {"filter byte 7 is taken as unfiltered", SimplePng(2, 1, 8, 0, {7, 10, 20}), 0, {0xFF0A0A0A, 0xFF141414}},
        {"ancillary chunks are skipped", SimplePng(1, 1, 8, 0, {0, 9}, {{"gAMA", {0, 0, 0xB1, 0x8F}}, {"bKGD", {0, 5}}}),
         0, {0xFF090909}},
    };
    for (bool zlib : {true, false}) {
        ZlibSwitch sw(zlib);
        for (const PixelCase& c : cases) {
            cImage32 img;
            cPNGparser parser;
            ASSERT_TRUE(parser.LoadStream(c.png, img)) << c.what;
            ASSERT_TRUE(img.HasImage()) << c.what << " error " << int(parser.LastError());
            EXPECT_EQ(img.Alpha(), c.alphaClass) << c.what;
            EXPECT_EQ(img.ImageType(), 10) << c.what;
            for (size_t x = 0; x < c.firstRow.size(); ++x)
                EXPECT_EQ(PixelAt(img, int(x), 0), c.firstRow[x]) << c.what << " x=" << x << " zlib " << zlib;
        }
    }
}

struct FailCase {
    const char* what;
    ByteArray png;
    cPNGparser::Error error;
};

TEST(PngRules, BrokenFilesAreTakenAsPngWithoutAnImage) {
    const ByteArray raw = {0, 1, 2};
    const ByteArray z = Compress(raw);
    ByteArray garbage = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    for (int i = 0; i < 60; ++i) garbage.push_back(uint8_t(i * 37));
    ByteArray truncated = SimplePng(2, 1, 8, 0, raw);
    truncated.resize(truncated.size() - 20);
    const std::vector<FailCase> cases = {
        {"signature followed by garbage", garbage, cPNGparser::Error::Truncated},
        {"truncated IDAT", truncated, cPNGparser::Error::Truncated},
        {"IDAT before IHDR", Assemble({{"IDAT", z}, {"IHDR", Ihdr(2, 1, 8, 0)}, {"IEND", {}}}),
         cPNGparser::Error::BadHeader},
        {"no IDAT", Assemble({{"IHDR", Ihdr(2, 1, 8, 0)}, {"IEND", {}}}), cPNGparser::Error::NoImageData},
        {"width 0", Assemble({{"IHDR", Ihdr(0, 1, 8, 0)}, {"IDAT", z}, {"IEND", {}}}), cPNGparser::Error::BadHeader},
        {"bit depth 3", Assemble({{"IHDR", Ihdr(2, 1, 3, 0)}, {"IDAT", z}, {"IEND", {}}}),
         cPNGparser::Error::BadHeader},
        {"colour type 5", Assemble({{"IHDR", Ihdr(2, 1, 8, 5)}, {"IDAT", z}, {"IEND", {}}}),
         cPNGparser::Error::BadHeader},
        {"interlace 2", Assemble({{"IHDR", Ihdr(2, 1, 8, 0, 2)}, {"IDAT", z}, {"IEND", {}}}),
         cPNGparser::Error::BadHeader},
        {"width x 32 x height over 2^31", Assemble({{"IHDR", Ihdr(65536, 1024, 8, 0)}, {"IDAT", z}, {"IEND", {}}}),
         cPNGparser::Error::BadHeader},
        {"PLTE not a multiple of 3",
         Assemble({{"IHDR", Ihdr(2, 1, 8, 3)}, {"PLTE", {1, 2, 3, 4}}, {"IDAT", z}, {"IEND", {}}}),
         cPNGparser::Error::BadPalette},
        {"too little image data", Assemble({{"IHDR", Ihdr(3, 1, 8, 0)}, {"IDAT", z}, {"IEND", {}}}),
         cPNGparser::Error::Decompression},
        {"claimed size impossible for the data", Assemble({{"IHDR", Ihdr(8000, 8000, 8, 0)}, {"IDAT", z}, {"IEND", {}}}),
         cPNGparser::Error::Decompression},
    };
    for (bool zlib : {true, false}) {
        ZlibSwitch sw(zlib);
        for (const FailCase& c : cases) {
            cImage32 img;
            ASSERT_TRUE(img.InitializeDIB(4, 4));  // a failed decode leaves no image behind
            cPNGparser parser;
            EXPECT_TRUE(parser.LoadStream(c.png, img)) << c.what;
            EXPECT_FALSE(img.HasImage()) << c.what;
            EXPECT_EQ(parser.LastError(), c.error) << c.what << " zlib " << zlib;
        }
    }
}

TEST(PngRules, NotPngAnswersFalse) {
    cImage32 img;
    cPNGparser parser;
    EXPECT_FALSE(parser.LoadStream(ByteArray{'G', 'I', 'F', '8', '9', 'a', 0, 0, 0, 0}, img));
    EXPECT_FALSE(parser.LoadStream(ByteArray{0x89, 'P', 'N', 'G'}, img));
    EXPECT_FALSE(parser.LoadStream(SimplePng(1, 1, 8, 0, {0, 0}), img, 1));  // offset past the signature
    EXPECT_EQ(parser.LastError(), cPNGparser::Error::NotPng);
}

// CRCs are checked while zlib is enabled (the default): a damaged IHDR, PLTE
// or IDAT (here the middle one of three) fails the decode, a damaged tRNS is
// only ignored. With zlib switched off no CRC is looked at.
TEST(PngRules, ChunkCrcsAreCheckedWhileZlibIsEnabled) {
    const ByteArray z = Compress({0, 5, 6});
    ByteArray pal(21, 1);
    pal[18] = 0x10;  // entry 6
    pal[19] = 0x20;
    pal[20] = 0x30;
    auto idats = [&](bool badMiddle) {
        return std::vector<Chunk>{{"IDAT", ByteArray(z.begin(), z.begin() + 3)},
                                  {"IDAT", ByteArray(z.begin() + 3, z.begin() + 5), badMiddle},
                                  {"IDAT", ByteArray(z.begin() + 5, z.end())}};
    };
    auto png = [&](std::vector<Chunk> head, bool badIdat) {
        for (Chunk& c : idats(badIdat)) head.push_back(c);
        head.push_back({"IEND", {}});
        return Assemble(head);
    };
    struct Case {
        const char* what;
        ByteArray png;
        uint32_t pixel1;  // pixel (1, 0) when the file decodes
        int alphaWithoutCheck;
    };
    const std::vector<Case> cases = {
        {"IHDR", png({{"IHDR", Ihdr(2, 1, 8, 0), true}}, false), 0xFF060606u, 0},
        {"PLTE", png({{"IHDR", Ihdr(2, 1, 8, 3)}, {"PLTE", pal, true}}, false), 0xFF102030u, 0},
        {"IDAT", png({{"IHDR", Ihdr(2, 1, 8, 0)}}, true), 0xFF060606u, 0},
        {"tRNS", png({{"IHDR", Ihdr(2, 1, 8, 0)}, {"tRNS", {0, 6}, true}}, false), 0u, 1},
    };
    for (const Case& c : cases) {
        for (bool zlib : {true, false}) {
            ZlibSwitch sw(zlib);
            cImage32 img;
            cPNGparser parser;
            EXPECT_TRUE(parser.LoadStream(c.png, img)) << c.what;
            if (zlib && std::string(c.what) != "tRNS") {
                EXPECT_FALSE(img.HasImage()) << c.what;
                EXPECT_EQ(parser.LastError(), cPNGparser::Error::BadCrc) << c.what;
                continue;
            }
            ASSERT_TRUE(img.HasImage()) << c.what << " zlib " << zlib;
            EXPECT_EQ(img.Alpha(), zlib ? 0 : c.alphaWithoutCheck) << c.what;
            EXPECT_EQ(PixelAt(img, 1, 0), zlib ? 0xFF060606u : c.pixel1) << c.what;
        }
    }
}

TEST(PngRules, WrongZlibHeaderStillDecodes) {
    ByteArray z = Compress({0, 5, 6});
    z[0] = 0x00;  // not a valid CMF/FLG pair: zlib refuses, the own inflate does not look
    const ByteArray png = Assemble({{"IHDR", Ihdr(2, 1, 8, 0)}, {"IDAT", z}, {"IEND", {}}});
    for (bool zlib : {true, false}) {
        ZlibSwitch sw(zlib);
        cImage32 img;
        EXPECT_TRUE(cPNGparser().LoadStream(png, img));
        ASSERT_TRUE(img.HasImage()) << zlib;
        EXPECT_EQ(PixelAt(img, 0, 0), 0xFF050505u);
    }
}

TEST(PngRules, IdatSplitAcrossChunksAndStreamRange) {
    const ByteArray raw = {1, 10, 1, 1, 2, 5, 5, 5};
    const ByteArray z = Compress(raw);
    std::vector<Chunk> chunks = {{"IHDR", Ihdr(3, 2, 8, 0)}};
    for (uint8_t b : z) chunks.push_back({"IDAT", {b}});
    chunks.push_back({"IEND", {}});
    ByteArray framed = {1, 2, 3};
    const ByteArray png = Assemble(chunks);
    framed.insert(framed.end(), png.begin(), png.end());
    framed.push_back(0xEE);
    cImage32 img;
    cPNGparser parser;
    ASSERT_TRUE(parser.LoadStream(framed, img, 3, png.size()));
    ASSERT_TRUE(img.HasImage()) << int(parser.LastError());
    EXPECT_EQ(PixelAt(img, 2, 0), 0xFF0C0C0Cu);  // Sub: 10, 11, 12
    EXPECT_EQ(PixelAt(img, 2, 1), 0xFF111111u);  // Up: 12 + 5
}

// Pictures far larger than the inflate window, stored in IDAT chunks of
// several sizes, with a random filter on every row, against libpng; the file
// form (which gathers the chunks) must give the same pixels.
TEST(PngRules, LargePicturesDecodeLikeLibpng) {
    struct Case {
        const char* what;
        uint32_t w, h;
        int depth, colorType, interlace, level, strategy;
        size_t piece;
    };
    const Case cases[] = {
        {"RGB", 600, 300, 8, 2, 0, 6, Z_DEFAULT_STRATEGY, 8192},
        {"RGBA Adam7", 400, 200, 8, 6, 1, 1, Z_DEFAULT_STRATEGY, 1000},
        {"RGBA 16-bit Adam7", 301, 157, 16, 6, 1, 6, Z_FILTERED, 777},
        {"RGB in stored blocks", 400, 200, 8, 2, 0, 0, Z_DEFAULT_STRATEGY, 70001},
        {"palette 4-bit", 1001, 400, 4, 3, 0, 6, Z_RLE, 5000},
        {"grey+alpha, fixed codes", 500, 300, 8, 4, 0, 6, Z_FIXED, 100000},
    };
    const std::string path = std::string(KIV_BINARY_DIR) + "/png_large_test.png";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PngFormat f;
        f.width = c.w;
        f.height = c.h;
        f.depth = c.depth;
        f.colorType = c.colorType;
        f.interlace = c.interlace;
        ByteArray raw;
        uint32_t seed = c.w;
        for (const Adam7Pass& p : c.interlace ? std::vector<Adam7Pass>(kAdam7, kAdam7 + 7)
                                              : std::vector<Adam7Pass>{{0, 0, 1, 1}}) {
            const uint32_t pw = Adam7Count(c.w, p.x0, p.dx), ph = Adam7Count(c.h, p.y0, p.dy);
            for (uint32_t y = 0; pw && y < ph; ++y) {
                seed = seed * 1664525u + 1013904223u;
                raw.push_back(uint8_t((seed >> 24) % 5));
                for (size_t x = 0; x < f.RowBytes(pw); ++x) {
                    seed = seed * 1664525u + 1013904223u;
                    raw.push_back(uint8_t((x * 7 + y * 3) / 5 + (seed >> 29)));
                }
            }
        }
        z_stream zs{};
        deflateInit2(&zs, c.level, Z_DEFLATED, 15, 8, c.strategy);
        ByteArray z(deflateBound(&zs, uLong(raw.size())));
        zs.next_in = raw.data();
        zs.avail_in = uInt(raw.size());
        zs.next_out = z.data();
        zs.avail_out = uInt(z.size());
        ASSERT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
        z.resize(zs.total_out);
        deflateEnd(&zs);
        std::vector<Chunk> chunks = {{"IHDR", Ihdr(c.w, c.h, c.depth, c.colorType, c.interlace)}};
        if (c.colorType == 3) {
            ByteArray pal;
            for (int i = 0; i < 48; ++i) pal.push_back(uint8_t(i * 5));
            chunks.push_back({"PLTE", pal});
        }
        for (size_t at = 0; at < z.size(); at += c.piece)
            chunks.push_back({"IDAT", ByteArray(z.begin() + ptrdiff_t(at),
                                                z.begin() + ptrdiff_t(std::min(z.size(), at + c.piece)))});
        chunks.push_back({"IEND", {}});
        const ByteArray png = Assemble(chunks);

        cImage32 img, fromFile;
        cPNGparser parser;
        ASSERT_TRUE(parser.LoadStream(png, img));
        ASSERT_TRUE(img.HasImage()) << int(parser.LastError());
        dts::Rgba ref;
        ASSERT_TRUE(dts::ReadPngWithLibpng(png, ref));
        EXPECT_EQ(dts::CompareToStraight(img, ref), "");

        std::FILE* out = std::fopen(path.c_str(), "wb");
        ASSERT_NE(out, nullptr);
        std::fwrite(png.data(), 1, png.size(), out);
        std::fclose(out);
        std::FILE* in = std::fopen(path.c_str(), "rb");
        ASSERT_NE(in, nullptr);
        EXPECT_TRUE(parser.LoadFile(in, path, fromFile));
        std::fclose(in);
        ASSERT_TRUE(fromFile.HasImage());
        EXPECT_EQ(0, std::memcmp(fromFile.BitsPointer(), img.BitsPointer(), size_t(img.scanWidth()) * c.h));
    }
    std::remove(path.c_str());
}

TEST(PngRobustness, DamagedSuiteFilesNeverCrash) {
    for (bool zlib : {true, false}) {
        ZlibSwitch sw(zlib);
        for (const auto& path : SuiteFiles()) {
            dts::ForEachDamagedCopy(dts::ReadFile(path), [&](const ByteArray& bytes) {
                cImage32 img;
                cPNGparser parser;
                const bool isPng = parser.LoadStream(bytes, img);
                if (img.HasImage()) {
                    EXPECT_TRUE(isPng);
                    EXPECT_EQ(parser.LastError(), cPNGparser::Error::None);
                }
            });
        }
    }
}

}  // namespace

namespace {

TEST(PngChain, FilesAndStreamsLoadThroughTheChain) {
    const std::string path = dts::TestData("pngsuite/basn6a08.png");
    cImage32 img;
    ASSERT_TRUE(img.LoadPicture_File(path));
    EXPECT_EQ(img.ImageType(), 10);
    EXPECT_EQ(img.Alpha(), 2);
    dts::Rgba ref;
    ASSERT_TRUE(dts::ReadPngFileWithLibpng(path, ref));
    EXPECT_EQ(dts::CompareToStraight(img, ref), "");

    // A PNG that fails to decode ends the chain: no later decoder gets it.
    ByteArray broken = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    broken.resize(80, 0x42);
    EXPECT_FALSE(img.LoadPicture_Stream(broken));
    EXPECT_FALSE(img.HasImage());
}

}  // namespace
