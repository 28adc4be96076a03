// ICO/CUR decoder: Mozilla's and image-rs's reference renderings, the entry
// choice and its scores, hand-made directories, damaged copies.
#include <gtest/gtest.h>

#include "DecoderTestSupport.h"
#include "image/cICOparser.h"

namespace {

using dts::PixelAt;

bool LoadIcon(const ByteArray& bytes, cImage32& img, cICOparser& parser, int cx = 32, int cy = 32, int depth = 32) {
    return parser.LoadBytes(bytes.data(), bytes.size(), cx, cy, img, depth);
}

TEST(IcoMozilla, EveryIconMatchesItsReference) {
    int compared = 0;
    for (const auto& path : dts::ListFiles(dts::TestData("mozilla-ico"), {".ico", ".cur"})) {
        if (path.find("ico-mixed") != std::string::npos) continue;
        cImage32 img;
        cICOparser parser;
        const bool ok = LoadIcon(dts::ReadFile(path), img, parser);
        if (path.find("corrupted") != std::string::npos) {
            EXPECT_FALSE(ok) << path;
            EXPECT_FALSE(img.HasImage()) << path;
            continue;
        }
        ASSERT_TRUE(ok) << path;
        dts::Rgba ref;
        ASSERT_TRUE(dts::ReadPngFileWithLibpng(std::filesystem::path(path).replace_extension(".png").string(), ref));
        EXPECT_EQ(dts::CompareToStraight(img, ref), "") << path;
        ++compared;
    }
    EXPECT_GT(compared, 100);
}

TEST(IcoMozilla, MixedIconPicksTheEntryOfTheWantedSize) {
    const std::string dir = dts::TestData("mozilla-ico/ico-mixed/");
    const ByteArray bytes = dts::ReadFile(dir + "mixed-bmp-png.ico");
    const struct {
        int size;
        const char* reference;
        int index;
    } cases[] = {{48, "mixed-bmp-png48.png", 1}, {32, "mixed-bmp-png32.png", 2}, {16, "mixed-bmp-png.png", 4}};
    for (const auto& c : cases) {
        cImage32 img;
        cICOparser parser;
        ASSERT_TRUE(LoadIcon(bytes, img, parser, c.size, c.size));
        EXPECT_EQ(parser.ChosenIndex(), c.index);
        dts::Rgba ref;
        ASSERT_TRUE(dts::ReadPngFileWithLibpng(dir + c.reference, ref));
        EXPECT_EQ(dts::CompareToStraight(img, ref), "") << c.reference;
        EXPECT_EQ(img.ImageType(), 3);
    }
}

TEST(IcoImageRs, ReferenceRenderingsOfTheChosenEntry) {
    const std::string dir = dts::TestData("image-rs/ico/");
    int compared = 0;
    for (const auto& ref : dts::ListFiles(dir + "reference", {".png"})) {
        const std::string name = std::filesystem::path(ref).stem().string();  // "x.ico"
        cImage32 img;
        cICOparser parser;
        // The reference shows the largest entry; ask for it.
        dts::Rgba want;
        ASSERT_TRUE(dts::ReadPngFileWithLibpng(ref, want));
        ASSERT_TRUE(LoadIcon(dts::ReadFile(dir + name), img, parser, want.w, want.h)) << name;
        EXPECT_EQ(dts::CompareToStraight(img, want), "") << name;
        ++compared;
    }
    EXPECT_EQ(compared, 9);
}

TEST(IcoSamples, CursorsAndIconsOfOtherWritersLoad) {
    for (const char* rel : {"pillow/cur/deerstalker.cur", "pillow/cur/mask_1.cur", "pillow/cur/mask_L.cur",
                            "pillow/ico/hopper.ico", "pillow/ico/hopper_draw.ico", "pillow/ico/black_and_white.ico",
                            "image-rs/ico/bmp-32bpp-conflicting-and-mask.ico", "image-rs/ico/truncated_mask_32bpp.ico"}) {
        cImage32 img;
        cICOparser parser;
        EXPECT_TRUE(LoadIcon(dts::ReadFile(dts::TestData(rel)), img, parser)) << rel;
        EXPECT_TRUE(img.HasImage()) << rel;
    }
    // A cursor keeps its hotspot where an icon keeps planes and bit count;
    // deerstalker's hotspot row is 0, its depth comes from the bitmap.
    cImage32 img;
    cICOparser parser;
    ASSERT_TRUE(LoadIcon(dts::ReadFile(dts::TestData("pillow/cur/deerstalker.cur")), img, parser));
    EXPECT_EQ(parser.bitDepth(1), 32);
    EXPECT_EQ(img.ImageType(), 5);
    for (const char* rel : {"pillow/ico/decompression_bomb.ico", "pillow/cur/no_cursors.cur"}) {
        cImage32 bad;
        EXPECT_FALSE(LoadIcon(dts::ReadFile(dts::TestData(rel)), bad, parser)) << rel;
    }
}

IconEntry Entry(int w, int h, int bits) {
    IconEntry e;
    e.width = w & 0xFF;
    e.height = h & 0xFF;
    e.bitCount = bits;
    return e;
}

TEST(IcoChoice, ScoresPickTheBestEntry) {
    const struct {
        const char* what;
        std::vector<IconEntry> entries;
        int W, H, D;
        int expected;
    } cases[] = {
        {"exact match", {Entry(16, 16, 32), Entry(32, 32, 32), Entry(48, 48, 32)}, 32, 32, 32, 2},
        {"larger beats smaller", {Entry(16, 16, 32), Entry(48, 48, 32)}, 32, 32, 32, 2},
        {"depth difference counts", {Entry(32, 32, 4), Entry(32, 32, 8)}, 32, 32, 32, 2},
        {"ties go to the earlier entry", {Entry(48, 48, 8), Entry(48, 48, 8)}, 32, 32, 32, 1},
        {"256 stored as 0", {Entry(256, 256, 32), Entry(16, 16, 32)}, 256, 256, 32, 1},
        {"all smaller: second pass, nearest", {Entry(8, 8, 32), Entry(16, 16, 32), Entry(16, 16, 4)}, 32, 32, 32, 2},
        {"64-bit entry not taken in the first pass", {Entry(32, 32, 64), Entry(16, 16, 32)}, 32, 32, 32, 2},
        {"unusable entries are skipped", {Entry(32, 32, 0), Entry(48, 48, 32)}, 32, 32, 32, 2},
        {"single usable entry", {Entry(1, 1, 1)}, 64, 64, 32, 1},
        {"single unusable entry", {Entry(32, 32, 0)}, 32, 32, 32, 0},
        {"nothing scored: entry 1", {Entry(32, 32, 0), Entry(32, 32, 0)}, 32, 32, 32, 1},
    };
    for (const auto& c : cases) EXPECT_EQ(cICOparser::ChooseEntry(c.entries, c.W, c.H, c.D), c.expected) << c.what;
}

// One 2x1 icon entry of the given depth; the AND mask hides pixel 1.
ByteArray MakeIcon(int type, int bits, uint8_t alpha = 0) {
    ByteArray f = {0, 0, uint8_t(type), 0, 1, 0, 2, 1, 0, 0, 1, 0, uint8_t(bits), 0};
    ByteArray dib(40, 0);
    dib[0] = 40;
    dib[4] = 2;
    dib[8] = 2;
    dib[12] = 1;
    dib[14] = uint8_t(bits);
    if (bits == 1) dib.insert(dib.end(), {0, 0, 0, 0, 255, 255, 255, 0});
    if (bits == 1) dib.insert(dib.end(), {0b10000000, 0, 0, 0});
    if (bits == 4) {  // two palette entries only; pixel 0 uses index 5
        dib[32] = 2;
        dib.insert(dib.end(), {9, 9, 9, 0, 255, 255, 255, 0});
        dib.insert(dib.end(), {0x51, 0, 0, 0});
    }
    if (bits == 24) dib.insert(dib.end(), {10, 20, 30, 40, 50, 60, 0, 0});
    if (bits == 32) dib.insert(dib.end(), {10, 20, 30, alpha, 40, 50, 60, alpha});
    dib.insert(dib.end(), {0b01000000, 0, 0, 0});
    auto u32 = [&](uint32_t v) { f.insert(f.end(), {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}); };
    u32(uint32_t(dib.size()));
    u32(22);
    f.insert(f.end(), dib.begin(), dib.end());
    return f;
}

TEST(IcoRules, BitmapEntriesWithTheirMask) {
    const struct {
        const char* what;
        ByteArray file;
        uint32_t px0, px1;
        int alpha, imageType;
    } cases[] = {
        {"1-bit icon", MakeIcon(1, 1), 0xFFFFFFFF, 0, 1, 8},
        {"index past a short palette is opaque black", MakeIcon(1, 4), 0xFF000000, 0, 1, 8},
        {"24-bit cursor", MakeIcon(2, 24), 0xFF1E140A, 0, 1, 12},
        {"32-bit without alpha uses the mask", MakeIcon(1, 32), 0xFF1E140A, 0, 1, 3},
        {"32-bit with alpha ignores the mask", MakeIcon(1, 32, 255), 0xFF1E140A, 0xFF3C3228, 0, 3},
        {"32-bit straight alpha is premultiplied", MakeIcon(1, 32, 128), 0x800F0A05, 0x801E1914, 2, 3},
    };
    for (const auto& c : cases) {
        cImage32 img;
        cICOparser parser;
        ASSERT_TRUE(LoadIcon(c.file, img, parser)) << c.what;
        EXPECT_EQ(PixelAt(img, 0), c.px0) << c.what;
        EXPECT_EQ(PixelAt(img, 1), c.px1) << c.what;
        EXPECT_EQ(img.Alpha(), c.alpha) << c.what;
        EXPECT_EQ(img.ImageType(), c.imageType) << c.what;
    }
}

TEST(IcoRules, HeaderChecks) {
    ByteArray good = MakeIcon(1, 24);
    ByteArray reserved = good, type3 = good, noEntries = good, shortDir = good;
    reserved[0] = 1;
    type3[2] = 3;
    noEntries[4] = 0;
    shortDir[4] = 200;  // 200 entries do not fit
    cICOparser parser;
    for (const ByteArray* bad : {&reserved, &type3, &noEntries, &shortDir}) {
        cImage32 img;
        EXPECT_FALSE(LoadIcon(*bad, img, parser));
    }
    cImage32 img;
    EXPECT_TRUE(LoadIcon(good, img, parser));
    EXPECT_EQ(parser.IconCount(), 1);
    EXPECT_EQ(parser.Width(1), 2);
    EXPECT_EQ(parser.Height(1), 1);
    EXPECT_FALSE(parser.IsIconPNG(1));
    EXPECT_EQ(parser.ColorByteOffset(1), 22 + 40);
}

TEST(IcoRules, PngEntryGoesThroughThePngDecoder) {
    const ByteArray png = dts::ReadFile(dts::TestData("pngsuite/basn6a08.png"));
    ByteArray f = {0, 0, 1, 0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0};  // size and depth left 0
    auto u32 = [&](uint32_t v) { f.insert(f.end(), {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}); };
    u32(uint32_t(png.size()));
    u32(22);
    f.insert(f.end(), png.begin(), png.end());
    cImage32 img;
    cICOparser parser;
    ASSERT_TRUE(LoadIcon(f, img, parser));
    EXPECT_TRUE(parser.IsIconPNG(1));
    EXPECT_EQ(parser.Width(1), 32);
    EXPECT_EQ(parser.bitDepth(1), 32);
    EXPECT_EQ(img.ImageType(), 11);
    dts::Rgba ref;
    ASSERT_TRUE(dts::ReadPngWithLibpng(png, ref));
    EXPECT_EQ(dts::CompareToStraight(img, ref), "");
}

TEST(IcoRobustness, DamagedSampleFilesNeverCrash) {
    std::vector<std::string> files;
    for (const char* dir : {"mozilla-ico", "image-rs/ico", "pillow/ico", "pillow/cur"}) {
        const auto f = dts::ListFiles(dts::TestData(dir), {".ico", ".cur"});
        files.insert(files.end(), f.begin(), f.end());
    }
    int decoded = 0;
    auto load = [&](const ByteArray& bytes) {
        cImage32 img;
        cICOparser parser;
        const bool ok = LoadIcon(bytes, img, parser);
        EXPECT_EQ(ok, img.HasImage());
        decoded += ok;
    };
    for (const auto& path : files) dts::ForEachDamagedCopy(dts::ReadFile(path), load);
    // The short palette: directory size, bitmap size and colour count made large.
    dts::ForEachDamagedCopy(MakeIcon(1, 4), load, {{6, 1}, {7, 1}, {26, 4}, {30, 4}, {54, 4}});
    EXPECT_GT(decoded, 0);
}

}  // namespace

namespace {

TEST(IcoChain, IconSizeAndDepthReachTheDecoder) {
    cImage32 img;
    const std::string path = dts::TestData("image-rs/ico/multiple_entries_with_different_bit_depth.ico");
    ASSERT_TRUE(img.LoadPicture_File(path, 16, 16, false, 4));
    EXPECT_EQ(img.Width(), 16);
    EXPECT_EQ(img.ImageType(), 8);  // the 16 x 16 4-bit entry
    ASSERT_TRUE(img.LoadPicture_File(path));
    EXPECT_EQ(img.Width(), 32);
    EXPECT_EQ(img.ImageType(), 3);  // 32 x 32 x 32
    ASSERT_TRUE(img.LoadPicture_File(dts::TestData("pillow/cur/deerstalker.cur")));
    EXPECT_EQ(img.ImageType(), 5);
}

}  // namespace
