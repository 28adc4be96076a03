// GIF decoder: the gif-test-suite's expected first frames, the frame suite's
// PNG frames, stb_image on the other sample GIFs, hand-made cases for the
// transparency rules, and damaged copies of every GIF.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "DecoderTestSupport.h"
#include "image/cGIFparser.h"

#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_GIF
#include <stb/stb_image.h>

namespace {

using dts::PixelAt;

std::map<std::string, std::string> ReadConf(const std::string& path, const std::string& section) {
    std::ifstream f(path);
    std::map<std::string, std::string> out;
    std::string line, current;
    while (std::getline(f, line)) {
        if (!line.empty() && line[0] == '[') {
            current = line.substr(1, line.find(']') - 1);
            continue;
        }
        const size_t eq = line.find(" = ");
        if (current == section && eq != std::string::npos) out[line.substr(0, eq)] = line.substr(eq + 3);
    }
    return out;
}

TEST(GifTestSuite, FirstFramesMatchTheExpectedOutput) {
    const std::string dir = dts::TestData("gif-test-suite") + "/";
    std::ifstream list(dir + "TESTS");
    // First frames made of several images, and frames whose descriptor has
    // no pixels (the suite composes those onto the screen).
    const std::set<std::string> notSingleImage = {"images-combine", "images-overlap", "high-color",
                                                  "animation-multi-image", "animation-multi-image-explicit-zero-delay",
                                                  "image-zero-width", "image-zero-height", "image-zero-size",
                                                  "zero-width", "zero-height", "zero-size",
                                                  "dispose-restore-previous",
                                                  // The walk skips plain-text extensions and takes the
                                                  // image after it; the suite expects nothing.
                                                  "plain-text"};
    std::string name;
    int compared = 0, rejected = 0;
    while (list >> name) {
        if (notSingleImage.count(name)) continue;
        const auto config = ReadConf(dir + name + ".conf", "config");
        const ByteArray bytes = dts::ReadFile(dir + config.at("input"));
        cImage32 img;
        cGIFparser parser;
        const bool isGif = parser.LoadBytes(bytes.data(), bytes.size(), img);
        const std::string frames = config.count("frames") ? config.at("frames") : "";
        // "no-data" holds no image descriptor at all: not a picture to take.
        if (frames.empty() || name == "no-data") {
            EXPECT_FALSE(img.HasImage()) << name;
            ++rejected;
            continue;
        }
        ASSERT_TRUE(isGif) << name;
        const auto frame0 = ReadConf(dir + name + ".conf", frames.substr(0, frames.find(',')));
        dts::Rgba canvas;
        canvas.w = std::stoi(config.at("width"));
        canvas.h = std::stoi(config.at("height"));
        if (frame0.count("pixels")) {
            canvas.px = dts::ReadFile(dir + frame0.at("pixels"));
            ASSERT_EQ(canvas.px.size(), size_t(canvas.w) * size_t(canvas.h) * 4) << name;
        } else {
            ASSERT_TRUE(dts::ReadPngFileWithLibpng(dir + frame0.at("image"), canvas)) << name;
        }
        EXPECT_EQ(dts::CompareToStraight(img, canvas, 0, parser.FrameLeft(), parser.FrameTop()), "") << name;
        EXPECT_EQ(img.ImageType(), 9) << name;
        EXPECT_EQ(img.Alpha(), parser.TransparentIndex() >= 0 ? 1 : 0) << name;
        ++compared;
    }
    EXPECT_GT(compared, 60);
    EXPECT_GE(rejected, 5);
}

TEST(GifFramesSuite, FirstFrameMatchesTheReferenceFrame) {
    const std::string dir = dts::TestData("gif-frames-suite") + "/";
    int compared = 0;
    for (const auto& path : dts::ListFiles(dir, {".gif"})) {
        const std::string stem = std::filesystem::path(path).stem().string();
        dts::Rgba canvas;
        const std::string animated = dir + "frames/" + stem + "-0.png";
        const bool found = dts::ReadPngFileWithLibpng(
            std::filesystem::exists(animated) ? animated : dir + "frames/" + stem + ".png", canvas);
        ASSERT_TRUE(found) << stem;
        const ByteArray bytes = dts::ReadFile(path);
        cImage32 img;
        cGIFparser parser;
        ASSERT_TRUE(parser.LoadBytes(bytes.data(), bytes.size(), img)) << stem;
        EXPECT_EQ(dts::CompareToStraight(img, canvas, 0, parser.FrameLeft(), parser.FrameTop()), "") << stem;
        ++compared;
    }
    EXPECT_EQ(compared, 13);
}

TEST(GifSamples, FirstFrameMatchesStbImage) {
    auto files = dts::ListFiles(dts::TestData("pillow/gif"), {".gif"});
    const auto more = dts::ListFiles(dts::TestData("image-rs/gif"), {".gif"});
    files.insert(files.end(), more.begin(), more.end());
    int compared = 0;
    for (const auto& path : files) {
        const ByteArray bytes = dts::ReadFile(path);
        int w = 0, h = 0, n = 0;
        stbi_uc* ref = stbi_load_from_memory(bytes.data(), int(bytes.size()), &w, &h, &n, 4);
        cImage32 img;
        cGIFparser parser;
        parser.LoadBytes(bytes.data(), bytes.size(), img);
        // stb_image fills the rest of the screen and keeps a frame whose
        // indexes run past its colour table; compare where both decode.
        if (ref && img.HasImage()) {
            dts::Rgba canvas{w, h, std::vector<uint8_t>(ref, ref + size_t(w) * size_t(h) * 4)};
            EXPECT_EQ(dts::CompareToStraight(img, canvas, 0, parser.FrameLeft(), parser.FrameTop()), "") << path;
            ++compared;
        }
        stbi_image_free(ref);
    }
    EXPECT_GT(compared, 25);
}

// ---- hand-made files

// LZW data that sends a clear code before every index, so no table entry
// is ever used: trivially correct for any index sequence.
ByteArray ClearPerPixel(const std::vector<uint16_t>& indexes, int minCodeSize) {
    const int clear = 1 << minCodeSize, width = minCodeSize + 1;
    ByteArray bits;
    uint32_t acc = 0;
    int n = 0;
    auto put = [&](int code) {
        acc |= uint32_t(code) << n;
        n += width;
        while (n >= 8) {
            bits.push_back(uint8_t(acc));
            acc >>= 8;
            n -= 8;
        }
    };
    for (uint16_t i : indexes) {
        put(clear);
        put(i);
    }
    put(clear + 1);
    if (n) bits.push_back(uint8_t(acc));
    ByteArray out = {uint8_t(minCodeSize)};
    for (size_t p = 0; p < bits.size(); p += 255) {
        const size_t len = std::min<size_t>(255, bits.size() - p);
        out.push_back(uint8_t(len));
        out.insert(out.end(), bits.begin() + ptrdiff_t(p), bits.begin() + ptrdiff_t(p + len));
    }
    out.push_back(0);
    return out;
}

struct GifSpec {
    const char* signature = "GIF89a";
    uint16_t screenW = 2, screenH = 1;
    std::vector<uint8_t> globalTable;  // RGB triples, a power-of-two count
    int transparent = -1;              // graphic control extension when >= 0
    bool controlExtension = false;
    uint16_t left = 0, top = 0, w = 2, h = 1;
    std::vector<uint8_t> localTable;
    std::vector<uint16_t> indexes;
    int codeSize = 2;  // LZW minimum code size
};

uint8_t TableBits(size_t bytes) {
    uint8_t b = 0;
    while ((2u << b) * 3 < bytes) ++b;
    return b;
}

ByteArray MakeGif(const GifSpec& s) {
    ByteArray g(s.signature, s.signature + 6);
    auto u16 = [&](uint16_t v) { g.insert(g.end(), {uint8_t(v), uint8_t(v >> 8)}); };
    u16(s.screenW);
    u16(s.screenH);
    g.push_back(s.globalTable.empty() ? 0 : uint8_t(0x80 | TableBits(s.globalTable.size())));
    g.insert(g.end(), {0, 0});
    g.insert(g.end(), s.globalTable.begin(), s.globalTable.end());
    if (s.controlExtension || s.transparent >= 0)
        g.insert(g.end(), {0x21, 0xF9, 4, uint8_t(s.transparent >= 0 ? 1 : 0), 0, 0,
                           uint8_t(s.transparent >= 0 ? s.transparent : 0), 0});
    g.push_back(0x2C);
    u16(s.left);
    u16(s.top);
    u16(s.w);
    u16(s.h);
    g.push_back(s.localTable.empty() ? 0 : uint8_t(0x80 | TableBits(s.localTable.size())));
    g.insert(g.end(), s.localTable.begin(), s.localTable.end());
    const ByteArray data = ClearPerPixel(s.indexes, s.codeSize);
    g.insert(g.end(), data.begin(), data.end());
    g.push_back(0x3B);
    return g;
}

TEST(GifRules, TransparencyFollowsTheIndexNotTheColour) {
    GifSpec s;
    s.screenW = s.w = 4;
    // Entries 0 and 2 share one colour; only index 2 is transparent.
    s.globalTable = {10, 20, 30, 40, 50, 60, 10, 20, 30, 255, 255, 255};
    s.transparent = 2;
    s.indexes = {0, 1, 2, 3};
    cImage32 img;
    cGIFparser parser;
    ASSERT_TRUE(parser.LoadStream(MakeGif(s), img));
    ASSERT_TRUE(img.HasImage());
    EXPECT_EQ(PixelAt(img, 0, 0), 0xFF0A141Eu);
    EXPECT_EQ(PixelAt(img, 1, 0), 0xFF28323Cu);
    EXPECT_EQ(PixelAt(img, 2, 0), 0u);
    EXPECT_EQ(PixelAt(img, 3, 0), 0xFFFFFFFFu);
    EXPECT_EQ(img.Alpha(), 1);
    EXPECT_EQ(img.ImageType(), 9);
}

TEST(GifRules, FrameAtItsOwnSizeWithLocalTableAndNoTransparency) {
    GifSpec s;
    s.screenW = 50;
    s.screenH = 40;
    s.left = 7;
    s.top = 9;
    s.w = 2;
    s.h = 2;
    s.globalTable = {1, 1, 1, 2, 2, 2};
    s.localTable = {9, 9, 9, 0, 0, 200, 0, 0, 0, 0, 0, 0};
    s.controlExtension = true;  // present, transparency flag clear
    s.indexes = {0, 1, 1, 0};
    cImage32 img;
    cGIFparser parser;
    ASSERT_TRUE(parser.LoadStream(MakeGif(s), img));
    ASSERT_TRUE(img.HasImage());
    EXPECT_EQ(img.Width(), 2);
    EXPECT_EQ(img.Height(), 2);
    EXPECT_EQ(PixelAt(img, 1, 0), 0xFF0000C8u);
    EXPECT_EQ(PixelAt(img, 0, 1), 0xFF0000C8u);
    EXPECT_EQ(PixelAt(img, 0, 0), 0xFF090909u);
    EXPECT_EQ(img.Alpha(), 0);
    EXPECT_EQ(parser.FrameLeft(), 7);
    EXPECT_EQ(parser.FrameTop(), 9);
}

TEST(GifRules, WhatIsNotAGifTheDecoderCanUse) {
    GifSpec good;
    good.globalTable = {0, 0, 0, 255, 255, 255};
    good.indexes = {1, 0};
    ByteArray lower = MakeGif(good);
    std::memcpy(lower.data(), "gif87a", 6);
    GifSpec noTable = good;
    noTable.globalTable.clear();
    const ByteArray goodGif = MakeGif(good);
    ByteArray onlyExtensions(goodGif.begin(), goodGif.begin() + 19);  // header + table
    onlyExtensions.insert(onlyExtensions.end(), {0x21, 0xFE, 2, 'h', 'i', 0, 0x3B});
    ByteArray wrongSig = MakeGif(good);
    wrongSig[4] = '8';

    cImage32 img;
    cGIFparser parser;
    EXPECT_TRUE(parser.LoadStream(lower, img));
    EXPECT_TRUE(img.HasImage()) << "signature in any letter case";
    EXPECT_FALSE(parser.LoadStream(MakeGif(noTable), img)) << "no colour table";
    EXPECT_FALSE(parser.LoadStream(onlyExtensions, img)) << "no image";
    EXPECT_FALSE(parser.LoadStream(wrongSig, img)) << "GIF88a";
}

TEST(GifRules, DamagedDataIsAGifWithoutAnImage) {
    GifSpec good;
    good.globalTable = {0, 0, 0, 255, 255, 255};
    good.indexes = {1, 0};
    const ByteArray gif = MakeGif(good);
    ByteArray cut(gif.begin(), gif.end() - 4);  // inside the image data
    ByteArray badCode = gif;
    badCode[gif.size() - 5] = 0xFF;  // codes beyond the table
    // 9-bit codes reach index 511, but no colour table goes past 255 (300
    // must not wrap round to entry 44 of a full table).
    GifSpec wide = good;
    wide.globalTable.assign(768, 255);
    wide.codeSize = 9;
    wide.indexes = {1, 300};
    const ByteArray index300 = MakeGif(wide);
    wide.indexes = {1, 0};
    cImage32 nineBit;
    ASSERT_TRUE(cGIFparser().LoadStream(MakeGif(wide), nineBit));
    EXPECT_EQ(PixelAt(nineBit, 0, 0), 0xFFFFFFFFu) << "9-bit codes themselves are fine";
    for (const ByteArray& bytes : {cut, badCode, index300}) {
        cImage32 img;
        ASSERT_TRUE(img.InitializeDIB(3, 3));
        EXPECT_TRUE(cGIFparser().LoadStream(bytes, img));
        EXPECT_FALSE(img.HasImage());
    }
}

TEST(GifRules, FrameLargerThanItsDataCanFillIsRefused) {
    GifSpec s;
    s.globalTable = {0, 0, 0, 255, 255, 255};
    s.indexes = {1, 0};  // a few codes of 3 bits
    s.w = 2;
    s.h = 3;  // missing pixels are fine
    cImage32 img;
    ASSERT_TRUE(cGIFparser().LoadStream(MakeGif(s), img));
    ASSERT_TRUE(img.HasImage());
    EXPECT_EQ(PixelAt(img, 0, 2), 0xFF000000u);  // index 0
    s.w = 16000;
    s.h = 16000;  // far more than those codes can produce
    EXPECT_TRUE(cGIFparser().LoadStream(MakeGif(s), img));
    EXPECT_FALSE(img.HasImage());
}

TEST(GifLzw, ShortDataLeavesTheRestAndLongDataIsCut) {
    const ByteArray data = ClearPerPixel({1, 2, 3}, 2);  // size byte, sub-block, terminator
    std::vector<uint8_t> out(5, 0xEE);
    ASSERT_TRUE(GifLzwDecode(data.data() + 2, data[1], 2, out.data(), out.size()));
    EXPECT_EQ(out, (std::vector<uint8_t>{1, 2, 3, 0xEE, 0xEE}));
    std::vector<uint8_t> two(2);
    ASSERT_TRUE(GifLzwDecode(data.data() + 2, data[1], 2, two.data(), two.size()));
    EXPECT_EQ(two, (std::vector<uint8_t>{1, 2}));
    for (int bad : {0, 12, 255}) EXPECT_FALSE(GifLzwDecode(data.data() + 2, data[1], bad, two.data(), 2)) << bad;
}

TEST(GifRobustness, DamagedSampleFilesNeverCrash) {
    std::vector<std::string> files;
    for (const char* dir : {"gif-test-suite", "gif-frames-suite", "pillow/gif", "image-rs/gif"}) {
        const auto f = dts::ListFiles(dts::TestData(dir), {".gif"});
        files.insert(files.end(), f.begin(), f.end());
    }
    int decoded = 0;
    auto load = [&](const ByteArray& bytes) {
        cImage32 img;
        cGIFparser parser;
        if (parser.LoadBytes(bytes.data(), bytes.size(), img) && img.HasImage()) {
            ++decoded;
            EXPECT_EQ(img.ImageType(), 9);
        }
    };
    for (const auto& path : files) dts::ForEachDamagedCopy(dts::ReadFile(path), load);
    // 9-bit codes, with and without an index past 255; the sizes of screen
    // and frame (after the 768-byte table) also made larger than the data.
    GifSpec wide;
    wide.globalTable.assign(768, 255);
    wide.codeSize = 9;
    for (const auto& indexes : {std::vector<uint16_t>{1, 300}, std::vector<uint16_t>{1, 0}}) {
        wide.indexes = indexes;
        dts::ForEachDamagedCopy(MakeGif(wide), load, {{6, 2}, {8, 2}, {786, 2}, {788, 2}});
    }
    EXPECT_GT(decoded, 0);
}

}  // namespace

namespace {

TEST(GifChain, FirstFrameThroughLoadPictureFile) {
    cImage32 img;
    ASSERT_TRUE(img.LoadPicture_File(dts::TestData("gif-frames-suite/animated_transparent_loop.gif")));
    EXPECT_EQ(img.ImageType(), 9);
    EXPECT_EQ(img.Alpha(), 1);
}

}  // namespace
