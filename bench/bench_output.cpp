// The graphics output: DisplayCachedImage up to the transition, split by
// stage, for a 4K JPEG and a 1080p PNG onto 1080p and 4K outputs; one fade
// step (draw at an opacity and present on the output window). References:
// TurboJPEG and libspng decoding the same files, pixman compositing the same
// fade step.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <QApplication>
#include <benchmark/benchmark.h>
#include <pixman.h>
#include <time.h>
#include <spng.h>
#include <turbojpeg.h>
#include <unistd.h>

#include "core/Settings.h"
#include "core/modMain.h"
#include "image/cImage32.h"
#include "output/GfxOutput.h"
#include "bench/OutputBench.h"
#include "output/Monitors.h"
#include "output/frmStillA.h"
#include "output/modTL.h"

namespace {

// Stages are timed on the wall clock: the pixel loops run on all cores, so
// one thread's CPU time would undercount them. The process's CPU time is
// shown beside it (above the wall time when both cores worked). Other load
// on the machine inflates the wall time: compare rows of one run.
std::filesystem::path gDir;
std::string gJpeg4k, gPng1080, gJpeg4x3;
std::map<std::string, double> gSummary;  // name -> ms

// A photo-like picture: smooth gradients, some structure and a little noise,
// so the codecs have realistic work.
void FillPicture(cImage32& img, int w, int h) {
    img.InitializeDIB(w, h);
    uint32_t seed = 12345;
    for (int y = 0; y < h; ++y) {
        uint8_t* p = img.Row(y);
        for (int x = 0; x < w; ++x, p += 4) {
            seed = seed * 1664525u + 1013904223u;
            const int noise = int(seed >> 28) - 8;
            const double fx = double(x) / w, fy = double(y) / h;
            const int r = int(128 + 100 * std::sin(fx * 9 + fy * 3)) + noise;
            const int g = int(128 + 90 * std::cos(fy * 7 - fx * 2)) + noise;
            const int b = int(255 * fx * fy) + noise;
            p[0] = uint8_t(std::clamp(b, 0, 255));
            p[1] = uint8_t(std::clamp(g, 0, 255));
            p[2] = uint8_t(std::clamp(r, 0, 255));
            p[3] = 255;
        }
    }
}

void ConfigureOutput(int outW, int outH) {
    Settings = SettingsData{};
    // The shipped rendering defaults.
    Settings.CacheDir = gDir.string();
    Settings.OnAirMonitor = 1;
    Settings.UseBlurredBackground = 1;
    Settings.BlurredBackgroundLightness = -20;
    Settings.BlurredBackgroundColor = 0x808080;
    Settings.BlurredBackgroundOpacity = 30;
    Settings.ShadowOpacity = 30;
    Settings.TransDur = 12;
    Settings.DisplayFrameRate = 25;
    FatalError = GfxInitialized = GfxOutputEnabled = false;
    SetMonitorProvider(std::make_shared<FixedMonitor>(outW, outH));
    InitGfxOutput();
}

void BM_DisplayCachedImage(benchmark::State& state, const std::string* source, int outW, int outH,
                           const char* label) {
    SetOutputWindow(nullptr);  // composing only; presenting is measured below
    ConfigureOutput(outW, outH);
    // The first picture after start-up also maps the working memory (page
    // faults are slow on virtual machines); the engine then reuses it for
    // every picture of that size. Reported apart from the steady state.
    const double coldStart = WallMs();
    if (DisplayCachedImage(*source, "False") != 0) {
        state.SkipWithError("DisplayCachedImage failed");
        return;
    }
    const double coldMs = WallMs() - coldStart;
    std::map<std::string, double> stageMs;
    double last = 0, start = 0, cpuStart = 0, composeMs = 0, composeCpuMs = 0;
    SetGfxStageHook([&](const char* stage) {
        const double now = WallMs();
        stageMs[stage] += now - last;
        last = now;
        // Up to the frame ready for the transition: the composite file written
        // and the frame in FrameImage.
        if (std::string(stage) == "readback") {
            composeMs += now - start;
            composeCpuMs += ProcessCpuMs() - cpuStart;
        }
    });
    for (auto _ : state) {
        start = last = WallMs();
        cpuStart = ProcessCpuMs();
        if (DisplayCachedImage(*source, "False") != 0) {
            state.SkipWithError("DisplayCachedImage failed");
            break;
        }
    }
    SetGfxStageHook({});
    const double n = double(state.iterations());
    for (const auto& [stage, ms] : stageMs) state.counters[stage + "_ms"] = ms / n;
    state.counters["compose_ms"] = composeMs / n;
    state.counters["compose_cpu_ms"] = composeCpuMs / n;
    state.counters["first_picture_ms"] = coldMs;
    gSummary[std::string("compose ") + label] = composeMs / n;
    gSummary[std::string("first picture after start (cut) ") + label] = coldMs;
    gSummary[std::string("compose ") + label + " (CPU)"] = composeCpuMs / n;
}

// One fade step as the transition does it: the finished frame drawn over the
// output at an opacity, then put on screen.
void BM_FadeStep(benchmark::State& state, int outW, int outH, const char* label) {
    InstallGfxOutputWindows();
    SetOutputWindow(OutputWindowWidget());
    ConfigureOutput(outW, outH);
    if (DisplayCachedImage(gPng1080, "False") != 0) {
        state.SkipWithError("no frame");
        return;
    }
    cImage32& frame = *FrameImage();
    PictureSurface& a = picStillA();
    const DeviceContext dc = a.DC();
    double stepMs = 0, cpuMs = 0;
    int opacity = 1;
    DrawFadeStep(frame, opacity, true);
    for (auto _ : state) {
        const double c0 = ProcessCpuMs(), t0 = WallMs();
        DrawFadeStep(frame, opacity, false);
        stepMs += WallMs() - t0;
        cpuMs += ProcessCpuMs() - c0;
        opacity = opacity % 99 + 1;
    }
    const double n = double(state.iterations());
    // The parts of a step through the surface: the blend alone, and the
    // copy into the window.
    const int reps = 20;
    double drawMs = 0, presentMs = 0;
    for (int i = 0; i < reps; ++i) {
        const double t0 = WallMs();
        frame.Render(&dc, 0, 0, a.Width(), a.Height(), 0, 0, 0, 0, 50, true, true);
        const double t1 = WallMs();
        a.Repaint();
        drawMs += t1 - t0;
        presentMs += WallMs() - t1;
    }
    drawMs /= reps, presentMs /= reps;
    state.counters["step_ms"] = stepMs / n;
    state.counters["draw_ms"] = drawMs;
    state.counters["present_ms"] = presentMs;
    state.counters["step_cpu_ms"] = cpuMs / n;

    // pixman: the same premultiplied OVER with a constant 50 % mask.
    std::vector<uint32_t> src(size_t(outW) * outH, 0xFF336699u), dst(size_t(outW) * outH, 0xFF000000u);
    pixman_image_t* s = pixman_image_create_bits(PIXMAN_a8r8g8b8, outW, outH, src.data(), outW * 4);
    pixman_image_t* d = pixman_image_create_bits(PIXMAN_a8r8g8b8, outW, outH, dst.data(), outW * 4);
    const pixman_color_t half{0, 0, 0, 0x8000};
    pixman_image_t* m = pixman_image_create_solid_fill(&half);
    const double t0 = WallMs();
    for (int i = 0; i < reps; ++i)
        pixman_image_composite32(PIXMAN_OP_OVER, s, m, d, 0, 0, 0, 0, 0, 0, outW, outH);
    const double pixmanMs = (WallMs() - t0) / reps;
    pixman_image_unref(s), pixman_image_unref(d), pixman_image_unref(m);
    state.counters["pixman_ms"] = pixmanMs;
    state.counters["draw_vs_pixman"] = drawMs / pixmanMs;
    gSummary[std::string("fade step ") + label] = stepMs / n;
    gSummary[std::string("fade step ") + label + " (CPU)"] = cpuMs / n;
    gSummary[std::string("fade step via surface: draw ") + label] = drawMs;
    gSummary[std::string("fade step via surface: present ") + label] = presentMs;
    gSummary[std::string("fade step draw / pixman ") + label] = drawMs / pixmanMs;
    SetOutputWindow(nullptr);
}

std::vector<unsigned char> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Decoding the same files with the reference libraries, against the
// library's own load.
// The own JPEG load uses both cores: wall clock for both sides.
void BM_LoadJpeg4k(benchmark::State& state) {
    const auto bytes = ReadFile(gJpeg4k);
    tjhandle tj = tjInitDecompress();
    std::vector<unsigned char> out(3840u * 2160u * 4u);
    double refMs = 0, ownMs = 0;
    cImage32 img;
    for (auto _ : state) {
        const double t0 = WallMs();
        tjDecompress2(tj, bytes.data(), bytes.size(), out.data(), 3840, 0, 2160, TJPF_BGRA, 0);
        const double t1 = WallMs();
        img.LoadPicture_File(gJpeg4k);
        refMs += t1 - t0;
        ownMs += WallMs() - t1;
    }
    tjDestroy(tj);
    const double n = double(state.iterations());
    state.counters["own_ms"] = ownMs / n;
    state.counters["turbojpeg_ms"] = refMs / n;
    state.counters["own_vs_turbojpeg"] = ownMs / refMs;
    gSummary["load 4K JPEG / TurboJPEG"] = ownMs / refMs;
}

void BM_LoadPng1080(benchmark::State& state) {
    const auto bytes = ReadFile(gPng1080);
    std::vector<unsigned char> out(1920u * 1080u * 4u);
    double refMs = 0, ownMs = 0;
    cImage32 img;
    for (auto _ : state) {
        const double t0 = ThreadCpuMs();
        spng_ctx* ctx = spng_ctx_new(0);
        spng_set_png_buffer(ctx, bytes.data(), bytes.size());
        spng_decode_image(ctx, out.data(), out.size(), SPNG_FMT_RGBA8, 0);
        spng_ctx_free(ctx);
        const double t1 = ThreadCpuMs();
        img.LoadPicture_File(gPng1080);
        refMs += t1 - t0;
        ownMs += ThreadCpuMs() - t1;
    }
    const double n = double(state.iterations());
    state.counters["own_ms"] = ownMs / n;
    state.counters["spng_ms"] = refMs / n;
    state.counters["own_vs_spng"] = ownMs / refMs;
    gSummary["load 1080p PNG / libspng"] = ownMs / refMs;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    gDir = std::filesystem::temp_directory_path() / ("kiv_bench_output_" + std::to_string(::getpid()));
    std::filesystem::create_directories(gDir);
    {
        cImage32 picture;
        FillPicture(picture, 3840, 2160);
        gJpeg4k = (gDir / "photo4k.jpg").string();
        picture.SaveToFile_JPG(gJpeg4k, 90, 0, false);
        FillPicture(picture, 1920, 1080);
        gPng1080 = (gDir / "picture1080.png").string();
        picture.SaveToFile_PNG(gPng1080, false);
        FillPicture(picture, 2880, 2160);
        gJpeg4x3 = (gDir / "photo4x3.jpg").string();
        picture.SaveToFile_JPG(gJpeg4x3, 90, 0, false);
    }
    // The 16:9 pictures fill a 16:9 output exactly and need no blurred
    // band; a 4:3 JPEG measures the band as well.
    benchmark::RegisterBenchmark("DisplayCachedImage/jpeg4k->1080p", BM_DisplayCachedImage, &gJpeg4k, 1920, 1080,
                                 "4K JPEG -> 1080p")->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("DisplayCachedImage/jpeg4k->2160p", BM_DisplayCachedImage, &gJpeg4k, 3840, 2160,
                                 "4K JPEG -> 2160p")->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("DisplayCachedImage/jpeg4x3->1080p", BM_DisplayCachedImage, &gJpeg4x3, 1920, 1080,
                                 "2880x2160 JPEG -> 1080p")->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("DisplayCachedImage/png1080->1080p", BM_DisplayCachedImage, &gPng1080, 1920, 1080,
                                 "1080p PNG -> 1080p")->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("DisplayCachedImage/png1080->2160p", BM_DisplayCachedImage, &gPng1080, 3840, 2160,
                                 "1080p PNG -> 2160p")->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("FadeStep/1080p", BM_FadeStep, 1920, 1080, "1080p")->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("FadeStep/2160p", BM_FadeStep, 3840, 2160, "2160p")->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("Load/jpeg4k", BM_LoadJpeg4k)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("Load/png1080", BM_LoadPng1080)->Unit(benchmark::kMillisecond);

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    std::printf("\nSummary, ms on the wall clock and ratios (compose: up to the frame ready for the transition;\n"
                "targets: 4K JPEG -> 2160p <= 45, 1080p PNG -> 2160p <= 55, fade step 2160p <= 5, 1080p <= 4):\n");
    for (const auto& [name, value] : gSummary) std::printf("  %-42s %8.2f\n", name.c_str(), value);
    const auto fade = gSummary.find("fade step 1080p");
    if (fade != gSummary.end())
        std::printf("  default fade (48 x (20 ms + step))     %8.0f ms\n", 48 * (20 + fade->second));
    std::filesystem::remove_all(gDir);
    return 0;
}
