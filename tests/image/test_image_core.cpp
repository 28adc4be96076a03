// cImage32: life cycle, capability flags, the loaders' rules, the decoder
// chain, the common save-file handling and the BMP saver.
#include <gtest/gtest.h>

#include <functional>

#include "image/AlphaAnalysis.h"
#include "image/ImageDialogs.h"
#include "tests/image/ImageCoreTestSupport.h"

using namespace ict;

namespace {

// Answers the overwrite question and records what was asked.
struct QuestionRecorder {
    bool answer = false;
    int asked = 0;
    std::string text, title;
    QuestionRecorder() {
        SetImageQuestionHook([this](const std::string& t, const std::string& ti) {
            ++asked;
            text = t;
            title = ti;
            return answer;
        });
    }
    ~QuestionRecorder() { SetImageQuestionHook({}); }
};

ByteArray TinyBmp24() {
    std::vector<std::vector<uint8_t>> rows(4, std::vector<uint8_t>(12, 0x40));
    return MakeBmp(4, 4, 24, 0, rows);  // 4 x 4, 118 bytes
}

}  // namespace

TEST(Image32, ConstructionSetsThePlatformCapabilities) {
    cImage32 img;
    EXPECT_EQ(img.CapabilityFlags(), 1 + 2 + 8 + 64);
    EXPECT_TRUE(img.isAlphaBlendFriendly());
    EXPECT_TRUE(img.isGDIplusEnabled());
    EXPECT_TRUE(img.HighQualityInterpolation());
    EXPECT_EQ(img.ImageType(), -1);
    EXPECT_EQ(img.Alpha(), 0);
    EXPECT_EQ(img.Width(), 0);
    EXPECT_EQ(img.BitsPointer(), nullptr);
}

TEST(Image32, InitializeDIBSizes) {
    struct Case {
        int w, h;
        bool ok;
        int outW, outH;
    } cases[] = {
        {100, -50, true, 100, 50}, {0, 10, false, 0, 0}, {10, 0, false, 0, 0}, {-3, 4, false, 0, 0},
        {1, 1, true, 1, 1},
        {1 << 14, 1 << 14, true, 1 << 14, 1 << 14},  // 2^28 pixels exactly
        {(1 << 14) + 1, 1 << 14, false, 0, 0},       // just over
        {INT32_MAX, INT32_MAX, false, 0, 0}, {5, INT32_MIN, false, 0, 0},
    };
    for (const auto& c : cases) {
        cImage32 img;
        EXPECT_EQ(img.InitializeDIB(c.w, c.h), c.ok) << c.w << "x" << c.h;
        EXPECT_EQ(img.Width(), c.outW);
        EXPECT_EQ(img.Height(), c.outH);
        if (c.ok && c.w < 1000) {
            EXPECT_EQ(img.scanWidth(), c.outW * 4);
            EXPECT_EQ(img.ImageType(), 0);
            EXPECT_EQ(img.Alpha(), 1);
            const uint8_t* p = img.BitsPointer();
            EXPECT_TRUE(std::all_of(p, p + size_t(img.scanWidth()) * size_t(img.Height()), [](uint8_t b) { return b == 0; }));
        }
    }
}

TEST(Image32, EraseAndDestroy) {
    cImage32 img;
    ASSERT_TRUE(img.InitializeDIB(3, 2));
    Fill(img, 0xFF102030);
    img.SetImageType(7);
    img.Alpha(2);
    img.EraseDIB();
    EXPECT_EQ(Px(img, 2, 1), 0u);
    EXPECT_EQ(img.ImageType(), 0);
    EXPECT_EQ(img.Alpha(), 1);
    img.DestroyDIB();
    EXPECT_FALSE(img.HasImage());
    EXPECT_EQ(img.ImageType(), -1);
    EXPECT_EQ(img.Alpha(), 0);
    EXPECT_EQ(img.Width(), 0);
    EXPECT_EQ(img.Height(), 0);
}

TEST(AlphaAnalysis, OpaqueModeAndPartialAlphaAfterAnEarlyStop) {
    uint8_t px[] = {1, 2, 3, 0, 4, 5, 6, 128};
    const AlphaClass opaque = MakeAlphaOpaque(px, 2);
    EXPECT_EQ(opaque.ImageType, 1);
    EXPECT_EQ(px[3], 255);
    EXPECT_EQ(px[7], 255);
    EXPECT_EQ(px[4], 4);
    // The scan stops at the straight pixel; the partial pixel behind it still counts.
    uint8_t straight[] = {200, 200, 200, 100, 10, 10, 10, 50, 0, 0, 0, 255};
    const AlphaClass a = AnalyseAlpha(straight, 3, false);
    EXPECT_EQ(a.ImageType, 6);
    EXPECT_EQ(a.Alpha, 2);
    EXPECT_EQ(straight[0], 200);  // not asked to premultiply
    // Nothing but on/off alpha with colour under transparent pixels.
    uint8_t onOff[] = {5, 5, 5, 0, 9, 9, 9, 255};
    const AlphaClass b = AnalyseAlpha(onOff, 2, true);
    EXPECT_EQ(b.ImageType, 6);
    EXPECT_EQ(b.Alpha, 1);
    EXPECT_EQ(onOff[0], 0);
}

TEST(Image32Loading, StreamAndFileLengthRules) {
    const ByteArray bmp = TinyBmp24();
    cImage32 img;
    ASSERT_TRUE(img.LoadPicture_Stream(bmp));
    EXPECT_EQ(img.Width(), 4);
    EXPECT_FALSE(img.LoadPicture_Stream(ByteArray{}));
    EXPECT_FALSE(img.HasImage());  // a failed load leaves no image
    EXPECT_FALSE(img.LoadPicture_Stream(bmp, 32, 32, 0, 19));
    EXPECT_FALSE(img.LoadPicture_Stream(bmp, 32, 32, bmp.size()));        // start past the end
    EXPECT_FALSE(img.LoadPicture_Stream(bmp, 32, 32, 10, bmp.size()));    // range past the end
    // iconBitDepth out of range and negative icon sizes are normalised, not refused.
    EXPECT_TRUE(img.LoadPicture_Stream(bmp, -5, -5, 0, 0, false, 40));

    const std::string dir = ScratchDir("loading");
    // A file must be longer than 56 bytes to reach the decoders.
    ByteArray b56 = MakeBmp(1, 1, 8, 0, {{0}});  // 54 + 4 bytes, trimmed to exactly 56 and padded to 57
    ByteArray exactly56(b56.begin(), b56.begin() + 56);
    Put32(exactly56, 10, 54);
    WriteFile(dir + "/56.bmp", exactly56);
    EXPECT_FALSE(img.LoadPicture_File(dir + "/56.bmp"));
    // 57 bytes: the one padded row starts inside the header's last byte.
    ByteArray b57 = MakeBmp(1, 1, 24, 0, {});
    b57.resize(57, 0);
    Put32(b57, 10, 53);
    b57[54] = 1, b57[55] = 2;
    WriteFile(dir + "/57.bmp", b57);
    EXPECT_TRUE(img.LoadPicture_File(dir + "/57.bmp"));
    EXPECT_EQ(Px(img, 0, 0), Argb(255, 2, 1, 0));
    EXPECT_FALSE(img.LoadPicture_File(dir + "/missing.bmp"));
    EXPECT_FALSE(img.LoadPicture_File(dir));  // a folder
    EXPECT_FALSE(img.LoadPicture_File(""));
}

TEST(Image32Loading, JpegGoesThroughThePictureLoaderWithoutTheDrawingEngine) {
    cImage32 img;
    img.isGDIplusEnabled(false);
    ASSERT_TRUE(img.LoadPicture_File(TestData("libjpeg-turbo/testorig.jpg")));
    EXPECT_EQ(img.ImageType(), 1);
    EXPECT_EQ(img.Alpha(), 0);
    EXPECT_EQ(img.Width(), 227);
    EXPECT_EQ(img.Height(), 149);
}

TEST(Image32Loading, KeptSourceBytesReloadTheSamePicture) {
    const std::string path = TestData("bmpsuite/g/pal8.bmp");
    cImage32 img;
    ASSERT_TRUE(img.LoadPicture_File(path, 32, 32, true));
    ByteArray kept;
    ASSERT_TRUE(img.GetOriginalFormat(kept));
    EXPECT_EQ(kept, ReadFile(path));
    const ByteArray before(img.BitsPointer(), img.BitsPointer() + size_t(img.scanWidth()) * size_t(img.Height()));
    ASSERT_TRUE(img.LoadPicture_FromOriginalFormat());
    EXPECT_EQ(ByteArray(img.BitsPointer(), img.BitsPointer() + before.size()), before);
    EXPECT_TRUE(img.GetOriginalFormat(kept));  // reloading keeps them again

    cImage32 plain;
    ASSERT_TRUE(plain.LoadPicture_File(path));
    EXPECT_FALSE(plain.GetOriginalFormat(kept));
    // A range of a stream keeps only that range.
    ByteArray padded(5, 0);
    const ByteArray bmp = TinyBmp24();
    padded.insert(padded.end(), bmp.begin(), bmp.end());
    ASSERT_TRUE(plain.LoadPicture_Stream(padded, 32, 32, 5, 0, true));
    ASSERT_TRUE(plain.GetOriginalFormat(kept));
    EXPECT_EQ(kept, bmp);
}

TEST(Image32Saving, OverwriteQuestionAndFileHandling) {
    QuestionRecorder q;
    const std::string dir = ScratchDir("saving");
    const std::string path = dir + "/out.bmp";
    cImage32 img;
    EXPECT_FALSE(img.SaveToFile_Bitmap(path));  // no image
    ASSERT_TRUE(img.InitializeDIB(2, 2));
    EXPECT_FALSE(img.SaveToFile_Bitmap(""));
    ASSERT_TRUE(img.SaveToFile_Bitmap(path));
    EXPECT_EQ(q.asked, 0);

    WriteFile(path, ByteArray{'o', 'l', 'd'});
    q.answer = false;
    EXPECT_FALSE(img.SaveToFile_Bitmap(path));
    EXPECT_EQ(q.asked, 1);
    EXPECT_EQ(q.text, "Overwrite existing file?");
    EXPECT_EQ(q.title, "Overwrite Confirmation");
    EXPECT_EQ(ReadFile(path), (ByteArray{'o', 'l', 'd'}));

    q.answer = true;
    EXPECT_TRUE(img.SaveToFile_Bitmap(path));
    EXPECT_EQ(ReadFile(path).size(), 138u + 16u);
    // Without the prompt the file is replaced without asking.
    EXPECT_TRUE(img.SaveToFile_Bitmap(path, false, 0, false));
    EXPECT_EQ(q.asked, 2);
    // A folder of that name is never removed.
    std::filesystem::create_directory(dir + "/folder.bmp");
    EXPECT_FALSE(img.SaveToFile_Bitmap(dir + "/folder.bmp", false, 0, false));
    EXPECT_TRUE(std::filesystem::is_directory(dir + "/folder.bmp"));
}

TEST(Image32Saving, NobodyToAskMeansNo) {
    const std::string dir = ScratchDir("saving-no-hook");
    WriteFile(dir + "/x.bmp", ByteArray{1});
    cImage32 img;
    ASSERT_TRUE(img.InitializeDIB(1, 1));
    EXPECT_FALSE(img.SaveToFile_Bitmap(dir + "/x.bmp"));
    EXPECT_EQ(ReadFile(dir + "/x.bmp"), ByteArray{1});
}

// What a saver writes, the decoder chain gives back byte for byte. The
// pictures would fool a loader that guessed whether alpha is straight or
// premultiplied (straight colours that stay within their alpha), and a last
// one holds pixels no valid picture has (colour above alpha), which every
// saver must take, cut to their alpha where it keeps colours exactly.
TEST(Savers, ReloadExactlyWhatTheySaved) {
    struct Picture {
        const char* name;
        int w, h;
        std::function<uint32_t(int x, int y)> px;  // premultiplied 0xAARRGGBB
        bool gifKeepsIt;                            // alpha 0 or 255, at most 255 colours
    };
    const Picture pictures[] = {
        {"dark colours at high alpha", 9, 5,
         [](int x, int y) { return x == 8 ? Argb(255, 9, 9, 9) : Argb(200, 100, uint8_t(x * 12), uint8_t(y * 20)); },
         false},
        {"mixed alpha", 16, 16,
         [](int x, int y) {
             const unsigned a = unsigned(x * 16 + y) * 37 % 256;
             return Argb(a, std::min(a, unsigned(x * 17)), std::min(a, unsigned(y * 9)), a / 2);
         },
         false},
        {"opaque with cut-outs", 7, 3,
         [](int x, int y) { return (x + y) % 3 ? Argb(255, uint8_t(x * 30), 7, uint8_t(y)) : 0u; }, true},
        {"fully opaque", 5, 4,
         [](int x, int y) { return Argb(255, uint8_t(x * 50), uint8_t(y * 60), uint8_t(x ^ y)); }, true},
        {"fully transparent", 3, 3, [](int, int) { return 0u; }, true},
        {"one pixel", 1, 1, [](int, int) { return Argb(77, 3, 70, 77); }, false},
        {"wider than TGA and GIF allow", 65536, 1, [](int x, int) { return Argb(255, uint8_t(x >> 8), uint8_t(x), 0); },
         false},
        // The first pixel once made the PNG writer's colour search loop forever.
        {"invalid premultiplied pixels", 6, 2,
         [](int x, int y) { return x + y == 0 ? 0x12345678u : Argb(uint8_t(x * 40 + y), 250, uint8_t(x * 90), 3); },
         false},
    };
    struct Saver {
        const char* name;
        std::function<bool(cImage32&, ByteArray&)> save;
        int maxSide;
        uint32_t clearComesBackAs;  // what a fully transparent picture reloads as
        bool keepsInvalidAsCut;     // colour above alpha reloads as alpha
    };
    const Saver savers[] = {
        {"PNG", [](cImage32& i, ByteArray& b) { return i.SaveToStream_PNG(b); }, INT32_MAX, 0, true},
        {"TGA", [](cImage32& i, ByteArray& b) { return i.SaveToStream_TGA(b); }, 65535, 0, true},
        {"TGA RLE", [](cImage32& i, ByteArray& b) { return i.SaveToStream_TGA(b, true); }, 65535, 0, true},
        {"TGA premultiplied", [](cImage32& i, ByteArray& b) { return i.SaveToStream_TGA(b, true, false, true); }, 65535,
         0, true},
        // Alpha bytes that are all 0 count as unused in a bitmap: opaque in the fill colour.
        {"BMP", [](cImage32& i, ByteArray& b) { return i.SaveToStream_Bitmap(b, false, 0x00FF0080); }, INT32_MAX,
         0xFF8000FF, true},
        {"BMP premultiplied", [](cImage32& i, ByteArray& b) { return i.SaveToStream_Bitmap(b, true); }, INT32_MAX,
         0xFF000000, false},
        {"GIF", [](cImage32& i, ByteArray& b) { return i.SaveToStream_GIF(b); }, 65535, 0, true},
    };
    for (const Picture& p : pictures) {
        cImage32 img;
        ASSERT_TRUE(img.InitializeDIB(p.w, p.h));
        bool valid = true, clear = true;
        for (int y = 0; y < p.h; ++y)
            for (int x = 0; x < p.w; ++x) {
                const uint32_t v = p.px(x, y);
                SetPx(img, x, y, v);
                valid = valid && std::max({R(v), G(v), B(v)}) <= A(v);
                clear = clear && v == 0;
            }
        for (const Saver& s : savers) {
            SCOPED_TRACE(std::string(p.name) + " / " + s.name);
            ByteArray bytes;
            if (std::max(p.w, p.h) > s.maxSide) {
                EXPECT_FALSE(s.save(img, bytes));
                continue;
            }
            if (std::string(s.name) == "GIF" && !p.gifKeepsIt) continue;
            ASSERT_TRUE(s.save(img, bytes));
            cImage32 back;
            ASSERT_TRUE(back.LoadPicture_Stream(bytes));
            ASSERT_EQ(back.Width(), p.w);
            ASSERT_EQ(back.Height(), p.h);
            bool notOpaque = false;
            for (int y = 0; y < p.h; ++y)
                for (int x = 0; x < p.w; ++x) {
                    const uint32_t v = p.px(x, y), a = A(v);
                    uint32_t want = Argb(a, std::min(R(v), a), std::min(G(v), a), std::min(B(v), a));
                    if (clear) want = s.clearComesBackAs;
                    const uint32_t got = Px(back, x, y);
                    if (valid || s.keepsInvalidAsCut) {
                        ASSERT_EQ(got, want) << x << "," << y;
                    } else {
                        ASSERT_LE(std::max({R(got), G(got), B(got)}), A(got)) << x << "," << y;
                    }
                    notOpaque = notOpaque || A(got) != 255;
                }
            // Drawing asks for per-pixel alpha exactly when the class is above 0.
            EXPECT_EQ(back.Alpha() > 0, notOpaque);
        }
    }
}
