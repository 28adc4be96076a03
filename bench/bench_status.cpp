// The status server's cost to the engine:
// - the GUI thread's work per request: the status document, the metrics, and
//   the one copy of the output surface for a frame (1080p, 2160p);
// - a frame's JPEG on the worker (1080p and 2160p, full size and 960 wide),
//   and /frame.jpg end to end from the real engine over HTTP;
// - the protocol's reply latency (median and maximum of 100 VERSION) with
//   and without a client polling every endpoint 10 times a second.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <QTemporaryFile>

#include "output/GfxOutput.h"
#include "status/FrameGrab.h"
#include "status/StatusReport.h"
#include "tests/e2e/KivProcess.h"
#include "tests/net/TcpClient.h"

namespace {

using Clock = std::chrono::steady_clock;

void SizeOutput(int width, int height) {
    picStillA().SetBackColor(0x336699);
    picStillA().SetSize(width, height);
}

void BM_StatusJson(benchmark::State& state) {
    SizeOutput(1920, 1080);
    for (auto _ : state) benchmark::DoNotOptimize(StatusJson());
}
BENCHMARK(BM_StatusJson)->Unit(benchmark::kMicrosecond);

void BM_MetricsText(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(MetricsText());
}
BENCHMARK(BM_MetricsText)->Unit(benchmark::kMicrosecond);

void BM_CopyOutputSurface(benchmark::State& state) {
    SizeOutput(int(state.range(0)), int(state.range(1)));
    for (auto _ : state) benchmark::DoNotOptimize(CopyOutputSurface());
}
BENCHMARK(BM_CopyOutputSurface)->Args({1920, 1080})->Args({3840, 2160})->Unit(benchmark::kMillisecond);

void BM_EncodeFrame(benchmark::State& state) {
    SizeOutput(int(state.range(0)), int(state.range(1)));
    const auto frame = CopyOutputSurface();
    for (auto _ : state) benchmark::DoNotOptimize(EncodeFrame(*frame, int(state.range(2))));
}
BENCHMARK(BM_EncodeFrame)
    ->Args({1920, 1080, 0})->Args({1920, 1080, 960})->Args({3840, 2160, 0})->Args({3840, 2160, 960})
    ->Unit(benchmark::kMillisecond);

// One GET on a fresh connection; the bytes of the answer.
size_t HttpGet(int port, const std::string& path) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in a{AF_INET, htons(uint16_t(port)), {htonl(INADDR_LOOPBACK)}, {}};
    size_t total = 0;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0) {
        const std::string request = "GET " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        char buf[65536];
        for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) total += size_t(n);
    }
    ::close(fd);
    return total;
}

struct Engine {
    explicit Engine(int width, int height) {
        EnsureCoreApplication();
        screens.open();
        const std::string json = R"({"screens":[{"name":"A","x":0,"y":0,"width":)" + std::to_string(width) +
                                 R"(,"height":)" + std::to_string(height) + "}]}";
        screens.write(json.data(), qint64(json.size()));
        screens.flush();
        port = KivProcess::FreePort(), http = KivProcess::FreePort();
        kiv = std::make_unique<KivProcess>("[General]\r\nVersion=1\r\nOnAirMonitor=0\r\nDisableGui=1\r\nListeningPort=" +
                                           std::to_string(port) + "\r\n[Status]\r\nHttpPort=" + std::to_string(http) +
                                           "\r\n");
        kiv->SetEnv("QT_QPA_PLATFORM", "offscreen:configfile=" + screens.fileName());
        up = kiv->Start() && kiv->WaitForLog("Entering Main Loop...\r\n");
    }
    QTemporaryFile screens;
    int port = 0, http = 0;
    std::unique_ptr<KivProcess> kiv;
    bool up = false;
};

void BM_FrameJpegOverHttp(benchmark::State& state) {
    Engine engine(int(state.range(0)), int(state.range(1)));
    if (!engine.up) return state.SkipWithError("the engine did not start");
    for (auto _ : state) benchmark::DoNotOptimize(HttpGet(engine.http, "/frame.jpg"));
}
BENCHMARK(BM_FrameJpegOverHttp)->Args({1920, 1080})->Args({3840, 2160})->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ReplyLatency(benchmark::State& state) {
    Engine engine(1920, 1080);
    if (!engine.up) return state.SkipWithError("the engine did not start");
    std::atomic<bool> polling = state.range(0) != 0;
    std::thread browser([&] {
        for (auto next = Clock::now(); polling; std::this_thread::sleep_until(next += std::chrono::milliseconds(100)))
            for (const char* path : {"/", "/status.json", "/frame.jpg?width=960", "/metrics", "/healthz"})
                HttpGet(engine.http, path);
    });
    TcpClient client([&] { engine.kiv->Pump(0); });
    std::vector<double> ms;
    if (client.Connect(engine.port))
        for (auto _ : state) {
            for (int i = 0; i < 100; ++i) {
                client.received.clear();
                const auto start = Clock::now();
                if (!client.Send("1 VERSION\r\n") || !client.ReadReplies(1)) break;
                ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
            }
        }
    polling = false;
    browser.join();
    if (ms.empty()) return state.SkipWithError("no replies");
    std::sort(ms.begin(), ms.end());
    state.counters["median_ms"] = ms[ms.size() / 2];
    state.counters["max_ms"] = ms.back();
}
BENCHMARK(BM_ReplyLatency)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
