// What a value means, through the public C header on the simulated bus: the
// spike filter and its switch, and the calibration state an instrument reports.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "VeldrinLib.h"

namespace {

class MeasurementModel : public ::testing::Test
{
protected:
    void TearDown() override { closeLibrary(); }

    static void start(const char *description)
    {
        ASSERT_EQ(useSimulatedBus(description), 0) << description;
        ASSERT_EQ(initialise(), 0);
    }

    // Channel 1 of a finished measurement started by `run`.
    template <typename Run>
    static std::vector<double> measure(int device, Run run)
    {
        EXPECT_EQ(run(), 0);
        bool complete = false;
        EXPECT_EQ(waitForMeasurement(device, 10000, &complete), 0);
        EXPECT_TRUE(complete);
        int count = 0;
        getResultChecked(device, 1, nullptr, 0, &count);
        std::vector<double> values(static_cast<size_t>(count));
        EXPECT_EQ(getResultChecked(device, 1, values.data(), count, &count), 0);
        return values;
    }
};

// The 50 Hz, 1 V sine sampled every 1 ms: the median clips its peaks, and
// with the filter off the samples show the sine as converted. The setting
// outlives a measurement and can be switched back.
TEST_F(MeasurementModel, SpikeFilterSwitchShowsTheSineAsConverted)
{
    start("gen2 signal=sine pace=fast");
    auto sine = [] { return measure(1, [] { return runMeasurement(1, 1, 6, 200); }); };
    auto peak = [](const std::vector<double> &v) { return *std::max_element(v.begin(), v.end()); };

    const double filtered = peak(sine());
    EXPECT_NEAR(filtered, 0.951, 0.01);

    ASSERT_EQ(setSpikeFilter(1, false), 0);
    const std::vector<double> raw = sine();
    EXPECT_NEAR(peak(raw), 1.0, 0.01);
    // Unfiltered, the first samples follow the sine from its start (0, sin 18
    // degrees, sin 36 degrees); the median would hold the first value.
    ASSERT_GE(raw.size(), 3u);
    EXPECT_NEAR(raw[1], 0.309, 0.01);
    EXPECT_NEAR(raw[2], 0.588, 0.01);
    EXPECT_NEAR(peak(sine()), 1.0, 0.01);

    ASSERT_EQ(setSpikeFilter(1, true), 0);
    EXPECT_NEAR(peak(sine()), filtered, 1e-9);
}

// A 1D sweep of 0..900 mV over ten samples: with the filter the ramp starts
// late and ends two samples behind; without it, the ramp itself.
TEST_F(MeasurementModel, SpikeFilterLagOnASweep)
{
    start("gen2 pace=fast");
    ASSERT_EQ(setSweepProperties(1, 1, 0, 900), 0);
    auto sweep = [] { return measure(1, [] { return run1DSweepMeasurement(1, 1, 6, 10); }); };
    const std::vector<double> filtered = sweep();
    ASSERT_EQ(setSpikeFilter(1, false), 0);
    const std::vector<double> raw = sweep();
    ASSERT_EQ(filtered.size(), 10u);
    ASSERT_EQ(raw.size(), 10u);
    const double medians[10] = {0, 0, 0.1, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7};
    for (size_t k = 0; k < 10; ++k) {
        EXPECT_NEAR(raw[k], 0.1 * double(k), 0.005) << k;
        EXPECT_NEAR(filtered[k], medians[k], 0.005) << k;
    }
}

TEST_F(MeasurementModel, CalibrationStateAndArguments)
{
    start("gen2 signal=dc pace=fast; gen2 signal=dc fault=no-calibration pace=fast; "
          "gen1 fault=no-calibration pace=fast");
    const struct { int device; int state; double volts; } cases[] = {
        {1, VELDRIN_CALIBRATION_STORED, 1.25},
        {2, VELDRIN_CALIBRATION_DEFAULTS, 1.2703},
        {3, VELDRIN_CALIBRATION_DEFAULTS, -1},
    };
    for (const auto &c : cases) {
        int state = -1;
        ASSERT_EQ(getCalibrationState(c.device, &state), 0) << c.device;
        EXPECT_EQ(state, c.state) << c.device;
        if (c.volts > 0) {
            const std::vector<double> v =
                measure(c.device, [&] { return runMeasurement(c.device, 1, 6, 20); });
            ASSERT_FALSE(v.empty());
            EXPECT_NEAR(v.back(), c.volts, 0.0005) << c.device;
        }
    }
    int state = -1;
    EXPECT_EQ(getCalibrationState(1, nullptr), VELDRIN_INVALID_ARGUMENT);
    EXPECT_EQ(getCalibrationState(4, &state), VELDRIN_BAD_DEVICE_INDEX);
    EXPECT_EQ(setSpikeFilter(4, false), VELDRIN_BAD_DEVICE_INDEX);
    closeLibrary();
    EXPECT_EQ(getCalibrationState(1, &state), VELDRIN_NOT_INITIALISED);
    EXPECT_EQ(state, -1);
}

} // namespace
