// The exported C interface through the real USB stacks (libftdi1 + libusb, and
// FTDI's D2XX where it is found, see loadD2xx) on virtual FTDI chips at the
// kernel's USB interface: the same checks as on the simulated bus, with every
// byte passing through the vendor stack, usbdevfs requests and the chip's USB
// framing. One testbed serves the whole program (the vendor stacks keep their
// USB contexts for the life of the process).
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <thread>
#include <vector>

#include "UsbKernelStacks.h"
#include "VeldrinLib.h"
#include "VirtualUsbTestbed.h"

namespace {

using Clock = std::chrono::steady_clock;

// Generation I behind an FT232R (UART), generation II behind an FT232H
// (synchronous FIFO), a plain FTDI chip between them, all in real time.
const char *const Bus = "gen1 signal=dc; ftdi; gen2 signal=dc";
VirtualUsbTestbed *testbed = nullptr;

using UsbKernelStacks::Stack;

class UsbKernel : public ::testing::TestWithParam<Stack>
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(VirtualUsbTestbed::inMockEnvironment()) << "run with umockdev's preload library";
        ASSERT_TRUE(testbed && testbed->isValid()) << (testbed ? testbed->errorText().toStdString() : "");
        std::string why;
        if (!UsbKernelStacks::select(GetParam(), &why)) {
            ASSERT_FALSE(why.empty()) << "the provider was not selected";
            GTEST_SKIP() << why;
        }
        ASSERT_EQ(initialise(), 0);
        ASSERT_EQ(getDeviceIndex("SYAH00401xxxx", &first), 0);
        ASSERT_EQ(getDeviceIndex("SYBH00801xxxx", &second), 0);
    }
    void TearDown() override { closeLibrary(); }

    int first = 0, second = 0;
};

bool waitUntilComplete(int device, int timeoutMs = 20000)
{
    VeldrinBool complete = false;
    return waitForMeasurement(device, timeoutMs, &complete) == 0 && complete;
}

// Every value of the channel's result within `tolerance` of `volts`.
::testing::AssertionResult resultNear(int device, int channel, int expectedCount, double volts,
                                      double tolerance = 0.05)
{
    int count = 0;
    std::vector<double> values(100000);
    const int status = getResult(device, channel, &count, values.data());
    if (status != 0)
        return ::testing::AssertionFailure() << "getResult: " << getStatusText(status);
    if (count != expectedCount)
        return ::testing::AssertionFailure() << count << " values, not " << expectedCount;
    for (int i = 0; i < count; ++i)
        if (std::fabs(values[i] - volts) > tolerance)
            return ::testing::AssertionFailure() << "value " << i << " is " << values[i];
    return ::testing::AssertionSuccess();
}

TEST_P(UsbKernel, ListsTheInstrumentsWithTheirIdentity)
{
    int count = 0;
    ASSERT_EQ(getDeviceCount(&count), 0);
    EXPECT_EQ(count, 2);
    char serial[32] = {};
    ASSERT_EQ(getDeviceSerialNumber(first, serial, sizeof serial), 0);
    EXPECT_STREQ(serial, "SYAH004010001");
    int generation = 0, firmware = 0;
    ASSERT_EQ(getDeviceGeneration(second, &generation), 0);
    EXPECT_EQ(generation, 2);
    ASSERT_EQ(getFirmwareVersion(second, &firmware), 0);
    EXPECT_EQ(firmware, 3);
}

// Both opening sequences (a UART chip, an FT232H in synchronous FIFO mode),
// the setters, and a measurement on each generation at once.
TEST_P(UsbKernel, OpensSetsAndMeasuresOnBothGenerations)
{
    EXPECT_EQ(setDACAmplitude(first, 1, 1500), 0);
    EXPECT_EQ(setPWM(first, 1, 30), 0);
    EXPECT_EQ(setDACOffset(second, 2, 200), 0);
    EXPECT_EQ(setPWMFrequency(second, 1000), 0);
    // 2000 samples take 2 s; a host stalled behind the USB reads (a writer
    // starved of the device while a read waits for the latency timer, or
    // waiting out a write time-out) takes seconds longer. The sanitizers slow
    // every layer several times over.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    const auto bound = std::chrono::milliseconds(5000);
#else
    const auto bound = std::chrono::milliseconds(3000);
#endif
    const auto start = Clock::now();
    ASSERT_EQ(runMeasurement(first, 3, 6, 300), 0);
    ASSERT_EQ(runMeasurement(second, 3, 6, 2000), 0);
    ASSERT_TRUE(waitUntilComplete(first));
    ASSERT_TRUE(waitUntilComplete(second));
    EXPECT_LT(Clock::now() - start, bound);
    EXPECT_TRUE(resultNear(first, 1, 300, 1.25));
    EXPECT_TRUE(resultNear(first, 2, 300, -0.75));
    EXPECT_TRUE(resultNear(second, 1, 2000, 1.25));
    EXPECT_TRUE(resultNear(second, 2, 2000, -0.75));
    char text[256] = {};
    EXPECT_EQ(getLastErrorText(second, text, sizeof text), 0);
}

// A 1D sweep, then a 2D sweep interrupted by a new start, which runs whole.
TEST_P(UsbKernel, SweepsAndANewStartDuringASweep)
{
    ASSERT_EQ(setSweepProperties(second, 1, 0, 1000), 0);
    ASSERT_EQ(run1DSweepMeasurement(second, 1, 6, 200), 0);
    ASSERT_TRUE(waitUntilComplete(second));
    int count = 0;
    std::vector<double> values(1000);
    ASSERT_EQ(getResult(second, 1, &count, values.data()), 0);
    EXPECT_EQ(count, 200);

    ASSERT_EQ(setSweepProperties(second, 2, 0, 1000), 0);
    ASSERT_EQ(run2DSweepMeasurement(second, 3, 6, 100, 4), 0);
    ASSERT_TRUE(waitUntilComplete(second));
    int rows = 0, columns = 0;
    ASSERT_EQ(get2DResultSizes(second, 1, &rows, &columns), 0);
    EXPECT_EQ(rows, 4);
    EXPECT_EQ(columns, 100);

    ASSERT_EQ(run2DSweepMeasurement(second, 1, 6, 1000, 10), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    ASSERT_EQ(runMeasurement(second, 1, 6, 500), 0);
    ASSERT_TRUE(waitUntilComplete(second));
    EXPECT_TRUE(resultNear(second, 1, 500, 1.25));
}

// Unplugged while measuring: 27 within the simulated bus's bound, the other
// instrument unharmed, and found again after plugging back in.
TEST_P(UsbKernel, UnplugDuringAMeasurement)
{
    // 10 s: still running at the unplug however slowly a loaded machine (and
    // a sanitizer) gets the other instrument started.
    ASSERT_EQ(runMeasurement(first, 3, 8, 2000), 0);
    ASSERT_EQ(runMeasurement(second, 1, 6, 1000), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    testbed->unplug(0);
    const auto start = Clock::now();
    VeldrinBool complete = false;
    int status = 0;
    while ((status = isMeasurementComplete(first, &complete)) == 0 && !complete
           && Clock::now() - start < std::chrono::seconds(2))
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const auto elapsedMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_EQ(status, 27);
    EXPECT_LE(elapsedMs, 100);

    ASSERT_TRUE(waitUntilComplete(second));
    EXPECT_TRUE(resultNear(second, 1, 1000, 1.25));

    testbed->plugIn(0);
    ASSERT_EQ(closeLibrary(), 0);
    ASSERT_EQ(initialise(), 0);
    int device = 0;
    ASSERT_EQ(getDeviceIndex("SYAH00401xxxx", &device), 0);
    ASSERT_EQ(runMeasurement(device, 1, 6, 100), 0);
    ASSERT_TRUE(waitUntilComplete(device));
    EXPECT_TRUE(resultNear(device, 1, 100, 1.25));
}

INSTANTIATE_TEST_SUITE_P(Stacks, UsbKernel, ::testing::Values(Stack::LibFtdi, Stack::D2xx),
                         [](const ::testing::TestParamInfo<Stack> &info) {
                             return UsbKernelStacks::name(info.param);
                         });

} // namespace

int main(int argc, char **argv)
{
    // Run by hand, the program starts itself again with the preload it needs.
    VirtualUsbTestbed::restartPreloaded(argv);
    ::testing::InitGoogleTest(&argc, argv);
    auto bed = std::make_unique<VirtualUsbTestbed>(Bus);
    testbed = bed.get();
    const int result = RUN_ALL_TESTS();
    testbed = nullptr;
    return result;
}
