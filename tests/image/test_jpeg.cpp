// JPEG decoding on two decoders against TurboJPEG decoding the same bytes in
// one call: the same pixels and the same accept/refuse decision for every
// test file, damaged copies of them, and large pictures of each sampling,
// wherever the rows are cut between the two decoders.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <optional>

#include <jpeglib.h>
#include <jerror.h>
#include <turbojpeg.h>

#include "image/PictureLoader.h"
#include "tests/image/TestFiles.h"

namespace {

struct Decoded {
    bool ok = false;
    int w = 0, h = 0;
    std::vector<uint8_t> bits;  // bottom-up BGRA
};

// TurboJPEG reports only the first problem of a stream: an error after a
// warning comes out as a warning (with its text), and the end of the data
// after a warning goes unnoticed. The loader fails the picture then.
bool IsWarningText(const char* text) {
    jpeg_error_mgr errors{};
    jpeg_std_error(&errors);
    for (int code : {JWRN_ADOBE_XFORM, JWRN_ARITH_BAD_CODE, JWRN_BOGUS_PROGRESSION, JWRN_EXTRANEOUS_DATA,
                     JWRN_HIT_MARKER, JWRN_HUFF_BAD_CODE, JWRN_JFIF_MAJOR, JWRN_JPEG_EOF, JWRN_MUST_RESYNC,
                     JWRN_NOT_SEQUENTIAL, JWRN_TOO_MUCH_DATA, JWRN_BOGUS_ICC}) {
        const std::string format = errors.jpeg_message_table[code];
        if (std::string(text).compare(0, format.find('%'), format, 0, format.find('%')) == 0) return true;
    }
    return false;
}

// Whether the decoder meets an end of image marker after the last scan
// begins (entropy-coded data holds no marker but restarts).
bool ReachesEnd(const ByteArray& b) {
    size_t lastScan = b.size();
    for (size_t i = 0; i + 1 < b.size(); ++i)
        if (b[i] == 0xFF && b[i + 1] == 0xDA) lastScan = i;
    for (size_t i = lastScan; i + 1 < b.size(); ++i)
        if (b[i] == 0xFF && b[i + 1] == 0xD9) return true;
    return false;
}

// TurboJPEG as the loader used to call it: warnings pass, except data that
// ends early; errors fail.
Decoded TurboJpeg(const ByteArray& bytes) {
    Decoded d;
    tjhandle tj = tjInitDecompress();
    int subsamp = 0, colorspace = 0;
    if (tjDecompressHeader3(tj, bytes.data(), bytes.size(), &d.w, &d.h, &subsamp, &colorspace) == 0 && d.w > 0 &&
        d.h > 0 && int64_t(d.w) * d.h <= kMaxImagePixels) {
        d.bits.resize(size_t(d.w) * size_t(d.h) * 4);
        const int rc = tjDecompress2(tj, bytes.data(), bytes.size(), d.bits.data(), d.w, d.w * 4, d.h, TJPF_BGRA,
                                     TJFLAG_BOTTOMUP | TJFLAG_LIMITSCANS);
        const char* text = tjGetErrorStr2(tj);
        d.ok = ReachesEnd(bytes) && (rc == 0 || (tjGetErrorCode(tj) == TJERR_WARNING && IsWarningText(text) &&
                                                 !std::strstr(text, "Premature end")));
    }
    tjDestroy(tj);
    return d;
}

void ExpectAsTurboJpeg(const Decoded& ref, bool ok, const cImage32& img, const std::string& what) {
    ASSERT_EQ(ok, ref.ok) << what;
    ASSERT_EQ(img.HasImage(), ok) << what;
    if (!ok) return;
    ASSERT_EQ(img.Width(), ref.w) << what;
    ASSERT_EQ(img.Height(), ref.h) << what;
    EXPECT_EQ(std::memcmp(img.BitsPointer(), ref.bits.data(), ref.bits.size()), 0) << what;
}

// Decodes on two cores, and with the rows cut at each of `cuts`; answers
// whether the two decoders took the picture.
bool ExpectAllAsTurboJpeg(const ByteArray& bytes, const std::vector<int>& cuts, const std::string& what) {
    const Decoded ref = TurboJpeg(bytes);
    cImage32 img;
    ExpectAsTurboJpeg(ref, DecodeJPEG(bytes.data(), bytes.size(), img), img, what);
    for (int cut : cuts) {
        const std::optional<bool> ok = DecodeJPEGCutAt(bytes.data(), bytes.size(), img, cut);
        if (!ok) return false;
        ExpectAsTurboJpeg(ref, *ok, img, what + " cut at " + std::to_string(cut));
    }
    return true;
}

TEST(JpegDecoding, TestFilesAndDamagedCopiesDecodeAsTurboJpeg) {
    const std::vector<std::string> files = testfiles::ListFiles(testfiles::TestData(""), {".jpg", ".jpeg"});
    ASSERT_GE(files.size(), 130u);
    int split = 0;
    for (const auto& path : files) {
        const ByteArray original = testfiles::ReadFile(path);
        const Decoded ref = TurboJpeg(original);
        // Every row of coding units (8 rows at least) as the cut.
        std::vector<int> cuts;
        for (int cut = 0; cut <= ref.h && ref.ok; cut += 8) cuts.push_back(cut);
        split += ExpectAllAsTurboJpeg(original, cuts, path) && !cuts.empty();
        testfiles::ForEachDamagedCopy(original, [&](const ByteArray& copy) {
            ExpectAllAsTurboJpeg(copy, {0, ref.h / 2}, path);
        });
    }
    // The baseline files of the suites; progressive ones have one decoder.
    EXPECT_GE(split, 60);
}

// A photo-like picture (gradients and noise, so the entropy data has real
// work in it) through libjpeg's encoder, which offers what TurboJPEG's does
// not: restart markers, any sampling (of the first component; the others 1x1).
ByteArray Encode(int w, int h, int hSamp, int vSamp, bool gray, int restartRows = 0, int restartMcus = 0,
                 bool progressive = false) {
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char* out = nullptr;
    unsigned long outSize = 0;
    jpeg_mem_dest(&info, &out, &outSize);
    info.image_width = JDIMENSION(w);
    info.image_height = JDIMENSION(h);
    info.input_components = gray ? 1 : 3;
    info.in_color_space = gray ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 90, TRUE);
    info.comp_info[0].h_samp_factor = hSamp;
    info.comp_info[0].v_samp_factor = vSamp;
    info.restart_in_rows = restartRows;
    info.restart_interval = JDIMENSION(restartMcus);
    if (progressive) jpeg_simple_progression(&info);
    jpeg_start_compress(&info, TRUE);
    std::vector<uint8_t> row(size_t(w) * 3);
    uint32_t seed = 1;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            seed = seed * 1664525u + 1013904223u;
            const int noise = int(seed >> 28) - 8;
            row[size_t(x) * 3 + 0] = uint8_t(std::clamp((x * 255 / w + y / 3) % 256 + noise, 0, 255));
            row[size_t(x) * 3 + 1] = uint8_t(std::clamp(y * 255 / h + noise, 0, 255));
            row[size_t(x) * 3 + 2] = uint8_t(std::clamp(((x ^ y) & 0xFF) / 2 + 64 + noise, 0, 255));
        }
        JSAMPROW rows[1] = {row.data()};
        jpeg_write_scanlines(&info, rows, 1);
    }
    jpeg_finish_compress(&info);
    ByteArray bytes(out, out + outSize);
    jpeg_destroy_compress(&info);
    std::free(out);
    return bytes;
}

// Damage in the entropy data above the cut changes what the lower decoder
// reads after skipping; so does data that ends early.
TEST(JpegDecoding, LargePicturesOfEachSamplingDecodeAsTurboJpeg) {
    const struct {
        const char* what;
        int w, h, hSamp, vSamp;
        bool gray;
        int restartRows, restartMcus;
        bool progressive, damaged;
    } cases[] = {
        {"4:2:0 UHD, odd size", 3841, 2161, 2, 2, false, 0, 0, false, false},
        {"4:4:4 UHD, restart every row", 3840, 2160, 1, 1, false, 1, 0, false, false},
        {"4:2:2", 1921, 1083, 2, 1, false, 0, 0, false, false},
        {"4:4:0", 1283, 817, 1, 2, false, 0, 0, false, true},
        {"4:1:1, restart every 7 units", 1283, 817, 4, 1, false, 0, 7, false, true},
        {"grey", 1283, 817, 1, 1, true, 0, 0, false, false},
        {"4:2:0 progressive", 1283, 817, 2, 2, false, 0, 0, true, false},
    };
    for (const auto& e : cases) {
        const ByteArray bytes = Encode(e.w, e.h, e.hSamp, e.vSamp, e.gray, e.restartRows, e.restartMcus, e.progressive);
        ASSERT_TRUE(TurboJpeg(bytes).ok) << e.what;
        const bool split = ExpectAllAsTurboJpeg(bytes, {0, e.h / 3, e.h / 2 + 5, e.h * 3 / 4, e.h}, e.what);
        EXPECT_EQ(split, !e.progressive) << e.what;
        if (e.damaged)
            testfiles::ForEachDamagedCopy(bytes, [&](const ByteArray& c) { ExpectAllAsTurboJpeg(c, {e.h / 2}, e.what); });
    }
}

// TurboJPEG stops a progressive picture at 500 scans (a decompression bomb
// takes long on few bytes); so does the loader.
TEST(JpegDecoding, ScanLimitAsTurboJpeg) {
    const ByteArray plain = Encode(64, 64, 1, 1, true, 0, 0, true);
    // The last scan, a refinement, repeated: each repeat only draws a warning.
    size_t last = 0;
    for (size_t i = 0; i + 1 < plain.size(); ++i)
        if (plain[i] == 0xFF && plain[i + 1] == 0xDA) last = i;
    const ByteArray scan(plain.begin() + ptrdiff_t(last), plain.end() - 2);
    for (int repeats : {480, 520}) {
        ByteArray bytes(plain.begin(), plain.end() - 2);
        for (int i = 0; i < repeats; ++i) bytes.insert(bytes.end(), scan.begin(), scan.end());
        bytes.insert(bytes.end(), {0xFF, 0xD9});
        EXPECT_EQ(TurboJpeg(bytes).ok, repeats < 490) << repeats;
        ExpectAllAsTurboJpeg(bytes, {}, std::to_string(repeats) + " repeats");
    }
}

}  // namespace
