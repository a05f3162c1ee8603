// A thousand initialise/closeLibrary cycles, every tenth opening an
// instrument and measuring with it: after every cycle the process is back to
// the threads and open file descriptors (Windows: kernel handles) it had before the first, and the heap
// in use stops growing once the one-time allocations are made. The
// AddressSanitizer build adds LeakSanitizer's check of everything left
// unreachable.
//
// Each cycle costs what the library prescribes: closeLibrary pauses 200 ms
// once a device list exists, and opening an instrument pauses 650 ms (600 ms
// after the boot firmware's start step, 50 ms before the read-back). The
// instruments answer at once (pace=fast), so nearly all of a cycle's time is
// those pauses: 1000 x 200 ms + 100 x 650 ms, about four and a half minutes.
// VELDRIN_SOAK_CYCLES sets another number of cycles.
#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#include <malloc.h>
#include <psapi.h>
#else
#include <dirent.h>
#include <malloc.h>
#include <unistd.h>
#endif

#include <QElapsedTimer>
#include <QThread>
#include <QVector>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <string>
#include <thread>

#include "SimulatedHost.h"
#include "FtdiBackend.h"
#include "SimulatedBus.h"
#include "SimulatedFtdiChip.h"
#include "ProcessCounters.h"
#include "SimulatedInstrument.h"
#include "VeldrinLib.h"

#if defined(__SANITIZE_ADDRESS__)
#define VELDRIN_SOAK_SANITIZER_HEAP 1
#include <sanitizer/lsan_interface.h>
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELDRIN_SOAK_SANITIZER_HEAP 1
#include <sanitizer/lsan_interface.h>
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif
#endif

namespace {

int environmentNumber(const char *name, int fallback)
{
    const char *text = std::getenv(name);
    if (!text || !*text)
        return fallback;
    char *end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return (*end == '\0' && value > 0 && value < std::numeric_limits<int>::max()) ? int(value) : fallback;
}

using ProcessCounters::threadCount;

// What the open descriptors are, for a failure message.
std::string describeDescriptors()
{
    std::string text;
#if !defined(_WIN32)
    DIR *dir = opendir("/proc/self/fd");
    if (!dir)
        return text;
    while (const dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        char target[256] = {};
        const std::string path = std::string("/proc/self/fd/") + entry->d_name;
        const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
        text += std::string(" ") + entry->d_name + "=" + (n > 0 ? target : "?");
    }
    closedir(dir);
#endif
    return text;
}

int openDescriptors()
{
    return ProcessCounters::handleCount();
}

// Bytes the program has allocated and not freed.
long long heapInUse()
{
#if defined(VELDRIN_SOAK_SANITIZER_HEAP)
    return static_cast<long long>(__sanitizer_get_current_allocated_bytes());
#elif defined(_WIN32)
    // The C runtime's heap, which malloc and operator new draw from.
    long long total = 0;
    _HEAPINFO entry = {};
    while (_heapwalk(&entry) == _HEAPOK)
        if (entry._useflag == _USEDENTRY)
            total += static_cast<long long>(entry._size);
    return total;
#else
    // Counts the main arena only; the test keeps every thread in it.
    return static_cast<long long>(mallinfo2().uordblks);
#endif
}

long long residentKilobytes()
{
#if defined(_WIN32)
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters))
        return -1;
    return static_cast<long long>(counters.WorkingSetSize / 1024);
#endif
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atoll(line.c_str() + 6);
    }
    return -1;
}

// Threads end, and their descriptors close, shortly after closeLibrary has
// seen them finish; waits up to a second for both to be back at `threads`
// and `descriptors`.
bool settlesAt(int threads, int descriptors)
{
    QElapsedTimer timer;
    timer.start();
    while (threadCount() != threads || openDescriptors() != descriptors) {
        if (timer.elapsed() > 1000)
            return false;
        QThread::msleep(1);
    }
    return true;
}

// The simulated bus outlives the cycles and records what crosses it (bounded
// logs of calls, requests and written bytes, up to a megabyte); emptied after
// every cycle, so that the heap figures are the library's.
void clearBusRecords()
{
    const auto bus = std::dynamic_pointer_cast<SimulatedBus>(FtdiBackend::current());
    if (!bus)
        return;
    for (const auto &chip : bus->chips()) {
        chip->takeHostWritten();
        chip->clearCalls();
        if (const auto instrument = std::dynamic_pointer_cast<SimulatedInstrument>(chip->peer()))
            instrument->clearHostRequests();
    }
}

TEST(Soak, InitialiseAndCloseCyclesReturnToTheBaseline)
{
#if !defined(VELDRIN_SOAK_SANITIZER_HEAP) && !defined(_WIN32)
    // One arena for every thread, so that the main arena's figures count the
    // protocol threads' allocations too.
    ASSERT_EQ(mallopt(M_ARENA_MAX, 1), 1);
#endif
    const int cycles = environmentNumber("VELDRIN_SOAK_CYCLES", 1000);
    ASSERT_EQ(useSimulatedBus("gen1 signal=dc pace=fast; gen2 signal=dc pace=fast"), 0);
    // A warm-up cycle opens both instruments once before the baseline is
    // taken: the first protocol thread makes Qt's event dispatcher set up the
    // process-wide main context of GLib, whose wake-up descriptor stays open
    // for the life of the process.
    ASSERT_EQ(initialise(), 0);
    bool complete = false;
    ASSERT_EQ(isMeasurementComplete(1, &complete), 0);
    ASSERT_EQ(isMeasurementComplete(2, &complete), 0);
    ASSERT_EQ(closeLibrary(), 0);
    clearBusRecords();
    const int threads = threadCount();
    const int descriptors = openDescriptors();
    ASSERT_GT(threads, 0);
    ASSERT_GE(descriptors, 0);

    // The heap is compared from the end of the first tenth on: by then every
    // one-time allocation (Qt's and the library's statics, the bus's logs
    // filled to their limits) has been made.
    const int settled = std::max(1, cycles / 10);
    long long heapAtSettled = 0;
    long long residentAtSettled = 0;
    long long openingMs = 0, plainMs = 0;
    QElapsedTimer total;
    total.start();
    for (int cycle = 1; cycle <= cycles; ++cycle) {
        QElapsedTimer timer;
        timer.start();
        ASSERT_EQ(initialise(), 0) << "cycle " << cycle;
        int count = -1;
        ASSERT_EQ(getDeviceCount(&count), 0);
        ASSERT_EQ(count, 2) << "cycle " << cycle;
        const bool measures = cycle % 10 == 0;
        if (measures) {
            // Generation I and II in turn: open, measure both inputs, check.
            const int device = 1 + (cycle / 10) % 2;
            const int period = device == 1 ? 5 : 3;
            ASSERT_EQ(runMeasurement(device, 3, period, 100), 0) << "cycle " << cycle;
            ASSERT_EQ(waitForCompletion(device, 5000), 0) << "cycle " << cycle;
            for (int channel = 1; channel <= 2; ++channel) {
                QVector<double> values(100);
                int got = -1;
                ASSERT_EQ(getResult(device, channel, &got, values.data()), 0);
                ASSERT_EQ(got, 100) << "cycle " << cycle << " input " << channel;
                const double level = channel == 1 ? 1.25 : -0.75;
                for (double v : values)
                    ASSERT_NEAR(v, level, 0.02) << "cycle " << cycle << " input " << channel;
            }
        }
        ASSERT_EQ(closeLibrary(), 0);
        clearBusRecords();
        (measures ? openingMs : plainMs) += timer.elapsed();
        ASSERT_TRUE(settlesAt(threads, descriptors))
            << "cycle " << cycle << ": " << threadCount() << " threads (" << threads << " before), "
            << openDescriptors() << " descriptors (" << descriptors << " before):" << describeDescriptors();
        if (cycle == settled) {
            heapAtSettled = heapInUse();
            residentAtSettled = residentKilobytes();
        }
    }
    const long long heapAtEnd = heapInUse();
    const long long residentAtEnd = residentKilobytes();
    const int opening = cycles / 10;
    std::printf("soak: %d cycles in %lld ms: %.1f ms a cycle without opening, %.1f ms with opening "
                "and measuring\n",
                cycles, static_cast<long long>(total.elapsed()),
                double(plainMs) / std::max(1, cycles - opening), double(openingMs) / std::max(1, opening));
    std::printf("soak: heap in use %lld bytes after cycle %d, %lld after cycle %d; resident %lld kB, "
                "then %lld kB\n",
                heapAtSettled, settled, heapAtEnd, cycles, residentAtSettled, residentAtEnd);
    // A leak of even 100 bytes a cycle would add 90 kB over 900 cycles.
    EXPECT_LT(heapAtEnd - heapAtSettled, 32 * 1024);
#if defined(VELDRIN_SOAK_SANITIZER_HEAP)
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0) << "LeakSanitizer found unreachable memory";
#endif
}

} // namespace
