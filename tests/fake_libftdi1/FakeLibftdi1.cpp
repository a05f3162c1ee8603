// A stand-in for libftdi1 (built as libftdi1.so.2) with libftdi1's exported
// names, C signatures and context layout, and the libusb-1.0 calls a user of
// libftdi makes on the devices it lists. Behind it sits a bus of virtual FTDI
// chips: the test's own SimulatedBus (fakeLibftdi1UseBus), or one built here
// from a bus description (fakeLibftdi1UseDescription, or the environment
// variable FAKE_LIBFTDI1_BUS when nothing was set), so an instrument's byte
// stream flows through libftdi's calls.
//
// It behaves as libftdi 1.5 does where a caller can tell: devices are found
// under FTDI's vendor id and standard product ids; opening sets 9600 baud and
// the chip type from the release number; libusb's bulk IN transfers are
// answered as the chip answers them, at once with what has arrived or with
// nothing after its latency timer, each packet led by two status bytes; a write that the chip
// does not take in full is a failed transfer; a vanished device fails transfers
// with libusb's "no device"; the EEPROM is read into and built from the
// context's image, values and strings. fakeLibftdi1SetReadLimit caps the bytes
// one transfer returns, so that callers must assemble their counts from
// several short ones. Calls that change something are logged (fakeLibftdi1Log).
#include <QString>
#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <set>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "FtdiApi.h"
#include "SimulatedBus.h"
#include "SimulatedBusFactory.h"

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// libftdi's `struct ftdi_context` as its public header lays it out.
struct ftdi_context
{
    void *usb_ctx;
    void *usb_dev;
    int usb_read_timeout;
    int usb_write_timeout;
    int type;
    int baudrate;
    unsigned char bitbang_enabled;
    unsigned char *readbuffer;
    unsigned int readbuffer_offset;
    unsigned int readbuffer_remaining;
    unsigned int readbuffer_chunksize;
    unsigned int writebuffer_chunksize;
    unsigned int max_packet_size;
    int interface;
    int index;
    int in_ep;
    int out_ep;
    unsigned char bitbang_mode;
    void *eeprom;
    const char *error_str;
    int module_detach_mode;
};

struct libusb_device_descriptor
{
    std::uint8_t bLength, bDescriptorType;
    std::uint16_t bcdUSB;
    std::uint8_t bDeviceClass, bDeviceSubClass, bDeviceProtocol, bMaxPacketSize0;
    std::uint16_t idVendor, idProduct, bcdDevice;
    std::uint8_t iManufacturer, iProduct, iSerialNumber, bNumConfigurations;
};

struct libusb_transfer
{
    void *dev_handle;
    std::uint8_t flags;
    unsigned char endpoint, type;
    unsigned int timeout;
    int status, length, actual_length;
    void (*callback)(libusb_transfer *);
    void *user_data;
    unsigned char *buffer;
    int num_iso_packets;
};
enum { LIBUSB_TRANSFER_COMPLETED = 0, LIBUSB_TRANSFER_ERROR = 1, LIBUSB_TRANSFER_CANCELLED = 3,
       LIBUSB_TRANSFER_NO_DEVICE = 5 };

// A listed USB device (libusb_device), reference-counted as libusb does.
struct FakeDevice
{
    int references = 1;
    int busIndex = 0;
    Ftdi::ListNode node{};
};

struct ftdi_device_list
{
    ftdi_device_list *next;
    FakeDevice *dev;
};

enum { TYPE_AM, TYPE_BM, TYPE_2232C, TYPE_R, TYPE_2232H, TYPE_4232H, TYPE_232H, TYPE_230X };
enum { VENDOR_ID = 0, PRODUCT_ID = 1, SELF_POWERED = 2, REMOTE_WAKEUP = 3, IS_NOT_PNP = 4,
       SUSPEND_PULL_DOWNS = 8, USE_SERIAL = 9, MAX_POWER = 12, CHANNEL_A_TYPE = 13,
       CHANNEL_A_DRIVER = 15, USER_DATA_ADDR = 57 };
enum { CHANNEL_IS_UART = 0, CHANNEL_IS_FIFO = 1, CHANNEL_IS_OPTO = 2, CHANNEL_IS_CPU = 4,
       CHANNEL_IS_FT1284 = 8, DRIVER_VCP = 8 };
enum { LIBUSB_ERROR_IO = -1, LIBUSB_ERROR_NO_DEVICE = -4, LIBUSB_ERROR_NOT_FOUND = -5 };

struct Eeprom
{
    bool loaded = false;
    bool blank = false;
    bool decoded = false;
    std::string manufacturer, product, serial;
    std::map<int, int> values;
};

// What the fake keeps beside the public context.
struct Private
{
    std::shared_ptr<FtdiApi> bus;
    Ftdi::Handle handle = nullptr;
    FakeDevice *device = nullptr;
    Ftdi::DeviceType chipType = 0; // FTDI's numbering, for the bus
    std::atomic<unsigned> latency{16};
    // libusb's transfers, submitted and not yet given back.
    std::mutex transfersMutex;
    std::condition_variable transfersChanged;
    std::deque<struct libusb_transfer *> submitted;
    std::set<struct libusb_transfer *> cancelled;
    bool interrupted = false;
    std::uint32_t inChunk = 4096, outChunk = 4096;
    Eeprom eeprom;
};

// The context handed out: the public part first, so that the pointer a
// caller holds is the context's address.
struct FakeContext
{
    ftdi_context pub;
    Private *priv;
};
static_assert(offsetof(FakeContext, pub) == 0, "context first");

std::mutex stateMutex;
std::shared_ptr<FtdiApi> currentBus;
std::string callLog;
std::string logCopy;
int readLimit = 0;
int readCount = 0;
bool newFails = false;

std::shared_ptr<FtdiApi> bus()
{
    std::lock_guard<std::mutex> lock(stateMutex);
    if (!currentBus)
        if (const char *description = std::getenv("FAKE_LIBFTDI1_BUS"))
            currentBus = SimulatedBusFactory::build(QString::fromUtf8(description));
    return currentBus;
}

void logCall(const char *format, ...) __attribute__((format(printf, 1, 2)));

void logCall(const char *format, ...)
{
    char line[256];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    std::lock_guard<std::mutex> lock(stateMutex);
    callLog += line;
    callLog += '\n';
}

FakeContext *fake(ftdi_context *context)
{
    return reinterpret_cast<FakeContext *>(context);
}

void release(FakeDevice *device)
{
    if (device && --device->references == 0)
        delete device;
}

std::uint16_t releaseNumberOf(Ftdi::DeviceType type)
{
    switch (type) {
    case Ftdi::DeviceBM: return 0x400;
    case Ftdi::DeviceAM: return 0x200;
    case Ftdi::Device2232C: return 0x500;
    case Ftdi::Device232R: return 0x600;
    case Ftdi::Device2232H: return 0x700;
    case Ftdi::Device4232H: return 0x800;
    case Ftdi::Device232H: return 0x900;
    case Ftdi::DeviceXSeries: return 0x1000;
    default: return 0x2400;
    }
}

// libftdi's chip type from the release number (type BM when unknown).
int libftdiTypeOf(std::uint16_t releaseNumber)
{
    switch (releaseNumber) {
    case 0x200: return TYPE_AM;
    case 0x500: return TYPE_2232C;
    case 0x600: return TYPE_R;
    case 0x700: return TYPE_2232H;
    case 0x800: return TYPE_4232H;
    case 0x900: return TYPE_232H;
    case 0x1000: return TYPE_230X;
    default: return TYPE_BM;
    }
}

void copyOut(char *target, int size, const char *text)
{
    if (!target || size <= 0)
        return;
    const std::size_t length = std::min(std::strlen(text), static_cast<std::size_t>(size - 1));
    std::memcpy(target, text, length);
    target[length] = '\0';
}

bool isDefaultFtdiDevice(std::uint32_t id)
{
    const std::uint32_t product = id & 0xFFFF;
    return id >> 16 == 0x0403
        && (product == 0x6001 || product == 0x6010 || product == 0x6011 || product == 0x6014
            || product == 0x6015);
}

} // namespace

// ---- controls for the tests --------------------------------------------------

FAKE_EXPORT int fakeLibftdi1UseDescription(const char *description)
{
    std::shared_ptr<FtdiApi> built = SimulatedBusFactory::build(QString::fromUtf8(description));
    if (!built)
        return -1;
    std::lock_guard<std::mutex> lock(stateMutex);
    currentBus = std::move(built);
    return 0;
}

// The bus stays owned by the caller, who keeps it alive while in use.
FAKE_EXPORT void fakeLibftdi1UseBus(FtdiApi *api)
{
    std::lock_guard<std::mutex> lock(stateMutex);
    currentBus = api ? std::shared_ptr<FtdiApi>(api, [](FtdiApi *) {}) : nullptr;
}

FAKE_EXPORT void fakeLibftdi1SetReadLimit(int bytes)
{
    std::lock_guard<std::mutex> lock(stateMutex);
    readLimit = bytes;
}

// How many IN requests the chip has answered so far.
FAKE_EXPORT int fakeLibftdi1ReadCount()
{
    std::lock_guard<std::mutex> lock(stateMutex);
    return readCount;
}

FAKE_EXPORT void fakeLibftdi1SetNewFails(int fails)
{
    std::lock_guard<std::mutex> lock(stateMutex);
    newFails = fails != 0;
}

FAKE_EXPORT const char *fakeLibftdi1Log()
{
    std::lock_guard<std::mutex> lock(stateMutex);
    logCopy = callLog;
    return logCopy.c_str();
}

FAKE_EXPORT void fakeLibftdi1ClearLog()
{
    std::lock_guard<std::mutex> lock(stateMutex);
    callLog.clear();
}

// ---- context and device list -------------------------------------------------

FAKE_EXPORT ftdi_context *ftdi_new()
{
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        if (newFails)
            return nullptr;
    }
    auto *context = new FakeContext();
    std::memset(&context->pub, 0, sizeof context->pub);
    context->pub.usb_read_timeout = 5000;
    context->pub.usb_write_timeout = 5000;
    context->pub.type = TYPE_BM;
    context->pub.baudrate = -1;
    context->pub.readbuffer_chunksize = 4096;
    context->pub.writebuffer_chunksize = 4096;
    context->pub.max_packet_size = 64;
    context->pub.index = 1;
    context->pub.in_ep = 0x02;
    context->pub.out_ep = 0x81;
    context->priv = new Private();
    context->pub.usb_ctx = &context->pub; // the USB context of its transfers
    return &context->pub;
}

FAKE_EXPORT int ftdi_usb_close(ftdi_context *context);

FAKE_EXPORT void ftdi_free(ftdi_context *context)
{
    if (!context)
        return;
    ftdi_usb_close(context);
    delete fake(context)->priv;
    delete fake(context);
}

FAKE_EXPORT int ftdi_usb_find_all(ftdi_context *context, ftdi_device_list **list, int vendor, int product)
{
    logCall("ftdi_usb_find_all %d %d", vendor, product);
    if (!context || !list)
        return -1;
    *list = nullptr;
    const std::shared_ptr<FtdiApi> api = bus();
    if (!api)
        return 0;
    std::uint32_t count = 0;
    if (api->createDeviceInfoList(&count) != Ftdi::Ok)
        return -5;
    std::vector<Ftdi::ListNode> nodes(count);
    if (count && api->getDeviceInfoList(nodes.data(), &count) != Ftdi::Ok)
        return -5;
    int found = 0;
    ftdi_device_list **tail = list;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t id = nodes[i].id;
        const bool wanted = vendor || product
            ? id >> 16 == std::uint32_t(vendor) && (id & 0xFFFF) == std::uint32_t(product)
            : isDefaultFtdiDevice(id);
        if (!wanted)
            continue;
        auto *device = new FakeDevice();
        device->busIndex = static_cast<int>(i);
        device->node = nodes[i];
        *tail = new ftdi_device_list{nullptr, device};
        tail = &(*tail)->next;
        ++found;
    }
    return found;
}

FAKE_EXPORT void ftdi_list_free(ftdi_device_list **list)
{
    if (!list)
        return;
    for (ftdi_device_list *entry = *list; entry;) {
        ftdi_device_list *next = entry->next;
        release(entry->dev);
        delete entry;
        entry = next;
    }
    *list = nullptr;
}

FAKE_EXPORT int ftdi_usb_get_strings(ftdi_context *context, FakeDevice *device, char *manufacturer,
                                     int manufacturerSize, char *description, int descriptionSize,
                                     char *serial, int serialSize)
{
    if (!context || !device)
        return -1;
    copyOut(manufacturer, manufacturerSize, "FTDI");
    copyOut(description, descriptionSize, device->node.description);
    copyOut(serial, serialSize, device->node.serialNumber);
    return 0;
}

FAKE_EXPORT int libusb_get_device_descriptor(FakeDevice *device, libusb_device_descriptor *descriptor)
{
    std::memset(descriptor, 0, sizeof *descriptor);
    descriptor->bLength = 18;
    descriptor->bDescriptorType = 1;
    descriptor->bcdUSB = 0x200;
    descriptor->bMaxPacketSize0 = 64;
    descriptor->idVendor = static_cast<std::uint16_t>(device->node.id >> 16);
    descriptor->idProduct = static_cast<std::uint16_t>(device->node.id & 0xFFFF);
    descriptor->bcdDevice = releaseNumberOf(device->node.type);
    descriptor->iManufacturer = 1;
    descriptor->iProduct = 2;
    descriptor->iSerialNumber = device->node.serialNumber[0] ? 3 : 0;
    descriptor->bNumConfigurations = 1;
    return 0;
}

FAKE_EXPORT std::uint8_t libusb_get_bus_number(FakeDevice *)
{
    return 3;
}

FAKE_EXPORT std::uint8_t libusb_get_device_address(FakeDevice *device)
{
    return static_cast<std::uint8_t>(device->busIndex + 1);
}

FAKE_EXPORT int libusb_get_port_numbers(FakeDevice *device, std::uint8_t *ports, int size)
{
    if (size < 2)
        return -1;
    ports[0] = 2;
    ports[1] = static_cast<std::uint8_t>(device->busIndex + 1);
    return 2;
}

// ---- opening and closing -----------------------------------------------------

FAKE_EXPORT int ftdi_usb_open_dev(ftdi_context *context, FakeDevice *device)
{
    logCall("ftdi_usb_open_dev %d", device ? device->busIndex : -1);
    if (!context)
        return -8;
    Private &p = *fake(context)->priv;
    const std::shared_ptr<FtdiApi> api = bus();
    Ftdi::Handle handle = nullptr;
    const Ftdi::Status status = api ? api->open(device->busIndex, &handle) : Ftdi::DeviceNotFound;
    if (status == Ftdi::DeviceNotOpened)
        return -5; // claiming the interface failed: in use
    if (status != Ftdi::Ok)
        return -4; // libusb_open failed
    p.bus = api;
    p.handle = handle;
    p.device = device;
    ++device->references;
    p.chipType = device->node.type;
    context->usb_dev = context; // any non-null libusb handle; libusb_reset_device gets it back
    context->type = libftdiTypeOf(releaseNumberOf(device->node.type));
    context->max_packet_size = context->type == TYPE_2232H || context->type == TYPE_4232H
            || context->type == TYPE_232H ? 512 : 64;
    if (api->setBaudRate(handle, 9600) != Ftdi::Ok) {
        ftdi_usb_close(context);
        return -7;
    }
    context->baudrate = 9600;
    return 0;
}

FAKE_EXPORT int ftdi_usb_close(ftdi_context *context)
{
    if (!context)
        return -3;
    Private &p = *fake(context)->priv;
    if (!p.handle)
        return 0;
    logCall("ftdi_usb_close");
    p.bus->close(p.handle);
    p.handle = nullptr;
    p.bus.reset();
    release(p.device);
    p.device = nullptr;
    context->usb_dev = nullptr;
    return 0;
}

// ---- configuration -----------------------------------------------------------

FAKE_EXPORT int ftdi_set_baudrate(ftdi_context *context, int baudRate)
{
    logCall("ftdi_set_baudrate %d", baudRate);
    if (!context || !context->usb_dev)
        return -3;
    if (baudRate <= 0)
        return -1;
    Private &p = *fake(context)->priv;
    const Ftdi::Status status = p.bus->setBaudRate(p.handle, static_cast<std::uint32_t>(baudRate));
    if (status == Ftdi::InvalidBaudRate)
        return -1;
    if (status != Ftdi::Ok)
        return -2;
    context->baudrate = baudRate;
    return 0;
}

FAKE_EXPORT int ftdi_set_line_property(ftdi_context *context, int bits, int stopBits, int parity)
{
    logCall("ftdi_set_line_property %d %d %d", bits, stopBits, parity);
    if (!context || !context->usb_dev)
        return -2;
    Private &p = *fake(context)->priv;
    return p.bus->setDataCharacteristics(p.handle, static_cast<std::uint8_t>(bits),
                                         static_cast<std::uint8_t>(stopBits),
                                         static_cast<std::uint8_t>(parity)) == Ftdi::Ok ? 0 : -1;
}

FAKE_EXPORT int ftdi_setflowctrl(ftdi_context *context, int flow)
{
    logCall("ftdi_setflowctrl 0x%x", flow);
    if (!context || !context->usb_dev)
        return -2;
    Private &p = *fake(context)->priv;
    return p.bus->setFlowControl(p.handle, static_cast<std::uint16_t>(flow), 0, 0) == Ftdi::Ok ? 0 : -1;
}

FAKE_EXPORT int ftdi_setflowctrl_xonxoff(ftdi_context *context, unsigned char xon, unsigned char xoff)
{
    logCall("ftdi_setflowctrl_xonxoff %u %u", xon, xoff);
    if (!context || !context->usb_dev)
        return -2;
    Private &p = *fake(context)->priv;
    return p.bus->setFlowControl(p.handle, Ftdi::FlowXonXoff, xon, xoff) == Ftdi::Ok ? 0 : -1;
}

FAKE_EXPORT int ftdi_set_latency_timer(ftdi_context *context, unsigned char latency)
{
    logCall("ftdi_set_latency_timer %u", latency);
    if (latency < 1)
        return -1;
    if (!context || !context->usb_dev)
        return -3;
    Private &p = *fake(context)->priv;
    if (p.bus->setLatencyTimer(p.handle, latency) != Ftdi::Ok)
        return -2;
    p.latency = latency;
    return 0;
}

FAKE_EXPORT int ftdi_set_bitmode(ftdi_context *context, unsigned char mask, unsigned char mode)
{
    logCall("ftdi_set_bitmode 0x%02x 0x%02x", mask, mode);
    if (!context || !context->usb_dev)
        return -2;
    Private &p = *fake(context)->priv;
    if (p.bus->setBitMode(p.handle, mask, mode) != Ftdi::Ok)
        return -1;
    context->bitbang_mode = mode;
    context->bitbang_enabled = mode != 0;
    return 0;
}

FAKE_EXPORT int ftdi_read_data_set_chunksize(ftdi_context *context, unsigned int size)
{
    logCall("ftdi_read_data_set_chunksize %u", size);
    if (!context)
        return -1;
    // libftdi on Linux keeps each USB read within libusb's bulk buffer limit.
    size = std::min(size, 16384u);
    Private &p = *fake(context)->priv;
    p.inChunk = size;
    context->readbuffer_chunksize = size;
    if (p.handle)
        p.bus->setUsbParameters(p.handle, p.inChunk, p.outChunk);
    return 0;
}

FAKE_EXPORT int ftdi_write_data_set_chunksize(ftdi_context *context, unsigned int size)
{
    logCall("ftdi_write_data_set_chunksize %u", size);
    if (!context)
        return -1;
    Private &p = *fake(context)->priv;
    p.outChunk = size;
    context->writebuffer_chunksize = size;
    if (p.handle)
        p.bus->setUsbParameters(p.handle, p.inChunk, p.outChunk);
    return 0;
}

// ---- data ----------------------------------------------------------------------

namespace {

// One IN request as the chip answers it: what has arrived, at once, or after
// the chip's latency timer whatever has arrived by then (often nothing).
int readOnce(Private &p, unsigned char *buffer, int size)
{
    int limit = size;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        ++readCount;
        if (readLimit > 0)
            limit = std::min(limit, readLimit);
    }
    std::uint32_t queued = 0;
    if (p.bus->getQueueStatus(p.handle, &queued) != Ftdi::Ok)
        return LIBUSB_ERROR_NO_DEVICE;
    int got = 0;
    if (queued == 0) {
        p.bus->setTimeouts(p.handle, p.latency, 1000);
        std::uint32_t one = 0;
        const Ftdi::Status status = p.bus->read(p.handle, buffer, 1, &one);
        if (status != Ftdi::Ok)
            return status == Ftdi::IoError ? LIBUSB_ERROR_NO_DEVICE : LIBUSB_ERROR_IO;
        if (one == 0)
            return 0;
        got = 1;
        if (p.bus->getQueueStatus(p.handle, &queued) != Ftdi::Ok)
            return LIBUSB_ERROR_NO_DEVICE;
    }
    const std::uint32_t more = std::min<std::uint32_t>(queued, static_cast<std::uint32_t>(limit - got));
    if (more) {
        std::uint32_t n = 0;
        const Ftdi::Status status = p.bus->read(p.handle, buffer + got, more, &n);
        if (status != Ftdi::Ok)
            return status == Ftdi::IoError ? LIBUSB_ERROR_NO_DEVICE : LIBUSB_ERROR_IO;
        got += static_cast<int>(n);
    }
    return got;
}

} // namespace

// ---- libusb's asynchronous transfers -------------------------------------------
//
// The device's USB context is its libftdi context. Submitted transfers wait in
// order; the thread that handles the context's events answers the first one
// as the chip does (an IN request per transfer, framed in packets that each
// start with two status bytes) and calls its callback.

std::atomic<int> transfersAllocated{0};

// Transfers allocated and not freed.
FAKE_EXPORT int fakeLibftdi1TransfersAllocated()
{
    return transfersAllocated;
}

FAKE_EXPORT libusb_transfer *libusb_alloc_transfer(int isoPackets)
{
    if (isoPackets != 0)
        return nullptr;
    ++transfersAllocated;
    return new libusb_transfer();
}

FAKE_EXPORT void libusb_free_transfer(libusb_transfer *transfer)
{
    if (transfer)
        --transfersAllocated;
    delete transfer;
}

FAKE_EXPORT int libusb_submit_transfer(libusb_transfer *transfer)
{
    auto *context = reinterpret_cast<ftdi_context *>(transfer->dev_handle);
    Private &p = *fake(context)->priv;
    std::lock_guard<std::mutex> lock(p.transfersMutex);
    if (!p.handle)
        return LIBUSB_ERROR_NO_DEVICE;
    p.submitted.push_back(transfer);
    p.transfersChanged.notify_all();
    return 0;
}

FAKE_EXPORT int libusb_cancel_transfer(libusb_transfer *transfer)
{
    auto *context = reinterpret_cast<ftdi_context *>(transfer->dev_handle);
    Private &p = *fake(context)->priv;
    std::lock_guard<std::mutex> lock(p.transfersMutex);
    if (std::find(p.submitted.begin(), p.submitted.end(), transfer) == p.submitted.end())
        return LIBUSB_ERROR_NOT_FOUND;
    p.cancelled.insert(transfer);
    p.transfersChanged.notify_all();
    return 0;
}

FAKE_EXPORT void libusb_interrupt_event_handler(ftdi_context *usbContext)
{
    Private &p = *fake(usbContext)->priv;
    std::lock_guard<std::mutex> lock(p.transfersMutex);
    p.interrupted = true;
    p.transfersChanged.notify_all();
}

FAKE_EXPORT int libusb_handle_events_timeout_completed(ftdi_context *usbContext, const timeval *wait, int *)
{
    Private &p = *fake(usbContext)->priv;
    libusb_transfer *transfer = nullptr;
    bool cancelled = false;
    {
        std::unique_lock<std::mutex> lock(p.transfersMutex);
        p.transfersChanged.wait_for(lock, std::chrono::seconds(wait->tv_sec) + std::chrono::microseconds(wait->tv_usec),
                                    [&] { return !p.submitted.empty() || p.interrupted; });
        p.interrupted = false;
        if (p.submitted.empty())
            return 0;
        transfer = p.submitted.front();
        cancelled = p.cancelled.erase(transfer) != 0;
        if (cancelled) {
            p.submitted.pop_front();
            transfer->status = LIBUSB_TRANSFER_CANCELLED;
            transfer->actual_length = 0;
        }
    }
    if (!cancelled) {
        const int packet = static_cast<int>(usbContext->max_packet_size);
        const int room = transfer->length / packet * (packet - 2);
        std::vector<unsigned char> payload(static_cast<std::size_t>(room));
        const int got = readOnce(p, payload.data(), room);
        int length = 0;
        for (int taken = 0; got >= 0 && (taken < got || length == 0);) {
            const int n = std::min(packet - 2, got - taken);
            transfer->buffer[length] = 0x01; // modem status
            transfer->buffer[length + 1] = 0x60; // line status
            std::memcpy(transfer->buffer + length + 2, payload.data() + taken, static_cast<std::size_t>(n));
            length += n + 2;
            taken += n;
        }
        transfer->actual_length = got < 0 ? 0 : length;
        transfer->status = got == LIBUSB_ERROR_NO_DEVICE ? LIBUSB_TRANSFER_NO_DEVICE
            : got < 0                                   ? LIBUSB_TRANSFER_ERROR
                                                        : LIBUSB_TRANSFER_COMPLETED;
        std::lock_guard<std::mutex> lock(p.transfersMutex);
        p.submitted.pop_front();
        p.cancelled.erase(transfer);
    }
    transfer->callback(transfer);
    return 0;
}

FAKE_EXPORT int ftdi_write_data(ftdi_context *context, const unsigned char *buffer, int size)
{
    logCall("ftdi_write_data %d", size);
    if (!context || !context->usb_dev)
        return -666;
    Private &p = *fake(context)->priv;
    p.bus->setTimeouts(p.handle, p.latency, static_cast<std::uint32_t>(context->usb_write_timeout));
    std::uint32_t written = 0;
    const Ftdi::Status status = p.bus->write(p.handle, buffer, static_cast<std::uint32_t>(size), &written);
    // A transfer the chip did not take in full timed out: libftdi reports a
    // failed write.
    if (status != Ftdi::Ok || written < static_cast<std::uint32_t>(size))
        return -1;
    return size;
}

FAKE_EXPORT int ftdi_poll_modem_status(ftdi_context *context, unsigned short *modemStatus)
{
    if (!context || !context->usb_dev)
        return -2;
    Private &p = *fake(context)->priv;
    std::uint32_t rx = 0, tx = 0, events = 0;
    if (p.bus->getStatus(p.handle, &rx, &tx, &events) != Ftdi::Ok)
        return -1;
    *modemStatus = 0x6001;
    return 0;
}

namespace {

int purgeWith(ftdi_context *context, std::uint32_t mask)
{
    if (!context || !context->usb_dev)
        return -3;
    Private &p = *fake(context)->priv;
    return p.bus->purge(p.handle, mask) == Ftdi::Ok ? 0 : -1;
}

} // namespace

FAKE_EXPORT int ftdi_tciflush(ftdi_context *context)
{
    logCall("ftdi_tciflush");
    return purgeWith(context, Ftdi::PurgeRx);
}

FAKE_EXPORT int ftdi_tcoflush(ftdi_context *context)
{
    logCall("ftdi_tcoflush");
    return purgeWith(context, Ftdi::PurgeTx);
}

FAKE_EXPORT int ftdi_tcioflush(ftdi_context *context)
{
    logCall("ftdi_tcioflush");
    return purgeWith(context, Ftdi::PurgeRx | Ftdi::PurgeTx);
}

FAKE_EXPORT int ftdi_usb_purge_buffers(ftdi_context *context)
{
    logCall("ftdi_usb_purge_buffers");
    return purgeWith(context, Ftdi::PurgeRx | Ftdi::PurgeTx);
}

FAKE_EXPORT int libusb_reset_device(void *usbHandle)
{
    logCall("libusb_reset_device");
    auto *context = static_cast<ftdi_context *>(usbHandle);
    Private &p = *fake(context)->priv;
    return p.bus->cyclePort(p.handle) == Ftdi::Ok ? 0 : LIBUSB_ERROR_NO_DEVICE;
}

// ---- EEPROM --------------------------------------------------------------------

FAKE_EXPORT int ftdi_read_eeprom(ftdi_context *context)
{
    logCall("ftdi_read_eeprom");
    if (!context || !context->usb_dev)
        return -2;
    Private &p = *fake(context)->priv;
    Eeprom &e = p.eeprom;
    e = Eeprom();
    e.loaded = true;
    char texts[4][Ftdi::TextBufferSize] = {};
    Ftdi::Status status;
    if (context->type == TYPE_230X) {
        Ftdi::EepromXSeries record = {};
        record.common.deviceType = Ftdi::DeviceXSeries;
        status = p.bus->eepromRead(p.handle, &record, sizeof record, texts[0], texts[1], texts[2], texts[3]);
        if (status == Ftdi::Ok) {
            e.values[VENDOR_ID] = record.common.vendorId;
            e.values[PRODUCT_ID] = record.common.productId;
            e.values[MAX_POWER] = record.common.maxPower;
            e.values[SELF_POWERED] = record.common.selfPowered;
            e.values[REMOTE_WAKEUP] = record.common.remoteWakeup;
            e.values[USE_SERIAL] = record.common.serNumEnable;
            e.values[SUSPEND_PULL_DOWNS] = record.common.pullDownEnable;
            e.values[CHANNEL_A_DRIVER] = record.driverType ? DRIVER_VCP : 0;
        }
    } else {
        Ftdi::ProgramDataBuffer buffer = {};
        Ftdi::ProgramData &data = buffer.data;
        data.signature2 = Ftdi::ProgramDataSignature2;
        data.version = Ftdi::ProgramDataVersion232H;
        data.manufacturer = texts[0];
        data.manufacturerId = texts[1];
        data.description = texts[2];
        data.serialNumber = texts[3];
        status = p.bus->eeRead(p.handle, &data);
        if (status == Ftdi::Ok) {
            e.values[VENDOR_ID] = data.vendorId;
            e.values[PRODUCT_ID] = data.productId;
            e.values[MAX_POWER] = data.maxPower;
            e.values[SELF_POWERED] = data.selfPowered;
            e.values[REMOTE_WAKEUP] = data.remoteWakeup;
            e.values[IS_NOT_PNP] = !data.pnp;
            if (context->type == TYPE_R) {
                e.values[USE_SERIAL] = data.serNumEnableR;
                e.values[CHANNEL_A_DRIVER] = data.rIsD2XX ? 0 : DRIVER_VCP;
            } else if (context->type == TYPE_232H) {
                e.values[USE_SERIAL] = data.serNumEnableH;
                e.values[CHANNEL_A_TYPE] = data.isFifoH ? CHANNEL_IS_FIFO
                    : data.isFifoTarH                    ? CHANNEL_IS_CPU
                    : data.isFastSerH                    ? CHANNEL_IS_OPTO
                    : data.isFT1248H                     ? CHANNEL_IS_FT1284
                                                         : CHANNEL_IS_UART;
                e.values[CHANNEL_A_DRIVER] = data.isVCPH ? DRIVER_VCP : 0;
            } else {
                e.values[USE_SERIAL] = data.serNumEnable;
            }
        }
    }
    if (status == Ftdi::EepromNotProgrammed || status == Ftdi::NotSupported) {
        // Reads as erased memory.
        e.blank = true;
        return 0;
    }
    if (status != Ftdi::Ok) {
        e.loaded = false;
        return -1;
    }
    e.manufacturer = texts[0];
    e.product = texts[2];
    e.serial = texts[3];
    return 0;
}

FAKE_EXPORT int ftdi_get_eeprom_buf(ftdi_context *context, unsigned char *buffer, int size)
{
    if (!context || !fake(context)->priv->eeprom.loaded || !buffer || size < 256)
        return -1;
    const Eeprom &e = fake(context)->priv->eeprom;
    std::memset(buffer, e.blank ? 0xFF : 0x00, 256);
    if (!e.blank)
        std::memcpy(buffer + 0x20, e.serial.data(), std::min<std::size_t>(e.serial.size(), 32));
    return 0;
}

FAKE_EXPORT int ftdi_eeprom_decode(ftdi_context *context, int)
{
    logCall("ftdi_eeprom_decode");
    if (!context || !fake(context)->priv->eeprom.loaded)
        return -1;
    Eeprom &e = fake(context)->priv->eeprom;
    if (e.blank)
        return -1; // the checksum of erased memory does not match
    e.decoded = true;
    return 0;
}

FAKE_EXPORT int ftdi_eeprom_get_strings(ftdi_context *context, char *manufacturer, int manufacturerSize,
                                        char *product, int productSize, char *serial, int serialSize)
{
    if (!context)
        return -1;
    const Eeprom &e = fake(context)->priv->eeprom;
    copyOut(manufacturer, manufacturerSize, e.decoded ? e.manufacturer.c_str() : "");
    copyOut(product, productSize, e.decoded ? e.product.c_str() : "");
    copyOut(serial, serialSize, e.decoded ? e.serial.c_str() : "");
    return 0;
}

FAKE_EXPORT int ftdi_get_eeprom_value(ftdi_context *context, int name, int *value)
{
    if (!context || !value || name < 0 || name > USER_DATA_ADDR)
        return -1;
    const auto &values = fake(context)->priv->eeprom.values;
    const auto it = values.find(name);
    *value = it == values.end() ? 0 : it->second;
    return 0;
}

FAKE_EXPORT int ftdi_set_eeprom_value(ftdi_context *context, int name, int value)
{
    logCall("ftdi_set_eeprom_value %d %d", name, value);
    if (!context || name < 0 || name > USER_DATA_ADDR)
        return -1;
    fake(context)->priv->eeprom.values[name] = value;
    return 0;
}

FAKE_EXPORT int ftdi_eeprom_initdefaults(ftdi_context *context, char *manufacturer, char *product, char *serial)
{
    logCall("ftdi_eeprom_initdefaults");
    if (!context)
        return -1;
    Eeprom &e = fake(context)->priv->eeprom;
    e = Eeprom();
    e.loaded = e.decoded = true;
    const int productIds[] = {0x6001, 0x6001, 0x6010, 0x6001, 0x6010, 0x6011, 0x6014, 0x6015};
    e.values[VENDOR_ID] = 0x0403;
    e.values[PRODUCT_ID] = productIds[context->type & 7];
    e.values[MAX_POWER] = 100;
    e.values[USE_SERIAL] = serial != nullptr;
    e.values[CHANNEL_A_TYPE] = CHANNEL_IS_UART;
    e.values[CHANNEL_A_DRIVER] = DRIVER_VCP;
    e.manufacturer = manufacturer ? manufacturer : "FTDI";
    e.product = product ? product : "FT232R USB UART";
    e.serial = serial ? serial : "";
    return 0;
}

FAKE_EXPORT int ftdi_eeprom_set_strings(ftdi_context *context, const char *manufacturer, const char *product,
                                        const char *serial)
{
    logCall("ftdi_eeprom_set_strings %s %s %s", manufacturer ? manufacturer : "(null)",
            product ? product : "(null)", serial ? serial : "(null)");
    if (!context)
        return -1;
    Eeprom &e = fake(context)->priv->eeprom;
    if (manufacturer)
        e.manufacturer = manufacturer;
    if (product)
        e.product = product;
    if (serial)
        e.serial = serial;
    return 0;
}

FAKE_EXPORT int ftdi_eeprom_build(ftdi_context *context)
{
    logCall("ftdi_eeprom_build");
    if (!context)
        return -2;
    const Eeprom &e = fake(context)->priv->eeprom;
    // The strings share what the chip's EEPROM leaves for them, two bytes a
    // character: little on the FT232R's 128-byte EEPROM.
    const std::size_t characters = e.manufacturer.size() + e.product.size() + e.serial.size();
    const std::size_t room = context->type == TYPE_R ? 48 : 96;
    if (characters > room)
        return -1;
    return context->type == TYPE_R ? 0x80 : 0x100;
}

FAKE_EXPORT int ftdi_write_eeprom(ftdi_context *context)
{
    logCall("ftdi_write_eeprom");
    if (!context || !context->usb_dev)
        return -2;
    Private &p = *fake(context)->priv;
    Eeprom &e = p.eeprom;
    auto value = [&](int name) { return e.values.count(name) ? e.values[name] : 0; };
    char manufacturer[Ftdi::TextBufferSize] = {}, manufacturerId[Ftdi::TextBufferSize] = {};
    char product[Ftdi::TextBufferSize] = {}, serial[Ftdi::TextBufferSize] = {};
    copyOut(manufacturer, sizeof manufacturer, e.manufacturer.c_str());
    copyOut(product, sizeof product, e.product.c_str());
    copyOut(serial, sizeof serial, e.serial.c_str());
    Ftdi::Status status;
    if (context->type == TYPE_230X) {
        Ftdi::EepromXSeries record = {};
        record.common.deviceType = Ftdi::DeviceXSeries;
        record.common.vendorId = static_cast<std::uint16_t>(value(VENDOR_ID));
        record.common.productId = static_cast<std::uint16_t>(value(PRODUCT_ID));
        record.common.maxPower = static_cast<std::uint16_t>(value(MAX_POWER));
        record.common.selfPowered = static_cast<std::uint8_t>(value(SELF_POWERED));
        record.common.remoteWakeup = static_cast<std::uint8_t>(value(REMOTE_WAKEUP));
        record.common.serNumEnable = static_cast<std::uint8_t>(value(USE_SERIAL));
        record.common.pullDownEnable = static_cast<std::uint8_t>(value(SUSPEND_PULL_DOWNS));
        record.driverType = value(CHANNEL_A_DRIVER) == DRIVER_VCP;
        status = p.bus->eepromProgram(p.handle, &record, sizeof record, manufacturer, manufacturerId, product,
                                      serial);
    } else {
        Ftdi::ProgramDataBuffer buffer = {};
        Ftdi::ProgramData &data = buffer.data;
        data.signature2 = Ftdi::ProgramDataSignature2;
        data.version = context->type == TYPE_R ? Ftdi::ProgramDataVersion232R : Ftdi::ProgramDataVersion232H;
        data.manufacturer = manufacturer;
        data.manufacturerId = manufacturerId;
        data.description = product;
        data.serialNumber = serial;
        data.vendorId = static_cast<std::uint16_t>(value(VENDOR_ID));
        data.productId = static_cast<std::uint16_t>(value(PRODUCT_ID));
        data.maxPower = static_cast<std::uint16_t>(value(MAX_POWER));
        data.selfPowered = static_cast<std::uint16_t>(value(SELF_POWERED));
        data.remoteWakeup = static_cast<std::uint16_t>(value(REMOTE_WAKEUP));
        data.pnp = !value(IS_NOT_PNP);
        data.serNumEnableR = data.serNumEnableH = data.serNumEnable = static_cast<std::uint8_t>(value(USE_SERIAL));
        data.rIsD2XX = value(CHANNEL_A_DRIVER) != DRIVER_VCP;
        data.isFifoH = value(CHANNEL_A_TYPE) == CHANNEL_IS_FIFO;
        data.isVCPH = value(CHANNEL_A_DRIVER) == DRIVER_VCP;
        status = p.bus->eeProgram(p.handle, &data);
    }
    return status == Ftdi::Ok ? 0 : -1;
}
