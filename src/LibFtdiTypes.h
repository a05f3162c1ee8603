#pragma once

// The calling convention of libusb's functions and callbacks (WINAPI on
// Windows).
#if defined(_WIN32)
#  define LIBFTDI_USB_CALL __stdcall
#else
#  define LIBFTDI_USB_CALL
#endif

#include <cstddef>
#include <cstdint>

// The parts of libftdi1's and libusb-1.0's binary interface that LibFtdiLibrary
// uses, declared here so that the build needs neither library nor its headers:
// both are loaded at run time.
//
// libftdi1 hands out its context as a pointer to a record it allocates; only
// the leading fields below are read or written (the two USB time-outs are set
// directly, as libftdi offers no call for them; the libusb device handle is
// passed to libusb for a port reset). These leading fields have kept their
// place in every libftdi1 release. Everything else is reached through
// functions. Nothing is packed: both libraries use natural alignment.
namespace LibFtdi {

// Opaque libusb and libftdi objects.
struct UsbContext;
struct UsbDevice;
struct UsbDeviceHandle;

// The head of libftdi's `struct ftdi_context`.
struct ContextHead
{
    UsbContext *usbContext;
    UsbDeviceHandle *usbDeviceHandle; // null while no device is open
    int usbReadTimeout;               // ms, for each bulk read
    int usbWriteTimeout;              // ms, for each bulk write
    int chipType;                     // libftdi's own numbering, not read
    int baudRate;
    unsigned char bitbangEnabled;
    unsigned char *readBuffer;
    unsigned int readBufferOffset;
    unsigned int readBufferRemaining;
    unsigned int readBufferChunkSize;
    unsigned int writeBufferChunkSize;
    unsigned int maxPacketSize;       // of the bulk endpoints: each IN packet starts with two status bytes
    int interface;
    int index;
    int inEp;                         // libftdi's names: the endpoint it writes to
    int outEp;                        // and the one it reads from
};
static_assert(offsetof(ContextHead, usbReadTimeout) == 2 * sizeof(void *), "ftdi_context layout");
static_assert(offsetof(ContextHead, chipType) == 2 * sizeof(void *) + 8, "ftdi_context layout");
static_assert(offsetof(ContextHead, outEp) == offsetof(ContextHead, maxPacketSize) + 16, "ftdi_context layout");

// libftdi's `struct ftdi_device_list`: one found device, chained.
struct DeviceList
{
    DeviceList *next;
    UsbDevice *device;
};

// libusb's `struct libusb_device_descriptor` (18 bytes).
struct DeviceDescriptor
{
    std::uint8_t bLength;
    std::uint8_t bDescriptorType;
    std::uint16_t bcdUSB;
    std::uint8_t bDeviceClass;
    std::uint8_t bDeviceSubClass;
    std::uint8_t bDeviceProtocol;
    std::uint8_t bMaxPacketSize0;
    std::uint16_t idVendor;
    std::uint16_t idProduct;
    std::uint16_t bcdDevice; // the chip's release number: tells the chip type
    std::uint8_t iManufacturer;
    std::uint8_t iProduct;
    std::uint8_t iSerialNumber;
    std::uint8_t bNumConfigurations;
};
static_assert(sizeof(DeviceDescriptor) == 18, "libusb device descriptor size");
static_assert(offsetof(DeviceDescriptor, bcdDevice) == 12, "libusb device descriptor layout");

// libusb's `struct libusb_transfer` (without isochronous packets), for the
// bulk IN transfers kept in flight.
struct Transfer;
typedef void(LIBFTDI_USB_CALL *TransferCallback)(Transfer *);
struct Transfer
{
    UsbDeviceHandle *deviceHandle;
    std::uint8_t flags;
    unsigned char endpoint;
    unsigned char type;
    unsigned int timeout; // ms, 0 none
    int status;
    int length;
    int actualLength;
    TransferCallback callback;
    void *userData;
    unsigned char *buffer;
    int isoPacketCount;
};
static_assert(offsetof(Transfer, callback) == 32 || sizeof(void *) == 4, "libusb transfer layout");

// The `struct timeval` libusb's event calls take: two longs on every
// platform it runs on (glibc, macOS's time_t and suseconds_t in a 64-bit
// process are longs too; Windows uses winsock's).
struct TimeValue
{
    long seconds;
    long microseconds;
};

// libusb's transfer type and completion statuses.
enum : int {
    TransferTypeBulk = 2,
    TransferCompleted = 0,
    TransferError = 1,
    TransferTimedOut = 2,
    TransferCancelled = 3,
    TransferStall = 4,
    TransferNoDevice = 5,
    TransferOverflow = 6,
};

// libftdi's line-property, flow-control, bit-mode and purge values are the
// same numbers as the D2XX ones (Ftdi::Bits8, Ftdi::FlowRtsCts,
// Ftdi::BitModeSyncFifo, ...), so they are passed on unchanged.

// Names of the EEPROM values of ftdi_get_eeprom_value / ftdi_set_eeprom_value
// (only those used; libftdi only ever appends to this list).
enum EepromValue {
    VendorId = 0,
    ProductId = 1,
    SelfPowered = 2,
    RemoteWakeup = 3,
    IsNotPnp = 4,
    SuspendPullDowns = 8,
    UseSerial = 9,
    MaxPower = 12,
    ChannelAType = 13,
    ChannelADriver = 15,
};

// Values of the channel A interface type and driver.
enum : int {
    ChannelIsUart = 0x0,
    ChannelIsFifo = 0x1,
    ChannelIsOpto = 0x2,
    ChannelIsCpu = 0x4,
    ChannelIsFt1284 = 0x8,
    DriverVcp = 0x08,
};

// FTDI's chip type number for a chip whose type is not known.
constexpr std::uint32_t DeviceUnknown = 3;

// libftdi's EEPROM image size, the largest any chip has.
constexpr int MaxEepromSize = 256;

// libusb error codes that are told apart.
enum : int {
    UsbErrorNoDevice = -4,
    UsbErrorNotFound = -5,
    UsbErrorTimeout = -7,
    UsbErrorInterrupted = -10,
};

// libftdi's answer when a call needs an open device and there is none.
constexpr int DeviceUnavailable = -666;

} // namespace LibFtdi
