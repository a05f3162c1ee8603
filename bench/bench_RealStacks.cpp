// What a host meets through each USB stack, on the same instrument (a
// generation II on an FT232H, real time) in the same process: the simulated
// bus at the vendor-library seam, libftdi1 + libusb on a virtual chip at the
// kernel's USB interface, and FTDI's D2XX there too where VELDRIN_D2XX_LIBRARY
// names it. Per stack: opening, a setter in a row, set + measure(100) +
// getResult, a 2D sweep of 10 points x 1000 samples at the fastest period
// (wall time and acquisition time), and the process's CPU share while the
// instrument sits open and idle (with the virtual chip, whose ioctl thread runs
// in this process, included). Figures are medians. VELDRIN_REAL_STACKS_CHIP=5
// puts the instrument behind an FT232R (UART) instead.
#include <benchmark/benchmark.h>

#include <QByteArray>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "UsbKernelStacks.h"
#include "VeldrinLib.h"
#include "VirtualUsbTestbed.h"

namespace {

using Clock = std::chrono::steady_clock;
QByteArray instrument()
{
    const QByteArray chip = qgetenv("VELDRIN_REAL_STACKS_CHIP");
    return chip.isEmpty() ? QByteArray("gen2 signal=dc") : "gen2 signal=dc chip=" + chip;
}

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

bool waitComplete(int device)
{
    VeldrinBool complete = false;
    return waitForMeasurement(device, 30000, &complete) == 0 && complete;
}

enum Stack { Simulated, LibFtdi, D2xx };

void BM_Stack(benchmark::State &state)
{
    const Stack stack = Stack(state.range(0));
    static std::string why; // outlives the benchmark's report of it
    if (stack == D2xx && !UsbKernelStacks::loadD2xx(&why)) {
        state.SkipWithError(why.c_str());
        return;
    }
    std::vector<double> openMs, setterUs, measureMs, sweepMs;
    double acquisitionMs = 0, idleCpu = 0;
    for (auto _ : state) {
        if (stack == Simulated)
            useSimulatedBus(instrument().constData());
        else if (stack == LibFtdi)
            useLibFtdi();
        else
            useFtdiLibrary();
        auto start = Clock::now();
        initialise();
        int device = 0;
        if (getDeviceIndex("SYBH00801xxxx", &device) != 0) {
            state.SkipWithError("the instrument was not found");
            closeLibrary();
            return;
        }
        setDACAmplitude(device, 1, 1000); // opens it
        openMs.push_back(msSince(start));

        for (int i = 0; i < 20; ++i) {
            start = Clock::now();
            setDACAmplitude(device, 1, 1000 + i);
            setterUs.push_back(msSince(start) * 1000);
        }
        std::vector<double> values(10000);
        for (int i = 0; i < 5; ++i) {
            start = Clock::now();
            int count = 0;
            setDACAmplitude(device, 1, 1200);
            runMeasurement(device, 1, 6, 100);
            waitComplete(device);
            getResult(device, 1, &count, values.data());
            measureMs.push_back(msSince(start));
        }
        // Period code 3 (100 us a sample), the fastest a sweep takes.
        setSweepProperties(device, 2, 0, 1000);
        start = Clock::now();
        if (run2DSweepMeasurement(device, 1, 3, 1000, 10) != 0 || !waitComplete(device)) {
            state.SkipWithError("the sweep failed");
            closeLibrary();
            return;
        }
        sweepMs.push_back(msSince(start));
        acquisitionMs = 10 * 1000 * 0.1;

        const double cpu = cpuSeconds();
        start = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(2));
        idleCpu = (cpuSeconds() - cpu) / (msSince(start) / 1000) * 100;
        closeLibrary();
    }
    state.counters["open_ms"] = median(openMs);
    state.counters["setter_us"] = median(setterUs);
    state.counters["set_measure100_get_ms"] = median(measureMs);
    state.counters["sweep2d_10x1000_wall_ms"] = median(sweepMs);
    state.counters["sweep2d_acquisition_ms"] = acquisitionMs;
    state.counters["idle_open_cpu_percent"] = idleCpu;
}

BENCHMARK(BM_Stack)->Arg(Simulated)->Arg(LibFtdi)->Arg(D2xx)->Iterations(1)->Unit(benchmark::kMillisecond)
    ->ArgName("stack");

} // namespace

int main(int argc, char **argv)
{
    VirtualUsbTestbed::restartPreloaded(argv);
    VirtualUsbTestbed testbed(QString::fromLatin1(instrument()));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
