// The command protocol under load, with the engine's network and queue in
// this process and a client on its own thread over loopback TCP:
// - pipelined throughput: 10,000 VERSION commands on one connection, all
//   replies read, with the console window hidden and shown;
// - reply latency of one command on an idle engine (median and 99th
//   percentile over 200), which the 40 ms queue tick bounds;
// - reply latency of the first command on a fresh connection, ended by CR
//   alone and by CR LF (median over 50 connections each), which the accept
//   pause and the queue tick bound for either line end;
// - a connect storm: 5,000 connect/close cycles, then the time until a new
//   client has its first reply (reconnecting if it is refused at the door).
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <time.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <QApplication>
#include <QEventLoop>

#include "app/frmConsole.h"
#include "core/Log.h"
#include "core/Settings.h"
#include "core/modMain.h"
#include "net/modSessionManager.h"
#include "protocol/modCommandQueueManager.h"
#include "tests/e2e/KivProcess.h"
#include "tests/net/TcpClient.h"

namespace {

constexpr int kPipelined = 10000;
constexpr int kLatencySamples = 200;
constexpr int kFreshSamples = 50;
constexpr int kStormCycles = 5000;
std::map<std::string, double> gFigures;

int ConnectBlocking() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(Settings.ListeningPort));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return -1;
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// Reads until `count` replies ending in `last` have arrived; false when the engine closes.
bool ReadReplies(int fd, int count, char last = '\n') {
    char buf[65536];
    int seen = 0;
    while (seen < count) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return false;
        seen += static_cast<int>(std::count(buf, buf + n, last));
    }
    return true;
}

double MsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Runs `client` on its own thread while this thread runs the engine's event
// loop; returns when the client is done.
void WithClient(const std::function<void()>& client) {
    QEventLoop loop;
    std::thread t([&] {
        client();
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    t.join();
}

// CPU time of the engine's (this) thread: the machine running the benchmarks
// is often busy with other work, which shows in wall-clock figures.
double EngineCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

void BM_Pipelined(benchmark::State& state, bool consoleShown) {
    ConsoleShown = consoleShown;
    if (consoleShown) RefillConsoleView();
    std::string commands;
    for (int i = 0; i < kPipelined; ++i) commands += "VERSION\r\n";
    double seconds = 0;
    bool ok = true;
    const double cpuStart = EngineCpuSeconds();
    for (auto _ : state) {
        WithClient([&] {
            const int fd = ConnectBlocking();
            const auto start = std::chrono::steady_clock::now();
            ok = fd >= 0 && ::send(fd, commands.data(), commands.size(), 0) == static_cast<ssize_t>(commands.size()) &&
                 ReadReplies(fd, kPipelined);
            seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            ::close(fd);
        });
    }
    const double cpuRate = kPipelined * double(state.iterations()) / (EngineCpuSeconds() - cpuStart);
    ConsoleShown = false;
    if (!ok) state.SkipWithError("engine did not answer every command");
    const double rate = kPipelined * double(state.iterations()) / seconds;
    state.counters["cmds_per_s"] = rate;
    state.counters["cmds_per_engine_cpu_s"] = cpuRate;
    gFigures[consoleShown ? "shown" : "hidden"] = rate;
    gFigures[consoleShown ? "shown_cpu" : "hidden_cpu"] = cpuRate;
}

void BM_IdleLatency(benchmark::State& state) {
    ConsoleShown = false;
    std::vector<double> ms;
    for (auto _ : state) {
        WithClient([&] {
            const int fd = ConnectBlocking();
            ReadReplies(fd, 0);
            for (int i = 0; i < kLatencySamples && fd >= 0; ++i) {
                const auto start = std::chrono::steady_clock::now();
                if (::send(fd, "VERSION\r\n", 9, 0) != 9 || !ReadReplies(fd, 1)) break;
                ms.push_back(MsSince(start));
            }
            ::close(fd);
        });
    }
    if (ms.size() < kLatencySamples) {
        state.SkipWithError("engine did not answer every command");
        return;
    }
    gFigures["median_ms"] = Median(ms);
    std::sort(ms.begin(), ms.end());
    gFigures["p99_ms"] = ms[ms.size() * 99 / 100];
    state.counters["median_ms"] = gFigures["median_ms"];
    state.counters["p99_ms"] = gFigures["p99_ms"];
}

void BM_FreshLatency(benchmark::State& state, const std::string& terminator) {
    ConsoleShown = false;
    const std::string command = "VERSION" + terminator;
    std::vector<double> ms;
    for (auto _ : state) {
        WithClient([&] {
            for (int i = 0; i < kFreshSamples; ++i) {
                const int fd = ConnectBlocking();
                const auto start = std::chrono::steady_clock::now();
                const bool answered = fd >= 0 &&
                                      ::send(fd, command.data(), command.size(), 0) == ssize_t(command.size()) &&
                                      ReadReplies(fd, 1, terminator.back());
                if (answered) ms.push_back(MsSince(start));
                if (fd >= 0) ::close(fd);
                if (!answered) break;
            }
        });
    }
    if (ms.size() < kFreshSamples) {
        state.SkipWithError("engine did not answer every command");
        return;
    }
    gFigures["fresh_" + terminator] = Median(ms);
    state.counters["median_ms"] = Median(ms);
}

void BM_ConnectStorm(benchmark::State& state) {
    ConsoleShown = false;
    double ms = -1;
    for (auto _ : state) {
        WithClient([&] {
            for (int i = 0; i < kStormCycles; ++i) {
                const int fd = ConnectBlocking();
                if (fd >= 0) ::close(fd);
            }
            const auto start = std::chrono::steady_clock::now();
            // A client refused at the door sees its connection closed: it
            // tries again, as a controller would.
            for (int attempt = 0; attempt < 1000 && ms < 0; ++attempt) {
                const int fd = ConnectBlocking();
                if (fd >= 0 && ::send(fd, "VERSION\r\n", 9, 0) == 9 && ReadReplies(fd, 1))
                    ms = MsSince(start);
                if (fd >= 0) ::close(fd);
            }
        });
    }
    if (ms < 0) {
        state.SkipWithError("the new client was never answered");
        return;
    }
    gFigures["storm_ms"] = ms;
    state.counters["first_reply_ms"] = ms;
}

BENCHMARK_CAPTURE(BM_Pipelined, console_hidden, false)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Pipelined, console_shown, true)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_IdleLatency)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_FreshLatency, cr, std::string("\r"))->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_FreshLatency, crlf, std::string("\r\n"))
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_ConnectStorm)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    Settings.Compatible = "4.2";
    Settings.DisplayFrameRate = 25;
    Settings.ListeningPort = KivProcess::FreePort();
    LoadConsoleWindow().show();
    ConsoleShown = false;
    InitSessionManager();
    InitCommandQueue();
    if (FatalError) return 1;

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    std::printf("Pipelined VERSION, console hidden: %.0f commands/s (target 10,000: ratio %.2f); "
                "%.0f per second of engine CPU\n",
                gFigures["hidden"], gFigures["hidden"] / 10000.0, gFigures["hidden_cpu"]);
    std::printf("Pipelined VERSION, console shown:  %.0f commands/s (target 5,000: ratio %.2f); "
                "%.0f per second of engine CPU\n",
                gFigures["shown"], gFigures["shown"] / 5000.0, gFigures["shown_cpu"]);
    std::printf("Idle reply latency over %d commands: median %.1f ms, p99 %.1f ms (queue tick 40 ms)\n",
                kLatencySamples, gFigures["median_ms"], gFigures["p99_ms"]);
    std::printf("First reply on a fresh connection, median over %d: CR alone %.1f ms, CR LF %.1f ms "
                "(accept pause 50 ms, queue tick 40 ms)\n",
                kFreshSamples, gFigures["fresh_\r"], gFigures["fresh_\r\n"]);
    std::printf("After %d connect/close cycles, a new client's first reply: %.0f ms (%.1f queue ticks of 40 ms)\n",
                kStormCycles, gFigures["storm_ms"], gFigures["storm_ms"] / 40.0);
    return 0;
}
