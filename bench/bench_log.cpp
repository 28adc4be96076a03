// Cost of one WriteLog as the log grows: with the console hidden (text only)
// and with the console view shown (insert at the end of the view). Both must
// stay flat from a short log to a long one. For comparison, the cost of
// rewriting the whole view for one line, which is what appending avoids.
// Then a soak of millions of lines (--soak_lines=N, 10 million by default),
// hidden and shown: resident memory must level off once the log and the view
// reach their bounds, and the cost per line must not grow.
#include <benchmark/benchmark.h>

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include <QApplication>
#include <QTextDocument>

#include "app/frmConsole.h"
#include "core/Ansi.h"
#include "core/Log.h"
#include "core/Settings.h"
#include "core/modMain.h"

namespace {
constexpr const char* kMessage = "Sending response to session 12: 201 IMAGE OK C:\\images\\logo_1920x1080.png";
size_t gLines = 0;
std::map<std::string, double> gMicrosPerLine;

void FillTo(size_t lines) {
    const bool shown = ConsoleShown;
    ConsoleShown = false;
    for (; gLines < lines; ++gLines) WriteLog(kMessage, "OUT", " ");
    ConsoleShown = shown;
}

// Process CPU time: the machine running the benchmarks is often busy with
// other work, which would show in wall-clock figures.
double CpuMicros() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e6 + double(ts.tv_nsec) / 1e3;
}

void Record(benchmark::State& state, const std::string& name, double startMicros) {
    const double micros = (CpuMicros() - startMicros) / double(state.iterations());
    gMicrosPerLine[name + "/" + std::to_string(state.range(0))] = micros;
    state.counters["lines_before"] = double(state.range(0));
    state.counters["us_per_line"] = micros;
}

void BM_WriteLog(benchmark::State& state, bool shown) {
    FillTo(size_t(state.range(0)));
    ConsoleShown = shown;
    if (shown) RefillConsoleView();
    const double start = CpuMicros();
    for (auto _ : state) {
        WriteLog(kMessage, "OUT", " ");
        ++gLines;
    }
    Record(state, shown ? "shown" : "hidden", start);
    ConsoleShown = false;
}

// The view brings its scroll bar, caret and paint up to date once per pass
// of the event loop; the worst case is a pass after every line.
void BM_WriteLogEachPass(benchmark::State& state) {
    FillTo(size_t(state.range(0)));
    ConsoleShown = true;
    RefillConsoleView();
    QCoreApplication::processEvents();
    const double start = CpuMicros();
    for (auto _ : state) {
        WriteLog(kMessage, "OUT", " ");
        ++gLines;
        QCoreApplication::processEvents();
    }
    Record(state, "pass", start);
    ConsoleShown = false;
}

// Reference: the whole view rewritten for every new line.
void BM_RewriteWholeView(benchmark::State& state) {
    FillTo(size_t(state.range(0)));
    ConsoleShown = false;
    const double start = CpuMicros();
    for (auto _ : state) {
        WriteLog(kMessage, "OUT", " ");
        ++gLines;
        QString text = AnsiToQString(ConsoleText());
        text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        ConsoleWindow()->txtConsole->setPlainText(text);
    }
    Record(state, "rewrite", start);
}

// Each run adds its iterations to the log, so the short-log runs come first.
BENCHMARK_CAPTURE(BM_WriteLog, hidden, false)->Arg(1000)->Iterations(20000)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_WriteLog, shown, true)->Arg(25000)->Iterations(20000)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_WriteLog, hidden, false)->Arg(100000)->Iterations(20000)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_WriteLog, shown, true)->Arg(125000)->Iterations(20000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_WriteLogEachPass)->Arg(145000)->Iterations(5000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RewriteWholeView)->Arg(150000)->Iterations(5)->Unit(benchmark::kMillisecond);
// Resident memory now and at its peak, in MiB, from /proc/self/status.
double StatusMiB(const char* field) {
    std::FILE* f = std::fopen("/proc/self/status", "r");
    if (!f) return 0;
    char line[256];
    double kib = 0;
    const size_t n = std::strlen(field);
    while (std::fgets(line, sizeof line, f))
        if (std::strncmp(line, field, n) == 0) kib = std::atof(line + n + 1);
    std::fclose(f);
    return kib / 1024;
}

void Soak(size_t lines, bool shown) {
    ConsoleShown = shown;
    if (shown) RefillConsoleView();
    std::printf("Soak, console %s: %zu lines\n%12s %10s %10s %12s %12s\n", shown ? "shown" : "hidden", lines,
                "lines", "RSS MiB", "text MiB", "view lines", "us/line");
    const size_t step = std::max<size_t>(lines / 10, 1);
    for (size_t done = 0; done < lines;) {
        const size_t n = std::min(step, lines - done);
        const double start = CpuMicros();
        for (size_t i = 0; i < n; ++i) {
            WriteLog(kMessage, "OUT", " ");
            // The event loop runs now and then, as it does between commands.
            if (shown && i % 1000 == 999) QCoreApplication::processEvents();
        }
        QCoreApplication::processEvents();
        done += n;
        std::printf("%12zu %10.1f %10.1f %12d %12.3f\n", done, StatusMiB("VmRSS"),
                    double(ConsoleText().size()) / (1 << 20), ConsoleWindow()->txtConsole->document()->blockCount(),
                    (CpuMicros() - start) / double(n));
    }
    gLines += lines;
    ConsoleShown = false;
}
}  // namespace

int main(int argc, char** argv) {
    size_t soakLines = 10'000'000;
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--soak_lines=", 13) == 0) {
            soakLines = std::strtoull(argv[i] + 13, nullptr, 10);
            std::copy(argv + i + 1, argv + argc + 1, argv + i);
            --argc;
            break;
        }
    QApplication app(argc, argv);
    SetLogClock({});
    Settings.DisplayFrameRate = 25;
    LoadConsoleWindow().show();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    const auto ratio = [](const std::string& a, const std::string& b) {
        const auto x = gMicrosPerLine.find(a), y = gMicrosPerLine.find(b);
        return x != gMicrosPerLine.end() && y != gMicrosPerLine.end() && y->second > 0 ? x->second / y->second : 0.0;
    };
    std::printf("CPU time per line:\n");
    std::printf("WriteLog hidden: %.3f us/line after 1,000 lines, %.3f after 100,000 (ratio %.2f)\n",
                gMicrosPerLine["hidden/1000"], gMicrosPerLine["hidden/100000"], ratio("hidden/100000", "hidden/1000"));
    std::printf("WriteLog shown:  %.3f us/line after 25,000 lines, %.3f after 125,000 (ratio %.2f)\n",
                gMicrosPerLine["shown/25000"], gMicrosPerLine["shown/125000"], ratio("shown/125000", "shown/25000"));
    std::printf("WriteLog shown, event loop run after every line: %.3f us/line after 145,000 lines\n",
                gMicrosPerLine["pass/145000"]);
    std::printf("Whole-view rewrite per line after 150,000 lines: %.0f us (%.0fx the shown WriteLog)\n",
                gMicrosPerLine["rewrite/150000"], ratio("rewrite/150000", "shown/125000"));
    if (soakLines > 0) {
        Soak(soakLines, false);
        Soak(soakLines, true);
        std::printf("Peak resident memory: %.1f MiB; %llu lines dropped from the log kept in memory\n",
                    StatusMiB("VmHWM"), static_cast<unsigned long long>(DroppedLogLines()));
    }
    return 0;
}
