// Cost of one queued command for the main window's live queue table, with
// the window shown: with an empty queue and with 10,000 commands already
// waiting (must stay flat), repainted after every command or with the paints
// coalesced as under load, against the rebuild of a whole table per change
// that the row-by-row model avoids.
#include <benchmark/benchmark.h>

#include <time.h>

#include <cstdio>
#include <map>
#include <string>

#include <QApplication>
#include <QStandardItemModel>
#include <QTableView>

#include "app/frmMain.h"
#include "core/Log.h"
#include "core/modMain.h"
#include "protocol/modCommandQueueManager.h"

namespace {
std::map<std::string, double> gMicros;

double CpuMicros() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e6 + double(ts.tv_nsec) / 1e3;
}

void Record(benchmark::State& state, const std::string& name, double start) {
    const double micros = (CpuMicros() - start) / double(state.iterations());
    gMicros[name + "/" + std::to_string(state.range(0))] = micros;
    state.counters["queued_before"] = double(state.range(0));
    state.counters["us_per_change"] = micros;
}

void FillQueue(int commands) {
    InitCommandQueue();
    SetQueueTimerEnabled(false);  // commands stay queued
    for (int i = 0; i < commands; ++i) AddCommand("12 SCENE*#1 LAYER 1 SET C:\\img\\a.png", 1000 + i, "\r\n");
    QApplication::processEvents();
}

void BM_QueueTable(benchmark::State& state) {
    FillQueue(int(state.range(0)));
    const double start = CpuMicros();
    for (auto _ : state) {
        AddCommand("12 SCENE*#1 LAYER 1 SET C:\\img\\a.png", 1, "\r\n");
        if (state.range(1)) QApplication::processEvents();  // the view updates and repaints
    }
    Record(state, state.range(1) ? "rows_painted" : "rows", start);
}

// Reference: the whole table filled anew on every change.
void BM_RebuildWholeTable(benchmark::State& state) {
    FillQueue(int(state.range(0)));
    QStandardItemModel model;
    QTableView view;
    view.setModel(&model);
    view.resize(800, 600);
    view.show();
    const double start = CpuMicros();
    for (auto _ : state) {
        AddCommand("12 SCENE*#1 LAYER 1 SET C:\\img\\a.png", 1, "\r\n");
        model.clear();
        model.setColumnCount(6);
        for (const CommandRecord& r : CommandQueue()) {
            QList<QStandardItem*> row;
            for (const std::string* field : {&r.prefix, &r.command, &r.parameter, &r.terminator, &r.validity})
                row << new QStandardItem(QString::fromLatin1(*field));
            row.prepend(new QStandardItem(QString::number(r.session)));
            model.appendRow(row);
        }
        QApplication::processEvents();
    }
    Record(state, "rebuild", start);
}

BENCHMARK(BM_QueueTable)->Args({0, 1})->Args({10000, 1})->Args({10000, 0})->Iterations(5000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RebuildWholeTable)->Arg(10000)->Iterations(5)->Unit(benchmark::kMillisecond);
}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    frmMain& window = LoadMainWindow();
    window.showMaximized();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    const double empty = gMicros["rows_painted/0"], full = gMicros["rows_painted/10000"];
    const double model = gMicros["rows/10000"], rebuild = gMicros["rebuild/10000"];
    std::printf("CPU time per queued command, main window shown:\n");
    std::printf("queue table, repainted after each: %.1f us with an empty queue, %.1f us with 10,000 queued "
                "(ratio %.2f)\n",
                empty, full, empty > 0 ? full / empty : 0.0);
    std::printf("queue table, paints coalesced: %.2f us with 10,000 queued\n", model);
    std::printf("whole-table rebuild with 10,000 queued: %.0f us (%.0fx the repainted row update, %.0fx the "
                "coalesced one)\n",
                rebuild, full > 0 ? rebuild / full : 0.0, model > 0 ? rebuild / model : 0.0);
    return 0;
}
