// The exported C interface on the libftdi1 provider: a stand-in libftdi1 with
// virtual instruments behind it is loaded first, so that loading libftdi1 by
// its standard name finds it (the dynamic loader matches an already loaded
// library by its SONAME, libftdi1.so.2), and whole measurements run through
// libftdi's calls.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <vector>

#include "VeldrinLib.h"

// Before any stand-in is loaded: libftdi1 is not installed here (or, where it
// is, it finds no FTDI device), so nothing is listed.
TEST(CApiLibFtdi, WithoutLibftdiNothingIsFound)
{
    ASSERT_EQ(useLibFtdi(), 0);
    ASSERT_EQ(initialise(), 0);
    int count = -1;
    EXPECT_EQ(getDeviceCount(&count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(closeLibrary(), 0);
}

#ifdef FAKE_LIBFTDI1_PATH
#include <dlfcn.h>

namespace {

bool waitUntilComplete(int device)
{
    bool complete = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!complete && std::chrono::steady_clock::now() < deadline)
        if (isMeasurementComplete(device, &complete) != 0)
            return false;
    return complete;
}

// Every value of the channel's result within `tolerance` of `volts`.
::testing::AssertionResult resultNear(int device, int channel, int expectedCount, double volts,
                                      double tolerance)
{
    int count = 0;
    std::vector<double> values(100000);
    const int status = getResult(device, channel, &count, values.data());
    if (status != 0)
        return ::testing::AssertionFailure() << "getResult: " << getStatusText(status);
    if (count != expectedCount)
        return ::testing::AssertionFailure() << count << " values";
    for (int i = 0; i < count; ++i)
        if (std::fabs(values[i] - volts) > tolerance)
            return ::testing::AssertionFailure() << "value " << i << " is " << values[i];
    return ::testing::AssertionSuccess();
}

TEST(CApiLibFtdi, MeasuresThroughLibftdi)
{
    void *fake = dlopen(FAKE_LIBFTDI1_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(fake, nullptr) << dlerror();
    void *symbol = dlsym(fake, "fakeLibftdi1UseDescription");
    ASSERT_NE(symbol, nullptr);
    int (*useDescription)(const char *) = nullptr;
    std::memcpy(&useDescription, &symbol, sizeof symbol);
    ASSERT_EQ(useDescription("gen1 signal=dc; ftdi; gen2 signal=dc"), 0);

    ASSERT_EQ(useLibFtdi(), 0);
    ASSERT_EQ(initialise(), 0);
    int count = -1;
    ASSERT_EQ(getDeviceCount(&count), 0);
    ASSERT_EQ(count, 2);
    int first = 0, second = 0;
    ASSERT_EQ(getDeviceIndex("SYAH00401xxxx", &first), 0);
    ASSERT_EQ(getDeviceIndex("SYBH00801xxxx", &second), 0);

    // Generation I over a UART chip, generation II over an FT232H in
    // synchronous FIFO mode, both at once.
    ASSERT_EQ(runMeasurement(first, 3, 6, 300), 0);
    ASSERT_EQ(runMeasurement(second, 3, 6, 2000), 0);
    ASSERT_TRUE(waitUntilComplete(first));
    ASSERT_TRUE(waitUntilComplete(second));
    EXPECT_TRUE(resultNear(first, 1, 300, 1.25, 0.05));
    EXPECT_TRUE(resultNear(first, 2, 300, -0.75, 0.05));
    EXPECT_TRUE(resultNear(second, 1, 2000, 1.25, 0.05));
    EXPECT_TRUE(resultNear(second, 2, 2000, -0.75, 0.05));

    // A second measurement on the same open instrument.
    ASSERT_EQ(runMeasurement(second, 1, 6, 500), 0);
    ASSERT_TRUE(waitUntilComplete(second));
    EXPECT_TRUE(resultNear(second, 1, 500, 1.25, 0.05));
    EXPECT_EQ(closeLibrary(), 0);

    // Back to FTDI's library (absent here): nothing is found.
    ASSERT_EQ(useFtdiLibrary(), 0);
    ASSERT_EQ(initialise(), 0);
    EXPECT_EQ(getDeviceCount(&count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(closeLibrary(), 0);
    dlclose(fake);
}

} // namespace
#endif
