// Hot-plug cycles through a real USB stack (libftdi1 + libusb, or FTDI's D2XX)
// on virtual chips: in every cycle both instruments measure, one of them (the
// FT232R's and the FT232H's in turn) is unplugged while it streams, the loss
// must be reported as 27 within a second and the other instrument's
// measurement must end whole and correct; the chip is plugged in again, and
// after closeLibrary and initialise both instruments are listed again. Once
// the stack has made its one-time allocations, threads, descriptors and heap
// must stay where they were.
//
// The virtual chips run in a process of their own, as under
// veldrin-virtual-usb: the program starts itself again as the host, which
// runs the test and asks for each unplug and plug-in through a pipe, so that
// the figures are the host's alone (the library and the stack, not the
// testbed's GLib and umockdev). One stack per run (`--stack libftdi1|d2xx`),
// VELDRIN_USB_SOAK_CYCLES cycles (default 200), the baseline taken after a
// tenth of them (cycle 20 of 200) or after a third of a short run. Each cycle
// prints one line; the last lines are the table of the run.
#include <gtest/gtest.h>

#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ProcessCounters.h"
#include "UsbKernelStacks.h"
#include "VeldrinLib.h"
#include "VirtualUsbTestbed.h"

#if defined(__SANITIZE_ADDRESS__)
#define VELDRIN_SOAK_SANITIZER_HEAP 1
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace {

using Clock = std::chrono::steady_clock;

const char *const Bus = "gen1 signal=dc; gen2 signal=dc";
const char *const Patterns[2] = {"SYAH00401xxxx", "SYBH00801xxxx"};
// The host's ends of the pipes to the testbed's process.
int toTestbed = -1, fromTestbed = -1;
UsbKernelStacks::Stack stack = UsbKernelStacks::Stack::LibFtdi;

// Asks the testbed's process to unplug ('u'), plug in ('p') a device, or to
// empty its chips' records ('c'); true once it has.
bool testbedDoes(char what, int device = 0)
{
    const char command[2] = {what, char('0' + device)};
    char done = 0;
    return write(toTestbed, command, 2) == 2 && read(fromTestbed, &done, 1) == 1 && done == 'k';
}

// The testbed's side: carries out the host's commands until it closes its end.
void serveHost(VirtualUsbTestbed &testbed, int commands, int answers)
{
    char command[2];
    while (read(commands, command, 2) == 2) {
        const int device = command[1] - '0';
        if (command[0] == 'u')
            testbed.unplug(device);
        else if (command[0] == 'p')
            testbed.plugIn(device);
        else
            testbed.clearRecords();
        if (write(answers, "k", 1) != 1)
            break;
    }
}

long long heapInUse()
{
#if defined(VELDRIN_SOAK_SANITIZER_HEAP)
    return static_cast<long long>(__sanitizer_get_current_allocated_bytes());
#else
    return static_cast<long long>(mallinfo2().uordblks);
#endif
}

struct Sample
{
    int threads = 0;
    int descriptors = 0;
    long long heap = 0;
};

// Threads and descriptors a closed stack leaves behind settle shortly after
// closeLibrary (libusb's event thread, D2XX's hot-plug listener); waits up to
// two seconds for them to stop changing.
Sample settledSample()
{
    Sample last{ProcessCounters::threadCount(), ProcessCounters::handleCount(), 0};
    for (int stable = 0, waited = 0; stable < 20 && waited < 2000; waited += 10) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const Sample now{ProcessCounters::threadCount(), ProcessCounters::handleCount(), 0};
        stable = (now.threads == last.threads && now.descriptors == last.descriptors) ? stable + 1 : 0;
        last = now;
    }
    last.heap = heapInUse();
    return last;
}

int environmentNumber(const char *name, int fallback)
{
    const char *text = std::getenv(name);
    const int value = text ? std::atoi(text) : 0;
    return value > 0 ? value : fallback;
}

// The listed instruments' serial numbers, for a failure message.
std::string listed()
{
    std::string text;
    int count = 0;
    getDeviceCount(&count);
    for (int device = 1; device <= count; ++device) {
        char serial[32] = {};
        getDeviceSerialNumber(device, serial, sizeof serial);
        text += std::string(" ") + serial;
    }
    return text;
}

bool valuesNear(int device, int channel, int expectedCount, double volts, std::string *why)
{
    int count = 0;
    std::vector<double> values(size_t(expectedCount) + 16);
    const int status = getResult(device, channel, &count, values.data());
    if (status != 0 || count != expectedCount) {
        *why = "getResult " + std::to_string(status) + ", " + std::to_string(count) + " values";
        return false;
    }
    for (int i = 0; i < count; ++i)
        if (std::fabs(values[size_t(i)] - volts) > 0.05) {
            *why = "value " + std::to_string(i) + " is " + std::to_string(values[size_t(i)]);
            return false;
        }
    return true;
}

TEST(UsbKernelSoak, UnplugAndPlugInCyclesWhileMeasuring)
{
    ASSERT_TRUE(VirtualUsbTestbed::inMockEnvironment()) << "run with umockdev's preload library";
    ASSERT_GE(toTestbed, 0) << "run without --host (the program starts its host itself)";
    std::string why;
    if (!UsbKernelStacks::select(stack, &why)) {
        ASSERT_FALSE(why.empty()) << "the provider was not selected";
        GTEST_SKIP() << why;
    }
#if !defined(VELDRIN_SOAK_SANITIZER_HEAP)
    // One arena for every thread, so that the main arena counts the stack's
    // and the protocol threads' allocations too.
    ASSERT_EQ(mallopt(M_ARENA_MAX, 1), 1);
#endif
    const int cycles = environmentNumber("VELDRIN_USB_SOAK_CYCLES", 200);
    const int baselineCycle = cycles >= 60 ? cycles / 10 : std::max(1, cycles / 3);
    const char *name = UsbKernelStacks::name(stack);

    int reportedInTime = 0, foundAgain = 0, otherWhole = 0;
    long long slowestLossMs = 0;
    Sample baseline, end;
    long long heapAtHalf = 0;
    const auto started = Clock::now();
    for (int cycle = 1; cycle <= cycles; ++cycle) {
        ASSERT_EQ(initialise(), 0) << "cycle " << cycle;
        int devices[2] = {};
        const int statuses[2] = {getDeviceIndex(Patterns[0], &devices[0]),
                                 getDeviceIndex(Patterns[1], &devices[1])};
        ASSERT_TRUE(statuses[0] == 0 && statuses[1] == 0)
            << "cycle " << cycle << ": an instrument was not found again (" << getStatusText(statuses[0])
            << "; " << getStatusText(statuses[1]) << "); listed:" << listed();
        ++foundAgain;
        // The FT232R's instrument and the FT232H's in turn; the victim's
        // measurement lasts seconds, so that the unplug comes while it streams.
        const int victim = cycle % 2, other = 1 - victim;
        ASSERT_EQ(runMeasurement(devices[victim], 3, 8, victim == 0 ? 2000 : 20000), 0) << "cycle " << cycle;
        ASSERT_EQ(runMeasurement(devices[other], 3, 6, 300), 0) << "cycle " << cycle;
        int received = 0, expected = 0;
        const auto streamDeadline = Clock::now() + std::chrono::seconds(5);
        while (getMeasurementProgress(devices[victim], &received, &expected) == 0 && received == 0
               && Clock::now() < streamDeadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ASSERT_GT(received, 0) << "cycle " << cycle << ": the measurement never streamed";

        ASSERT_TRUE(testbedDoes('u', victim));
        const auto unplugged = Clock::now();
        VeldrinBool complete = false;
        int status = 0;
        while ((status = isMeasurementComplete(devices[victim], &complete)) == 0 && !complete
               && Clock::now() - unplugged < std::chrono::seconds(3))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const long long lossMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - unplugged).count();
        slowestLossMs = std::max(slowestLossMs, lossMs);
        EXPECT_EQ(status, 27) << "cycle " << cycle;
        if (status == 27 && lossMs <= 1000)
            ++reportedInTime;

        complete = false;
        EXPECT_EQ(waitForMeasurement(devices[other], 20000, &complete), 0) << "cycle " << cycle;
        const double level = 1.25;
        if (complete && valuesNear(devices[other], 1, 300, level, &why))
            ++otherWhole;
        else
            ADD_FAILURE() << "cycle " << cycle << ": the other instrument's measurement: " << why;

        ASSERT_TRUE(testbedDoes('p', victim));
        ASSERT_EQ(closeLibrary(), 0) << "cycle " << cycle;
        ASSERT_TRUE(testbedDoes('c'));
        const long long heap = heapInUse();
        if (cycle == baselineCycle || cycle == cycles) {
            const Sample sample = settledSample();
            (cycle == cycles ? end : baseline) = sample;
        }
        if (cycle == cycles / 2)
            heapAtHalf = settledSample().heap;
        std::printf("%s cycle %d: loss reported %s after %lld ms, heap %lld bytes\n", name, cycle,
                    status == 27 ? "(27)" : "NOT", lossMs, heap);
        std::fflush(stdout);
    }
    const long long seconds =
        std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - started).count();
    std::printf("\n%-8s %6s %17s %11s %11s %21s %26s\n", "stack", "cycles", "reported-in-time",
                "found-again", "other-whole", "descriptors/threads", "heap (bytes)");
    std::printf("%-8s %6d %17d %11d %11d %9d/%-3d->%3d/%-3d %8lld->%lld->%lld\n", name, cycles,
                reportedInTime, foundAgain, otherWhole, baseline.descriptors, baseline.threads, end.descriptors,
                end.threads, baseline.heap, heapAtHalf, end.heap);
    std::printf("(baseline at cycle %d, heap also at cycle %d; %lld s; slowest loss %lld ms)\n", baselineCycle,
                cycles / 2, seconds, slowestLossMs);

    EXPECT_EQ(reportedInTime, cycles);
    EXPECT_EQ(foundAgain, cycles);
    EXPECT_EQ(end.threads, baseline.threads);
    EXPECT_EQ(end.descriptors, baseline.descriptors);
    // The heap is held to a rate over the second half of a long run: a leak
    // grows it every cycle, while the stacks' caches fill over the first tens
    // of cycles (through libftdi1 some 60 kB from cycle 20 to 60, then about
    // a hundred bytes a cycle, as through D2XX).
    if (cycles >= 60) {
        EXPECT_LT(end.heap - heapAtHalf, 200LL * (cycles - cycles / 2));
    }
}

} // namespace

int main(int argc, char **argv)
{
    VirtualUsbTestbed::restartPreloaded(argv);
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--stack") == 0 && !UsbKernelStacks::parse(argv[i + 1], &stack)) {
            std::fprintf(stderr, "unknown stack %s (libftdi1 or d2xx)\n", argv[i + 1]);
            return 2;
        }
        if (std::strcmp(argv[i], "--host") == 0 && std::sscanf(argv[i + 1], "%d,%d", &toTestbed, &fromTestbed) != 2)
            return 2;
    }
    if (toTestbed >= 0) {
        ::testing::InitGoogleTest(&argc, argv);
        return RUN_ALL_TESTS();
    }
    // The testbed's process: the chips, then the host started with the
    // testbed's environment (UMOCKDEV_DIR) and the pipes.
    VirtualUsbTestbed testbed(Bus);
    if (!testbed.isValid()) {
        std::fprintf(stderr, "%s\n", testbed.errorText().toLocal8Bit().constData());
        return 1;
    }
    int commands[2], answers[2];
    if (pipe(commands) != 0 || pipe(answers) != 0)
        return 1;
    const pid_t host = fork();
    if (host == 0) {
        close(commands[0]);
        close(answers[1]);
        const std::string fds = std::to_string(commands[1]) + "," + std::to_string(answers[0]);
        std::vector<char *> arguments(argv, argv + argc);
        arguments.push_back(const_cast<char *>("--host"));
        arguments.push_back(const_cast<char *>(fds.c_str()));
        arguments.push_back(nullptr);
        execv("/proc/self/exe", arguments.data());
        _exit(127);
    }
    close(commands[1]);
    close(answers[0]);
    serveHost(testbed, commands[0], answers[1]);
    int status = 0;
    waitpid(host, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
