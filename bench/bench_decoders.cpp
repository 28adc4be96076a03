// Decoder speed against the reference libraries on the same data in the same
// run: PNG (in the default configuration, CRCs checked, and with zlib
// switched off) against libpng and libspng, the own inflate against zlib's
// uncompress; GIF, ICO and TGA on their own.
// Every decoder writes a freshly allocated picture, as a real load does.
// MB/s count output pixels (4 bytes each); ratios are time(kiv) / time(ref).
#include <benchmark/benchmark.h>
#include <png.h>
#include <spng.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/LibpngEncode.h"
#include "image/Inflate.h"
#include "image/cGIFparser.h"
#include "image/cICOparser.h"
#include "image/cImage32.h"
#include "image/cPNGparser.h"
#include "image/cTGAparser.h"

namespace {

// Photo-like content: smooth shapes with a little noise, so that the
// filters and the inflate see what camera pictures give them.
uint32_t PhotoRgba(int x, int y, bool alpha) {
    static uint32_t seed = 12345;
    seed = seed * 1664525u + 1013904223u;
    const int noise = int(seed >> 29) - 4;
    auto ch = [&](double v) { return uint32_t(std::clamp(int(v) + noise, 0, 255)); };
    const double r = 128 + 100 * std::sin(x * 0.004 + y * 0.002);
    const double g = 128 + 90 * std::cos(x * 0.003 - y * 0.005);
    const double b = 110 + 80 * std::sin((x + y) * 0.0025);
    const uint32_t a = alpha ? std::clamp(int(255 - std::abs(x - 1920) * 0.12), 0, 255) : 255;
    return ch(r) | ch(g) << 8 | ch(b) << 16 | a << 24;
}

struct Encoded {
    std::string name;
    int w = 0, h = 0;
    ByteArray png;
    ByteArray idat;  // the zlib stream alone
    size_t rawSize = 0;
};

ByteArray ExtractIdat(const ByteArray& png) {
    ByteArray z;
    for (size_t p = 8; p + 12 <= png.size();) {
        const uint32_t len = uint32_t(png[p]) << 24 | uint32_t(png[p + 1]) << 16 | uint32_t(png[p + 2]) << 8 | png[p + 3];
        if (std::memcmp(&png[p + 4], "IDAT", 4) == 0) z.insert(z.end(), &png[p + 8], &png[p + 8 + len]);
        p += 12 + len;
    }
    return z;
}

Encoded Make(const std::string& name, int w, int h, int kind) {
    Encoded e{name, w, h, {}, {}, 0};
    std::vector<uint8_t> rows;
    std::vector<png_color> pal;
    int colorType = PNG_COLOR_TYPE_RGB;
    if (kind == 2) {  // palette: 256 colours, flat areas with dithered edges
        colorType = PNG_COLOR_TYPE_PALETTE;
        for (int i = 0; i < 256; ++i) pal.push_back({uint8_t(i), uint8_t(255 - i), uint8_t(i * 7)});
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) rows.push_back(uint8_t(((x / 24) ^ (y / 16)) + ((x + y) % 5 == 0)));
    } else {
        colorType = kind == 1 ? PNG_COLOR_TYPE_RGBA : PNG_COLOR_TYPE_RGB;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const uint32_t c = PhotoRgba(x, y, kind == 1);
                rows.insert(rows.end(), {uint8_t(c), uint8_t(c >> 8), uint8_t(c >> 16)});
                if (kind == 1) rows.push_back(uint8_t(c >> 24));
            }
    }
    e.png = LibpngEncode(w, h, colorType, rows, pal);
    e.idat = ExtractIdat(e.png);
    e.rawSize = size_t(h) * (rows.size() / size_t(h) + 1);
    return e;
}

std::vector<Encoded>& Files() {
    static std::vector<Encoded> files = {Make("rgb_3840x2160", 3840, 2160, 0), Make("rgba_3840x2160", 3840, 2160, 1),
                                         Make("palette_1920x1080", 1920, 1080, 2)};
    return files;
}

// Benchmark name -> CPU time per iteration (ms). CPU time rather than wall
// time: the decoders are single-threaded and the build machine is shared.
std::map<std::string, double> g_ms;

void Pixels(benchmark::State& s, const Encoded& e) { s.SetBytesProcessed(int64_t(s.iterations()) * e.w * e.h * 4); }

void BM_Kiv(benchmark::State& s, size_t file, bool zlib) {
    const Encoded& e = Files()[file];
    SetZlibEnabled(zlib);
    for (auto _ : s) {
        cImage32 img;
        cPNGparser parser;
        if (!parser.LoadBytes(e.png.data(), e.png.size(), img) || !img.HasImage()) s.SkipWithError("decode failed");
        benchmark::DoNotOptimize(img.BitsPointer());
    }
    SetZlibEnabled(true);
    Pixels(s, e);
}

void BM_Libpng(benchmark::State& s, size_t file) {
    const Encoded& e = Files()[file];
    for (auto _ : s) {
        struct Reader {
            const ByteArray* b;
            size_t pos;
        } reader{&e.png, 0};
        std::unique_ptr<uint8_t[]> out(new uint8_t[size_t(e.w) * e.h * 4]);
        png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
        png_infop info = png_create_info_struct(png);
        png_set_read_fn(png, &reader, [](png_structp p, png_bytep d, png_size_t n) {
            auto* r = static_cast<Reader*>(png_get_io_ptr(p));
            std::memcpy(d, r->b->data() + r->pos, n);
            r->pos += n;
        });
        png_read_info(png, info);
        png_set_expand(png);
        png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
        png_read_update_info(png, info);
        for (int y = 0; y < e.h; ++y) png_read_row(png, out.get() + size_t(y) * e.w * 4, nullptr);
        png_read_end(png, nullptr);
        png_destroy_read_struct(&png, &info, nullptr);
        benchmark::DoNotOptimize(out.get());
    }
    Pixels(s, e);
}

void BM_Spng(benchmark::State& s, size_t file) {
    const Encoded& e = Files()[file];
    for (auto _ : s) {
        spng_ctx* ctx = spng_ctx_new(0);
        spng_set_png_buffer(ctx, e.png.data(), e.png.size());
        size_t n = 0;
        spng_decoded_image_size(ctx, SPNG_FMT_RGBA8, &n);
        std::unique_ptr<uint8_t[]> out(new uint8_t[n]);
        if (spng_decode_image(ctx, out.get(), n, SPNG_FMT_RGBA8, SPNG_DECODE_TRNS) != 0) s.SkipWithError("spng");
        spng_ctx_free(ctx);
        benchmark::DoNotOptimize(out.get());
    }
    Pixels(s, e);
}

void BM_Uncompress(benchmark::State& s, size_t file) {
    const Encoded& e = Files()[file];
    for (auto _ : s) {
        std::unique_ptr<uint8_t[]> out(new uint8_t[e.rawSize]);
        uLongf n = uLongf(e.rawSize);
        if (uncompress(out.get(), &n, e.idat.data(), uLong(e.idat.size())) != Z_OK) s.SkipWithError("zlib");
        benchmark::DoNotOptimize(out.get());
    }
    s.SetBytesProcessed(int64_t(s.iterations()) * int64_t(e.rawSize));
}

// The own inflate writing into one buffer, as uncompress does.
void BM_OwnInflate(benchmark::State& s, size_t file) {
    const Encoded& e = Files()[file];
    struct Copy final : InflateSink {
        uint8_t* at;
        void Take(const uint8_t* p, size_t n) override {
            std::memcpy(at, p, n);
            at += n;
        }
    };
    for (auto _ : s) {
        std::unique_ptr<uint8_t[]> out(new uint8_t[e.rawSize]);
        Copy sink;
        sink.at = out.get();
        const InflateSpan span{e.idat.data(), e.idat.size()};
        if (!OwnInflate(&span, 1, e.rawSize, sink)) s.SkipWithError("inflate");
        benchmark::DoNotOptimize(out.get());
    }
    s.SetBytesProcessed(int64_t(s.iterations()) * int64_t(e.rawSize));
}

// ---- the other formats, from pictures made with the library's own encoders

struct Other {
    ByteArray gif, tgaRaw, tgaRle, ico;
    int gifPixels = 0, tgaPixels = 0, icoPixels = 0;
};

Other& Others() {
    static Other o = [] {
        Other r;
        cImage32 img;
        img.InitializeDIB(1920, 1080);
        for (int y = 0; y < 1080; ++y)
            for (int x = 0; x < 1920; ++x) {
                const uint32_t c = PhotoRgba(x, y, false);
                uint8_t* p = img.Row(y) + size_t(x) * 4;
                p[0] = uint8_t(c >> 16);
                p[1] = uint8_t(c >> 8);
                p[2] = uint8_t(c);
                p[3] = 255;
            }
        img.SaveToStream_GIF(r.gif);
        img.SaveToStream_TGA(r.tgaRaw);
        img.SaveToStream_TGA(r.tgaRle, true);
        r.gifPixels = r.tgaPixels = 1920 * 1080;
        // A 256 x 256 32-bit icon entry.
        const int n = 256;
        ByteArray dib(40, 0);
        dib[0] = 40;
        dib[5] = 1;  // width 256
        dib[9] = 2;  // height 512 (colours and mask)
        dib[12] = 1;
        dib[14] = 32;
        for (int i = 0; i < n * n; ++i) {
            const uint32_t c = PhotoRgba(i % n, i / n, true);
            dib.insert(dib.end(), {uint8_t(c >> 16), uint8_t(c >> 8), uint8_t(c), uint8_t(c >> 24)});
        }
        dib.resize(dib.size() + size_t(n / 8) * n, 0);
        r.ico = {0, 0, 1, 0, 1, 0, 0, 0, 0, 0, 1, 0, 32, 0};
        const uint32_t size = uint32_t(dib.size());
        r.ico.insert(r.ico.end(), {uint8_t(size), uint8_t(size >> 8), uint8_t(size >> 16), uint8_t(size >> 24), 22, 0, 0, 0});
        r.ico.insert(r.ico.end(), dib.begin(), dib.end());
        r.icoPixels = n * n;
        return r;
    }();
    return o;
}

void BM_Gif(benchmark::State& s) {
    const ByteArray& g = Others().gif;
    for (auto _ : s) {
        cImage32 img;
        if (!cGIFparser().LoadBytes(g.data(), g.size(), img) || !img.HasImage()) s.SkipWithError("gif");
    }
    s.SetBytesProcessed(int64_t(s.iterations()) * Others().gifPixels * 4);
}

void BM_Tga(benchmark::State& s, bool rle) {
    const ByteArray& t = rle ? Others().tgaRle : Others().tgaRaw;
    for (auto _ : s) {
        cImage32 img;
        if (!cTGAparser().LoadBytes(t.data(), t.size(), img)) s.SkipWithError("tga");
    }
    s.SetBytesProcessed(int64_t(s.iterations()) * Others().tgaPixels * 4);
}

void BM_Ico(benchmark::State& s) {
    const ByteArray& f = Others().ico;
    for (auto _ : s) {
        cImage32 img;
        if (!cICOparser().LoadBytes(f.data(), f.size(), 256, 256, img)) s.SkipWithError("ico");
    }
    s.SetBytesProcessed(int64_t(s.iterations()) * Others().icoPixels * 4);
}

class Collector : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs)
            if (!r.error_occurred && r.run_type == Run::RT_Iteration)
                g_ms[r.benchmark_name()] = r.GetAdjustedCPUTime();  // every run is in ms
    }
};

double Ms(const std::string& name) {
    auto it = g_ms.find(name);
    return it == g_ms.end() ? 0 : it->second;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    for (size_t i = 0; i < Files().size(); ++i) {
        const std::string n = Files()[i].name;
        benchmark::RegisterBenchmark(("png_kiv/" + n).c_str(), BM_Kiv, i, true)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("png_kiv_nozlib/" + n).c_str(), BM_Kiv, i, false)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("png_libpng/" + n).c_str(), BM_Libpng, i)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("png_spng/" + n).c_str(), BM_Spng, i)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("zlib_uncompress/" + n).c_str(), BM_Uncompress, i)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("own_inflate/" + n).c_str(), BM_OwnInflate, i)->Unit(benchmark::kMillisecond);
    }
    benchmark::RegisterBenchmark("gif_1920x1080", BM_Gif)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("tga_raw_1920x1080", BM_Tga, false)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("tga_rle_1920x1080", BM_Tga, true)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("ico_256x256x32", BM_Ico)->Unit(benchmark::kMillisecond);
    Collector reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    std::printf("\nSummary (time ratios; PNG target <= 0.80 x the faster reference in the default configuration, "
                "own inflate <= 2 x zlib)\n");
    for (const Encoded& e : Files()) {
        const double kiv = Ms("png_kiv/" + e.name), noZlib = Ms("png_kiv_nozlib/" + e.name);
        const double lib = Ms("png_libpng/" + e.name), sp = Ms("png_spng/" + e.name);
        const double best = std::min(lib, sp), unc = Ms("zlib_uncompress/" + e.name), own = Ms("own_inflate/" + e.name);
        if (best <= 0 || unc <= 0) continue;
        const double mpx = e.w * double(e.h) * 4 / 1e6;
        std::printf("%-18s kiv %7.1f ms (%6.0f MB/s) = %.2f x best ref | zlib off %7.1f ms = %.2f x | libpng %7.1f ms, "
                    "spng %7.1f ms | own inflate %.2f x uncompress (%.1f vs %.1f ms)\n",
                    e.name.c_str(), kiv, mpx / kiv * 1e3, kiv / best, noZlib, noZlib / best, lib, sp, own / unc, own,
                    unc);
    }
    return 0;
}
