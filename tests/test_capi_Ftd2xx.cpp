// The exported C interface on FTDI's D2XX library, the default provider, with
// a stand-in that carries virtual instruments (tests/fake_ftd2xx/FakeFtd2xxBus.cpp)
// where the library looks for FTDI's: on Windows FTD2XX.dll on the DLL search
// path, with the vendor's __stdcall functions; elsewhere libftd2xx.so, loaded
// first so that loading it by name finds it by its SONAME. Whole measurements
// run through the vendor calls.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "VeldrinLib.h"

#ifdef FAKE_FTD2XX_BUS_DIR
#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

void makeStandInReachable(const char *busDescription)
{
#if defined(_WIN32)
    _putenv_s("FAKE_FTD2XX_BUS", busDescription);
    ASSERT_TRUE(SetDllDirectoryA(FAKE_FTD2XX_BUS_DIR));
#else
    setenv("FAKE_FTD2XX_BUS", busDescription, 1);
    ASSERT_NE(dlopen(FAKE_FTD2XX_BUS_DIR "/libftd2xx.so", RTLD_NOW | RTLD_LOCAL), nullptr) << dlerror();
#endif
}

// Every value of the channel's result within 0.05 V of `volts`.
::testing::AssertionResult resultNear(int device, int channel, int expectedCount, double volts)
{
    std::vector<double> values(expectedCount + 1);
    int count = 0;
    const int status = getResultChecked(device, channel, values.data(), expectedCount + 1, &count);
    if (status != 0)
        return ::testing::AssertionFailure() << "getResultChecked: " << getStatusText(status);
    if (count != expectedCount)
        return ::testing::AssertionFailure() << count << " values";
    for (int i = 0; i < count; ++i)
        if (std::fabs(values[i] - volts) > 0.05)
            return ::testing::AssertionFailure() << "value " << i << " is " << values[i];
    return ::testing::AssertionSuccess();
}

TEST(CApiFtd2xx, MeasuresThroughTheVendorLibrary)
{
    makeStandInReachable("gen1 signal=dc; ftdi; gen2 signal=dc");
    ASSERT_EQ(useFtdiLibrary(), 0);
    ASSERT_EQ(initialise(), 0);
    int count = -1;
    ASSERT_EQ(getDeviceCount(&count), 0);
    ASSERT_EQ(count, 2);
    int first = 0, second = 0;
    ASSERT_EQ(getDeviceIndex("SYAH00401xxxx", &first), 0);
    ASSERT_EQ(getDeviceIndex("SYBH00801xxxx", &second), 0);
    int version = 0;
    ASSERT_EQ(getFirmwareVersion(second, &version), 0);
    EXPECT_GT(version, 0);

    // Both generations at once, in their real time.
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(runMeasurement(first, 3, 6, 300), 0);
    ASSERT_EQ(runMeasurement(second, 3, 6, 2000), 0);
    VeldrinBool complete = false;
    ASSERT_EQ(waitForMeasurement(first, 20000, &complete), 0);
    ASSERT_TRUE(complete);
    ASSERT_EQ(waitForMeasurement(second, 20000, &complete), 0);
    ASSERT_TRUE(complete);
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started);
    EXPECT_TRUE(resultNear(first, 1, 300, 1.25));
    EXPECT_TRUE(resultNear(first, 2, 300, -0.75));
    EXPECT_TRUE(resultNear(second, 1, 2000, 1.25));
    EXPECT_TRUE(resultNear(second, 2, 2000, -0.75));
    std::printf("through the D2XX stand-in: 2 x 300 and 2 x 2000 values in %lld ms\n",
                static_cast<long long>(elapsed.count()));

    // A second measurement on the open instrument, then a clean shutdown.
    ASSERT_EQ(runMeasurement(second, 1, 6, 500), 0);
    ASSERT_EQ(waitForMeasurement(second, 20000, &complete), 0);
    EXPECT_TRUE(resultNear(second, 1, 500, 1.25));
    EXPECT_EQ(closeLibrary(), 0);
}

} // namespace
#endif
