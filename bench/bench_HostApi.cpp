// What the host functions beyond the basic set cost on the simulated bus:
// an identity query (answered from enumeration), a progress query, and how
// soon waitForMeasurement returns once the final stream packet is readable,
// beside a host that polls isMeasurementComplete as fast as it can. Each
// figure is the median (counters ending in _ms or _us).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "FtdiBackend.h"
#include "SimulatedBus.h"
#include "SimulatedClock.h"
#include "SimulatedFtdiChip.h"
#include "VeldrinLib.h"

namespace {

double median(std::vector<double> values)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// One opened instrument on its own simulated bus.
class Session
{
public:
    explicit Session(const char *description)
    {
        useSimulatedBus(description);
        initialise();
        bool complete = false;
        isMeasurementComplete(1, &complete);
        chip = std::dynamic_pointer_cast<SimulatedBus>(FtdiBackend::current())->chips().at(0);
    }
    ~Session()
    {
        closeLibrary();
        useFtdiLibrary();
    }
    std::shared_ptr<SimulatedFtdiChip> chip;
};

template <typename Call>
void timeCall(benchmark::State &state, Call call)
{
    Session session("gen2 pace=fast");
    std::vector<double> us;
    for (auto _ : state) {
        const qint64 start = SimulatedClock::nowNs();
        call();
        us.push_back(double(SimulatedClock::nowNs() - start) / 1e3);
    }
    state.counters["median_us"] = median(us);
}

void SerialNumberQuery(benchmark::State &state)
{
    char text[32];
    timeCall(state, [&] { getDeviceSerialNumber(1, text, sizeof text); });
}
BENCHMARK(SerialNumberQuery)->Iterations(5000);

void ProgressQuery(benchmark::State &state)
{
    int received = 0, expected = 0;
    timeCall(state, [&] { getMeasurementProgress(1, &received, &expected); });
}
BENCHMARK(ProgressQuery)->Iterations(5000);

// From the final packet becoming readable to the host knowing: 100 samples
// of both inputs, then wait (state.range(0) 1) or poll (0).
void FinalPacketToHost(benchmark::State &state)
{
    Session session("gen2 pace=fast");
    const bool wait = state.range(0) == 1;
    std::vector<double> ms;
    for (auto _ : state) {
        runMeasurement(1, 3, 3, 100);
        bool complete = false;
        if (wait) {
            waitForMeasurement(1, 10000, &complete);
        } else {
            while (!complete)
                isMeasurementComplete(1, &complete);
        }
        ms.push_back(double(SimulatedClock::nowNs() - session.chip->lastDeliveredNs()) / 1e6);
    }
    state.counters["median_ms"] = median(ms);
}
BENCHMARK(FinalPacketToHost)->Arg(0)->Arg(1)->Iterations(500)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
