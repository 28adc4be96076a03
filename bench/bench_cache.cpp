// An image command from its first byte to its reply, fade off (TransMode
// "Cut"), for a 1920x1080 PNG read from a local file, downloaded from a
// local HTTP server, and already cached; split into fetch, compose and
// transition. The command goes through the console session's road (framing,
// queue, executor, cache, output); the socket and the 40 ms queue tick are
// not in it; the real engine over TCP measures them once more for the cached
// case, and for a cached 3840x2160 JPEG on a 3840x2160 output. References:
// the same file copied by std::filesystem::copy_file, the same URL fetched by
// a bare libcurl handle. Last, the engine's peak resident memory while it
// composes the largest picture it takes (2^28 pixels).
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include <QApplication>
#include <QTcpSocket>
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <vector>

#include "cache/modCacheManager.h"
#include "core/Log.h"
#include "core/Settings.h"
#include "core/modMain.h"
#include "image/cImage32.h"
#include "output/GfxOutput.h"
#include "output/Monitors.h"
#include "output/frmStillA.h"
#include "output/modTL.h"
#include "protocol/modCommandQueueManager.h"
#include "tests/cache/FixtureServer.h"
#include "tests/e2e/KivProcess.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

class FixedMonitor : public MonitorProvider {
public:
    std::optional<std::vector<MonitorHandle>> EnumerateMonitors() override { return std::vector<MonitorHandle>{1}; }
    std::optional<MonitorInfo> QueryMonitor(MonitorHandle) override { return MonitorInfo{0, 0, 1920, 1080, true}; }
};

fs::path gDir;
std::string gPicture, gUrl, gJpeg4k, gLargest;
std::map<std::string, double> gSummary;

// Photo-like content so that the PNG has a realistic size (a few MB).
void WritePicture(const std::string& path) {
    cImage32 img;
    img.InitializeDIB(1920, 1080);
    uint32_t seed = 4711;
    for (int y = 0; y < 1080; ++y) {
        uint8_t* p = img.Row(y);
        for (int x = 0; x < 1920; ++x, p += 4) {
            seed = seed * 1664525u + 1013904223u;
            const int noise = int(seed >> 28) - 8;
            const double fx = x / 1920.0, fy = y / 1080.0;
            p[0] = uint8_t(std::clamp(int(255 * fx * fy) + noise, 0, 255));
            p[1] = uint8_t(std::clamp(int(128 + 90 * std::cos(fy * 7 - fx * 2)) + noise, 0, 255));
            p[2] = uint8_t(std::clamp(int(128 + 100 * std::sin(fx * 9 + fy * 3)) + noise, 0, 255));
            p[3] = 255;
        }
    }
    img.SaveToFile_PNG(path, false);
}

struct Split {
    double fetch = 0, compose = 0, transition = 0, total = 0;
};

// Runs one image command through the queue and times its parts: the fetch
// ends with the "Loading cached image" line, composing with the composite
// file, the transition with the picture on the output.
Split RunCommand(const std::string& reference) {
    Clock::time_point fetchEnd{}, composeEnd{}, transitionEnd{};
    SetLogEcho([&](const std::string& line) {
        if (line.find("Loading cached image ") != std::string::npos) fetchEnd = Clock::now();
    });
    SetGfxStageHook([&](const char* stage) {
        if (std::string(stage) == "file") composeEnd = Clock::now();
        if (std::string(stage) == "transition") transitionEnd = Clock::now();
    });
    const auto start = Clock::now();
    AddCommand("1 RENDERER SET " + reference, 0, "\r\n");
    ProcessCommandQueue();
    const auto end = Clock::now();
    SetLogEcho({});
    SetGfxStageHook({});
    using ms = std::chrono::duration<double, std::milli>;
    Split s;
    s.fetch = ms(fetchEnd - start).count();
    s.compose = ms(composeEnd - fetchEnd).count();
    s.transition = ms(transitionEnd - composeEnd).count();
    s.total = ms(end - start).count();
    return s;
}

void BM_ImageCommand(benchmark::State& state, const std::string* reference, bool cached, const char* label) {
    Split sum;
    const fs::path cacheFile = gDir / "cache" / CacheFileName(*reference);
    if (cached) AddImageToCache(*reference, reference->rfind("http", 0) == 0 ? kAccessHttp : kAccessFile);
    for (auto _ : state) {
        if (!cached) {
            state.PauseTiming();
            fs::remove(cacheFile);
            state.ResumeTiming();
        }
        const Split s = RunCommand(*reference);
        if (!fs::exists(cacheFile) || s.transition <= 0) {
            state.SkipWithError("the image did not go on air");
            break;
        }
        sum.fetch += s.fetch, sum.compose += s.compose, sum.transition += s.transition, sum.total += s.total;
    }
    const double n = double(std::max<int64_t>(1, state.iterations()));
    state.counters["fetch_ms"] = sum.fetch / n;
    state.counters["compose_ms"] = sum.compose / n;
    state.counters["transition_ms"] = sum.transition / n;
    state.counters["total_ms"] = sum.total / n;
    gSummary[std::string(label) + " fetch"] = sum.fetch / n;
    gSummary[std::string(label) + " compose"] = sum.compose / n;
    gSummary[std::string(label) + " transition"] = sum.transition / n;
    gSummary[std::string(label) + " total"] = sum.total / n;
}

// The fetch alone against its reference.
void BM_FetchFile(benchmark::State& state) {
    const fs::path copy = gDir / "copy.png";
    double own = 0, ref = 0;
    for (auto _ : state) {
        auto t = Clock::now();
        AddImageToCache(gPicture, kAccessFile);
        own += MsSince(t);
        t = Clock::now();
        fs::copy_file(gPicture, copy, fs::copy_options::overwrite_existing);
        ref += MsSince(t);
    }
    state.counters["own_ms"] = own / double(state.iterations());
    state.counters["copy_file_ms"] = ref / double(state.iterations());
    gSummary["fetch file / copy_file"] = own / ref;
}

// The reference writes the body to a file as well: plain fwrite, no
// temporary name.
void BM_FetchHttp(benchmark::State& state) {
    CURL* curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_URL, gUrl.c_str());
    const std::string copy = (gDir / "copy.png").string();
    double own = 0, ref = 0;
    for (auto _ : state) {
        auto t = Clock::now();
        AddImageToCache(gUrl, kAccessHttp);
        own += MsSince(t);
        t = Clock::now();
        FILE* out = std::fopen(copy.c_str(), "wb");
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, out);
        curl_easy_perform(curl);
        std::fclose(out);
        ref += MsSince(t);
    }
    curl_easy_cleanup(curl);
    state.counters["own_ms"] = own / double(state.iterations());
    state.counters["libcurl_ms"] = ref / double(state.iterations());
    gSummary["fetch http / bare libcurl"] = own / ref;
}

// The real engine on an output of w x h (0: the platform's screen): first byte of the command on the
// socket to the last byte of its reply, the queue tick included; the
// picture is in the cache after the first command. Median of the runs.
void BM_EngineOverTcp(benchmark::State& state, const std::string* picture, int w, int h, const char* label) {
    const int port = KivProcess::FreePort();
    KivProcess kiv("[General]\r\nVersion=1\r\nOnAirOnStartup=1\r\nOnAirMonitor=1\r\nListeningPort=" +
                   std::to_string(port) + "\r\n[Transition]\r\nTransMode=Cut\r\n");
    if (w > 0) {  // else the platform's own screen
        const std::string screens = (gDir / ("screen" + std::to_string(w) + ".json")).string();
        std::ofstream(screens) << "{\"screens\":[{\"name\":\"OUT\",\"x\":0,\"y\":0,\"width\":" << w
                               << ",\"height\":" << h << "}]}";
        kiv.SetEnv("QT_QPA_PLATFORM", QString::fromStdString("offscreen:configfile=" + screens));
    }
    QTcpSocket socket;
    if (!kiv.Start() || !kiv.WaitForLog("Entering Main Loop...")) {
        state.SkipWithError("the engine did not start");
        return;
    }
    socket.connectToHost("127.0.0.1", quint16(port));
    if (!socket.waitForConnected(10000)) {
        state.SkipWithError("no connection");
        return;
    }
    const std::string line = "1 RENDERER SET " + *picture + "\r\n";
    const auto roundTrip = [&] {
        socket.write(line.data(), qint64(line.size()));
        socket.flush();
        std::string reply;
        while (reply.size() < 2 || reply.compare(reply.size() - 2, 2, "\r\n") != 0) {
            kiv.Pump(0);  // an undrained log pipe would block the engine
            if (!socket.bytesAvailable() && !socket.waitForReadyRead(20000)) break;
            reply += socket.readAll().toStdString();
        }
        return reply;
    };
    if (const std::string reply = roundTrip(); reply != "1\r\n") {  // fills the cache
        state.SkipWithError(("unexpected reply: " + reply).c_str());
        return;
    }
    std::vector<double> times;
    for (auto _ : state) {
        const auto t = Clock::now();
        const std::string reply = roundTrip();
        times.push_back(MsSince(t));
        if (reply != "1\r\n") {
            state.SkipWithError(("unexpected reply: " + reply).c_str());
            return;
        }
    }
    std::sort(times.begin(), times.end());
    const double median = times[times.size() / 2];
    state.counters["median_ms"] = median;
    gSummary[std::string("engine over TCP cached ") + label + " median"] = median;
}

// Peak resident memory of a process, from /proc (kB), 0 when unknown.
long PeakResidentKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    long kb = 0;
    while (status >> key)
        if (key == "VmHWM:" && status >> kb) return kb;
    return 0;
}

// The engine's process: the one whose executable lies in its program folder.
pid_t EnginePid(KivProcess& kiv) {
    const fs::path exe = fs::path(kiv.Dir().toStdString()) / "kiv";
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::error_code ec;
        if (fs::read_symlink(entry.path() / "exe", ec) == exe) return pid_t(std::stol(entry.path().filename()));
    }
    return 0;
}

// The largest picture the library takes, composed by the real engine: its
// peak resident memory before and after (the difference is what composing
// it took at most).
void BM_LargestPicture(benchmark::State& state) {
    const int port = KivProcess::FreePort();
    KivProcess kiv("[General]\r\nVersion=1\r\nOnAirOnStartup=1\r\nOnAirMonitor=1\r\nListeningPort=" +
                   std::to_string(port) + "\r\n[Transition]\r\nTransMode=Cut\r\n");
    QTcpSocket socket;
    if (!kiv.Start() || !kiv.WaitForLog("Entering Main Loop...")) {
        state.SkipWithError("the engine did not start");
        return;
    }
    const pid_t pid = EnginePid(kiv);
    socket.connectToHost("127.0.0.1", quint16(port));
    if (!pid || !socket.waitForConnected(10000)) {
        state.SkipWithError("no engine process or connection");
        return;
    }
    const long before = PeakResidentKb(pid);
    double ms = 0;
    for (auto _ : state) {
        const auto t = Clock::now();
        const std::string line = "1 RENDERER SET " + gLargest + "\r\n";
        socket.write(line.data(), qint64(line.size()));
        socket.flush();
        std::string reply;
        while (reply.find("\r\n") == std::string::npos) {
            kiv.Pump(0);
            if (!socket.bytesAvailable() && !socket.waitForReadyRead(100)) continue;
            reply += socket.readAll().toStdString();
            if (MsSince(t) > 600000) break;
        }
        ms = MsSince(t);
        // The reply comes either way; a failure is only logged, just before it.
        if (reply != "1\r\n" || kiv.WaitForLog("Error in DisplayCachedImage", 1000)) {
            std::printf("The largest picture did not show (peak resident %.0f MB).\n", PeakResidentKb(pid) / 1024.0);
            state.SkipWithError(("the largest picture did not show: " + reply).c_str());
            return;
        }
    }
    const long after = PeakResidentKb(pid);
    state.counters["peak_before_MB"] = double(before) / 1024.0;
    state.counters["peak_after_MB"] = double(after) / 1024.0;
    gSummary["largest picture (2^28 px) peak RSS, MB"] = double(after) / 1024.0;
    gSummary["largest picture (2^28 px) peak RSS growth, MB"] = double(after - before) / 1024.0;
    gSummary["largest picture (2^28 px) command, ms"] = ms;
}

// A grey JPEG of w x h (TurboJPEG), or a photo-like colour one.
void WriteJpeg(const std::string& path, int w, int h, bool grey) {
    std::vector<unsigned char> px(size_t(w) * size_t(h) * (grey ? 1 : 3), 128);
    if (!grey) {
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                unsigned char* p = &px[(size_t(y) * size_t(w) + size_t(x)) * 3];
                p[0] = uint8_t(128 + 100 * std::sin(x / 300.0 + y / 500.0));
                p[1] = uint8_t(128 + 90 * std::cos(y / 200.0 - x / 900.0));
                p[2] = uint8_t((x ^ y) & 0xFF);
            }
    }
    tjhandle tj = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    tjCompress2(tj, px.data(), w, 0, h, grey ? TJPF_GRAY : TJPF_RGB, &jpeg, &size, grey ? TJSAMP_GRAY : TJSAMP_420,
                90, 0);
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(jpeg), std::streamsize(size));
    tjFree(jpeg);
    tjDestroy(tj);
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    gDir = fs::temp_directory_path() / ("kiv_bench_cache_" + std::to_string(::getpid()));
    fs::create_directories(gDir / "files");
    gPicture = (gDir / "files" / "picture1080.png").string();
    WritePicture(gPicture);
    gJpeg4k = (gDir / "files" / "photo4k.jpg").string();
    WriteJpeg(gJpeg4k, 3840, 2160, false);
    gLargest = (gDir / "files" / "largest.jpg").string();
    WriteJpeg(gLargest, 32768, 8192, true);

    // The shipped rendering defaults, the fade off.
    Settings = SettingsData{};
    Settings.CacheDir = (gDir / "cache").string();
    Settings.OnAirMonitor = 1;
    Settings.UseBlurredBackground = 1;
    Settings.BlurredBackgroundLightness = -20;
    Settings.BlurredBackgroundColor = 0x808080;
    Settings.BlurredBackgroundOpacity = 30;
    Settings.ShadowOpacity = 30;
    Settings.TransMode = "Cut";
    Settings.TransDur = 12;
    Settings.DisplayFrameRate = 25;
    InitCommandQueue();
    SetQueueTimerEnabled(false);  // the benchmark runs the queue itself
    InitCacheManager();
    InstallGfxOutputWindows();
    SetMonitorProvider(std::make_shared<FixedMonitor>());
    InitGfxOutput();
    OnAir = true;

    FixtureServer server((gDir / "files").string(), (gDir / "requests.jsonl").string());
    gUrl = "http://127.0.0.1:" + std::to_string(server.port()) + "/files/picture1080.png";
    std::printf("1920x1080 PNG: %.1f MB\n", double(fs::file_size(gPicture)) / 1e6);

    benchmark::RegisterBenchmark("ImageCommand/file", BM_ImageCommand, &gPicture, false, "file")
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("ImageCommand/http", BM_ImageCommand, &gUrl, false, "http")
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("ImageCommand/cached", BM_ImageCommand, &gPicture, true, "cached")
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("EngineOverTcp/cached", BM_EngineOverTcp, &gPicture, 0, 0, "1080p PNG")
        ->Unit(benchmark::kMillisecond)
        ->Iterations(20);
    benchmark::RegisterBenchmark("EngineOverTcp/cached2160p", BM_EngineOverTcp, &gJpeg4k, 3840, 2160, "4K JPEG 2160p")
        ->Unit(benchmark::kMillisecond)
        ->Iterations(20);
    benchmark::RegisterBenchmark("EngineOverTcp/largest", BM_LargestPicture)->Unit(benchmark::kMillisecond)->Iterations(1);
    benchmark::RegisterBenchmark("Fetch/file", BM_FetchFile)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("Fetch/http", BM_FetchHttp)->Unit(benchmark::kMillisecond);

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    std::printf("\nSummary (ms; ratios own / reference):\n");
    for (const auto& [name, value] : gSummary) std::printf("  %-48s %8.2f\n", name.c_str(), value);
    fs::remove_all(gDir);
    return 0;
}
