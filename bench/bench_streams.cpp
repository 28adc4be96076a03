// The live streams, each against no stream in the same run: the process's
// CPU per second of a fakesink stream at 1080p25 and 2160p25, while the
// output changes every frame (a copy per stream frame) and while it stands
// still (the last frame repeated); and the fade step at 2160p, paced as a
// fade runs, with and without a 2160p25 stream.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include <QApplication>
#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#include "core/Settings.h"
#include "core/modMain.h"
#include "image/cImage32.h"
#include "output/GfxOutput.h"
#include "bench/OutputBench.h"
#include "output/Monitors.h"
#include "output/Streams.h"
#include "output/Transition.h"
#include "output/frmStillA.h"
#include "output/modTL.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kFrameRate = 25;
// Rounds alternate between no stream and a stream, so that load from
// elsewhere on the machine falls on both alike.
constexpr int kRounds = 3;


std::filesystem::path gDir;
std::map<std::string, double> gSummary;

void ConfigureOutput(int w, int h) {
    Settings = SettingsData{};
    Settings.CacheDir = gDir.string();
    Settings.OnAirMonitor = 1;
    Settings.TransDur = 12;
    Settings.DisplayFrameRate = kFrameRate;
    FatalError = GfxInitialized = GfxOutputEnabled = false;
    SetMonitorProvider(std::make_shared<FixedMonitor>(w, h));
    InitGfxOutput();
}

// `seconds` of output, a CLEANUP to another colour each frame when
// `changing`: the process's CPU milliseconds per second.
double CpuPerSecond(bool changing, int seconds = 2) {
    const double cpu0 = ProcessCpuMs(), wall0 = WallMs();
    const Clock::time_point start = Clock::now();
    for (int frame = 0; frame < seconds * kFrameRate; ++frame) {
        if (changing) {
            Settings.CleanupColor = uint32_t(frame * 0x030201);
            ClearGfxOutput();
        }
        std::this_thread::sleep_until(start + (frame + 1) * 1000ms / kFrameRate);
    }
    return (ProcessCpuMs() - cpu0) / (WallMs() - wall0) * 1000;
}

void BM_StreamCpu(benchmark::State& state, int w, int h, const char* label) {
    SetOutputWindow(nullptr);
    ConfigureOutput(w, h);
    std::map<std::string, double> cpu;
    for (auto _ : state) {
        for (int round = 0; round < kRounds; ++round) {
            for (const bool stream : {false, true}) {
                if (stream) StartStreams({"fakesink"}, w, h, kFrameRate);
                CpuPerSecond(true, 1);  // the copies' memory mapped
                const std::string with = stream ? "stream" : "none";
                cpu["changing_" + with] += CpuPerSecond(true) / kRounds;
                cpu["still_" + with] += CpuPerSecond(false) / kRounds;
                if (stream) StopStreams();
            }
        }
    }
    for (const auto& [name, ms] : cpu) state.counters[name + "_cpu_ms_per_s"] = ms;
    gSummary[std::string("CPU ms/s of a stream, output changing every frame, ") + label] =
        cpu["changing_stream"] - cpu["changing_none"];
    gSummary[std::string("CPU ms/s of a stream, output standing still, ") + label] =
        cpu["still_stream"] - cpu["still_none"];
}

// Fade steps with the fade's own pause between them (the stream's copy is
// due at most once per frame, so a step in a tight loop would rarely pay it).
void BM_FadeStepWithStream(benchmark::State& state) {
    InstallGfxOutputWindows();
    SetOutputWindow(OutputWindowWidget());
    ConfigureOutput(3840, 2160);
    cImage32 picture;
    picture.InitializeDIB(1920, 1080);
    const std::string path = (gDir / "picture.png").string();
    if (!picture.SaveToFile_PNG(path, false) || DisplayCachedImage(path, "False") != 0) {
        state.SkipWithError("no frame");
        return;
    }
    cImage32& frame = *FrameImage();
    const int steps = 4 * Settings.TransDur;
    std::map<bool, double> stepMs;
    for (auto _ : state) {
        for (int round = 0; round < kRounds; ++round) {
            for (const bool stream : {false, true}) {
                if (stream) StartStreams({"fakesink"}, 3840, 2160, kFrameRate);
                // A stream's first copies map new memory (page faults for
                // 33 MB each), once per run of the engine: not measured.
                for (int i = 0; i < steps; ++i) {
                    DrawFadeStep(frame, FadeStepOpacity(i + 1, steps), i == 0);
                    std::this_thread::sleep_for(std::chrono::milliseconds(*FadePauseMs(kFrameRate)));
                }
                DrawFadeStep(frame, FadeStepOpacity(1, steps), true);
                for (int i = 2; i <= steps; ++i) {
                    const double t0 = WallMs();
                    DrawFadeStep(frame, FadeStepOpacity(i, steps), false);
                    stepMs[stream] += (WallMs() - t0) / (steps - 1) / kRounds;
                    std::this_thread::sleep_for(std::chrono::milliseconds(*FadePauseMs(kFrameRate)));
                }
                if (stream) StopStreams();
            }
        }
    }
    state.counters["step_ms_none"] = stepMs[false];
    state.counters["step_ms_stream"] = stepMs[true];
    gSummary["fade step 2160p, no stream (ms)"] = stepMs[false];
    gSummary["fade step 2160p, 2160p25 stream (ms)"] = stepMs[true];
    gSummary["fade step 2160p, stream / none"] = stepMs[true] / stepMs[false];
    SetOutputWindow(nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    gDir = std::filesystem::temp_directory_path() / ("kiv_bench_streams_" + std::to_string(::getpid()));
    std::filesystem::create_directories(gDir);
    benchmark::RegisterBenchmark("StreamCpu/1080p25", BM_StreamCpu, 1920, 1080, "1080p25")
        ->Iterations(1)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("StreamCpu/2160p25", BM_StreamCpu, 3840, 2160, "2160p25")
        ->Iterations(1)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("FadeStep/2160p", BM_FadeStepWithStream)->Iterations(1)->Unit(benchmark::kMillisecond);

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    std::printf("\nSummary (process CPU includes GStreamer's threads; target: stream / none <= 1.2):\n");
    for (const auto& [name, value] : gSummary) std::printf("  %-62s %8.2f\n", name.c_str(), value);
    std::filesystem::remove_all(gDir);
    return 0;
}
