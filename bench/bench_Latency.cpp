// How long a host waits for each export on the simulated bus, driving the
// exported functions exactly as a host program does: a setter called in a
// row, a measurement cycle, the time from the final stream packet becoming
// readable to isMeasurementComplete reporting it, and a measurement's wall
// time against the instrument's own acquisition time.
//
// Every figure is the median over the iterations (counters ending in _ms);
// the benchmark's own time column is the mean. The zero-time figures use
// instruments that answer at once (pace=fast), the real-time ones instruments
// that take their time (pace=real), where the breakdown says where the time
// beyond the acquisition went.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "FtdiBackend.h"
#include "SimulatedBus.h"
#include "SimulatedClock.h"
#include "SimulatedFtdiChip.h"
#include "SimulatedInstrument.h"
#include "VeldrinLib.h"

#ifdef FAKE_LIBFTDI1_PATH
#include <dlfcn.h>
#endif

namespace {

double median(std::vector<double> values)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(p * double(values.size())))];
}

double msSince(qint64 startNs)
{
    return double(SimulatedClock::nowNs() - startNs) / 1e6;
}

// One instrument on its own simulated bus, opened by a first export.
class Session
{
public:
    explicit Session(const char *description)
    {
        useSimulatedBus(description);
        initialise();
        bool complete = false;
        isMeasurementComplete(1, &complete);
        auto bus = std::dynamic_pointer_cast<SimulatedBus>(FtdiBackend::current());
        chip = bus->chips().at(0);
        instrument = std::dynamic_pointer_cast<SimulatedInstrument>(chip->peer());
    }
    ~Session()
    {
        closeLibrary();
        useFtdiLibrary();
    }

    // Polls as fast as a host can; true once complete.
    static bool waitComplete()
    {
        bool complete = false;
        for (;;) {
            if (isMeasurementComplete(1, &complete) != 0)
                return false;
            if (complete)
                return true;
        }
    }

    std::shared_ptr<SimulatedFtdiChip> chip;
    std::shared_ptr<SimulatedInstrument> instrument;
};

void SetterInARow(benchmark::State &state)
{
    Session session("gen2 pace=fast");
    std::vector<double> ms;
    int i = 0;
    for (auto _ : state) {
        const qint64 start = SimulatedClock::nowNs();
        setDACOffset(1, 1, (i++ % 200) * 10);
        ms.push_back(msSince(start));
    }
    state.counters["median_ms"] = median(ms);
    state.counters["p90_ms"] = percentile(ms, 0.9);
}
BENCHMARK(SetterInARow)->Iterations(2000)->Unit(benchmark::kMillisecond);

#ifdef FAKE_LIBFTDI1_PATH
// The same through the libftdi1 provider, with the stand-in libftdi1 and a
// generation II instrument behind an FT232R that takes its real time: while
// the instrument is idle, its receiver thread polls the chip all the time
// (reads of 50 ms, each poll a 2 ms latency-timer period), and each setter's
// write has to get between two polls.
void SetterInARowThroughLibftdi(benchmark::State &state)
{
    void *fake = dlopen(FAKE_LIBFTDI1_PATH, RTLD_NOW | RTLD_LOCAL);
    void *symbol = fake ? dlsym(fake, "fakeLibftdi1UseDescription") : nullptr;
    if (!symbol) {
        state.SkipWithError("the libftdi1 stand-in cannot be loaded");
        return;
    }
    int (*useDescription)(const char *) = nullptr;
    std::memcpy(&useDescription, &symbol, sizeof symbol);
    useDescription("gen2 chip=5");
    useLibFtdi();
    initialise();
    bool complete = false;
    isMeasurementComplete(1, &complete);
    std::vector<double> ms;
    int i = 0;
    for (auto _ : state) {
        const qint64 start = SimulatedClock::nowNs();
        setDACOffset(1, 1, (i++ % 200) * 10);
        // Until the instrument has answered.
        isMeasurementComplete(1, &complete);
        ms.push_back(msSince(start));
    }
    state.counters["median_ms"] = median(ms);
    state.counters["p90_ms"] = percentile(ms, 0.9);
    state.counters["max_ms"] = percentile(ms, 1.0);
    closeLibrary();
    useFtdiLibrary();
    dlclose(fake);
}
BENCHMARK(SetterInARowThroughLibftdi)->Iterations(300)->Unit(benchmark::kMillisecond);
#endif

void MeasurementCycle(benchmark::State &state)
{
    Session session("gen2 pace=fast");
    std::vector<double> ms;
    std::vector<double> values(100);
    int count = 0;
    int i = 0;
    for (auto _ : state) {
        const qint64 start = SimulatedClock::nowNs();
        setDACOffset(1, 1, (i++ % 200) * 10);
        runMeasurement(1, 3, 3, 100);
        Session::waitComplete();
        getResult(1, 1, &count, values.data());
        getResult(1, 2, &count, values.data());
        ms.push_back(msSince(start));
    }
    state.counters["median_ms"] = median(ms);
    state.counters["p90_ms"] = percentile(ms, 0.9);
}
BENCHMARK(MeasurementCycle)->Iterations(500)->Unit(benchmark::kMillisecond);

void FinalPacketToComplete(benchmark::State &state)
{
    Session session("gen2 pace=fast");
    std::vector<double> ms;
    for (auto _ : state) {
        runMeasurement(1, 3, 3, 100);
        Session::waitComplete();
        ms.push_back(msSince(session.chip->lastDeliveredNs()));
    }
    state.counters["median_ms"] = median(ms);
    state.counters["p90_ms"] = percentile(ms, 0.9);
}
BENCHMARK(FinalPacketToComplete)->Iterations(500)->Unit(benchmark::kMillisecond);

// 1000 samples of both inputs at period code 3 (100 us): 100 ms of acquisition.
void RealTimeMeasurement(benchmark::State &state)
{
    Session session("gen2 pace=real");
    const int samples = 1000;
    const double periodMs = 0.1;
    const double replyDelayMs = session.instrument->replyDelayUs() / 1000.0;
    std::vector<double> wall, beyond, toInstrument, chipAtEnd, libraryAtEnd;
    for (auto _ : state) {
        const qint64 start = SimulatedClock::nowNs();
        runMeasurement(1, 3, 3, samples);
        Session::waitComplete();
        const qint64 done = SimulatedClock::nowNs();
        const qint64 acquisitionStart = session.instrument->lastAcquisitionStartNs();
        const qint64 lastSample = acquisitionStart + qint64(samples * periodMs * 1e6);
        const qint64 delivered = session.chip->lastDeliveredNs();
        wall.push_back((done - start) / 1e6);
        beyond.push_back((done - start) / 1e6 - samples * periodMs);
        toInstrument.push_back((acquisitionStart - start) / 1e6 - replyDelayMs);
        chipAtEnd.push_back((delivered - lastSample) / 1e6);
        libraryAtEnd.push_back((done - delivered) / 1e6);
    }
    state.counters["wall_ms"] = median(wall);
    state.counters["acquisition_ms"] = samples * periodMs;
    state.counters["beyond_acquisition_ms"] = median(beyond);
    state.counters["host_to_instrument_ms"] = median(toInstrument);
    state.counters["reply_delay_ms"] = replyDelayMs;
    state.counters["chip_final_packet_ms"] = median(chipAtEnd);
    state.counters["library_at_end_ms"] = median(libraryAtEnd);
}
BENCHMARK(RealTimeMeasurement)->Iterations(30)->Unit(benchmark::kMillisecond);

// A 2D sweep of 10 points x 1000 samples at the fastest sweep period code (3,
// 100 us): the instrument acquires for 10 x 100 ms.
void RealTimeSweep(benchmark::State &state)
{
    Session session("gen2 pace=real");
    std::vector<double> wall;
    for (auto _ : state) {
        const qint64 start = SimulatedClock::nowNs();
        run2DSweepMeasurement(1, 1, 3, 1000, 10);
        Session::waitComplete();
        wall.push_back(msSince(start));
    }
    state.counters["wall_ms"] = median(wall);
    state.counters["acquisition_ms"] = 10 * 1000 * 0.1;
    state.counters["beyond_acquisition_ms"] = median(wall) - 1000.0;
    state.counters["per_point_ms"] = (median(wall) - 1000.0) / 10;
}
BENCHMARK(RealTimeSweep)->Iterations(5)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
