// Programming an instrument's identity into its bridge chip's EEPROM through
// libftdi1 + libusb: the image libftdi builds reaches the virtual chip word by
// word, with a checksum the chip's own reading accepts, and after a plug cycle
// the chip enumerates with the new strings, on a UART chip and an FT232H.
#include <gtest/gtest.h>

#include "FtdiBackend.h"
#include "USBDevice.h"
#include "USBDriver.h"
#include "VirtualUsbTestbed.h"

namespace {

std::shared_ptr<USBDevice> find(const QString &serialNumber)
{
    USBDriver driver;
    for (const auto &device : driver.devices(false))
        if (device->serialNumber() == serialNumber)
            return device;
    return nullptr;
}

TEST(UsbKernelEeprom, ProgrammedIdentityShowsAfterAPlugCycle)
{
    ASSERT_TRUE(VirtualUsbTestbed::inMockEnvironment());
    VirtualUsbTestbed testbed("gen1; gen2");
    ASSERT_TRUE(testbed.isValid()) << testbed.errorText().toStdString();
    FtdiBackend::useLibFtdi();
    const struct
    {
        int device;
        const char *before, *after;
    } cases[] = {{0, "SYAH004010001", "SYAH004010077"}, {1, "SYBH008010001", "SYBH008010078"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.before);
        const std::shared_ptr<USBDevice> device = find(c.before);
        ASSERT_TRUE(device);
        USBDeviceIdentity identity;
        identity.serialNumber = c.after;
        identity.description = QStringLiteral("Relabelled");
        const USBResult result = device->programIdentity(identity);
        ASSERT_TRUE(result.isSuccess()) << result.toString().toStdString();
        EXPECT_EQ(testbed.chip(c.device).serialNumber(), c.after);
        // What the chip reports stays until it powers up again.
        EXPECT_TRUE(find(c.before));
        testbed.unplug(c.device);
        testbed.plugIn(c.device);
        const std::shared_ptr<USBDevice> relabelled = find(c.after);
        ASSERT_TRUE(relabelled);
        EXPECT_EQ(relabelled->description(), QStringLiteral("Relabelled"));
    }
    FtdiBackend::useFtdiLibrary();
}

} // namespace

int main(int argc, char **argv)
{
    VirtualUsbTestbed::restartPreloaded(argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
