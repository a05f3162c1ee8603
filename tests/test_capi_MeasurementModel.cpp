// What a value means, through the public C header on the simulated bus: the
// spike filter and its switch, and the calibration state an instrument reports.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
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
// with the filter off the samples show the sine as converted, on both
// generations. The setting outlives a measurement and can be switched back.
TEST_F(MeasurementModel, SpikeFilterSwitchShowsTheSineAsConverted)
{
    for (const char *bus : {"gen2 signal=sine pace=fast", "gen1 signal=sine pace=fast"}) {
        SCOPED_TRACE(bus);
        start(bus);
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
        closeLibrary();
    }
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

// A refused argument is named with its accepted range in the last error
// text, by generation, until the next setter or start.
TEST_F(MeasurementModel, RefusedArgumentsNameTheirRange)
{
    start("gen1 pace=fast; gen2 pace=fast");
    auto lastError = [](int device) {
        char text[256] = "unchanged";
        EXPECT_EQ(getLastErrorText(device, text, sizeof text), 0);
        return std::string(text);
    };
    const struct { int status; int device; int (*call)(); const char *text; } cases[] = {
        {22, 2, [] { return run1DSweepMeasurement(2, 1, 2, 100); }, "period code 2 is below the sweeps' minimum 3"},
        {22, 2, [] { return run2DSweepMeasurement(2, 1, 2, 100, 3); }, "period code 2 is below the sweeps' minimum 3"},
        {22, 1, [] { return runMeasurement(1, 1, 4, 100); }, "period code 4 is below generation I's minimum 5"},
        {23, 2, [] { return run2DSweepMeasurement(2, 1, 6, 10, 1); },
         "sweep point count 1 is below the sweeps' minimum 2"},
        {21, 2, [] { return runMeasurement(2, 4, 6, 10); }, "channel mask 4 is above the maximum 3"},
        {18, 1, [] { return setDACOffset(1, 1, 5100); }, "DAC offset (mV) 5100 is above generation I's maximum 5000"},
        {18, 2, [] { return setDACOffset(2, 1, -4600); }, "DAC offset (mV) -4600 is below generation II's minimum -4500"},
        {16, 1, [] { return setDACFrequency(1, 2, 50); }, "DAC channel 2 is above generation I's maximum 1"},
        {24, 1, [] { return setADCProperties(1, 1, 1, 0); }, "ADC range 1 is neither of generation I's values 2 and 3"},
        {10, 1, [] { return setPWMFrequency(1, 1000); }, "setPWMFrequency is not supported by generation I instruments"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.call(), c.status) << c.text;
        EXPECT_EQ(lastError(c.device), c.text);
    }
    ASSERT_EQ(setDACOffset(2, 1, 100), 0);
    EXPECT_EQ(lastError(2), "");
}

} // namespace
