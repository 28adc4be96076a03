// Encoder speed and size against the reference libraries: PNG against libpng
// at level 9 (all filters, its default for RGB), JPEG at quality 90 against
// TurboJPEG with the same 4:4:4 sampling, both as a caller would use it (a
// new output buffer each time) and writing into a buffer allocated once, as
// the writer here reuses its output vector. Ratios are kiv / reference.
#include <benchmark/benchmark.h>
#include <png.h>
#include <turbojpeg.h>

#include <cstdio>
#include <map>
#include <string>

#include "bench/LibpngEncode.h"
#include "image/cImage32.h"
#include "tests/image/ImageCoreTestSupport.h"

namespace {

constexpr int kW = 1920, kH = 1080;

struct Picture {
    cImage32 img;
    std::vector<uint8_t> rgb;  // top-down, for the reference encoders
    Picture() {
        ict::Make(img, kW, kH, ict::PhotoPixel);
        rgb.reserve(size_t(kW) * kH * 3);
        for (int y = 0; y < kH; ++y)
            for (int x = 0; x < kW; ++x) {
                const uint32_t c = ict::PhotoPixel(x, y);
                rgb.insert(rgb.end(), {uint8_t(c >> 16), uint8_t(c >> 8), uint8_t(c)});
            }
    }
};

Picture& Pic() {
    static Picture p;
    return p;
}

std::map<std::string, double> g_bytes;

void BM_PngKiv(benchmark::State& s) {
    ByteArray out;
    for (auto _ : s) {
        if (!Pic().img.SaveToStream_PNG(out)) s.SkipWithError("encode failed");
        benchmark::DoNotOptimize(out.data());
    }
    g_bytes["png"] = double(out.size());
    s.counters["bytes"] = double(out.size());
}
void BM_PngLibpng(benchmark::State& s) {
    std::vector<uint8_t> out;
    for (auto _ : s) {
        out = LibpngEncode(kW, kH, PNG_COLOR_TYPE_RGB, Pic().rgb, {}, 9);
        benchmark::DoNotOptimize(out.data());
    }
    g_bytes["png_ref"] = double(out.size());
    s.counters["bytes"] = double(out.size());
}
void BM_JpegKiv(benchmark::State& s) {
    ByteArray out;
    for (auto _ : s) {
        if (!Pic().img.SaveToStream_JPG(out, 90)) s.SkipWithError("encode failed");
        benchmark::DoNotOptimize(out.data());
    }
    g_bytes["jpg"] = double(out.size());
    s.counters["bytes"] = double(out.size());
}
void BM_JpegTurbo(benchmark::State& s) {
    tjhandle tj = tjInitCompress();
    unsigned long size = 0;
    for (auto _ : s) {
        unsigned char* buf = nullptr;
        size = 0;
        if (tjCompress2(tj, Pic().rgb.data(), kW, 0, kH, TJPF_RGB, &buf, &size, TJSAMP_444, 90, 0) != 0)
            s.SkipWithError("encode failed");
        tjFree(buf);
    }
    tjDestroy(tj);
    g_bytes["jpg_ref"] = double(size);
    s.counters["bytes"] = double(size);
}

void BM_JpegTurboPrealloc(benchmark::State& s) {
    tjhandle tj = tjInitCompress();
    const unsigned long capacity = tjBufSize(kW, kH, TJSAMP_444);
    unsigned char* buf = tjAlloc(int(capacity));
    unsigned long size = 0;
    for (auto _ : s) {
        size = capacity;
        if (tjCompress2(tj, Pic().rgb.data(), kW, 0, kH, TJPF_RGB, &buf, &size, TJSAMP_444, 90, TJFLAG_NOREALLOC) != 0)
            s.SkipWithError("encode failed");
        benchmark::DoNotOptimize(buf);
    }
    tjFree(buf);
    tjDestroy(tj);
}

BENCHMARK(BM_PngKiv)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_PngLibpng)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_JpegKiv)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_JpegTurbo)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_JpegTurboPrealloc)->Unit(benchmark::kMillisecond)->MinTime(1.0);

// Keeps the CPU time of each benchmark for the summary line (CPU rather than
// wall time: the machine is shared, so wall time depends on the neighbours).
class Collector : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> ms;
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) ms[r.run_name.function_name] = r.GetAdjustedCPUTime();
        ConsoleReporter::ReportRuns(runs);
    }
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    Pic();
    Collector rep;
    benchmark::RunSpecifiedBenchmarks(&rep);
    auto ratio = [&](const char* a, const char* b) {
        return rep.ms.count(a) && rep.ms.count(b) && rep.ms[b] > 0 ? rep.ms[a] / rep.ms[b] : 0.0;
    };
    auto sizeRatio = [&](const char* a, const char* b) { return g_bytes[b] > 0 ? g_bytes[a] / g_bytes[b] : 0.0; };
    if (ratio("BM_PngKiv", "BM_PngLibpng") > 0)
        std::printf("PNG 1920x1080 RGB level 9: CPU time ratio kiv/libpng %.2f, size ratio %.3f\n",
                    ratio("BM_PngKiv", "BM_PngLibpng"), sizeRatio("png", "png_ref"));
    if (ratio("BM_JpegKiv", "BM_JpegTurbo") > 0)
        std::printf("JPEG 1920x1080 quality 90: CPU time ratio kiv/TurboJPEG %.2f (preallocated buffer %.2f), "
                    "size ratio %.3f\n",
                    ratio("BM_JpegKiv", "BM_JpegTurbo"), ratio("BM_JpegKiv", "BM_JpegTurboPrealloc"),
                    sizeRatio("jpg", "jpg_ref"));
    benchmark::Shutdown();
    return 0;
}
