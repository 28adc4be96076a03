// Cost of one WriteLog as the log grows: with the console hidden (text only)
// and with the console view shown (insert at the end of the view). Both must
// stay flat from a short log to a long one. For comparison, the cost of
// rewriting the whole view for one line, which is what appending avoids.
#include <benchmark/benchmark.h>

#include <time.h>

#include <cstdio>
#include <map>
#include <string>

#include <QApplication>

#include "app/Ansi.h"
#include "app/Log.h"
#include "app/Settings.h"
#include "app/frmConsole.h"
#include "app/modMain.h"

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
}  // namespace

int main(int argc, char** argv) {
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
    return 0;
}
