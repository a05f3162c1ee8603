// veldrin-scope's refresh: both inputs' traces of 10000 points each handed to
// the plot and drawn, as each new frame of a live view is (on the offscreen
// platform unless QT_QPA_PLATFORM says otherwise). Reports frames per second;
// the live view aims at 20 or more. The 2D sweep's map is measured the same
// way, 50 points of 2000 samples.
#include <benchmark/benchmark.h>

#include "SweepMapPlot.h"
#include "TracePlot.h"

#include <QApplication>

#include <qwt_plot_canvas.h>

#include <cmath>
#include <cstdlib>

namespace {

constexpr int points = 10000;

// A noisy sine whose phase moves with the frame, as a live signal does.
QVector<double> trace(int frame, double frequency, double amplitude)
{
    QVector<double> values(points);
    for (int k = 0; k < points; ++k)
        values[k] = amplitude * std::sin(2 * M_PI * frequency * (k + 37 * frame) / points)
            + 0.02 * ((k * 7919 + frame * 104729) % 101 - 50) / 50.0;
    return values;
}

void RefreshTwoTraces(benchmark::State &state)
{
    TracePlot plot;
    plot.resize(1000, 600);
    plot.show();
    QApplication::processEvents();
    QVector<double> x(points);
    for (int k = 0; k < points; ++k)
        x[k] = k * 0.0001;
    const QVector<double> frames[2][2] = {{trace(0, 7, 1.0), trace(0, 3, 0.5)}, {trace(1, 7, 1.0), trace(1, 3, 0.5)}};
    int frame = 0;
    for (auto _ : state) {
        const auto &data = frames[frame++ & 1];
        plot.setTraces(x, data[0], data[1]);
        // Drawn now, not at the next turn of the event loop.
        plot.canvas()->repaint();
    }
    state.counters["frames_per_second"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["points_per_frame"] = 2 * points;
}
BENCHMARK(RefreshTwoTraces)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

void RefreshSweepMap(benchmark::State &state)
{
    SweepMapPlot plot;
    plot.resize(1000, 600);
    plot.show();
    QApplication::processEvents();
    QVector<QVector<double>> rows;
    for (int p = 0; p < 50; ++p) {
        QVector<double> row(2000);
        for (int k = 0; k < 2000; ++k)
            row[k] = std::sin(k / 300.0) * p / 50.0;
        rows.append(row);
    }
    int filled = 0;
    for (auto _ : state) {
        // The map as it fills: one more point each frame.
        filled = filled % 50 + 1;
        plot.setRows(rows.mid(0, filled), 50, 2000, -2, 2, -1, 1);
        plot.canvas()->repaint();
    }
    state.counters["frames_per_second"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(RefreshSweepMap)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

} // namespace

int main(int argc, char **argv)
{
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
