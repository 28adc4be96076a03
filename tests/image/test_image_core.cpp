// cImage32: life cycle, capability flags, the loaders' rules, the decoder
// chain, the common save-file handling and the BMP saver.
#include <gtest/gtest.h>

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
    EXPECT_EQ(ReadFile(path).size(), 54u + 16u);
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

TEST(BitmapSaver, RoundTripsThroughTheDecoder) {
    cImage32 img;
    ASSERT_TRUE(img.InitializeDIB(5, 3));
    // Every premultiplied value class: opaque, transparent, partial with odd alphas.
    const uint32_t px[] = {Argb(255, 1, 2, 3), 0, Argb(128, 100, 0, 127), Argb(1, 1, 0, 1), Argb(254, 200, 253, 7),
                           Argb(37, 36, 12, 0), Argb(200, 199, 150, 3)};
    int i = 0;
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x) SetPx(img, x, y, px[i++ % 7]);
    for (bool keep : {false, true}) {
        ByteArray bytes;
        ASSERT_TRUE(img.SaveToStream_Bitmap(bytes, keep, 0x00FF00FF));
        cImage32 back;
        ASSERT_TRUE(back.LoadPicture_Stream(bytes));
        ASSERT_EQ(back.Width(), 5);
        ASSERT_EQ(back.Height(), 3);
        EXPECT_EQ(std::memcmp(back.BitsPointer(), img.BitsPointer(), 60), 0) << "keep=" << keep;
        EXPECT_EQ(back.Alpha(), 2);
        EXPECT_EQ(back.ImageType(), keep ? 7 : 6);
    }
    // An opaque picture comes back as a picture without alpha.
    Fill(img, Argb(255, 9, 8, 7));
    ByteArray bytes;
    ASSERT_TRUE(img.SaveToStream_Bitmap(bytes));
    cImage32 back;
    ASSERT_TRUE(back.LoadPicture_Stream(bytes));
    EXPECT_EQ(back.ImageType(), 1);
    EXPECT_EQ(back.Alpha(), 0);
    EXPECT_EQ(Px(back, 4, 2), Argb(255, 9, 8, 7));
}
