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
