// The host functions beyond the basic set, through the public C header on the
// simulated bus: version, identity, error text, capacity-checked copies,
// progress and waiting for a measurement.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "VeldrinLib.h"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point begin)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
}

class HostApi : public ::testing::Test
{
protected:
    void TearDown() override { closeLibrary(); }

    static void start(const char *description)
    {
        ASSERT_EQ(useSimulatedBus(description), 0) << description;
        ASSERT_EQ(initialise(), 0);
    }

    static std::string serial(int device)
    {
        char text[32] = "unchanged";
        EXPECT_EQ(getDeviceSerialNumber(device, text, sizeof text), 0);
        return text;
    }

    static std::string lastError(int device)
    {
        char text[256] = "unchanged";
        EXPECT_EQ(getLastErrorText(device, text, sizeof text), 0);
        return text;
    }

    static bool waitComplete(int device, int timeoutMs)
    {
        bool complete = false;
        EXPECT_EQ(waitForMeasurement(device, timeoutMs, &complete), 0);
        return complete;
    }

    static std::vector<double> row(int device, int channel, int index)
    {
        int count = -1;
        const int asked = get2DResultRow(device, channel, index, nullptr, 0, &count);
        EXPECT_EQ(asked, count > 0 ? 28 : 0);
        std::vector<double> values(size_t(std::max(count, 0)));
        EXPECT_EQ(get2DResultRow(device, channel, index, values.data(), count, &count), 0);
        return values;
    }
};

// Each new function checks, in order: library initialised, index, opening
// (except those that answer from enumeration), then its own arguments.
TEST_F(HostApi, ChecksRunInParameterOrder)
{
    struct Call
    {
        const char *name;
        bool opens;
        std::function<int(int device, bool nulls)> call;
    };
    char text[128];
    int a = 0, b = 0;
    bool flag = false;
    double values[4];
    const std::vector<Call> calls = {
        {"getDeviceSerialNumber", false, [&](int d, bool n) { return getDeviceSerialNumber(d, n ? nullptr : text, sizeof text); }},
        {"getDeviceGeneration", false, [&](int d, bool n) { return getDeviceGeneration(d, n ? nullptr : &a); }},
        {"getFirmwareVersion", false, [&](int d, bool n) { return getFirmwareVersion(d, n ? nullptr : &a); }},
        {"getLastErrorText", false, [&](int d, bool n) { return getLastErrorText(d, n ? nullptr : text, sizeof text); }},
        {"getMeasurementProgress", true, [&](int d, bool n) { return getMeasurementProgress(d, &a, n ? nullptr : &b); }},
        {"waitForMeasurement", true, [&](int d, bool n) { return waitForMeasurement(d, 0, n ? nullptr : &flag); }},
        {"getResultChecked", true, [&](int d, bool n) { return getResultChecked(d, 1, values, 4, n ? nullptr : &a); }},
        {"get2DResultRow", true, [&](int d, bool n) { return get2DResultRow(d, 1, 0, n ? nullptr : values, 4, &a); }},
        {"isMeasurementComplete", true, [&](int d, bool n) { return isMeasurementComplete(d, n ? nullptr : &flag); }},
        {"get2DResultSizes", true, [&](int d, bool n) { return get2DResultSizes(d, 1, &a, n ? nullptr : &b); }},
    };
    closeLibrary();
    for (const Call &c : calls)
        EXPECT_EQ(c.call(1, true), 5) << c.name;
    // The version needs no initialise.
    int major = -1, minor = -1, patch = -1;
    EXPECT_EQ(getLibraryVersion(&major, &minor, &patch), 0);
    EXPECT_EQ(major * 100 + minor * 10 + patch, 300 + VELDRIN_VERSION_PATCH);
    EXPECT_EQ(getLibraryVersion(&major, nullptr, &patch), 26);
    // Device 2 cannot be opened (its EEPROM cannot be read: 3).
    start("gen1 pace=fast; gen2 pace=fast fault=eeprom-fail");
    for (const Call &c : calls) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.call(0, true), 1);
        EXPECT_EQ(c.call(3, true), 1);
        EXPECT_EQ(c.call(2, true), c.opens ? 3 : 26);
        EXPECT_EQ(c.call(2, false), c.opens ? 3 : 0);
        EXPECT_EQ(c.call(1, true), 26);
    }
    EXPECT_EQ(waitForMeasurement(1, -1, &flag), 26);
    EXPECT_EQ(getResultChecked(1, 1, values, -1, &a), 26);
    EXPECT_EQ(getResultChecked(1, 1, nullptr, 1, &a), 26);
    EXPECT_EQ(getDeviceSerialNumber(1, text, -1), 26);
}

// Identity comes from enumeration: no opening (which takes 650 ms), and it
// answers for instruments that cannot be used.
TEST_F(HostApi, IdentityWithoutOpening)
{
    start("gen2 serial=SYBH008010042; gen1 serial=SYAH004010007 firmware=2; "
          "gen1 serial=SYAH004010009 fault=eeprom-fail");
    const auto begin = Clock::now();
    int generation = 0, firmware = -1;
    const int expectedGeneration[] = {2, 1, 1};
    // Firmware 2 is listed though generation I accepts only 1; the third
    // instrument's record could not be read when it was listed.
    const int expectedFirmware[] = {3, 2, 0};
    for (int device = 1; device <= 3; ++device) {
        EXPECT_EQ(getDeviceGeneration(device, &generation), 0);
        EXPECT_EQ(generation, expectedGeneration[device - 1]);
        EXPECT_EQ(getFirmwareVersion(device, &firmware), 0);
        EXPECT_EQ(firmware, expectedFirmware[device - 1]);
    }
    EXPECT_EQ(serial(1), "SYBH008010042");
    EXPECT_EQ(serial(2), "SYAH004010007");
    EXPECT_EQ(serial(3), "SYAH004010009");
    EXPECT_LT(msSince(begin), 300);

    // Capacity: exactly enough, one short (an empty string), none at all.
    char text[14];
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(getDeviceSerialNumber(1, text, 14), 0);
    EXPECT_STREQ(text, "SYBH008010042");
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(getDeviceSerialNumber(1, text, 13), 28);
    EXPECT_EQ(text[0], '\0');
    EXPECT_EQ(text[1], 'x');
    EXPECT_EQ(getDeviceSerialNumber(1, nullptr, 0), 28);

    // Opening still happens at the first call that needs it.
    const auto opening = Clock::now();
    bool complete = false;
    EXPECT_EQ(isMeasurementComplete(1, &complete), 0);
    EXPECT_GE(msSince(opening), 600);
}

TEST_F(HostApi, LastErrorTextTellsWhyOpeningFailed)
{
    start("gen1 pace=fast; gen1 pace=fast firmware=2; gen2 pace=fast fault=busy");
    EXPECT_EQ(lastError(1), "");
    bool complete = false;
    ASSERT_EQ(isMeasurementComplete(1, &complete), 0);
    EXPECT_EQ(lastError(1), "");
    ASSERT_EQ(isMeasurementComplete(2, &complete), 9);
    const std::string refused = lastError(2);
    EXPECT_NE(refused.find("Firmware version 2"), std::string::npos) << refused;
    ASSERT_EQ(isMeasurementComplete(3, &complete), 7);
    EXPECT_FALSE(lastError(3).empty());

    std::vector<char> text(refused.size() + 1, 'x');
    EXPECT_EQ(getLastErrorText(2, text.data(), int(text.size())), 0);
    EXPECT_EQ(std::string(text.data()), refused);
    EXPECT_EQ(getLastErrorText(2, text.data(), int(text.size()) - 1), 28);
    EXPECT_EQ(text[0], '\0');
}

// The capacity-checked copies after a complete 2D sweep (3 points of 20
// samples) and a generation I measurement (one row holding every value).
TEST_F(HostApi, CapacityCheckedCopies)
{
    start("gen2 pace=fast signal=dc; gen1 pace=fast signal=dc");
    ASSERT_EQ(setSweepProperties(1, 2, 0, 1000), 0);
    ASSERT_EQ(run2DSweepMeasurement(1, 3, 8, 20, 3), 0);
    ASSERT_TRUE(waitComplete(1, 10000));
    int rows = 0, columns = 0;
    ASSERT_EQ(get2DResultSizes(1, 2, &rows, &columns), 0);
    ASSERT_EQ(rows, 3);
    ASSERT_EQ(columns, 20);

    std::vector<double> all(60);
    ASSERT_EQ(get2DResult(1, 2, all.data()), 0);
    for (int r = 0; r < 3; ++r) {
        const std::vector<double> values = row(1, 2, r);
        ASSERT_EQ(values.size(), 20u) << r;
        EXPECT_TRUE(std::equal(values.begin(), values.end(), all.begin() + r * 20)) << r;
    }
    double buffer[21];
    int count = -1;
    EXPECT_EQ(get2DResultRow(1, 2, -1, buffer, 21, &count), 26);
    EXPECT_EQ(get2DResultRow(1, 2, 3, buffer, 21, &count), 26);
    buffer[0] = 42.0;
    EXPECT_EQ(get2DResultRow(1, 2, 0, buffer, 19, &count), 28);
    EXPECT_EQ(count, 20);
    EXPECT_EQ(buffer[0], 42.0);
    // getResult's one-dimensional result is the first point.
    EXPECT_EQ(getResultChecked(1, 2, buffer, 19, &count), 28);
    EXPECT_EQ(buffer[0], 42.0);
    EXPECT_EQ(getResultChecked(1, 2, buffer, 20, &count), 0);
    EXPECT_EQ(count, 20);
    EXPECT_TRUE(std::equal(buffer, buffer + 20, all.begin()));
    // Capacity 0 asks for the count alone.
    count = -1;
    EXPECT_EQ(getResultChecked(1, 2, nullptr, 0, &count), 28);
    EXPECT_EQ(count, 20);
    // A channel without data: nothing to copy, no buffer needed; no row.
    ASSERT_EQ(runMeasurement(1, 1, 8, 5), 0);
    ASSERT_TRUE(waitComplete(1, 10000));
    EXPECT_EQ(getResultChecked(1, 2, nullptr, 0, &count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(get2DResultRow(1, 2, 0, nullptr, 0, &count), 26);

    // Generation I: get2DResultSizes gives the count as rows and 0 columns,
    // get2DResult copies that many values, and row 0 holds them all.
    ASSERT_EQ(runMeasurement(2, 3, 8, 250), 0);
    ASSERT_TRUE(waitComplete(2, 10000));
    ASSERT_EQ(get2DResultSizes(2, 1, &rows, &columns), 0);
    EXPECT_EQ(rows, 250);
    EXPECT_EQ(columns, 0);
    std::vector<double> guarded(251, 7.0);
    ASSERT_EQ(get2DResult(2, 1, guarded.data()), 0);
    EXPECT_EQ(guarded[250], 7.0);
    EXPECT_EQ(row(2, 1, 0), std::vector<double>(guarded.begin(), guarded.begin() + 250));
    EXPECT_EQ(get2DResultRow(2, 1, 1, guarded.data(), 251, &count), 26);
}

TEST_F(HostApi, ProgressCountsValuesOverChannelsAndPoints)
{
    start("gen2 pace=fast; gen1 pace=fast");
    int received = -1, expected = -1;
    ASSERT_EQ(getMeasurementProgress(1, &received, &expected), 0);
    EXPECT_EQ(received, 0);
    EXPECT_EQ(expected, 0);
    struct Case
    {
        const char *name;
        int device;
        std::function<int()> start;
        int values;
    };
    const Case cases[] = {
        {"measurement, two channels", 1, [] { return runMeasurement(1, 3, 8, 40); }, 80},
        {"1D sweep, one channel", 1, [] { return run1DSweepMeasurement(1, 2, 8, 30); }, 30},
        {"2D sweep, 4 points", 1, [] { return run2DSweepMeasurement(1, 3, 8, 10, 4); }, 80},
        {"generation I, no channel", 2, [] { return runMeasurement(2, 0, 8, 25); }, 0},
        {"generation I, two channels", 2, [] { return runMeasurement(2, 3, 8, 25); }, 50},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(c.start(), 0);
        ASSERT_TRUE(waitComplete(c.device, 10000));
        ASSERT_EQ(getMeasurementProgress(c.device, &received, &expected), 0);
        EXPECT_EQ(expected, c.values);
        EXPECT_EQ(received, c.values);
    }
    // A start refused for its arguments leaves the last measurement's figures.
    EXPECT_EQ(runMeasurement(2, 4, 8, 10), 21);
    ASSERT_EQ(getMeasurementProgress(2, &received, &expected), 0);
    EXPECT_EQ(received, 50);
    EXPECT_EQ(expected, 50);
}

// Real time: progress rises during an acquisition of about a second and
// reaches its expected value; a new start that supersedes it restarts the
// figures together.
TEST_F(HostApi, ProgressRisesDuringAnAcquisition)
{
    start("gen2 signal=dc");
    ASSERT_EQ(runMeasurement(1, 3, 6, 1000), 0);
    int received = 0, expected = 0, last = 0, partial = 0;
    bool complete = false;
    while (!complete) {
        ASSERT_EQ(waitForMeasurement(1, 50, &complete), 0);
        ASSERT_EQ(getMeasurementProgress(1, &received, &expected), 0);
        ASSERT_EQ(expected, 2000);
        ASSERT_GE(received, last);
        ASSERT_LE(received, expected);
        if (received > 0 && received < expected)
            ++partial;
        last = received;
    }
    EXPECT_EQ(received, 2000);
    EXPECT_GE(partial, 5);

    ASSERT_EQ(runMeasurement(1, 3, 6, 1000), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(runMeasurement(1, 1, 3, 100), 0);
    ASSERT_EQ(getMeasurementProgress(1, &received, &expected), 0);
    EXPECT_EQ(expected, 100);
    EXPECT_LE(received, 100);
    ASSERT_TRUE(waitComplete(1, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(getMeasurementProgress(1, &received, &expected), 0);
    EXPECT_EQ(received, 100);
    EXPECT_EQ(expected, 100);
}

// The wait ends when the acquisition does, ends at its time-out while the
// instrument still measures, and lets other threads' calls through meanwhile.
TEST_F(HostApi, WaitEndsOnCompletionOrTimeOutWithoutBlockingOthers)
{
    start("gen2 signal=dc; gen1 signal=dc");
    bool complete = true;
    ASSERT_EQ(waitForMeasurement(2, 0, &complete), 0);
    EXPECT_TRUE(complete) << "nothing measured yet";

    // 600 samples at 1 ms.
    ASSERT_EQ(runMeasurement(1, 1, 6, 600), 0);
    auto begin = Clock::now();
    EXPECT_EQ(waitForMeasurement(1, 0, &complete), 0);
    EXPECT_FALSE(complete);
    EXPECT_EQ(waitForMeasurement(1, 150, &complete), 0);
    EXPECT_FALSE(complete);
    EXPECT_GE(msSince(begin), 150);

    std::atomic<bool> waiting{true};
    std::thread other([&] {
        double slowest = 0;
        int n = 0;
        while (waiting) {
            const auto call = Clock::now();
            EXPECT_EQ(getDeviceCount(&n), 0);
            slowest = std::max(slowest, msSince(call));
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_LT(slowest, 20);
    });
    EXPECT_EQ(waitForMeasurement(1, 10000, &complete), 0);
    const double waited = msSince(begin);
    waiting = false;
    other.join();
    EXPECT_TRUE(complete);
    EXPECT_GE(waited, 550);
    EXPECT_LT(waited, 2000);
    int count = 0;
    EXPECT_EQ(getResultChecked(1, 1, nullptr, 0, &count), 28);
    EXPECT_EQ(count, 600);
}

// closeLibrary or initialise on another thread ends a wait at once, with 5;
// the waiting thread uses nothing that was freed (checked under the
// sanitizers).
TEST_F(HostApi, ClosingTheLibraryEndsAWait)
{
    const std::function<int()> ends[] = {closeLibrary, initialise};
    for (const auto &end : ends) {
        start("gen2 signal=dc");
        ASSERT_EQ(runMeasurement(1, 1, 6, 5000), 0);
        Clock::time_point ended;
        int status = -1;
        std::thread waiter([&] {
            bool complete = false;
            status = waitForMeasurement(1, 20000, &complete);
            ended = Clock::now();
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(end(), 0);
        const Clock::time_point returned = Clock::now();
        waiter.join();
        EXPECT_EQ(status, 5);
        // The wait ended when the instrument was shut down, before the
        // close's own 200 ms pause was over.
        EXPECT_LT(ended, returned);
        closeLibrary();
    }
}

} // namespace
