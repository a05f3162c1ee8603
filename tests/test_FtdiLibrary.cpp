#include <gtest/gtest.h>

#include "FtdiBackend.h"
#include "FtdiLibrary.h"
#include "USBDriver.h"

using namespace Ftdi;

// This machine has no FTDI library: loading fails, and every call fails
// without touching memory it was not given.
TEST(FtdiLibrary, AbsentLibraryMeansNoDevices)
{
    FtdiLibrary library;
    EXPECT_FALSE(library.isLoaded());

    std::uint32_t count = 7;
    EXPECT_NE(library.createDeviceInfoList(&count), Ok);
    EXPECT_EQ(count, 0u);
    Handle handle = reinterpret_cast<Handle>(0x10);
    EXPECT_EQ(library.open(0, &handle), DeviceNotFound);
    EXPECT_EQ(handle, nullptr);
    char byte = 0;
    std::uint32_t got = 5;
    EXPECT_EQ(library.read(nullptr, &byte, 1, &got), InvalidHandle);
    EXPECT_EQ(got, 0u);

    // The default provider is this library: enumeration is simply empty.
    FtdiBackend::useFtdiLibrary();
    EXPECT_TRUE(USBDriver().devices(false).isEmpty());
}

#ifdef __linux__
// A library that loads but lacks the vendor functions is not used.
TEST(FtdiLibrary, LibraryWithoutTheFunctionsIsNotLoaded)
{
    FtdiLibrary library(QStringLiteral("libm.so.6"));
    EXPECT_FALSE(library.isLoaded());
    std::uint32_t count = 3;
    EXPECT_NE(library.createDeviceInfoList(&count), Ok);
    EXPECT_EQ(count, 0u);
}
#endif

#ifdef FAKE_FTD2XX_PATH
#include <dlfcn.h>

#include "USBFtdiDevice.h"

// Through a stand-in library with the vendor's exported names, every call of
// the device reaches the function of that name with its arguments intact.
TEST(FtdiLibrary, ResolvesEachFunctionByNameAndPassesItsArguments)
{
    auto library = std::make_shared<FtdiLibrary>(QStringLiteral(FAKE_FTD2XX_PATH));
    ASSERT_TRUE(library->isLoaded());
    void *module = dlopen(FAKE_FTD2XX_PATH, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(module, nullptr);
    auto log = reinterpret_cast<const char *(*)()>(dlsym(module, "fakeFtd2xxLog"));
    ASSERT_NE(log, nullptr);

    FtdiBackend::setCurrent(library);
    const auto devices = USBDriver().devices(true);
    FtdiBackend::useFtdiLibrary();
    ASSERT_EQ(devices.size(), 1);
    const auto device = devices[0];
    EXPECT_EQ(device->index(), 1);
    EXPECT_EQ(device->serialNumber(), "SYAH004010001");
    EXPECT_EQ(device->description(), "Fake 1");
    EXPECT_EQ(device->usbId(), 0x04036002u);

    ASSERT_TRUE(device->open(500000).isSuccess());
    EXPECT_EQ(device->write("hi"), 2);
    EXPECT_EQ(device->read(3), "rrr");
    EXPECT_EQ(device->bytesAvailable(), 17);
    const USBDeviceStatus status = device->status();
    EXPECT_EQ(status.rxQueueBytes, 3u);
    EXPECT_EQ(status.txQueueBytes, 4u);
    EXPECT_EQ(device->setStreamTimeouts(), 0u);
    device->close();
    USBDeviceIdentity identity;
    identity.serialNumber = QStringLiteral("SYAH004010077");
    EXPECT_TRUE(device->programIdentity(identity).isSuccess());

    Handle handle = reinterpret_cast<Handle>(0x4242);
    EepromXSeries record = {};
    record.common.deviceType = DeviceXSeries;
    char texts[4][TextBufferSize] = {};
    EXPECT_EQ(library->eepromRead(handle, &record, sizeof record, texts[0], texts[1], texts[2], texts[3]), Ok);
    EXPECT_STREQ(texts[3], "SYAH004010001");
    EXPECT_EQ(library->eepromProgram(handle, &record, sizeof record, texts[0], texts[1], texts[2], texts[3]), Ok);
    EXPECT_EQ(library->setBitMode(handle, 0xFF, 0x40), Ok);

    EXPECT_STREQ(log(),
                 "FT_CreateDeviceInfoList\n"
                 "FT_GetDeviceInfoList\n"
                 "FT_Open 1\n"
                 "FT_GetDeviceInfo 0x4242 (nil)\n"
                 "FT_EE_Read 0x4242 2 ffffffff\n"
                 "FT_SetBaudRate 0x4242 500000\n"
                 "FT_SetFlowControl 0x4242 0 0 0\n"
                 "FT_SetDataCharacteristics 0x4242 8 0 2\n"
                 "FT_SetLatencyTimer 0x4242 2\n"
                 "FT_SetUSBParameters 0x4242 8192 256\n"
                 "FT_Purge 0x4242 3\n"
                 "FT_Write 0x4242 hi\n"
                 "FT_Read 0x4242 3\n"
                 "FT_GetQueueStatus 0x4242\n"
                 "FT_GetStatus 0x4242\n"
                 "FT_SetTimeouts 0x4242 50 1000\n"
                 "FT_Close 0x4242\n"
                 "FT_Open 1\n"
                 "FT_GetDeviceInfo 0x4242 (nil)\n"
                 "FT_EE_Read 0x4242 2 ffffffff\n"
                 "FT_EE_Program 0x4242 2 SYAH004010077\n"
                 "FT_CyclePort 0x4242\n"
                 "FT_Close 0x4242\n"
                 "FT_EEPROM_Read 0x4242 9 56\n"
                 "FT_EEPROM_Program 0x4242 9 56 Fake SYAH004010001\n"
                 "FT_SetBitMode 0x4242 255 64\n");
    dlclose(module);
}
#endif
