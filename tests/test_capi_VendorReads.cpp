// Vendor libraries that hand over more than a read asked for, through the
// public C header: on chips with the simulated overlong reads (D2XX's, and
// the harsh form on every read), at both paces, instruments of both
// generations open, measure and sweep, and every value equals the value the
// same bus gives without the fault.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "VeldrinLib.h"

namespace {

using Values = std::vector<double>;

void waitComplete(int device)
{
    bool complete = false;
    ASSERT_EQ(waitForMeasurement(device, 20000, &complete), 0) << device;
    ASSERT_TRUE(complete) << device;
}

void appendResult(int device, int channel, std::vector<Values> &out)
{
    int count = 0;
    getResultChecked(device, channel, nullptr, 0, &count);
    Values values(static_cast<size_t>(count));
    ASSERT_EQ(getResultChecked(device, channel, values.data(), count, &count), 0);
    out.push_back(values);
}

// Device 1 generation I, device 2 generation II: a measurement on each, then
// a 2D sweep on the second; every channel's values (sweep rows one by one).
std::vector<Values> measureAll(const std::string &bus)
{
    std::vector<Values> out;
    EXPECT_EQ(useSimulatedBus(bus.c_str()), 0) << bus;
    EXPECT_EQ(initialise(), 0);
    int opened = 0;
    EXPECT_EQ(openDevices(&opened), 0);
    EXPECT_EQ(opened, 2) << bus;
    EXPECT_EQ(runMeasurement(1, 3, 5, 600), 0);
    EXPECT_EQ(runMeasurement(2, 3, 3, 600), 0);
    for (int device = 1; device <= 2; ++device) {
        waitComplete(device);
        for (int channel = 1; channel <= 2; ++channel)
            appendResult(device, channel, out);
    }
    EXPECT_EQ(setSweepProperties(2, 1, 0, 2000), 0);
    EXPECT_EQ(setSweepProperties(2, 2, 0, 1000), 0);
    EXPECT_EQ(run2DSweepMeasurement(2, 3, 3, 150, 6), 0);
    waitComplete(2);
    for (int channel = 1; channel <= 2; ++channel) {
        for (int row = 0; row < 6; ++row) {
            int count = 0;
            get2DResultRow(2, channel, row, nullptr, 0, &count);
            Values values(static_cast<size_t>(count));
            EXPECT_EQ(get2DResultRow(2, channel, row, values.data(), count, &count), 0);
            out.push_back(values);
        }
    }
    closeLibrary();
    return out;
}

TEST(VendorReads, OverlongReadsGiveEveryValueAtBothPaces)
{
    for (const char *pace : {"fast", "real"}) {
        const std::string settings = std::string(" signal=loopback pace=") + pace;
        const std::string plain = "gen1" + settings + "; gen2" + settings;
        const std::vector<Values> expected = measureAll(plain);
        ASSERT_EQ(expected.size(), 4u + 12u);
        for (const Values &values : expected)
            ASSERT_FALSE(values.empty());
        for (const char *fault : {"overlong-read", "overlong-every-read"}) {
            SCOPED_TRACE(std::string(fault) + " at pace " + pace);
            const std::string withFault = std::string(" fault=") + fault + settings;
            EXPECT_EQ(measureAll("gen1" + withFault + "; gen2" + withFault), expected);
        }
    }
}

} // namespace
