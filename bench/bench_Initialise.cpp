// How long `initialise` takes with eight simulated instruments, four of each
// generation (generation I behind FT232R chips, generation II behind FT232H
// chips). Initialising lists the bridges and builds one device per
// instrument, and each device opens its chip once, reads the information
// record through the boot firmware and closes it again.
//
// The instruments answer at once (pace=fast), so the figure is the library's
// own time. Part of it is waits the design prescribes: the two 10 ms pauses
// of the FIFO set-up of an FT232H chip (a synchronous request waits in a
// device read for its reply, so "poll" sleeps should stay at zero). To state
// the time without them, this program wraps nanosleep (which QThread's sleeps
// end in) and adds up the time the initialising thread spends sleeping, by
// requested length. Shutting the library down (with its own 200 ms pause)
// happens outside the timed part.
#include <benchmark/benchmark.h>

#include <dlfcn.h>
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <chrono>

#include "VeldrinLib.h"

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<bool> measuring{false};
pthread_t measuredThread;

struct Slept
{
    std::atomic<long long> pollNs{0};
    std::atomic<long long> fifoNs{0};
    std::atomic<long long> otherNs{0};
    std::atomic<int> polls{0};
    std::atomic<int> fifoWaits{0};

    void reset()
    {
        pollNs = fifoNs = otherNs = 0;
        polls = fifoWaits = 0;
    }
    long long totalNs() const { return pollNs + fifoNs + otherNs; }
} slept;

double ms(long long ns) { return ns / 1e6; }

} // namespace

// Default visibility: the build hides symbols, and this one must be seen by
// the shared libraries that sleep.
extern "C" __attribute__((visibility("default"))) int nanosleep(const struct timespec *request, struct timespec *remaining)
{
    using Function = int (*)(const struct timespec *, struct timespec *);
    static const Function real = reinterpret_cast<Function>(dlsym(RTLD_NEXT, "nanosleep"));
    if (!measuring.load(std::memory_order_acquire) || !pthread_equal(pthread_self(), measuredThread))
        return real(request, remaining);
    const Clock::time_point begin = Clock::now();
    const int result = real(request, remaining);
    const long long ns = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - begin).count();
    const long long asked = request->tv_sec * 1000000000LL + request->tv_nsec;
    if (asked == 2000000) {
        slept.pollNs += ns;
        ++slept.polls;
    } else if (asked == 10000000) {
        slept.fifoNs += ns;
        ++slept.fifoWaits;
    } else {
        slept.otherNs += ns;
    }
    return result;
}

namespace {

void initialiseEightInstruments(benchmark::State &state)
{
    // Instruments that answer at once: the figure is the library's own time.
    const char *description = "gen1 pace=fast; gen2 pace=fast; gen1 pace=fast; gen2 pace=fast; "
                              "gen1 pace=fast; gen2 pace=fast; gen1 pace=fast; gen2 pace=fast";
    measuredThread = pthread_self();
    long long wallNs = 0;
    long long sleptNs = 0;
    long long pollNs = 0;
    long long fifoNs = 0;
    long long polls = 0;
    long long fifoWaits = 0;
    int devices = 0;
    for (auto _ : state) {
        if (useSimulatedBus(description) != 0) {
            state.SkipWithError("the bus description was refused");
            break;
        }
        slept.reset();
        measuring.store(true, std::memory_order_release);
        const Clock::time_point begin = Clock::now();
        const int status = initialise();
        const long long ns = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - begin).count();
        measuring.store(false, std::memory_order_release);
        state.SetIterationTime(ns / 1e9);
        if (status != 0 || getDeviceCount(&devices) != 0 || devices != 8) {
            state.SkipWithError("initialise did not list the eight instruments");
            break;
        }
        wallNs += ns;
        sleptNs += slept.totalNs();
        pollNs += slept.pollNs;
        fifoNs += slept.fifoNs;
        polls += slept.polls;
        fifoWaits += slept.fifoWaits;
        closeLibrary();
    }
    const double n = double(state.iterations() > 0 ? state.iterations() : 1);
    state.counters["devices"] = devices;
    state.counters["wall_ms"] = ms(wallNs) / n;
    state.counters["sleeps_ms"] = ms(sleptNs) / n;
    state.counters["poll_sleeps_ms"] = ms(pollNs) / n;
    state.counters["poll_sleeps"] = polls / n;
    state.counters["fifo_sleeps_ms"] = ms(fifoNs) / n;
    state.counters["fifo_sleeps"] = fifoWaits / n;
    state.counters["without_sleeps_ms"] = ms(wallNs - sleptNs) / n;
}

BENCHMARK(initialiseEightInstruments)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

} // namespace

BENCHMARK_MAIN();
