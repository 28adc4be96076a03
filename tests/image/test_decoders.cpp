// The image decoders and the picture loader's chain: every file of the suites
// against an independent reference, damaged copies of each, hand-made files.
#include <gtest/gtest.h>
#include <png.h>
#include <stb/stb_image.h>
#include <zlib.h>

#include <atomic>
#include <map>
#include <numeric>
#include <optional>
#include <set>

#include <jpeglib.h>
#include <jerror.h>
#include <turbojpeg.h>

#include "image/ByteReader.h"
#include "image/PictureLoader.h"
#include "image/PngRows.h"
#include "image/cBMPparser.h"
#include "image/cGIFparser.h"
#include "image/cICOparser.h"
#include "image/cPNGparser.h"
#include "image/cTGAparser.h"
#include "tests/image/ImageCoreTestSupport.h"

// Allocations left before the one that fails (negative: none fails), for the out-of-memory checks. The
// compiler takes these for the standard operators and would warn of new memory freed by free().
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
std::atomic<long> gAllocationsLeft{-1};
void* operator new(size_t n) {
    if (gAllocationsLeft.load() >= 0 && gAllocationsLeft.fetch_sub(1) == 0) throw std::bad_alloc();
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

using namespace ict;

namespace {

struct Rgba { int w = 0, h = 0; std::vector<uint8_t> px; };  // straight (not premultiplied), top row first

// 8-bit RGBA of any PNG (none when libpng refuses it): 16-bit samples cut to their high byte, tRNS as alpha,
// no gamma or background.
Rgba ReadPng(const ByteArray& bytes) {
    Rgba out;
    struct Reader { const ByteArray* b; size_t pos; } reader{&bytes, 0};
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    std::vector<png_bytep> rows;
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return {};
    }
    png_set_read_fn(png, &reader, [](png_structp p, png_bytep data, png_size_t n) {
        auto* r = static_cast<Reader*>(png_get_io_ptr(p));
        if (r->pos + n > r->b->size()) png_error(p, "eof");
        std::memcpy(data, r->b->data() + r->pos, n);
        r->pos += n;
    });
    png_read_info(png, info);
    png_set_expand(png);
    png_set_strip_16(png);
    png_set_gray_to_rgb(png);
    png_set_interlace_handling(png);
    png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);
    png_read_update_info(png, info);
    out.w = int(png_get_image_width(png, info));
    out.h = int(png_get_image_height(png, info));
    out.px.assign(size_t(out.w) * size_t(out.h) * 4, 0);
    for (int y = 0; y < out.h; ++y) rows.push_back(out.px.data() + size_t(y) * size_t(out.w) * 4);
    png_read_image(png, rows.data());
    png_destroy_read_struct(&png, &info, nullptr);
    return out;
}

// First difference from straight RGBA premultiplied as c * a div 255, within `tolerance`; empty when
// they agree. With an offset the image is compared to the part of `ref` it covers (a GIF frame).
std::string CompareToStraight(const cImage32& img, const Rgba& ref, int tolerance = 0, int left = -1, int top = 0) {
    if (!img.HasImage() || (left < 0 && (img.Width() != ref.w || img.Height() != ref.h)))
        return "size " + std::to_string(img.Width()) + "x" + std::to_string(img.Height());
    for (int y = 0; y < img.Height() && top + y < ref.h; ++y)
        for (int x = 0; x < img.Width() && std::max(left, 0) + x < ref.w; ++x) {
            const uint8_t* s = ref.px.data() + (size_t(top + y) * size_t(ref.w) + size_t(std::max(left, 0) + x)) * 4;
            const uint8_t* got = img.Row(y) + size_t(x) * 4;
            for (int k = 0; k < 4; ++k)
                if (std::abs(int(k == 3 ? s[3] : s[2 - k] * s[3] / 255) - int(got[k])) > tolerance)
                    return "pixel (" + std::to_string(x) + "," + std::to_string(y) + ") byte " + std::to_string(k);
        }
    return "";
}

bool SamePixels(const cImage32& a, const cImage32& b) {
    return a.HasImage() && b.HasImage() && a.Width() == b.Width() && a.Height() == b.Height() &&
           std::memcmp(a.BitsPointer(), b.BitsPointer(), size_t(a.scanWidth()) * size_t(a.Height())) == 0;
}

// Runs load with its first, second, ... allocation failing until one run needs no more: none may throw, nor
// leave a picture while answering false.
void ExpectOutOfMemorySafe(const std::function<bool(cImage32&)>& load) {
    for (long n = 0, failed = 1; failed; ++n) {
        cImage32 img;
        bool ok = false;
        gAllocationsLeft = n;
        EXPECT_NO_THROW(ok = load(img)) << n;
        failed = gAllocationsLeft.exchange(-1) < 0;
        ASSERT_TRUE(ok || !img.HasImage()) << n;
    }
}
enum Fmt { Png, Gif, Bmp, Tga, Ico };

// PNG and GIF answer true for a file of theirs that fails to decode; BMP goes through the chain.
bool Load(Fmt f, const ByteArray& b, cImage32& img, int icon = 32, std::pair<int, int>* at = nullptr) {
    if (f == Png) return cPNGparser().LoadStream(b, img);
    if (f == Bmp) return img.LoadPicture_Stream(b);
    if (f == Tga) return cTGAparser().LoadBytes(b.data(), b.size(), img);
    if (f == Ico) return cICOparser().LoadBytes(b.data(), b.size(), icon, icon, img);
    cGIFparser gif;
    const bool ok = gif.LoadBytes(b.data(), b.size(), img);
    if (at) *at = {gif.FrameLeft(), gif.FrameTop()};
    return ok;
}

// A whole picture or none (BMP also through the 32-bit path and the loader), read to its last byte.
void ExpectDamagedCopiesSafe(Fmt f, const ByteArray& bytes, const std::vector<SizeField>& fields = {}) {
    ForEachDamagedCopy(bytes, [f](const ByteArray& b) {
        cImage32 img[3];
        const bool ok[3] = {Load(f, b, img[0]), f == Bmp && cBMPparser::LoadStream(b.data(), b.size(), img[1]),
                            f == Bmp && DecodeBitmapFile(b.data(), b.size(), img[2])};
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(f <= Gif ? ok[i] || !img[i].HasImage() : ok[i] == img[i].HasImage()) << f;
            const size_t n = img[i].HasImage() ? size_t(img[i].scanWidth()) * size_t(img[i].Height()) : 0;
            ASSERT_TRUE(!n || (img[i].Width() > 0 && img[i].ImageType() >= 0 && n / 4 <= size_t(kMaxImagePixels)));
            (void)std::accumulate(img[i].BitsPointer(), img[i].BitsPointer() + n, 0u);  // ASan sees a short buffer
        }
    }, fields);
}

Rgba Stb(const ByteArray& bytes) {
    Rgba ref;
    if (stbi_uc* s = stbi_load_from_memory(bytes.data(), int(bytes.size()), &ref.w, &ref.h, nullptr, 4))
        ref.px.assign(s, s + size_t(ref.w) * size_t(ref.h) * 4), stbi_image_free(s);
    return ref;
}

bool Has(const std::string& s, const char* part) { return s.find(part) != std::string::npos; }

// Files without a reference, files that must decode; a reference of width 0: must not decode.
const Rgba kSkip{-1, 0, {}}, kMustLoad{-2, 0, {}};

// What the file must decode to (straight RGBA), and within what tolerance.
Rgba Reference(Fmt f, const std::string& path, const ByteArray& bytes, int& tolerance) {
    const std::filesystem::path p(path);
    const std::string dir = p.parent_path().string() + "/", name = p.filename().string(), stem = p.stem().string();
    static const std::set<std::string> bad = {"badrle.bmp", "badrle4.bmp", "shortfile.bmp", "reallybig.bmp",
                                              "badbitcount.bmp", "rletopdown.bmp", "badwidth.bmp", "no_cursors.cur",
                                              "decompression_bomb.ico", "cross_scan_line_truncated.tga"},
                                       good = {"deerstalker.cur", "mask_1.cur", "mask_L.cur", "hopper.ico",
                                               "hopper_draw.ico", "black_and_white.ico", "truncated_mask_32bpp.ico",
                                               "bmp-32bpp-conflicting-and-mask.ico"};
    // 5-bit channels are widened by i * 8 + i mod 8 here, by rounding c * 255 / 31 in the references.
    tolerance = stem.starts_with("b5-") ? 6 : dir.ends_with("image-rs/bmp/") ? 1 : 0;
    if (bad.count(name) || (f == Png && name[0] == 'x') || Has(dir, "corrupted")) return {};
    if (good.count(name)) return kMustLoad;
    std::string ref;
    if (f == Png) return ReadPng(bytes);
    if (f == Gif && Has(dir, "gif-frames-suite"))
        ref = dir + "frames/" + stem + (std::filesystem::exists(dir + "frames/" + stem + "-0.png") ? "-0.png" : ".png");
    // stb_image does not read RLE (see the siblings); image-rs's alpha is premultiplied or unread here.
    if (f == Gif && ref.empty()) return Stb(bytes).w ? Stb(bytes) : kSkip;
    if (f == Bmp && (Has(dir, "bmpsuite/g/") || name == "rgba32-1.bmp")) return Stb(bytes).w ? Stb(bytes) : kSkip;
    if (f == Bmp && (!dir.ends_with("image-rs/bmp/") || Has(name, "A8_R8") || Has(name, "A1_R5") || Has(name, "A4_R4")))
        return kSkip;
    if (f == Tga) {  // "200x32_rgba_bl_rle.tga" shows "200x32_rgba.png"
        const size_t cut = std::min(stem.find("_bl_"), stem.find("_tl_"));
        if (cut != stem.npos) ref = dir + stem.substr(0, cut) + ".png";
        if (stem == "b5-attrib") return kSkip;
    }
    if (f == Ico && Has(dir, "mozilla-ico")) ref = Has(dir, "ico-mixed") ? "" : dir + stem + ".png";
    if (ref.empty()) ref = dir + "reference/" + name + ".png";
    return std::filesystem::exists(ref) ? ReadPng(ReadFile(ref)) : kSkip;
}

struct Suite { Fmt fmt; std::vector<const char*> dirs; std::vector<std::string> exts; int compared, refused; };
void PrintTo(const Suite& s, std::ostream* os) { *os << s.dirs.front() << " and others"; }

class Conformance : public ::testing::TestWithParam<Suite> {};

TEST_P(Conformance, EveryFileMatchesItsReferenceOrFailsCleanly) {
    const Suite& s = GetParam();
    int compared = 0, refused = 0;
    for (const char* dir : s.dirs)
        for (const auto& path : ListFiles(TestData(dir), s.exts)) {
            const ByteArray bytes = ReadFile(path);
            ExpectDamagedCopiesSafe(s.fmt, bytes, s.fmt == Tga ? std::vector<SizeField>{{12, 2}, {14, 2}}
                                                               : std::vector<SizeField>{});
            int tolerance = 0;
            const Rgba ref = Reference(s.fmt, path, bytes, tolerance);
            cImage32 img, fromFile;
            std::pair<int, int> at{-1, 0};
            const bool ok = Load(s.fmt, bytes, img, s.fmt == Ico && ref.w > 0 && Has(path, "image-rs") ? ref.w : 32, &at);
            // stb_image takes GIF frames whose indexes run past the colour table: compared where both decode.
            if (ref.w == kSkip.w || (s.fmt == Gif && !Has(path, "frames-suite") && !img.HasImage())) continue;
            EXPECT_EQ(img.HasImage(), ref.w != 0) << path;
            refused += ref.w == 0;
            if (ref.w <= 0) continue;
            ASSERT_TRUE(ok) << path;
            EXPECT_EQ(CompareToStraight(img, ref, tolerance, at.first, at.second), "") << path;
            // The alpha class follows the colour type and tRNS; a bitmap's bit fields declare alpha.
            const bool declaredAlpha = Has(path, "rgba32-1.bmp"), png = s.fmt == Png;
            const bool trns = png && std::search(bytes.begin(), bytes.end(), "tRNS", "tRNS" + 4) != bytes.end();
            EXPECT_TRUE(s.fmt == Ico || img.ImageType() == (std::vector{10, 9, declaredAlpha ? 6 : 1, 128}[s.fmt])) << path;
            EXPECT_TRUE((s.fmt != Png && s.fmt != Bmp) || img.Alpha() == (declaredAlpha || (png && bytes[25] >= 4) ? 2 : trns)) << path;
            std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(png ? std::fopen(path.c_str(), "rb") : nullptr, std::fclose);
            EXPECT_TRUE(!png || (cPNGparser().LoadFile(file.get(), path, fromFile) && SamePixels(fromFile, img))) << path;
            ++compared;
        }
    EXPECT_GE(compared, s.compared);
    EXPECT_GE(refused, s.refused);
}

INSTANTIATE_TEST_SUITE_P(
    Suites, Conformance,
    ::testing::Values(Suite{Png, {"pngsuite", "libpng-pngsuite"}, {".png"}, 221, 14},
                      Suite{Gif, {"gif-test-suite", "gif-frames-suite", "pillow/gif", "image-rs/gif"}, {".gif"}, 118, 0},
                      Suite{Bmp, {"bmpsuite", "image-rs/bmp", "pillow/bmp"}, {".bmp", ".dib"}, 44, 7},
                      Suite{Tga, {"pillow/tga", "image-rs/tga"}, {".tga"}, 33, 1},
                      Suite{Ico, {"mozilla-ico", "image-rs/ico", "pillow/ico", "pillow/cur"}, {".ico", ".cur"}, 112, 6}),
    [](const auto& info) { return std::string("PngGifBmpTgaIco").substr(size_t(info.param.fmt) * 3, 3); });

ByteArray Deflate(const ByteArray& in, int level = 6, int strategy = Z_DEFAULT_STRATEGY) {
    z_stream zs{};
    deflateInit2(&zs, level, Z_DEFLATED, 15, 8, strategy);
    ByteArray out(deflateBound(&zs, uLong(in.size())));
    zs.next_in = const_cast<Bytef*>(in.data()), zs.avail_in = uInt(in.size());
    zs.next_out = out.data(), zs.avail_out = uInt(out.size());
    deflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

void PutU32BE(ByteArray& b, uint32_t v) { b.insert(b.end(), {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}); }

struct Chunk { std::string type; ByteArray data; bool badCrc = false; };

ByteArray Assemble(const std::vector<Chunk>& chunks) {
    ByteArray out = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    for (const Chunk& c : chunks) {
        PutU32BE(out, uint32_t(c.data.size()));
        const size_t start = out.size();
        out.insert(out.end(), c.type.begin(), c.type.end());
        out.insert(out.end(), c.data.begin(), c.data.end());
        PutU32BE(out, uint32_t(crc32(0, out.data() + start, uInt(c.data.size() + 4))) ^ (c.badCrc ? 1u : 0u));
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

// A picture from its filtered rows or its Deflate stream `z`; `extra` chunks go before the image data.
ByteArray PngOf(uint32_t w, uint32_t h, int depth, int ct, const ByteArray& raw, std::vector<Chunk> extra = {},
                const ByteArray& z = {}) {
    extra.insert(extra.begin(), {"IHDR", Ihdr(w, h, depth, ct)});
    extra.push_back({"IDAT", z.empty() ? Deflate(raw) : z});
    extra.push_back({"IEND", {}});
    return Assemble(extra);
}

ByteArray TgaOf(int type, int w, int h, int depth, int descriptor, ByteArray pixels, int attributes = -1) {
    ByteArray f = std::move(pixels);
    f.insert(f.begin(), {0, 0, uint8_t(type), 0, 0, 0, 0, 0, 0, 0, 0, 0, uint8_t(w), uint8_t(w >> 8), uint8_t(h),
                         uint8_t(h >> 8), uint8_t(depth), uint8_t(descriptor)});
    if (attributes < 0) return f;
    // Extension area (495 bytes) with the attributes type, then the footer.
    const uint8_t at = uint8_t(f.size());
    f.insert(f.end(), {495 & 0xFF, 495 >> 8});
    f.resize(at + 494u);
    f.push_back(uint8_t(attributes));
    const char footer[] = "\0\0\0\0\0\0\0TRUEVISION-XFILE.";
    f.push_back(at);
    f.insert(f.end(), footer, footer + sizeof footer);
    return f;
}

// One 2x1 icon entry of the given depth (0: a PNG); the AND mask hides pixel 1.
ByteArray IcoOf(int type, int bits, uint8_t alpha = 0) {
    ByteArray f = {0, 0, uint8_t(type), 0, 1, 0, 2, 1, 0, 0, 1, 0, uint8_t(bits), 0};
    ByteArray dib = {40, 0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0, 1, 0, uint8_t(bits)};  // 2 x 2: the pixels, the mask
    dib.resize(40);
    if (bits == 1) dib.insert(dib.end(), {0, 0, 0, 0, 255, 255, 255, 0, 0b10000000, 0, 0, 0});
    if (bits == 4) dib.insert(dib.end(), {9, 9, 9, 0, 255, 255, 255, 0, 0x51, 0, 0, 0});  // index 5 past the palette
    if (bits == 4) dib[32] = 2;
    if (bits == 24) dib.insert(dib.end(), {10, 20, 30, 40, 50, 60, 0, 0});
    if (bits == 32) dib.insert(dib.end(), {10, 20, 30, alpha, 40, 50, 60, alpha});
    dib.insert(dib.end(), {0b01000000, 0, 0, 0});
    if (bits == 0) dib = ReadFile(TestData("pngsuite/basn6a08.png"));
    for (uint32_t v : {uint32_t(dib.size()), 22u})
        f.insert(f.end(), {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)});
    f.insert(f.end(), dib.begin(), dib.end());
    return f;
}

// `b` with bytes from `at` (counted from the end when negative) replaced, or cut short by n bytes.
ByteArray Poke(ByteArray b, long at, std::initializer_list<uint8_t> v) {
    std::copy(v.begin(), v.end(), b.begin() + (at < 0 ? long(b.size()) + at : at));
    return b;
}
ByteArray Cut(ByteArray b, size_t n) { return ByteArray(b.begin(), b.end() - ptrdiff_t(n)); }

constexpr uint32_t W = 0xFFFFFFFF, K = 0xFF000000, R = 0xFFFF0000, G = 0xFF00FF00, B = 0xFF0000FF, kNo = 1;

struct Case {
    const char* what; Fmt fmt; ByteArray file;
    std::vector<uint32_t> pixels;  // 0xAARRGGBB top row first; {}: taken without an image; {kNo}: not taken
    int alpha = 0, imageType = 0;  // 0: the format's own type
    int zlib = -1;                 // the row holds only with (1) or without (0) zlib
};

std::vector<Case> Cases() {
    const ByteArray z = Deflate({0, 5, 6});
    ByteArray plte(21, 1);
    plte[18] = 0x10;  // entry 6
    // CRCs are checked while zlib is enabled: a damaged tRNS is only ignored then.
    const ByteArray ihdrCrc = Assemble({{"IHDR", Ihdr(2, 1, 8, 0), true}, {"IDAT", z}, {"IEND", {}}}),
                    plteCrc = PngOf(2, 1, 8, 3, {}, {{"PLTE", plte, true}}, z),
                    idatCrc = Assemble({{"IHDR", Ihdr(2, 1, 8, 0)}, {"IDAT", z, true}, {"IEND", {}}}),
                    trnsCrc = PngOf(2, 1, 8, 0, {}, {{"tRNS", {0, 6}, true}}, z);
    // Not a valid CMF/FLG pair (zlib refuses, the own inflate does not look), nor Adler-32.
    const ByteArray noZlibHeader = Poke(Poke(z, 0, {0}), -1, {uint8_t(z.back() ^ 0x55)});
    // An empty chunk's CRC counts too; literals 0, 5, 6 in a fixed block, cut before its end code and Adler-32.
    const ByteArray emptyCrc = PngOf(2, 1, 8, 0, {}, {{"IDAT", {}, true}}, z), noEnd = Cut(Deflate({0, 5, 6}, 6, Z_FIXED), 5);
    // A 2x1 GIF of indexes 1, 0 (white, black), each code after a clear code.
    const ByteArray kGif = {'G', 'I', 'F', '8', '9', 'a', 2, 0, 1, 0, 0x80, 0, 0, 0, 0, 0, 255, 255, 255,
                            0x2C, 0, 0, 0, 0, 2, 0, 1, 0, 0, 2, 2, 0x0C, 0x51, 0, 0x3B};
    const std::vector<uint32_t> pal = {0x000000, 0xFF0000, 0x00FF00, 0x0000FF};  // BGRx as 0x00RRGGBB
    const std::vector<uint32_t> bgra = {0xFF0000, 0xFF00, 0xFF, 0xFF000000}, argb = {0xFF00, 0xFF0000, 0xFF000000, 0xFF};
    const std::vector<uint8_t> row(16, 0x11);
    // Two 32-bit pixels (B, G, R, A each); with masks BI_ALPHABITFIELDS, the masks after the header.
    auto px32 = [](std::vector<uint8_t> p0, std::vector<uint8_t> p1, std::vector<uint32_t> masks = {}) {
        p0.insert(p0.end(), p1.begin(), p1.end());
        return MakeBmp(2, 1, 32, masks.empty() ? 0 : 6, {p0}, masks);
    };
    auto rle = [&](int w, int h, int bits, ByteArray data) { return MakeBmp(w, h, bits, bits == 8 ? 1 : 2, {}, pal, data); };
    const ByteArray pad(8, 0), runs = {0x83, 1, 2, 3, 0x01, 9, 9, 9, 7, 7, 7};
    auto mapped = [](uint8_t bits, ByteArray rest) { return Poke(TgaOf(1, 1, 1, 8, 0, rest), 1, {1, 1, 0, 0, 1, 0, bits}); };
    const uint32_t px = 0xFF030201;
    return {
        {"index beyond the palette is black", Png, PngOf(2, 1, 8, 3, {0, 0, 200}, {{"PLTE", {1, 2, 3}}}), {0xFF010203, K}},
        {"palette without PLTE at 1 bit", Png, PngOf(2, 1, 1, 3, {0, 0b01000000}), {K, W}},
        // A 16-bit key: a sample that shares only its high byte stays visible.
        {"16-bit grey key", Png, PngOf(2, 1, 16, 0, {0, 0x12, 0x34, 0x12, 0xFF}, {{"tRNS", {0x12, 0x34}}}), {0, 0xFF121212}, 1},
        {"16-bit RGB key", Png, PngOf(2, 1, 16, 2, {0, 1, 1, 2, 2, 3, 3, 1, 1, 2, 2, 3, 4}, {{"tRNS", {1, 1, 2, 2, 3, 3}}}),
         {0, 0xFF010203}, 1},
        {"filter byte 7 is taken as unfiltered", Png, PngOf(2, 1, 8, 0, {7, 10, 20}), {0xFF0A0A0A, 0xFF141414}},
        // Paeth at 1 byte per pixel; the last pixel ties b and c and takes b.
        {"Paeth grey", Png, PngOf(3, 2, 8, 0, {0, 10, 10, 20, 4, 251, 0, 0}),
         {0xFF0A0A0A, 0xFF0A0A0A, 0xFF141414, 0xFF050505, 0xFF050505, 0xFF141414}},
        {"data past the last row is ignored", Png, PngOf(2, 1, 8, 0, ByteArray(50000, 0)), {K, K}},
        {"zlib header and Adler-32 are not needed", Png, PngOf(2, 1, 8, 0, {}, {}, noZlibHeader), {0xFF050505, 0xFF060606}},
        {"stream ends after its last literal", Png, PngOf(2, 1, 8, 0, {}, {}, noEnd), {0xFF050505, 0xFF060606}},
        {"not PNG", Png, {'G', 'I', 'F', '8', '9', 'a', 0, 0, 0, 0}, {kNo}},
        {"signature cut", Png, Cut(Assemble({}), 4), {kNo}}, {"signature only", Png, Assemble({}), {}},
        {"truncated IDAT", Png, Cut(PngOf(2, 1, 8, 0, {0, 1, 2}), 20), {}},
        {"IDAT before IHDR", Png, Assemble({{"IDAT", z}, {"IHDR", Ihdr(2, 1, 8, 0)}, {"IEND", {}}}), {}},
        {"width 0", Png, PngOf(0, 1, 8, 0, {0, 5, 6}), {}}, {"colour type 5", Png, PngOf(2, 1, 8, 5, {0, 5, 6}), {}},
        {"interlace 2", Png, Assemble({{"IHDR", Ihdr(2, 1, 8, 0, 2)}, {"IDAT", z}, {"IEND", {}}}), {}},
        {"width x 32 x height over 2^31", Png, PngOf(65536, 1024, 8, 0, {0, 5, 6}), {}},
        {"PLTE not a multiple of 3", Png, PngOf(2, 1, 8, 3, {0, 5, 6}, {{"PLTE", {1, 2, 3, 4}}}), {}},
        {"too little image data", Png, PngOf(3, 1, 8, 0, {0, 5, 6}), {}},
        {"claimed size impossible for the data", Png, PngOf(8000, 8000, 8, 0, {0, 5, 6}), {}},
        {"Deflate block type 3", Png, PngOf(2, 1, 8, 0, {}, {}, {0x78, 0x9C, 0x07}), {}},
        {"stored block, NLEN not the complement", Png, PngOf(2, 1, 8, 0, {}, {}, {0x78, 0x9C, 0x01, 3, 0, 0, 0, 0, 1, 2}), {}},
        {"distance before the start", Png, PngOf(2, 1, 8, 0, {}, {}, {0x78, 0x9C, 0x03, 0x02, 0x00}), {}},
        {"HLIT 31: too many codes", Png, PngOf(2, 1, 8, 0, {}, {}, {0x78, 0x9C, 0xFD, 0xFF, 0xFF, 0xFF, 0xFF}), {}},
        {"IHDR CRC", Png, ihdrCrc, {}, 0, 0, 1}, {"IHDR CRC unchecked", Png, ihdrCrc, {0xFF050505, 0xFF060606}, 0, 0, 0},
        {"PLTE CRC", Png, plteCrc, {}, 0, 0, 1}, {"PLTE CRC unchecked", Png, plteCrc, {0xFF010101, 0xFF100101}, 0, 0, 0},
        {"IDAT CRC", Png, idatCrc, {}, 0, 0, 1}, {"IDAT CRC unchecked", Png, idatCrc, {0xFF050505, 0xFF060606}, 0, 0, 0},
        {"tRNS CRC", Png, trnsCrc, {0xFF050505, 0xFF060606}, 0, 0, 1},
        {"tRNS CRC unchecked", Png, trnsCrc, {0xFF050505, 0}, 1, 0, 0},
        {"empty IDAT CRC", Png, emptyCrc, {}, 0, 0, 1}, {"empty IDAT CRC unchecked", Png, emptyCrc, {0xFF050505, 0xFF060606}, 0, 0, 0},
        {"GIF", Gif, kGif, {W, K}},
        {"signature in any letter case", Gif, Poke(kGif, 0, {'g', 'i', 'f', '8', '7', 'a'}), {W, K}},
        {"missing pixels are index 0", Gif, Poke(kGif, 26, {2}), {W, K, K, K}},
        {"data past the frame is dropped", Gif, Poke(kGif, 24, {1}), {W}},
        {"GIF88a", Gif, Poke(kGif, 4, {'8'}), {kNo}}, {"no image", Gif, Poke(kGif, 19, {0x3B}), {kNo}},
        {"cut inside the image data", Gif, Cut(kGif, 4), {}},
        {"codes beyond the table", Gif, Poke(kGif, -4, {0xFF}), {}},
        {"index 2 of a 2-colour table", Gif, Poke(kGif, -4, {0x14}), {}},
        {"LZW code size 0", Gif, Poke(kGif, 29, {0}), {}}, {"LZW code size 12", Gif, Poke(kGif, 29, {12}), {}},
        {"frame larger than its data can fill", Gif, Poke(kGif, 24, {0x80, 0x3E, 0x80, 0x3E}), {}},
        {"32-bit, unused fourth byte", Bmp, px32({10, 20, 30, 0}, {40, 50, 60, 0}), {0xFF1E140A, 0xFF3C3228}},
        {"32-bit, all opaque", Bmp, px32({10, 20, 30, 255}, {40, 50, 60, 255}), {0xFF1E140A, 0xFF3C3228}},
        {"32-bit, valid premultiplied", Bmp, px32({10, 20, 30, 128}, {0, 0, 0, 0}), {0x801E140A, 0}, 2, 7},
        {"32-bit, on/off premultiplied", Bmp, px32({10, 20, 30, 255}, {0, 0, 0, 0}), {0xFF1E140A, 0}, 1, 7},
        {"32-bit, straight alpha", Bmp, px32({200, 100, 50, 128}, {40, 50, 60, 0}), {0x80193264, 0}, 2, 6},
        // Colour under a transparent pixel, then an opaque one: not premultiplied.
        {"32-bit, colour under transparency", Bmp, px32({9, 9, 9, 0}, {40, 50, 60, 255}), {0, 0xFF3C3228}, 1, 6},
        // Declared straight alpha: colours within their alpha are premultiplied too.
        {"declared alpha, dark colour", Bmp, px32({100, 50, 25, 200}, {0, 0, 0, 0}, bgra), {0xC813274E, 0}, 2, 6},
        {"declared alpha, on/off", Bmp, px32({10, 20, 30, 255}, {7, 7, 7, 0}, bgra), {0xFF1E140A, 0}, 1, 6},
        {"declared alpha all 0 is unused", Bmp, px32({10, 20, 30, 0}, {40, 50, 60, 0}, bgra), {0xFF1E140A, 0xFF3C3228}},
        // Other layouts go to the loader, which reads their colours, opaque.
        {"alpha in another byte", Bmp, px32({100, 50, 25, 200}, {0, 0, 0, 0}, argb), {0xFF3219C8, K}},
        {"8-bit, index past the palette is black", Bmp, MakeBmp(2, 1, 8, 0, {{3, 200}}, pal), {B, K}},
        {"8-bit, palette cut short by the pixels", Bmp, Poke(MakeBmp(2, 1, 8, 0, {{0, 1}}, {0xFF0000}), 46, {200}), {R, K}},
        {"16-bit 5-6-5 bit fields", Bmp, MakeBmp(2, 1, 16, 3, {{0x10, 0x84, 0xE0, 0x07}}, {0xF800, 0x07E0, 0x1F}),
         {0xFF848284, G}},
        // Run of 2 x index 1, literal of 3 (padded), end of line, end of bitmap.
        {"RLE8", Bmp, rle(5, 1, 8, {2, 1, 0, 3, 2, 3, 0, 0, 0, 0, 0, 1}), {R, R, G, B, K}},
        // Run of 3 alternating 1,2; a move skips one pixel (black); end of bitmap.
        {"RLE4 with a move", Bmp, rle(5, 1, 4, {3, 0x12, 0, 2, 1, 0, 1, 0x30, 0, 1}), {R, G, R, K, B}},
        // Rows coded at their padded width: what lies past the row's end is dropped.
        {"RLE8 runs over the padded row", Bmp, rle(6, 2, 8, {8, 1, 0, 0, 0, 8, 2, 3, 1, 2, 3, 1, 3, 3, 0, 1}),
         {G, B, R, G, B, R, R, R, R, R, R, R}},
        {"RLE4 runs over the padded row", Bmp, rle(3, 1, 4, {8, 0x12, 0, 1}), {R, G, R}},
        // A run of 200 on a 2-pixel row; a move up and past the right edge, then a pixel.
        {"RLE8 moves past the edge", Bmp, rle(2, 2, 8, {200, 1, 0, 2, 5, 1, 1, 1, 0, 1}), {K, K, R, R}},
        {"RLE8 move up and right", Bmp, rle(2, 2, 8, {0, 2, 1, 1, 1, 2, 0, 1}), {K, G, K, K}},
        {"RLE pixel above the top row after end of line", Bmp, rle(2, 2, 8, {1, 1, 0, 0, 1, 1, 0, 0, 1, 1, 0, 1}), {kNo}},
        {"RLE pixel above the top row after a move", Bmp, rle(2, 2, 8, {0, 2, 0, 2, 1, 1, 0, 1}), {kNo}},
        {"RLE data stops before the end", Bmp, rle(2, 2, 8, {2, 1, 0, 0}), {kNo}},
        {"width 0", Bmp, MakeBmp(0, 1, 32, 0, {row}), {kNo}}, {"height 0", Bmp, MakeBmp(1, 0, 32, 0, {row}), {kNo}},
        {"32-bit pixels cut short", Bmp, Cut(MakeBmp(4, 4, 32, 0, {row, row, row, row}), 5), {kNo}},
        {"32-bit over 2^28 pixels", Bmp, MakeBmp(1 << 15, 1 << 14, 32, 0, {row}), {kNo}},
        {"8-bit over 2^28 pixels", Bmp, MakeBmp(70000, 70000, 8, 0, {row}), {kNo}},
        {"height INT_MIN", Bmp, MakeBmp(4, INT32_MIN, 24, 0, {row}), {kNo}},
        {"RLE4 with 8 bits", Bmp, MakeBmp(4, 4, 8, 2, {row}), {kNo}}, {"64 bits", Bmp, MakeBmp(4, 4, 64, 0, {row}), {kNo}},
        {"bit fields with 24 bits", Bmp, MakeBmp(4, 4, 24, 3, {row}), {kNo}},
        {"unknown compression", Bmp, MakeBmp(4, 4, 8, 9, {row}), {kNo}},
        {"18 bytes are never a TGA", Tga, TgaOf(3, 1, 1, 8, 0, {}), {kNo}},
        {"19 bytes: one grey pixel", Tga, TgaOf(3, 1, 1, 8, 0, {77}), {0xFF4D4D4D}},
        {"image type 4", Tga, TgaOf(4, 1, 1, 8, 0, pad), {kNo}}, {"width 0", Tga, TgaOf(3, 0, 1, 8, 0, pad), {kNo}},
        {"pixel depth 12", Tga, TgaOf(2, 1, 1, 12, 0, pad), {kNo}},
        {"colour-mapped without a map", Tga, TgaOf(1, 1, 1, 8, 0, pad), {kNo}},
        {"raw data shorter than the picture", Tga, TgaOf(2, 4, 4, 24, 0, pad), {kNo}},
        {"grey at 24 bits", Tga, TgaOf(3, 1, 1, 24, 0, pad), {kNo}},
        {"map entry size 12", Tga, mapped(12, ByteArray(22, 0)), {kNo}},
        {"map entry of 24 bits", Tga, mapped(24, {1, 2, 3, 0}), {px}},
        {"index past the map is black", Tga, mapped(24, {1, 2, 3, 1}), {K}},
        // The attributes type says what the alpha bytes are; files that do not say go to the analysis.
        {"alpha bytes unused (2)", Tga, TgaOf(2, 1, 1, 32, 8, {0, 0, 200, 128}, 2), {0xFFC80000}},
        {"alpha bytes unused (0)", Tga, TgaOf(2, 1, 1, 32, 8, {0, 0, 200, 128}, 0), {0xFFC80000}},
        {"straight", Tga, TgaOf(2, 1, 1, 32, 8, {0, 0, 200, 128}, 3), {0x80640000}, 2},
        {"straight though within alpha", Tga, TgaOf(2, 1, 1, 32, 8, {0, 0, 100, 200}, 3), {0xC84E0000}, 2},
        {"premultiplied", Tga, TgaOf(2, 1, 1, 32, 8, {0, 0, 100, 200}, 4), {0xC8640000}, 2},
        {"premultiplied, cut to alpha", Tga, TgaOf(2, 1, 1, 32, 8, {0, 0, 200, 128}, 4), {0x80800000}, 2},
        {"unstated, within alpha: premultiplied", Tga, TgaOf(2, 1, 1, 32, 8, {0, 0, 100, 200}), {0xC8640000}, 2},
        {"unstated, colour over alpha: straight", Tga, TgaOf(2, 1, 1, 32, 8, {0, 0, 200, 128}), {0x80640000}, 2},
        // With an attribute bit declared, bit 15 set marks a clear pixel.
        {"16-bit with attribute bit", Tga, TgaOf(2, 2, 1, 16, 0x21, {0x1F, 0x54, 0xEA, 0x83}), {0xFFAD00FF, 0}, 1},
        {"16-bit without", Tga, TgaOf(2, 3, 1, 16, 0x20, {0x1F, 0x54, 0xEA, 0x83, 0x10, 0x42}), {0xFFAD00FF, 0xFF00FF52, 0xFF808080}},
        {"16-bit right to left counts as attribute bits", Tga, TgaOf(2, 2, 1, 16, 0x30, {0x1F, 0x54, 0xEA, 0x83}), {0, 0xFFAD00FF}, 1},
        {"15-bit has no attribute bit", Tga, TgaOf(2, 2, 1, 15, 0x21, {0x1F, 0x54, 0xEA, 0x83}), {0xFFAD00FF, 0xFF00FF52}},
        // A run of 4 crosses into the second row; then a raw packet of 2.
        {"RLE, top-left origin", Tga, TgaOf(10, 3, 2, 24, 0x20, runs), {px, px, px, px, 0xFF090909, 0xFF070707}},
        {"RLE, bottom-right origin", Tga, TgaOf(10, 3, 2, 24, 0x10, runs), {0xFF070707, 0xFF090909, px, px, px, px}},
        {"RLE packet cut short", Tga, Cut(TgaOf(10, 3, 2, 24, 0x20, runs), 1), {kNo}},
        {"1-bit icon", Ico, IcoOf(1, 1), {W, 0}, 1, 8},
        {"index past a short palette is opaque black", Ico, IcoOf(1, 4), {K, 0}, 1, 8},
        {"24-bit cursor", Ico, IcoOf(2, 24), {0xFF1E140A, 0}, 1, 12},
        {"directory depth 0: the bitmap's", Ico, Poke(IcoOf(1, 24), 12, {0}), {0xFF1E140A, 0}, 1, 8},
        {"32-bit without alpha uses the mask", Ico, IcoOf(1, 32), {0xFF1E140A, 0}, 1, 3},
        {"32-bit with alpha ignores the mask", Ico, IcoOf(1, 32, 255), {0xFF1E140A, 0xFF3C3228}, 0, 3},
        {"32-bit straight alpha is premultiplied", Ico, IcoOf(1, 32, 128), {0x800F0A05, 0x801E1914}, 2, 3},
        {"reserved word set", Ico, Poke(IcoOf(1, 24), 0, {1}), {kNo}}, {"type 3", Ico, Poke(IcoOf(1, 24), 2, {3}), {kNo}},
        {"no entries", Ico, Poke(IcoOf(1, 24), 4, {0}), {kNo}},
        {"200 entries do not fit", Ico, Poke(IcoOf(1, 24), 4, {200}), {kNo}},
    };
}

// Each file is checked, then the damaged copies of those that decode (header sizes made large too).
TEST(HandMade, EveryDecodersRules) {
    const std::vector<Case> cases = Cases();
    const std::vector<SizeField> fields[] = {
        {}, {{6, 2}, {8, 2}, {24, 2}, {26, 2}}, {{10, 4}, {18, 4}, {22, 4}, {46, 4}},
        {{12, 2}, {14, 2}}, {{6, 1}, {7, 1}, {26, 4}, {30, 4}, {54, 4}}};
    const std::shared_ptr<void> restoreZlib(nullptr, [](void*) { SetZlibEnabled(true); });  // library-wide
    for (bool zlib : {true, false}) {
        SetZlibEnabled(zlib);
        for (const Case& c : cases) {
            if (c.zlib >= 0 && c.zlib != zlib) continue;
            SCOPED_TRACE(std::string(c.what) + (zlib ? "" : " without zlib"));
            cImage32 img;
            const bool taken = c.pixels != std::vector<uint32_t>{kNo};
            ASSERT_TRUE(c.fmt > Gif || !taken || img.InitializeDIB(3, 3));  // a failed decode leaves no image behind
            EXPECT_EQ(Load(c.fmt, c.file, img), taken);
            ASSERT_EQ(img.HasImage(), taken && !c.pixels.empty());
            if (!img.HasImage()) continue;
            if (zlib) ExpectDamagedCopiesSafe(c.fmt, c.file, fields[c.fmt]);
            if (zlib) ExpectOutOfMemorySafe([&](cImage32& i) { return Load(c.fmt, c.file, i); });
            ASSERT_EQ(size_t(img.Width()) * size_t(img.Height()), c.pixels.size());
            for (size_t i = 0; i < c.pixels.size(); ++i)
                EXPECT_EQ(Px(img, int(i) % img.Width(), int(i) / img.Width()), c.pixels[i]) << i;
            EXPECT_EQ(img.Alpha(), c.alpha);
            EXPECT_EQ(img.ImageType(), c.imageType ? c.imageType : (std::vector{10, 9, 1, 128, 0}[c.fmt]));
        }
    }
}

// ---- what a table cannot hold

// Pictures far larger than the inflate window (repeats from far back: every distance code), every block
// type, IDAT chunks of several sizes, a random filter on every row, against libpng; the file form (which
// gathers the chunks) and a stream range inside other bytes agree.
TEST(PngLarge, EveryBlockTypeAndFilterAsLibpng) {
    const struct { uint32_t w, h; int depth, colorType, interlace, level, strategy; size_t piece; } cases[] = {
        {600, 300, 8, 2, 0, 6, Z_DEFAULT_STRATEGY, 8192}, {400, 200, 8, 6, 1, 1, Z_DEFAULT_STRATEGY, 1000},
        {301, 157, 16, 6, 1, 6, Z_FILTERED, 777},         {400, 200, 8, 2, 0, 0, Z_DEFAULT_STRATEGY, 70001},
        {1001, 400, 4, 3, 0, 6, Z_RLE, 5000},             {500, 300, 8, 4, 0, 6, Z_FIXED, 100000},
        {301, 157, 16, 0, 0, 9, Z_HUFFMAN_ONLY, 4096},    {13, 7, 8, 2, 0, 6, Z_DEFAULT_STRATEGY, 1},
    };
    const std::string path = std::string(KIV_BINARY_DIR) + "/png_large_test.png";
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.w) + " colour type " + std::to_string(c.colorType));
        const PngFormat f{.depth = c.depth, .colorType = c.colorType};
        ByteArray raw, framed(3, 1);
        uint32_t seed = c.w;
        for (const Adam7Pass& p : c.interlace ? std::vector<Adam7Pass>(kAdam7, kAdam7 + 7)
                                              : std::vector<Adam7Pass>{{0, 0, 1, 1}})
            for (uint32_t y = 0, pw = Adam7Count(c.w, p.x0, p.dx); pw && y < Adam7Count(c.h, p.y0, p.dy); ++y)
                for (size_t x = 0; x <= f.RowBytes(pw); ++x) {
                    seed = seed * 1664525u + 1013904223u;
                    raw.push_back(x == 0 ? uint8_t((seed >> 24) % 5)
                                  : raw.size() > 33000 && seed % 5 == 0 ? raw[raw.size() - 32768 + seed % 97]
                                                                        : uint8_t((x * 7 + y * 3) / 5 + (seed >> 29)));
                }
        const ByteArray z = Deflate(raw, c.level, c.strategy);
        std::vector<Chunk> chunks = {{"IHDR", Ihdr(c.w, c.h, c.depth, c.colorType, c.interlace)}};
        if (c.colorType == 3) chunks.push_back({"PLTE", ByteArray(raw.begin(), raw.begin() + 48)});
        for (size_t at = 0; at < z.size(); at += c.piece)
            chunks.push_back({"IDAT", ByteArray(z.begin() + ptrdiff_t(at), z.begin() + ptrdiff_t(std::min(z.size(), at + c.piece)))});
        chunks.push_back({"IEND", {}});
        const ByteArray png = Assemble(chunks);
        framed.insert(framed.end(), png.begin(), png.end());
        framed.push_back(0xEE);
        ASSERT_TRUE(cImage32::WriteBytesToFile(path, png.data(), png.size()));
        cImage32 img, fromFile, fromFrame;
        const Rgba ref = ReadPng(png);
        ASSERT_TRUE(cPNGparser().LoadStream(png, img) && ref.w);
        EXPECT_EQ(CompareToStraight(img, ref), "");
        std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), std::fclose);
        EXPECT_TRUE(cPNGparser().LoadFile(file.get(), path, fromFile) && SamePixels(fromFile, img));
        EXPECT_TRUE(cPNGparser().LoadStream(framed, fromFrame, 3, png.size()) && SamePixels(fromFrame, img));
    }
    std::remove(path.c_str());
}

IconEntry Entry(int w, int h, int bits) { return {.width = w & 0xFF, .height = h & 0xFF, .bitCount = bits}; }  // 256: 0

TEST(IcoChoice, ScoresPickTheBestEntry) {
    const struct { const char* what; std::vector<IconEntry> entries; int size, depth, expected; } cases[] = {
        {"exact match", {Entry(16, 16, 32), Entry(32, 32, 32), Entry(48, 48, 32)}, 32, 32, 2},
        {"larger beats smaller", {Entry(16, 16, 32), Entry(48, 48, 32)}, 32, 32, 2},
        {"depth difference counts", {Entry(32, 32, 4), Entry(32, 32, 8)}, 32, 32, 2},
        {"ties: the earlier entry", {Entry(48, 48, 8), Entry(48, 48, 8)}, 32, 32, 1},
        {"256 stored as 0", {Entry(256, 256, 32), Entry(16, 16, 32)}, 256, 32, 1},
        {"all smaller: second pass, nearest", {Entry(8, 8, 32), Entry(16, 16, 32), Entry(16, 16, 4)}, 32, 32, 2},
        {"64-bit entry not taken in the first pass", {Entry(32, 32, 64), Entry(16, 16, 32)}, 32, 32, 2},
        {"unusable entries are skipped", {Entry(32, 32, 0), Entry(48, 48, 32)}, 32, 32, 2},
        {"single usable entry", {Entry(1, 1, 1)}, 64, 32, 1}, {"single unusable entry", {Entry(32, 32, 0)}, 32, 32, 0},
        {"nothing scored: entry 1", {Entry(32, 32, 0), Entry(32, 32, 0)}, 32, 32, 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(cICOparser::ChooseEntry(c.entries, c.size, c.size, c.depth), c.expected) << c.what;
    // Mozilla's icon of bitmap and PNG entries, asked for each size.
    const std::string dir = TestData("mozilla-ico/ico-mixed/");
    const ByteArray mixed = ReadFile(dir + "mixed-bmp-png.ico");
    for (const auto& [size, reference, index] :
         {std::tuple{48, "mixed-bmp-png48.png", 1}, {32, "mixed-bmp-png32.png", 2}, {16, "mixed-bmp-png.png", 4}}) {
        cImage32 img;
        cICOparser parser;
        ASSERT_TRUE(parser.LoadBytes(mixed.data(), mixed.size(), size, size, img));
        EXPECT_EQ(parser.ChosenIndex(), index);
        EXPECT_EQ(CompareToStraight(img, ReadPng(ReadFile(dir + reference))), "") << reference;
        EXPECT_EQ(img.ImageType(), 3);
    }
    // A PNG entry (size and depth left 0) goes through the PNG decoder.
    cImage32 img;
    ASSERT_TRUE(Load(Ico, Poke(IcoOf(1, 0), 6, {0, 0}), img));
    EXPECT_EQ(img.ImageType(), 11);
    EXPECT_EQ(CompareToStraight(img, ReadPng(ReadFile(TestData("pngsuite/basn6a08.png")))), "");
}

// RLE and top-down bitmaps show the same picture as their plain siblings.
TEST(BmpFiles, SiblingsShowTheSamePicture) {
    for (const auto& [a, b] : {std::pair{"bmpsuite/g/pal8rle.bmp", "bmpsuite/g/pal8.bmp"},
                               {"bmpsuite/g/pal4rle.bmp", "bmpsuite/g/pal4.bmp"},
                               {"bmpsuite/g/pal8topdown.bmp", "bmpsuite/g/pal8.bmp"},
                               {"image-rs/bmp/Info_8_Bit_Top_Down.bmp", "image-rs/bmp/Info_8_Bit.bmp"},
                               {"image-rs/bmp/Info_R8_G8_B8_Top_Down.bmp", "image-rs/bmp/Info_R8_G8_B8.bmp"},
                               {"image-rs/bmp/Info_A8_R8_G8_B8_Top_Down.bmp", "image-rs/bmp/Info_A8_R8_G8_B8.bmp"}}) {
        cImage32 ia, ib;
        EXPECT_TRUE(ia.LoadPicture_File(TestData(a)) && ib.LoadPicture_File(TestData(b)));
        EXPECT_TRUE(SamePixels(ia, ib) && ia.ImageType() == ib.ImageType()) << a;
    }
}

// Each format reaches its decoder through the chain, with the icon size and depth; a PNG that fails ends
// the chain. TGA, last and without a signature, must read all other files safely and refuse almost all.
TEST(PictureChain, EveryFormatThroughTheLoader) {
    const struct { const char* file; int iconSize, iconDepth, width, imageType, alpha; } cases[] = {
        {"pngsuite/basn6a08.png", 32, 32, 32, 10, 2},
        {"gif-frames-suite/animated_transparent_loop.gif", 32, 32, 0, 9, 1},
        {"image-rs/ico/multiple_entries_with_different_bit_depth.ico", 16, 4, 16, 8, 1},
        {"image-rs/ico/multiple_entries_with_different_bit_depth.ico", 32, 32, 32, 3, 2},
        {"pillow/cur/deerstalker.cur", 32, 32, 0, 5, -1},
        {"pillow/tga/200x32_rgba_tl_rle.tga", 32, 32, 200, 128, 2},
        {"bmpsuite/g/pal8.bmp", 32, 32, 127, 1, 0},
        {"libjpeg-turbo/testorig.jpg", 32, 32, 227, 1, 0},
    };
    cImage32 img;
    for (const auto& c : cases) {
        ASSERT_TRUE(img.LoadPicture_File(TestData(c.file), c.iconSize, c.iconSize, false, c.iconDepth)) << c.file;
        EXPECT_TRUE(c.width == 0 || img.Width() == c.width) << c.file;
        EXPECT_EQ(img.ImageType(), c.imageType) << c.file;
        EXPECT_TRUE(c.alpha < 0 || img.Alpha() == c.alpha) << c.file;
        SCOPED_TRACE(c.file);
        const std::string path = TestData(c.file);
        ExpectOutOfMemorySafe([&](cImage32& i) {
            return i.LoadPicture_File(path, c.iconSize, c.iconSize, true, c.iconDepth) &&
                   i.LoadPicture_FromOriginalFormat(c.iconSize, c.iconSize, c.iconDepth);
        });
    }
    EXPECT_FALSE(img.LoadPicture_Stream(Cut(PngOf(2, 1, 8, 0, {0, 1, 2}), 20)) || img.HasImage());
    int taken = 0;
    const auto files = ListFiles(TestData(""), {".png", ".gif", ".bmp", ".jpg", ".jpeg", ".ico", ".cur"});
    for (const auto& path : files) {
        const bool ok = Load(Tga, ReadFile(path), img);
        EXPECT_EQ(ok, img.HasImage()) << path;
        taken += ok;
    }
    EXPECT_LT(taken, int(files.size()) / 50);
}

// Many colours, grey in runs, a few colours, premultiplied alpha.
uint32_t TgaPixel(int kind, int x, int y) {
    const unsigned v = unsigned(x * 7 + y * 13) & 255, a = unsigned(x * 7) & 255, g = x < 10 ? 0 : 200;
    const uint32_t px[] = {Argb(255, unsigned(x * y) & 255, v * 3 & 255, v), Argb(255, g, g, g),
                           Argb(255, unsigned(y % 2 * 250), 5, unsigned(x % 3 * 100)), Argb(a, a, a / 3, a / 2)};
    return px[kind];
}

// Every encoder option on four kinds of picture, back through this decoder, the chain and stb_image.
TEST(TgaEncoder, RoundTrips) {
    for (int kind = 0; kind < 4; ++kind)
        for (int mask = 0; mask < 8; ++mask) {
            const bool compress = mask & 1, reduce = mask & 2, premultiplied = mask & 4;
            SCOPED_TRACE("kind " + std::to_string(kind) + " mask " + std::to_string(mask));
            cImage32 src, back, viaChain;
            Make(src, 37, 21, [kind](int x, int y) { return TgaPixel(kind, x, y); });
            ByteArray file;
            ASSERT_TRUE(src.SaveToStream_TGA(file, compress, reduce, premultiplied));
            const int type = reduce && kind == 1 ? 3 : reduce && kind == 2 ? 1 : 2;
            EXPECT_EQ(file[2], type + (compress ? 8 : 0));
            EXPECT_EQ(file[16], kind == 3 ? 32 : type == 2 ? 24 : 8);
            EXPECT_EQ(0, std::memcmp(file.data() + file.size() - 18, "TRUEVISION-XFILE.\0", 18));
            const uint32_t ext = LoadU32LE(file.data() + file.size() - 26);
            EXPECT_EQ(LoadU16LE(file.data() + ext), 495u);
            EXPECT_EQ(file[ext + 494], premultiplied ? 4 : kind == 3 ? 3 : 0);
            EXPECT_EQ(0, std::memcmp(file.data() + ext + 426, "Kiv Image Library", 17));
            EXPECT_TRUE(Load(Tga, file, back) && SamePixels(back, src));
            EXPECT_TRUE(viaChain.LoadPicture_Stream(file) && SamePixels(viaChain, src));
            if (kind == 3 && compress) ExpectDamagedCopiesSafe(Tga, file, {{12, 2}, {14, 2}});
            EXPECT_EQ(premultiplied ? "" : CompareToStraight(src, Stb(file)), "");
        }
}

// ---- JPEG on two decoders against TurboJPEG decoding the same bytes in one call

struct Decoded { bool ok = false; int w = 0, h = 0; std::vector<uint8_t> bits; };  // bottom-up BGRA

// TurboJPEG reports only a stream's first problem: an error after a warning comes out as a warning, and
// the end of the data after a warning goes unnoticed. The loader fails the picture then.
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

// Whether an end of image marker follows the start of the last scan.
bool ReachesEnd(const ByteArray& b) {
    const uint8_t sos[] = {0xFF, 0xDA}, eoi[] = {0xFF, 0xD9};
    const auto lastScan = std::find_end(b.begin(), b.end(), sos, sos + 2);
    return lastScan != b.end() && std::search(lastScan, b.end(), eoi, eoi + 2) != b.end();
}

// TurboJPEG as the loader used to call it: warnings pass, except data that ends early; errors fail.
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

// Decodes on two cores, and with the rows cut at each of `cuts`; whether the two decoders took it.
bool ExpectAllAsTurboJpeg(const ByteArray& bytes, std::vector<int> cuts, const std::string& what) {
    const Decoded ref = TurboJpeg(bytes);
    cImage32 img;
    cuts.insert(cuts.begin(), -1);
    for (int cut : cuts) {
        const std::optional<bool> ok = cut < 0 ? DecodeJPEG(bytes.data(), bytes.size(), img)
                                               : DecodeJPEGCutAt(bytes.data(), bytes.size(), img, cut);
        if (!ok) return false;
        EXPECT_EQ(*ok, ref.ok) << what << " cut at " << cut;
        EXPECT_TRUE(img.HasImage() == *ok && (!*ok || (img.Width() == ref.w && img.Height() == ref.h &&
                    std::memcmp(img.BitsPointer(), ref.bits.data(), ref.bits.size()) == 0))) << what << " cut at " << cut;
    }
    return true;
}

TEST(JpegDecoding, TestFilesAndDamagedCopiesDecodeAsTurboJpeg) {
    const std::vector<std::string> files = ListFiles(TestData(""), {".jpg", ".jpeg"});
    ASSERT_GE(files.size(), 130u);
    int split = 0;
    for (const auto& path : files) {
        const ByteArray original = ReadFile(path);
        const Decoded ref = TurboJpeg(original);
        // Every row of coding units (8 rows at least) as the cut.
        std::vector<int> cuts;
        for (int cut = 0; cut <= ref.h && ref.ok; cut += 8) cuts.push_back(cut);
        split += ExpectAllAsTurboJpeg(original, cuts, path) && !cuts.empty();
        ForEachDamagedCopy(original, [&](const ByteArray& copy) { ExpectAllAsTurboJpeg(copy, {0, ref.h / 2}, path); });
    }
    EXPECT_GE(split, 60);
}

// A photo-like picture through libjpeg's encoder, which offers restart markers and any sampling.
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
    for (JSAMPROW rows[1] = {row.data()}; int(info.next_scanline) < h; jpeg_write_scanlines(&info, rows, 1))
        for (int x = 0, y = int(info.next_scanline); x < w; ++x) {
            const uint32_t p = PhotoPixel(x, y);
            for (int k = 0; k < 3; ++k) row[size_t(x) * 3 + size_t(k)] = uint8_t(Ch(p, 2 - k));
        }
    jpeg_finish_compress(&info);
    ByteArray bytes(out, out + outSize);
    jpeg_destroy_compress(&info);
    std::free(out);
    return bytes;
}

// Damage above the cut changes what the lower decoder reads after skipping.
TEST(JpegDecoding, LargePicturesOfEachSamplingDecodeAsTurboJpeg) {
    const struct { const char* what; int w, h, hSamp, vSamp; bool gray; int restartRows, restartMcus; bool progressive, damaged; } cases[] = {
        {"4:2:0 UHD, odd size", 3841, 2161, 2, 2, false, 0, 0, false, false},
        {"4:4:4 UHD, restart every row", 3840, 2160, 1, 1, false, 1, 0, false, false},
        {"4:4:0", 1283, 817, 1, 2, false, 0, 0, false, true},
        {"4:1:1, restart every 7 units", 1283, 817, 4, 1, false, 0, 7, false, true},
        {"4:2:0 progressive", 1283, 817, 2, 2, false, 0, 0, true, false},
    };
    for (const auto& e : cases) {
        const ByteArray bytes = Encode(e.w, e.h, e.hSamp, e.vSamp, e.gray, e.restartRows, e.restartMcus, e.progressive);
        ASSERT_TRUE(TurboJpeg(bytes).ok) << e.what;
        const bool split = ExpectAllAsTurboJpeg(bytes, {0, e.h / 3, e.h / 2 + 5, e.h * 3 / 4, e.h}, e.what);
        EXPECT_EQ(split, !e.progressive) << e.what;
        if (e.damaged)
            ForEachDamagedCopy(bytes, [&](const ByteArray& c) { ExpectAllAsTurboJpeg(c, {e.h / 2}, e.what); });
    }
}

// TurboJPEG stops a progressive picture at 500 scans (a decompression bomb takes long on few bytes);
// so does the loader. The last scan, a refinement, repeated: each repeat only draws a warning.
TEST(JpegDecoding, ScanLimitAsTurboJpeg) {
    const ByteArray plain = Encode(64, 64, 1, 1, true, 0, 0, true);
    const uint8_t sos[] = {0xFF, 0xDA};
    const ByteArray scan(std::find_end(plain.begin(), plain.end(), sos, sos + 2), plain.end() - 2);
    for (int repeats : {480, 520}) {
        ByteArray bytes(plain.begin(), plain.end() - 2);
        for (int i = 0; i < repeats; ++i) bytes.insert(bytes.end(), scan.begin(), scan.end());
        bytes.insert(bytes.end(), {0xFF, 0xD9});
        EXPECT_EQ(TurboJpeg(bytes).ok, repeats < 490) << repeats;
        ExpectAllAsTurboJpeg(bytes, {}, std::to_string(repeats) + " repeats");
    }
}

}  // namespace
