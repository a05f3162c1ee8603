// Streaming results through the exported functions: rows that complete while
// a sweep runs, the wait for them, releasing them and what every copy and
// progress export answers afterwards; the provider selection's error text.
#include <gtest/gtest.h>

#include <QThread>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#if !defined(_WIN32)
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif
#include <thread>
#include <vector>

#include "SimulatedFtdiChip.h"
#include "SimulatedHost.h"
#include "VeldrinLib.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define UNDER_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define UNDER_SANITIZER 1
#endif
#endif

namespace {

class StreamingResults : public SimulatedHostTest
{
protected:
    // One row of a channel: the status, and the values when it is 0.
    static int row(int channel, int index, std::vector<double> &values)
    {
        values.assign(100000, 0.0);
        int count = -1;
        const int status = get2DResultRow(1, channel, index, values.data(), int(values.size()), &count);
        values.resize(status == 0 ? size_t(count) : 0);
        return status;
    }
};

// A real-time sweep: each wait for the next row wakes as that row completes,
// long before the sweep does; the row is whole when taken, and reads 29 once
// released.
TEST_F(StreamingResults, RowsCompleteInOrderWhileARealTimeSweepRuns)
{
    ASSERT_NO_FATAL_FAILURE(start("gen2 signal=dc"));
    const int points = 10, samples = 50; // 1 ms a sample: 50 ms a point
    ASSERT_EQ(run2DSweepMeasurement(1, 3, 6, samples, points), 0);
    int completed = -1, firstHeld = -1;
    bool completeAtFirstRow = true;
    std::vector<double> values;
    for (int next = 1; next <= points; ++next) {
        ASSERT_EQ(waitForCompletedRows(1, next, 10000, &completed), 0);
        ASSERT_GE(completed, next);
        if (next == 1) {
            ASSERT_EQ(isMeasurementComplete(1, &completeAtFirstRow), 0);
        }
        for (int channel = 1; channel <= 2; ++channel) {
            ASSERT_EQ(row(channel, next - 1, values), 0);
            EXPECT_EQ(int(values.size()), samples);
        }
        ASSERT_EQ(releaseResultRows(1, next), 0);
        EXPECT_EQ(row(1, next - 1, values), VELDRIN_ROW_RELEASED);
    }
    EXPECT_FALSE(completeAtFirstRow);
    ASSERT_EQ(getCompletedRows(1, &completed, &firstHeld), 0);
    EXPECT_EQ(completed, points);
    EXPECT_EQ(firstHeld, points);
    int received = 0, expected = 0;
    ASSERT_EQ(getMeasurementProgress(1, &received, &expected), 0);
    EXPECT_EQ(received, 2 * samples * points);
    EXPECT_EQ(expected, received);
}

// A host that takes rows sets the sweep's pace: once it has released one,
// the instrument waits before each point while the host holds 2^22 complete
// values (here 42 rows of 2 x 50000), and goes on when rows are released. A
// host that never releases gets the sweep at the instrument's pace.
TEST_F(StreamingResults, ASweepWaitsForAHostThatTakesRows)
{
    ASSERT_NO_FATAL_FAILURE(start("gen2 signal=dc pace=fast"));
    const int points = 200, samples = 50000, rowsInLimit = (1 << 22) / (2 * samples) + 1;
    ASSERT_EQ(run2DSweepMeasurement(1, 3, 3, samples, points), 0);
    int completed = 0, firstHeld = 0;
    ASSERT_EQ(waitForCompletedRows(1, 1, 30000, &completed), 0);
    ASSERT_EQ(releaseResultRows(1, 1), 0);
    // Pacing starts with the first release: rows completed before it (a host
    // scheduled late, under load) are held, and at most one more follows.
    int atRelease = 0;
    ASSERT_EQ(getCompletedRows(1, &atRelease, &firstHeld), 0);
    // Far more time than the whole sweep takes unhindered.
    ASSERT_EQ(waitForCompletedRows(1, points, 3000, &completed), 0);
    EXPECT_GE(completed, rowsInLimit);
    EXPECT_LE(completed, std::max(atRelease, 1 + rowsInLimit) + 1);
    for (int taken = 1; taken < points;) {
        ASSERT_EQ(waitForCompletedRows(1, taken + 1, 30000, &completed), 0);
        ASSERT_GT(completed, taken);
        ASSERT_EQ(releaseResultRows(1, completed), 0);
        taken = completed;
    }
    VeldrinBool done = false;
    ASSERT_EQ(waitForMeasurement(1, 30000, &done), 0);
    EXPECT_TRUE(done);
    ASSERT_EQ(getCompletedRows(1, &completed, &firstHeld), 0);
    EXPECT_EQ(completed, points);

    // Never released: every point comes.
    ASSERT_EQ(run2DSweepMeasurement(1, 3, 3, samples, 60), 0);
    ASSERT_EQ(waitForMeasurement(1, 60000, &done), 0);
    EXPECT_TRUE(done);
}

// What each export answers once rows are released, on both generations, and
// a new start that discards everything.
TEST_F(StreamingResults, ReleasedRowsReadAsDocumented)
{
    ASSERT_NO_FATAL_FAILURE(start("gen2 signal=dc pace=fast; gen1 signal=dc pace=fast"));
    ASSERT_EQ(run2DSweepMeasurement(1, 3, 3, 10, 4), 0);
    bool complete = false;
    ASSERT_EQ(waitForMeasurement(1, 10000, &complete), 0);
    std::vector<double> rows23;
    for (int index : {2, 3}) {
        std::vector<double> values;
        ASSERT_EQ(row(2, index, values), 0);
        rows23.insert(rows23.end(), values.begin(), values.end());
    }
    // Out of range either way; up to the first held row changes nothing.
    EXPECT_EQ(releaseResultRows(1, 5), VELDRIN_INVALID_ARGUMENT);
    EXPECT_EQ(releaseResultRows(1, 2), 0);
    EXPECT_EQ(releaseResultRows(1, 1), VELDRIN_INVALID_ARGUMENT);
    EXPECT_EQ(releaseResultRows(1, 2), 0);

    int completed = -1, firstHeld = -1, rows = -1, columns = -1, count = -1, received = 0, expected = 0;
    ASSERT_EQ(getCompletedRows(1, &completed, &firstHeld), 0);
    EXPECT_EQ(completed, 4);
    EXPECT_EQ(firstHeld, 2);
    ASSERT_EQ(get2DResultSizes(1, 2, &rows, &columns), 0);
    EXPECT_EQ(rows, 4);
    EXPECT_EQ(columns, 10);
    std::vector<double> all(40, -1.0), values;
    ASSERT_EQ(get2DResult(1, 2, all.data()), 0);
    EXPECT_EQ(std::vector<double>(all.begin(), all.begin() + 20), rows23);
    EXPECT_EQ(all[20], -1.0);
    EXPECT_EQ(row(2, 1, values), VELDRIN_ROW_RELEASED);
    EXPECT_EQ(row(2, 4, values), VELDRIN_INVALID_ARGUMENT);
    EXPECT_EQ(getResult(1, 2, &count, nullptr), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(getResultChecked(1, 1, nullptr, 0, &count), 0);
    EXPECT_EQ(count, 0);
    ASSERT_EQ(getMeasurementProgress(1, &received, &expected), 0);
    EXPECT_EQ(received, 80);

    // Everything released: no columns, nothing to copy.
    ASSERT_EQ(releaseResultRows(1, 4), 0);
    ASSERT_EQ(get2DResultSizes(1, 1, &rows, &columns), 0);
    EXPECT_EQ(rows, 4);
    EXPECT_EQ(columns, 0);
    EXPECT_EQ(get2DResult(1, 1, nullptr), 0);

    // A new start holds every row again and releases nothing.
    ASSERT_EQ(runMeasurement(1, 1, 3, 10), 0);
    ASSERT_EQ(waitForMeasurement(1, 10000, &complete), 0);
    ASSERT_EQ(getCompletedRows(1, &completed, &firstHeld), 0);
    EXPECT_EQ(completed, 1);
    EXPECT_EQ(firstHeld, 0);
    EXPECT_EQ(row(1, 0, values), 0);
    EXPECT_EQ(values.size(), 10u);

    // Generation I: its one row, complete with the measurement.
    ASSERT_EQ(getCompletedRows(2, &completed, &firstHeld), 0);
    EXPECT_EQ(completed, 0);
    ASSERT_EQ(runMeasurement(2, 3, 5, 30), 0);
    ASSERT_EQ(waitForCompletedRows(2, 1, 10000, &completed), 0);
    EXPECT_EQ(completed, 1);
    ASSERT_EQ(releaseResultRows(2, 1), 0);
    EXPECT_EQ(getResult(2, 1, &count, nullptr), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(get2DResultRow(2, 1, 0, nullptr, 0, &count), VELDRIN_ROW_RELEASED);
    ASSERT_EQ(get2DResultSizes(2, 1, &rows, &columns), 0);
    EXPECT_EQ(rows, 30);

    EXPECT_EQ(getCompletedRows(1, nullptr, &firstHeld), VELDRIN_INVALID_ARGUMENT);
    EXPECT_EQ(waitForCompletedRows(1, 1, -1, &completed), VELDRIN_INVALID_ARGUMENT);
    EXPECT_EQ(waitForCompletedRows(1, 1, 0, nullptr), VELDRIN_INVALID_ARGUMENT);
    EXPECT_STREQ(getStatusText(VELDRIN_ROW_RELEASED), "row released");
    EXPECT_STRNE(getStatusText(VELDRIN_OUT_OF_MEMORY), getStatusText(31));
}

// A wait for rows on an instrument pulled out ends with 27; the rows that
// completed before stay countable, readable and releasable.
TEST_F(StreamingResults, WaitForRowsEndsOnLoss)
{
    ASSERT_NO_FATAL_FAILURE(start("gen2 signal=dc"));
    ASSERT_EQ(run2DSweepMeasurement(1, 1, 6, 20, 1000), 0);
    int completed = -1;
    ASSERT_EQ(waitForCompletedRows(1, 2, 10000, &completed), 0);
    int status = -1;
    std::thread waiter([&] {
        int ignored = 0;
        status = waitForCompletedRows(1, 1000, 20000, &ignored);
    });
    QThread::msleep(50);
    bus->chips().at(0)->setFault(SimulatedFtdiChip::Unplugged);
    waiter.join();
    EXPECT_EQ(status, VELDRIN_INSTRUMENT_DISCONNECTED);
    int firstHeld = -1;
    ASSERT_EQ(getCompletedRows(1, &completed, &firstHeld), 0);
    EXPECT_GE(completed, 2);
    std::vector<double> values;
    EXPECT_EQ(row(1, 1, values), 0);
    EXPECT_EQ(values.size(), 20u);
    EXPECT_EQ(releaseResultRows(1, completed), 0);
}

// useSimulatedBus hands the parser's reason over; an empty text is a bus
// with no device, never the hardware library.
TEST_F(StreamingResults, SelectionErrorTextAndTheEmptyBus)
{
    char text[128] = "unchanged";
    EXPECT_EQ(useSimulatedBus("gen2 colour=red"), VELDRIN_INVALID_ARGUMENT);
    ASSERT_EQ(getLibraryErrorText(text, sizeof text), 0);
    EXPECT_STREQ(text, "device 1: unknown key \"colour\"");
    EXPECT_EQ(getLibraryErrorText(text, 5), VELDRIN_BUFFER_TOO_SMALL);
    EXPECT_EQ(getLibraryErrorText(nullptr, 5), VELDRIN_INVALID_ARGUMENT);
    EXPECT_EQ(useSimulatedBus(nullptr), VELDRIN_INVALID_ARGUMENT);
    ASSERT_EQ(getLibraryErrorText(text, sizeof text), 0);
    EXPECT_NE(std::string(text).find("null"), std::string::npos) << text;

    ASSERT_NO_FATAL_FAILURE(start(""));
    ASSERT_EQ(getLibraryErrorText(text, sizeof text), 0);
    EXPECT_STREQ(text, "");
    int count = -1;
    ASSERT_EQ(getDeviceCount(&count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(bus->chips().isEmpty());
}

#if !defined(_WIN32)
// The address-space limit and the child process are POSIX's.
// In a child limited to 256 MB of address space beyond what it uses: a
// 50000 x 50000 sweep on both channels that the host never releases. Returns
// 0, or the number of the first check that failed.
constexpr int LimitNotEnforced = 77;
int sweepBeyondTheAddressSpace()
{
    // Room taken before the limit: once it is reached, little is left.
    std::vector<double> row(50000);
    char text[256] = "", kept[32] = "";
    long pages = 0;
    FILE *statm = std::fopen("/proc/self/statm", "r");
    if (!statm || std::fscanf(statm, "%ld", &pages) != 1)
        return 1;
    std::fclose(statm);
    const rlim_t limit = rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE)) + (rlim_t(256) << 20);
    const rlimit bound = {limit, limit};
    if (setrlimit(RLIMIT_AS, &bound) != 0)
        return 2;
    // qemu-user accepts the limit but keeps it from the emulated program:
    // without it the sweep would fill the machine's memory instead.
    void *beyond = mmap(nullptr, size_t(512) << 20, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (beyond != MAP_FAILED) {
        munmap(beyond, size_t(512) << 20);
        return LimitNotEnforced;
    }
    if (useSimulatedBus("gen2 signal=dc pace=fast") != 0 || initialise() != 0)
        return 3;
    if (run2DSweepMeasurement(1, 3, 3, 50000, 50000) != 0)
        return 4;
    bool complete = false;
    if (waitForMeasurement(1, 120000, &complete) != VELDRIN_OUT_OF_MEMORY)
        return 5;
    if (isMeasurementComplete(1, &complete) != VELDRIN_OUT_OF_MEMORY)
        return 6;
    int completed = 0, firstHeld = -1, count = 0;
    if (getCompletedRows(1, &completed, &firstHeld) != 0 || completed < 1 || firstHeld != 0)
        return 7;
    if (waitForCompletedRows(1, completed + 1, 0, &count) != VELDRIN_OUT_OF_MEMORY)
        return 8;
    for (int channel = 1; channel <= 2; ++channel)
        if (get2DResultRow(1, channel, completed - 1, row.data(), 50000, &count) != 0 || count != 50000)
            return 9;
    std::snprintf(kept, sizeof kept, " %d ", completed);
    if (getLastErrorText(1, text, sizeof text) != 0 || std::strncmp(text, "Out of memory", 13) != 0
        || !std::strstr(text, kept))
        return 10;
    // Released, the room serves the next measurement.
    if (releaseResultRows(1, completed) != 0 || runMeasurement(1, 3, 3, 1000) != 0
        || waitForMeasurement(1, 10000, &complete) != 0 || !complete)
        return 11;
    closeLibrary();
    return 0;
}

// A measurement that outgrows the address space ends with 30, its complete
// rows kept, readable and releasable, and the library measures on.
TEST_F(StreamingResults, AMeasurementBeyondTheAddressSpaceEndsWith30)
{
#if defined(UNDER_SANITIZER)
    GTEST_SKIP() << "the sanitizers reserve far more address space than the limit";
#endif
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int failed = 99;
        try {
            failed = sweepBeyondTheAddressSpace();
        } catch (...) {
        }
        _exit(failed);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the child ended by signal " << WTERMSIG(status);
    if (WEXITSTATUS(status) == LimitNotEnforced)
        GTEST_SKIP() << "the address-space limit is not enforced here (qemu-user)";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "check " << WEXITSTATUS(status) << " failed";
}

#endif

} // namespace
