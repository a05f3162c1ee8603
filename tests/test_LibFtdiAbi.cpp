// The libftdi1 and libusb-1.0 declarations the provider makes for itself,
// checked against the libraries' own headers where they are installed
// (Debian: libftdi1-dev, libusb-1.0-0-dev). The build never needs them.
#include <gtest/gtest.h>

#include "LibFtdiTypes.h"

#if __has_include(<libftdi1/ftdi.h>) && __has_include(<libusb-1.0/libusb.h>)
#include <libftdi1/ftdi.h>
#include <libusb-1.0/libusb.h>

#define VELDRIN_HAVE_LIBFTDI_HEADERS 1

namespace {

using namespace LibFtdi;

static_assert(offsetof(ftdi_context, usb_ctx) == offsetof(ContextHead, usbContext), "ftdi_context");
static_assert(offsetof(ftdi_context, usb_dev) == offsetof(ContextHead, usbDeviceHandle), "ftdi_context");
static_assert(offsetof(ftdi_context, usb_read_timeout) == offsetof(ContextHead, usbReadTimeout), "ftdi_context");
static_assert(offsetof(ftdi_context, usb_write_timeout) == offsetof(ContextHead, usbWriteTimeout), "ftdi_context");
static_assert(offsetof(ftdi_context, type) == offsetof(ContextHead, chipType), "ftdi_context");
static_assert(offsetof(ftdi_context, readbuffer) == offsetof(ContextHead, readBuffer), "ftdi_context");
static_assert(offsetof(ftdi_context, max_packet_size) == offsetof(ContextHead, maxPacketSize), "ftdi_context");
static_assert(sizeof(ftdi_device_list) == sizeof(DeviceList), "ftdi_device_list");
static_assert(offsetof(ftdi_device_list, dev) == offsetof(DeviceList, device), "ftdi_device_list");
static_assert(sizeof(libusb_device_descriptor) == sizeof(DeviceDescriptor), "libusb_device_descriptor");
static_assert(offsetof(libusb_device_descriptor, idVendor) == offsetof(DeviceDescriptor, idVendor), "descriptor");
static_assert(offsetof(libusb_device_descriptor, bcdDevice) == offsetof(DeviceDescriptor, bcdDevice), "descriptor");
static_assert(offsetof(libusb_device_descriptor, iSerialNumber) == offsetof(DeviceDescriptor, iSerialNumber), "descriptor");

static_assert(int(::VENDOR_ID) == VendorId && int(::PRODUCT_ID) == ProductId && int(::SELF_POWERED) == SelfPowered
                  && int(::REMOTE_WAKEUP) == RemoteWakeup && int(::IS_NOT_PNP) == IsNotPnp
                  && int(::SUSPEND_PULL_DOWNS) == SuspendPullDowns && int(::USE_SERIAL) == UseSerial
                  && int(::MAX_POWER) == MaxPower && int(::CHANNEL_A_TYPE) == ChannelAType
                  && int(::CHANNEL_A_DRIVER) == ChannelADriver,
              "EEPROM value names");
static_assert(CHANNEL_IS_UART == ChannelIsUart && CHANNEL_IS_FIFO == ChannelIsFifo && CHANNEL_IS_OPTO == ChannelIsOpto
                  && CHANNEL_IS_CPU == ChannelIsCpu && CHANNEL_IS_FT1284 == ChannelIsFt1284 && DRIVER_VCP == DriverVcp,
              "channel types and driver");
static_assert(int(LIBUSB_ERROR_NO_DEVICE) == UsbErrorNoDevice
                  && int(LIBUSB_ERROR_NOT_FOUND) == UsbErrorNotFound && int(LIBUSB_ERROR_TIMEOUT) == UsbErrorTimeout
                  && int(LIBUSB_ERROR_INTERRUPTED) == UsbErrorInterrupted,
              "libusb errors");
// Values passed on unchanged as the D2XX numbers them.
static_assert(SIO_DISABLE_FLOW_CTRL == 0 && SIO_RTS_CTS_HS == 0x100 && SIO_DTR_DSR_HS == 0x200
                  && SIO_XON_XOFF_HS == 0x400,
              "flow control");
static_assert(BITMODE_RESET == 0 && BITMODE_SYNCFF == 0x40 && BITS_8 == 8 && STOP_BIT_1 == 0 && STOP_BIT_2 == 2
                  && EVEN == 2,
              "bit modes and line properties");

} // namespace
#endif

TEST(LibFtdiAbi, DeclarationsMatchTheLibrariesHeaders)
{
#ifdef VELDRIN_HAVE_LIBFTDI_HEADERS
    SUCCEED() << "checked at compile time";
#else
    GTEST_SKIP() << "libftdi1 and libusb-1.0 headers are not installed";
#endif
}
