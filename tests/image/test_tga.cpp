// TGA decoder against Pillow's and image-rs's reference PNGs, the header and
// alpha rules on hand-made files, encoder round trips (checked with our
// decoder and with stb_image), and damaged copies.
#include <gtest/gtest.h>

#include <unistd.h>

#include "DecoderTestSupport.h"
#include "image/ByteReader.h"
#include "image/cTGAparser.h"

#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_TGA
#include <stb/stb_image.h>

namespace {

using dts::PixelAt;

bool LoadTga(const ByteArray& bytes, cImage32& img) { return cTGAparser().LoadBytes(bytes.data(), bytes.size(), img); }

TEST(TgaPillow, EveryVariantMatchesItsReference) {
    const std::string dir = dts::TestData("pillow/tga/");
    int compared = 0;
    for (const auto& path : dts::ListFiles(dir, {".tga"})) {
        const std::string name = std::filesystem::path(path).stem().string();
        // "200x32_rgba_bl_rle" -> "200x32_rgba.png"
        const size_t cut = name.find("_bl_") != std::string::npos ? name.find("_bl_") : name.find("_tl_");
        if (cut == std::string::npos) continue;
        cImage32 img;
        ASSERT_TRUE(LoadTga(dts::ReadFile(path), img)) << name;
        dts::Rgba ref;
        ASSERT_TRUE(dts::ReadPngFileWithLibpng(dir + name.substr(0, cut) + ".png", ref)) << name;
        EXPECT_EQ(dts::CompareToStraight(img, ref), "") << name;
        EXPECT_EQ(img.ImageType(), 128);
        ++compared;
    }
    EXPECT_EQ(compared, 25);
}

TEST(TgaImageRs, OriginsColourMapsAndFiveBitColour) {
    const std::string dir = dts::TestData("image-rs/tga/");
    for (const char* name : {"b5-cmap", "b5-noattrib", "b5-unused-cmap", "bottom_left", "bottom_right", "top_left",
                             "top_right", "cmap_offset"}) {
        cImage32 img;
        ASSERT_TRUE(LoadTga(dts::ReadFile(dir + name + ".tga"), img)) << name;
        dts::Rgba ref;
        ASSERT_TRUE(dts::ReadPngFileWithLibpng(dir + "reference/" + name + ".tga.png", ref)) << name;
        // The reference widens 5-bit channels by rounding c * 255 / 31; the
        // decoder's table (i * 8 + i mod 8) stays within 6 of it.
        const int tolerance = std::string(name).rfind("b5-", 0) == 0 ? 6 : 0;
        EXPECT_EQ(dts::CompareToStraight(img, ref, tolerance), "") << name;
    }
}

TEST(TgaRules, SixteenBitAttributeBitClearsPixels) {
    // b5-attrib declares one attribute bit: pixels with bit 15 set are clear,
    // the others are the colours of the same picture without the bit.
    const std::string dir = dts::TestData("image-rs/tga/");
    const ByteArray bytes = dts::ReadFile(dir + "b5-attrib.tga");
    cImage32 attrib, plain;
    ASSERT_TRUE(LoadTga(bytes, attrib));
    ASSERT_TRUE(LoadTga(dts::ReadFile(dir + "b5-noattrib.tga"), plain));
    int clear = 0;
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) {
            const uint32_t v = LoadU16LE(bytes.data() + 18 + 2 * (y * 4 + x));  // top-left origin
            if (v & 0x8000) {
                EXPECT_EQ(PixelAt(attrib, x, y), 0u);
                ++clear;
            } else {
                EXPECT_EQ(PixelAt(attrib, x, y), PixelAt(plain, x, y));
            }
        }
    EXPECT_GT(clear, 0);
    EXPECT_EQ(attrib.Alpha(), 1);

    cImage32 rgba16;
    ASSERT_TRUE(LoadTga(dts::ReadFile(dts::TestData("pillow/tga/rgba16.tga")), rgba16));
    EXPECT_EQ(PixelAt(rgba16, 0, 0), 0xFFAD00FFu);  // 0x541F: red 21 -> 173, blue 31 -> 255
    EXPECT_EQ(PixelAt(rgba16, 1, 0), 0u);           // 0x83EA: bit 15 set
}

ByteArray Header(int type, int w, int h, int depth, int descriptor = 0) {
    ByteArray b(18, 0);
    b[2] = uint8_t(type);
    b[12] = uint8_t(w);
    b[13] = uint8_t(w >> 8);
    b[14] = uint8_t(h);
    b[15] = uint8_t(h >> 8);
    b[16] = uint8_t(depth);
    b[17] = uint8_t(descriptor);
    return b;
}

// Extension area with the given attributes type, then the footer.
void AppendExtension(ByteArray& f, uint8_t attributes) {
    const uint32_t at = uint32_t(f.size());
    ByteArray ext(495, 0);
    ext[0] = 495 & 0xFF;
    ext[1] = 495 >> 8;
    ext[494] = attributes;
    f.insert(f.end(), ext.begin(), ext.end());
    f.insert(f.end(), {uint8_t(at), uint8_t(at >> 8), uint8_t(at >> 16), uint8_t(at >> 24), 0, 0, 0, 0});
    const char sig[] = "TRUEVISION-XFILE.";
    f.insert(f.end(), sig, sig + sizeof sig);
}

TEST(TgaRules, RecognitionNeedsAConsistentHeader) {
    ByteArray grey1 = Header(3, 1, 1, 8);
    cImage32 img;
    EXPECT_FALSE(LoadTga(grey1, img)) << "18 bytes are never a TGA";
    grey1.push_back(77);
    ASSERT_TRUE(LoadTga(grey1, img)) << "19 bytes: one grey pixel";
    EXPECT_EQ(PixelAt(img, 0, 0), 0xFF4D4D4Du);

    const struct {
        const char* what;
        ByteArray file;
    } bad[] = {
        {"image type 4", Header(4, 1, 1, 8)},
        {"width 0", Header(3, 0, 1, 8)},
        {"pixel depth 12", Header(2, 1, 1, 12)},
        {"colour-mapped without a map", Header(1, 1, 1, 8)},
        {"raw data shorter than the picture", Header(2, 4, 4, 24)},
        {"grey at 24 bits", Header(3, 1, 1, 24)},
    };
    for (const auto& c : bad) {
        ByteArray f = c.file;
        f.resize(f.size() + 8, 0);
        EXPECT_FALSE(LoadTga(f, img)) << c.what;
    }
    ByteArray mapped = Header(1, 1, 1, 8);
    mapped[1] = 1;
    mapped[5] = 1;   // one entry
    mapped[7] = 12;  // of 12 bits
    mapped.resize(40, 0);
    EXPECT_FALSE(LoadTga(mapped, img)) << "map entry size 12";
}

// The attributes type says what the alpha bytes are; only a file that does
// not say is left to the alpha analysis.
TEST(TgaRules, ExtensionAttributesDecideWhatAlphaMeans) {
    const struct {
        int attributes;  // -1: no extension area
        uint8_t red, alpha;
        uint32_t want;
        int alphaClass;
    } cases[] = {
        {2, 200, 128, 0xFFC80000u, 0},       {0, 200, 128, 0xFFC80000u, 0},  // alpha bytes unused
        {3, 200, 128, 0x80640000u, 2},                                       // straight
        {3, 100, 200, 0xC84E0000u, 2},                                       // straight though within alpha
        {4, 100, 200, 0xC8640000u, 2},                                       // premultiplied
        {4, 200, 128, 0x80800000u, 2},                                       // premultiplied, cut to alpha
        {-1, 100, 200, 0xC8640000u, 2},                                      // unstated: taken as premultiplied
        {-1, 200, 128, 0x80640000u, 2},                                      // unstated: straight, colour > alpha
    };
    for (const auto& c : cases) {
        ByteArray f = Header(2, 1, 1, 32, 8);
        f.insert(f.end(), {0, 0, c.red, c.alpha});
        if (c.attributes >= 0) AppendExtension(f, uint8_t(c.attributes));
        cImage32 img;
        ASSERT_TRUE(LoadTga(f, img));
        EXPECT_EQ(PixelAt(img, 0, 0), c.want) << c.attributes << " " << int(c.red);
        EXPECT_EQ(img.Alpha(), c.alphaClass) << c.attributes << " " << int(c.red);
    }
}

TEST(TgaRules, RlePacketsAndOrigins) {
    // 3x2 true-colour RLE, top-left origin: a run of 4 crosses into row 2.
    ByteArray f = Header(10, 3, 2, 24, 0x20);
    f.insert(f.end(), {0x83, 1, 2, 3, 0x01, 9, 9, 9, 7, 7, 7});
    cImage32 img;
    ASSERT_TRUE(LoadTga(f, img));
    EXPECT_EQ(PixelAt(img, 2, 0), 0xFF030201u);
    EXPECT_EQ(PixelAt(img, 0, 1), 0xFF030201u);
    EXPECT_EQ(PixelAt(img, 1, 1), 0xFF090909u);
    EXPECT_EQ(PixelAt(img, 2, 1), 0xFF070707u);
    f.pop_back();
    EXPECT_FALSE(LoadTga(f, img)) << "packet data cut short";
    EXPECT_FALSE(img.HasImage());
}

// ---- encoder

void Picture(int kind, cImage32& img) {
    img.InitializeDIB(37, 21);
    for (int y = 0; y < 21; ++y)
        for (int x = 0; x < 37; ++x) {
            uint8_t* p = img.Row(y) + size_t(x) * 4;
            const uint8_t v = uint8_t(x * 7 + y * 13);
            switch (kind) {
            case 0: p[0] = v; p[1] = uint8_t(v * 3); p[2] = uint8_t(x * y); p[3] = 255; break;  // many colours
            case 1: p[0] = p[1] = p[2] = uint8_t(x < 10 ? 0 : 200); p[3] = 255; break;          // grey, runs
            case 2: p[0] = uint8_t(x % 3 * 100); p[1] = 5; p[2] = uint8_t(y % 2 * 250); p[3] = 255; break;
            default: {  // partial alpha, premultiplied
                const uint8_t a = uint8_t(x * 7);
                p[3] = a;
                p[0] = uint8_t(a / 2);
                p[1] = uint8_t(a / 3);
                p[2] = a;
            }
            }
        }
}

TEST(TgaEncoder, RoundTripsThroughBothDecoders) {
    for (int kind = 0; kind < 4; ++kind)
        for (int mask = 0; mask < 8; ++mask) {
            const bool compress = mask & 1, reduce = mask & 2, premultiplied = mask & 4;
            SCOPED_TRACE("kind " + std::to_string(kind) + " mask " + std::to_string(mask));
            cImage32 src;
            Picture(kind, src);
            ByteArray file;
            ASSERT_TRUE(src.SaveToStream_TGA(file, compress, reduce, premultiplied));

            const int expectedType = reduce && kind == 1 ? 3 : reduce && kind == 2 ? 1 : 2;
            EXPECT_EQ(file[2], expectedType + (compress ? 8 : 0));
            EXPECT_EQ(file[16], kind == 3 ? 32 : expectedType == 2 ? 24 : 8);
            EXPECT_EQ(0, std::memcmp(file.data() + file.size() - 18, "TRUEVISION-XFILE.\0", 18));
            const uint32_t ext = LoadU32LE(file.data() + file.size() - 26);
            EXPECT_EQ(LoadU16LE(file.data() + ext), 495u);
            EXPECT_EQ(file[ext + 494], premultiplied ? 4 : kind == 3 ? 3 : 0);
            EXPECT_EQ(0, std::memcmp(file.data() + ext + 426, "Kiv Image Library", 17));

            cImage32 back;
            ASSERT_TRUE(LoadTga(file, back));
            ASSERT_EQ(back.Width(), 37);
            ASSERT_EQ(back.Height(), 21);
            EXPECT_EQ(0, std::memcmp(back.BitsPointer(), src.BitsPointer(), 37 * 21 * 4));

            if (!premultiplied) {  // stb_image reads straight alpha
                int w, h, n;
                stbi_uc* ref = stbi_load_from_memory(file.data(), int(file.size()), &w, &h, &n, 4);
                ASSERT_NE(ref, nullptr) << stbi_failure_reason();
                dts::Rgba straight{w, h, std::vector<uint8_t>(ref, ref + size_t(w) * size_t(h) * 4)};
                stbi_image_free(ref);
                EXPECT_EQ(dts::CompareToStraight(src, straight), "");
            }
        }
}

TEST(TgaEncoder, FileFormAndNoImage) {
    const std::string path = std::string(KIV_BINARY_DIR) + "/tga_saver_" + std::to_string(getpid()) + ".tga";
    std::remove(path.c_str());
    cImage32 src;
    Picture(0, src);
    ASSERT_TRUE(src.SaveToFile_TGA(path, true, false, false, false));
    cImage32 back;
    ASSERT_TRUE(LoadTga(dts::ReadFile(path), back));
    EXPECT_EQ(0, std::memcmp(back.BitsPointer(), src.BitsPointer(), 37 * 21 * 4));
    EXPECT_TRUE(src.SaveToFile_TGA(path, false, false, false, false)) << "overwrite without asking";
    std::remove(path.c_str());

    cImage32 empty;
    ByteArray out = {1, 2, 3};
    EXPECT_FALSE(empty.SaveToStream_TGA(out));
    EXPECT_FALSE(empty.SaveToFile_TGA(path, false, false, false, false));
}

TEST(TgaRobustness, DamagedAndRegressionFilesNeverCrash) {
    std::vector<std::string> files = dts::ListFiles(dts::TestData("pillow/tga"), {".tga"});
    const auto more = dts::ListFiles(dts::TestData("image-rs/tga"), {".tga"});
    files.insert(files.end(), more.begin(), more.end());
    int decoded = 0;
    auto load = [&](const ByteArray& bytes) {
        cImage32 img;
        const bool ok = LoadTga(bytes, img);
        EXPECT_EQ(ok, img.HasImage());
        decoded += ok;
    };
    for (const auto& path : files) dts::ForEachDamagedCopy(dts::ReadFile(path), load);
    // The encoder's straight and premultiplied files, whose extension area
    // states the alpha, with width and height made large.
    cImage32 src;
    Picture(3, src);
    for (bool premultiplied : {false, true}) {
        ByteArray file;
        ASSERT_TRUE(src.SaveToStream_TGA(file, true, false, premultiplied));
        dts::ForEachDamagedCopy(file, load, {{12, 2}, {14, 2}});
    }
    EXPECT_GT(decoded, 0);
    cImage32 img;
    EXPECT_FALSE(LoadTga(dts::ReadFile(dts::TestData("pillow/tga/cross_scan_line_truncated.tga")), img));
}

TEST(TgaRobustness, EveryOtherFormatIsRefusedOrReadSafely) {
    // TGA has no signature and comes last in the chain, so it sees whatever
    // the other decoders did not take: every test file must pass through it
    // without a read outside the data.
    int taken = 0, total = 0;
    for (const auto& path : dts::ListFiles(dts::TestData(""), {".png", ".gif", ".bmp", ".jpg", ".jpeg", ".ico", ".cur"})) {
        cImage32 img;
        const bool ok = LoadTga(dts::ReadFile(path), img);
        EXPECT_EQ(ok, img.HasImage());
        taken += ok;
        ++total;
    }
    EXPECT_GT(total, 700);
    EXPECT_LT(taken, total / 50) << "header checks should refuse almost all foreign data";
}

}  // namespace

namespace {

TEST(TgaChain, TgaIsTriedLast) {
    cImage32 img;
    ASSERT_TRUE(img.LoadPicture_File(dts::TestData("pillow/tga/200x32_rgba_tl_rle.tga")));
    EXPECT_EQ(img.ImageType(), 128);
    EXPECT_EQ(img.Alpha(), 2);
    cImage32 src;
    Picture(2, src);
    ByteArray file;
    ASSERT_TRUE(src.SaveToStream_TGA(file, true, true));
    ASSERT_TRUE(img.LoadPicture_Stream(file));
    EXPECT_EQ(0, std::memcmp(img.BitsPointer(), src.BitsPointer(), 37 * 21 * 4));
}

}  // namespace
