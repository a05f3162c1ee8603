// What the results of a large sweep cost a host on the simulated bus
// (pace=fast):
//   RowByRow / WholeChannel: a finished 2D sweep of 50000 points x 50 samples,
//     every row of channel 1 fetched one by one (get2DResultRow) against one
//     copy of the whole channel (get2DResult); the time is that of one fetch
//     of the whole channel either way.
//   StreamingMemory: a 50000 points x 50000 samples x 2 channels sweep for
//     range(0) seconds, every row taken as it completes and released; the
//     process's resident memory each second (counters rss_first_mb,
//     rss_max_mb, rss_last_mb) and the rows taken. Run it alone:
//     bench_StreamingResults --benchmark_filter=StreamingMemory
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <unistd.h>
#include <vector>

#include "VeldrinLib.h"

namespace {

// The resident set of this process in MB.
double residentMb()
{
    long pages = 0, resident = 0;
    FILE *statm = std::fopen("/proc/self/statm", "r");
    if (!statm)
        return 0.0;
    if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2)
        resident = 0;
    std::fclose(statm);
    return double(resident) * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

// A finished sweep of 50000 points x 50 samples on channels 1 and 2, measured
// once for both fetch benchmarks.
const int Points = 50000;
const int Samples = 50;

void measureOnce()
{
    static bool measured = false;
    if (measured)
        return;
    measured = true;
    useSimulatedBus("gen2 signal=dc pace=fast");
    initialise();
    run2DSweepMeasurement(1, 3, 3, Samples, Points);
    bool complete = false;
    waitForMeasurement(1, 600000, &complete);
}

void RowByRow(benchmark::State &state)
{
    measureOnce();
    std::vector<double> values(Samples);
    for (auto _ : state) {
        int count = 0;
        for (int row = 0; row < Points; ++row)
            get2DResultRow(1, 1, row, values.data(), Samples, &count);
        benchmark::DoNotOptimize(values.data());
    }
}
BENCHMARK(RowByRow)->Unit(benchmark::kMillisecond)->UseRealTime();

void WholeChannel(benchmark::State &state)
{
    measureOnce();
    std::vector<double> values(size_t(Points) * Samples);
    for (auto _ : state) {
        get2DResult(1, 1, values.data());
        benchmark::DoNotOptimize(values.data());
    }
}
BENCHMARK(WholeChannel)->Unit(benchmark::kMillisecond)->UseRealTime();

void StreamingMemory(benchmark::State &state)
{
    const int seconds = int(state.range(0));
    const int samples = 50000;
    std::vector<double> values(samples);
    for (auto _ : state) {
        closeLibrary();
        useSimulatedBus("gen2 signal=dc pace=fast");
        initialise();
        run2DSweepMeasurement(1, 3, 3, samples, 50000);
        const auto start = std::chrono::steady_clock::now();
        auto nextSample = start;
        double first = -1.0, highest = 0.0, last = 0.0;
        std::vector<double> series;
        int taken = 0;
        while (std::chrono::steady_clock::now() - start < std::chrono::seconds(seconds)) {
            int completed = 0;
            if (waitForCompletedRows(1, taken + 1, 100, &completed) != 0)
                break;
            for (; taken < completed; ++taken) {
                int count = 0;
                get2DResultRow(1, 1, taken, values.data(), samples, &count);
                get2DResultRow(1, 2, taken, values.data(), samples, &count);
            }
            releaseResultRows(1, taken);
            if (std::chrono::steady_clock::now() >= nextSample) {
                last = residentMb();
                series.push_back(last);
                if (first < 0)
                    first = last;
                highest = std::max(highest, last);
                nextSample += std::chrono::seconds(1);
            }
        }
        std::fprintf(stderr, "resident MB, each second:");
        for (double mb : series)
            std::fprintf(stderr, " %.1f", mb);
        std::fprintf(stderr, "\n");
        // A short measurement ends the sweep.
        runMeasurement(1, 1, 3, 2);
        state.counters["rss_first_mb"] = first;
        state.counters["rss_max_mb"] = highest;
        state.counters["rss_last_mb"] = last;
        state.counters["rows_taken"] = taken;
    }
    closeLibrary();
}
BENCHMARK(StreamingMemory)->Arg(60)->Arg(20)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
