#include <benchmark/benchmark.h>

#include "VeldrinStreamInterpreterScaleSignedSpikeFilterOperator.h"
#include "Veldrin_II_DriverDAC.h"
#include "Veldrin_II_DriverSampling.h"
#include "Veldrin_II_DriverUserData.h"
#include "Veldrin_I_DriverDAC.h"

#include <QVector>

#include <atomic>
#include <cstdlib>
#include <random>
#include <vector>

// Counts every heap allocation of the process (Qt containers allocate with
// malloc directly), so the benchmarks can report how many happen per sample.
static std::atomic<long long> g_allocations{0};

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *p, size_t size);

void *malloc(size_t size)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}
void *calloc(size_t count, size_t size)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}
void *realloc(void *p, size_t size)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, size);
}
}

namespace {

std::vector<qint16> noisySamples(int count)
{
    std::mt19937 random(42);
    std::normal_distribution<double> noise(0.0, 40.0);
    std::uniform_int_distribution<int> spike(0, 99);
    std::vector<qint16> samples(count);
    for (int i = 0; i < count; ++i)
        samples[i] = qint16(spike(random) == 0 ? 30000 : 2048 + int(noise(random)));
    return samples;
}

// The steady-state hot path: one operator, a window already full.
void BM_SpikeFilterApply(benchmark::State &state)
{
    const std::vector<qint16> samples = noisySamples(4096);
    QVector<double> window;
    VeldrinStreamInterpreterScaleSignedSpikeFilterOperator op(0.00244140625, 2048.0, &window);
    double sink = 0;
    const long long before = g_allocations.load();
    for (auto _ : state) {
        for (qint16 s : samples)
            sink += op.apply(s);
        benchmark::DoNotOptimize(sink);
    }
    const long long allocations = g_allocations.load() - before;
    const double processed = double(state.iterations()) * samples.size();
    state.SetItemsProcessed(int64_t(processed));
    state.counters["allocs/sample"] = allocations / processed;
}
BENCHMARK(BM_SpikeFilterApply);

// As a device uses it: a fresh operator per stream packet, called through the
// interface, the channel window carried across packets and emptied per
// measurement of 50000 samples.
void BM_SpikeFilterPerPacket(benchmark::State &state)
{
    const int packetSamples = int(state.range(0));
    const std::vector<qint16> samples = noisySamples(50000);
    QVector<double> window;
    std::vector<double> results;
    results.reserve(samples.size());
    const long long before = g_allocations.load();
    for (auto _ : state) {
        window.clear();
        results.clear();
        for (size_t start = 0; start < samples.size(); start += packetSamples) {
            VeldrinStreamInterpreterScaleSignedSpikeFilterOperator concrete(0.00244140625, 2048.0,
                                                                            &window);
            VeldrinIStreamInterpreterOperator &op = concrete;
            benchmark::DoNotOptimize(&op);
            const size_t end = std::min(samples.size(), start + size_t(packetSamples));
            for (size_t i = start; i < end; ++i)
                results.push_back(op.apply(samples[i]));
        }
        benchmark::DoNotOptimize(results.data());
    }
    const long long allocations = g_allocations.load() - before;
    const double processed = double(state.iterations()) * samples.size();
    state.SetItemsProcessed(int64_t(processed));
    state.counters["allocs/sample"] = allocations / processed;
}
BENCHMARK(BM_SpikeFilterPerPacket)->Arg(32)->Arg(256);

void BM_Gen1DACPayload(benchmark::State &state)
{
    Veldrin_I_DriverDAC dac;
    dac.setValue(Veldrin_I_DriverDAC::Offset, -2.5);
    for (auto _ : state)
        benchmark::DoNotOptimize(dac.toPayload());
}
BENCHMARK(BM_Gen1DACPayload);

void BM_Gen2DACPayload(benchmark::State &state)
{
    Veldrin_II_DriverDAC dac;
    dac.setValue(Veldrin_II_DriverDAC::Waveform, 3);
    for (auto _ : state)
        benchmark::DoNotOptimize(dac.toPayload());
}
BENCHMARK(BM_Gen2DACPayload);

void BM_Gen2SamplingPayload(benchmark::State &state)
{
    Veldrin_II_DriverSampling sampling;
    for (auto _ : state)
        benchmark::DoNotOptimize(sampling.toPayload());
}
BENCHMARK(BM_Gen2SamplingPayload);

// Once per stream packet and channel: the calibration lookups.
void BM_Gen2CalibrationLookup(benchmark::State &state)
{
    QByteArray image(150, '\x10');
    image[0] = 0x6B;
    const Veldrin_II_DriverUserData userData = Veldrin_II_DriverUserData::fromDeviceData(image);
    int code = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(userData.scaleFor(1, 2, code, true));
        benchmark::DoNotOptimize(userData.offsetFor(1, 2, code, true));
        code = (code + 1) % 17;
    }
}
BENCHMARK(BM_Gen2CalibrationLookup);

} // namespace

BENCHMARK_MAIN();
