// Image core against reference implementations on the same pixels, in the
// same run: Render 1:1 at 50 % (pixman OVER with a solid mask, memcpy), the
// high-quality shrink to 1/22 and the enlarged Render (Pillow BICUBIC run
// through /usr/bin/python3, pixman's separable cubic convolution), the
// compositing pixel operations, and JPEG loading (plain TurboJPEG).
#include <benchmark/benchmark.h>
#include <pixman.h>
#include <turbojpeg.h>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "image/cImage32.h"

namespace {

constexpr int kReps = 15;

// Thread CPU time: on this shared machine wall time mostly measures how long
// the process waited for a core.
double NowMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

// Median CPU milliseconds of `kiv` and `ref`, measured alternately so that the
// machine's noise hits both alike.
std::pair<double, double> MedianPair(const std::function<void()>& kiv, const std::function<void()>& ref,
                                     int reps = kReps) {
    std::vector<double> a, b;
    kiv();
    ref();
    for (int i = 0; i < reps; ++i) {
        double t = NowMs();
        kiv();
        a.push_back(NowMs() - t);
        t = NowMs();
        ref();
        b.push_back(NowMs() - t);
    }
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    return {a[a.size() / 2], b[b.size() / 2]};
}

double MedianMs(const std::function<void()>& fn, int reps = kReps) {
    std::vector<double> a;
    fn();
    for (int i = 0; i < reps; ++i) {
        const double t = NowMs();
        fn();
        a.push_back(NowMs() - t);
    }
    std::sort(a.begin(), a.end());
    return a[a.size() / 2];
}

// A picture with smooth areas, edges, noise and partial transparency.
void MakePicture(cImage32& img, int w, int h, bool withAlpha) {
    img.InitializeDIB(w, h);
    std::mt19937 rng(1);
    for (int y = 0; y < h; ++y) {
        uint8_t* p = img.Row(y);
        for (int x = 0; x < w; ++x, p += 4) {
            const unsigned a = !withAlpha ? 255 : (x < w / 8 ? 0 : (x < w / 4 ? (x * 255 / (w / 4)) : 255));
            const unsigned noise = rng() & 15;
            const unsigned r = (x * 255 / w + noise) & 255, g = (y * 255 / h) & 255, b = ((x ^ y) & 64) ? 200 : 40;
            p[0] = uint8_t(b * a / 255), p[1] = uint8_t(g * a / 255), p[2] = uint8_t(r * a / 255), p[3] = uint8_t(a);
        }
    }
}

pixman_image_t* Wrap(cImage32& img) {
    return pixman_image_create_bits(PIXMAN_a8r8g8b8, img.Width(), img.Height(), reinterpret_cast<uint32_t*>(img.BitsPointer()),
                                    img.scanWidth());
}

void RenderOneToOne(benchmark::State& state) {
    const int w = int(state.range(0)), h = int(state.range(1));
    cImage32 src, dst, ref;
    MakePicture(src, w, h, true);
    MakePicture(dst, w, h, false);
    MakePicture(ref, w, h, false);
    pixman_image_t* ps = Wrap(src);
    pixman_image_t* pd = Wrap(ref);
    const pixman_color_t half = {0, 0, 0, 0x8000};
    pixman_image_t* mask = pixman_image_create_solid_fill(&half);
    std::vector<uint8_t> copy(size_t(w) * size_t(h) * 4);
    auto kiv = [&] { src.Render(nullptr, 0, 0, 0, 0, 0, 0, 0, 0, 50, true, true, &dst); };
    auto pix = [&] { pixman_image_composite32(PIXMAN_OP_OVER, ps, mask, pd, 0, 0, 0, 0, 0, 0, w, h); };
    auto cpy = [&] { std::memcpy(copy.data(), src.BitsPointer(), copy.size()); };
    for (auto _ : state) kiv();
    const auto [k, p] = MedianPair(kiv, pix);
    const double m = MedianMs(cpy);
    state.counters["kiv_ms"] = k;
    state.counters["pixman_ms"] = p;
    state.counters["memcpy_ms"] = m;
    state.counters["kiv/pixman"] = k / p;
    state.counters["kiv/memcpy"] = k / m;
    pixman_image_unref(mask);
    pixman_image_unref(pd);
    pixman_image_unref(ps);
}

// pixman's separable convolution with a cubic kernel from src to dst size.
void PixmanCubic(cImage32& src, cImage32& dst) {
    pixman_image_t* ps = Wrap(src);
    pixman_image_t* pd = Wrap(dst);
    const double sx = double(src.Width()) / dst.Width(), sy = double(src.Height()) / dst.Height();
    pixman_transform_t t;
    pixman_transform_init_scale(&t, pixman_double_to_fixed(sx), pixman_double_to_fixed(sy));
    pixman_image_set_transform(ps, &t);
    int n = 0;
    const bool shrink = sx > 1.0;
    pixman_fixed_t* params = pixman_filter_create_separable_convolution(
        &n, pixman_double_to_fixed(std::max(sx, 1.0)), pixman_double_to_fixed(std::max(sy, 1.0)), PIXMAN_KERNEL_CUBIC,
        PIXMAN_KERNEL_CUBIC, shrink ? PIXMAN_KERNEL_BOX : PIXMAN_KERNEL_IMPULSE,
        shrink ? PIXMAN_KERNEL_BOX : PIXMAN_KERNEL_IMPULSE, shrink ? 1 : 4, shrink ? 1 : 4);
    pixman_image_set_filter(ps, PIXMAN_FILTER_SEPARABLE_CONVOLUTION, params, n);
    pixman_image_set_repeat(ps, PIXMAN_REPEAT_PAD);
    pixman_image_composite32(PIXMAN_OP_SRC, ps, nullptr, pd, 0, 0, 0, 0, 0, 0, dst.Width(), dst.Height());
    free(params);
    pixman_image_unref(pd);
    pixman_image_unref(ps);
}

struct PillowTimes {
    double shrink = 0, enlarge = 0;
};

// Runs the Pillow script on the same pixels (written as raw RGBa) and reads its timing.
PillowTimes RunPillow(const cImage32& big, int sw, int sh, int lw, int lh) {
    const std::string raw = std::string(KIV_BINARY_DIR) + "/bench_image_core_rgba.raw";
    {
        std::vector<uint8_t> rgba(size_t(big.Width()) * size_t(big.Height()) * 4);
        for (int y = 0; y < big.Height(); ++y) {
            const uint8_t* p = big.Row(y);
            uint8_t* q = rgba.data() + size_t(y) * size_t(big.Width()) * 4;
            for (int x = 0; x < big.Width(); ++x, p += 4, q += 4) q[0] = p[2], q[1] = p[1], q[2] = p[0], q[3] = p[3];
        }
        std::ofstream(raw, std::ios::binary).write(reinterpret_cast<const char*>(rgba.data()), std::streamsize(rgba.size()));
    }
    const std::string cmd = "/usr/bin/python3 " + std::string(KIV_SOURCE_DIR) + "/bench/pillow_resize.py " + raw + " " +
                            std::to_string(big.Width()) + " " + std::to_string(big.Height()) + " " + std::to_string(sw) +
                            " " + std::to_string(sh) + " " + std::to_string(lw) + " " + std::to_string(lh) + " " +
                            std::to_string(kReps);
    PillowTimes t;
    if (FILE* f = popen(cmd.c_str(), "r")) {
        if (std::fscanf(f, "shrink_ms=%lf enlarge_ms=%lf", &t.shrink, &t.enlarge) != 2) t = {};
        pclose(f);
    }
    std::remove(raw.c_str());
    return t;
}

void ShrinkAndEnlarge(benchmark::State& state) {
    const int W = 3840, H = 2160, sw = W / 22, sh = H / 22, lw = 2880, lh = 1620;
    cImage32 big;
    MakePicture(big, W, H, true);
    const PillowTimes pillow = RunPillow(big, sw, sh, lw, lh);

    cImage32 work, small, target, pixSmall, pixLarge;
    small.InitializeDIB(W, H);
    auto shrink = [&] {
        work.InitializeDIBUncleared(W, H);
        std::memcpy(work.BitsPointer(), big.BitsPointer(), size_t(W) * H * 4);
        work.Resize(sw, sh);
    };
    auto copyOnly = [&] {
        work.InitializeDIBUncleared(W, H);
        std::memcpy(work.BitsPointer(), big.BitsPointer(), size_t(W) * H * 4);
    };
    shrink();
    small.InitializeDIB(sw, sh);
    std::memcpy(small.BitsPointer(), work.BitsPointer(), size_t(sw) * sh * 4);
    target.InitializeDIB(lw, lh);
    auto enlarge = [&] { small.Render(nullptr, 0, 0, lw, lh, 0, 0, 0, 0, 100, true, true, &target); };
    pixSmall.InitializeDIB(sw, sh);
    pixLarge.InitializeDIB(lw, lh);

    for (auto _ : state) {
        shrink();
        enlarge();
    }
    // The shrink's own time, without the copy that restores the big picture.
    const double shrinkMs = std::max(0.0, MedianMs(shrink) - MedianMs(copyOnly));
    const auto [enlargeMs, pixEnlarge] = MedianPair(enlarge, [&] { PixmanCubic(small, pixLarge); }, 5);
    const double pixShrink = MedianMs([&] { PixmanCubic(big, pixSmall); }, 3);
    state.counters["shrink_ms"] = shrinkMs;
    state.counters["enlarge_ms"] = enlargeMs;
    state.counters["pillow_shrink_ms"] = pillow.shrink;
    state.counters["pillow_enlarge_ms"] = pillow.enlarge;
    state.counters["pixman_shrink_ms"] = pixShrink;
    state.counters["pixman_enlarge_ms"] = pixEnlarge;
    if (pillow.shrink > 0) {
        state.counters["shrink/pillow"] = shrinkMs / pillow.shrink;
        state.counters["enlarge/pillow"] = enlargeMs / pillow.enlarge;
    } else {
        state.SetLabel("Pillow did not run");
    }
    state.counters["shrink/pixman"] = shrinkMs / pixShrink;
    state.counters["enlarge/pixman"] = enlargeMs / pixEnlarge;
}

void PixelOperations(benchmark::State& state) {
    cImage32 img;
    MakePicture(img, 1920, 1080, true);
    std::unique_ptr<cImage32> shadow;
    for (auto _ : state) shadow = img.CreateDropShadow(10);
    state.counters["dropshadow10_ms"] = MedianMs([&] { shadow = img.CreateDropShadow(10); });
    state.counters["blendtocolor_ms"] = MedianMs([&] { img.BlendToColor(0x00402010, 33); });
    state.counters["lighterdarker_ms"] = MedianMs([&] { img.MakeLighterDarker(-20); });
    state.counters["removealpha_ms"] = MedianMs([&] { img.RemoveAlpha(); });
}

void JpegLoad(benchmark::State& state) {
    const int W = 3840, H = 2160;
    cImage32 pic;
    MakePicture(pic, W, H, false);
    tjhandle c = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long jpegSize = 0;
    tjCompress2(c, pic.BitsPointer(), W, pic.scanWidth(), H, TJPF_BGRA, &jpeg, &jpegSize, TJSAMP_420, 90,
                TJFLAG_BOTTOMUP);
    tjDestroy(c);
    const std::string path = std::string(KIV_BINARY_DIR) + "/bench_image_core.jpg";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(jpeg), std::streamsize(jpegSize));
    tjFree(jpeg);

    cImage32 img;
    auto kiv = [&] { img.LoadPicture_File(path); };
    // The same work done plainly: read the file, decode into a fresh buffer.
    auto plain = [&] {
        std::ifstream f(path, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)), {});
        tjhandle d = tjInitDecompress();
        int w = 0, h = 0, ss = 0, cs = 0;
        tjDecompressHeader3(d, bytes.data(), bytes.size(), &w, &h, &ss, &cs);
        uint8_t* out = static_cast<uint8_t*>(std::malloc(size_t(w) * size_t(h) * 4));
        tjDecompress2(d, bytes.data(), bytes.size(), out, w, w * 4, h, TJPF_BGRA, TJFLAG_BOTTOMUP);
        benchmark::DoNotOptimize(out[0]);
        std::free(out);
        tjDestroy(d);
    };
    for (auto _ : state) kiv();
    const auto [k, p] = MedianPair(kiv, plain);
    state.counters["kiv_ms"] = k;
    state.counters["turbojpeg_ms"] = p;
    state.counters["kiv/turbojpeg"] = k / p;
    std::remove(path.c_str());
}

}  // namespace

BENCHMARK(RenderOneToOne)->Args({1920, 1080})->Args({3840, 2160})->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(ShrinkAndEnlarge)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(PixelOperations)->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(JpegLoad)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK_MAIN();
