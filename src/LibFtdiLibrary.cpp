#include "LibFtdiLibrary.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>

#include "LibFtdiTypes.h"

#if defined(_WIN32)
#  define USB_CALL __stdcall
#else
#  define USB_CALL
#endif

using namespace Ftdi;
using LibFtdi::ContextHead;
using LibFtdi::DeviceDescriptor;
using LibFtdi::DeviceList;
using LibFtdi::UsbDevice;
using LibFtdi::UsbDeviceHandle;

// libftdi's and libusb's signatures (libftdi's enum parameters are int-sized).
// The first group is required; the second came with later libftdi releases
// and has fallbacks; libusb's calls other than the descriptor are optional.
struct LibFtdiLibrary::Functions
{
    ContextHead *(*ftdiNew)();
    void (*ftdiFree)(ContextHead *);
    int (*usbFindAll)(ContextHead *, DeviceList **, int, int);
    void (*listFree)(DeviceList **);
    int (*usbGetStrings)(ContextHead *, UsbDevice *, char *, int, char *, int, char *, int);
    int (*usbOpenDev)(ContextHead *, UsbDevice *);
    int (*usbClose)(ContextHead *);
    int (*setBaudrate)(ContextHead *, int);
    int (*setLineProperty)(ContextHead *, int, int, int);
    int (*setFlowCtrl)(ContextHead *, int);
    int (*setLatencyTimer)(ContextHead *, unsigned char);
    int (*setBitmode)(ContextHead *, unsigned char, unsigned char);
    int (*readDataSetChunksize)(ContextHead *, unsigned int);
    int (*writeDataSetChunksize)(ContextHead *, unsigned int);
    int (*readData)(ContextHead *, unsigned char *, int);
    int (*writeData)(ContextHead *, const unsigned char *, int);
    int (*usbPurgeBuffers)(ContextHead *);
    int (*pollModemStatus)(ContextHead *, unsigned short *);
    int (*readEeprom)(ContextHead *);
    int (*eepromDecode)(ContextHead *, int);
    int (*getEepromValue)(ContextHead *, int, int *);
    int (*setEepromValue)(ContextHead *, int, int);
    int (*eepromBuild)(ContextHead *);
    int (*writeEeprom)(ContextHead *);
    int (*eepromInitDefaults)(ContextHead *, char *, char *, char *);
    int (*getEepromBuf)(ContextHead *, unsigned char *, int);
    int(USB_CALL *getDeviceDescriptor)(UsbDevice *, DeviceDescriptor *);

    int (*tciflush)(ContextHead *);
    int (*tcoflush)(ContextHead *);
    int (*tcioflush)(ContextHead *);
    int (*setFlowCtrlXonXoff)(ContextHead *, unsigned char, unsigned char);
    int (*eepromGetStrings)(ContextHead *, char *, int, char *, int, char *, int);
    int (*eepromSetStrings)(ContextHead *, const char *, const char *, const char *);
    std::uint8_t(USB_CALL *getBusNumber)(UsbDevice *);
    std::uint8_t(USB_CALL *getDeviceAddress)(UsbDevice *);
    int(USB_CALL *getPortNumbers)(UsbDevice *, std::uint8_t *, int);
    int(USB_CALL *resetDevice)(UsbDeviceHandle *);
};

// One open device.
struct LibFtdiLibrary::Session
{
    std::mutex mutex;
    // Callers waiting for `mutex` other than the read loop. The read loop
    // takes the lock again after every poll (each lasts up to a latency-timer
    // period); it leaves the lock to them first, so that a write from another
    // thread waits for one poll at most, never for a whole read time-out.
    std::atomic<int> othersWaiting{0};
    std::condition_variable othersDone;
    // Guarded by `mutex`; null once closed.
    ContextHead *context = nullptr;
    // The host-side receive queue: the bytes from `head` on.
    std::vector<char> received;
    std::size_t head = 0;
    std::vector<unsigned char> scratch;
    // The count the last queue query reported (none yet: the maximum).
    std::size_t lastReported = SIZE_MAX;
    std::uint32_t readTimeoutMs = 300;
    std::uint32_t writeTimeoutMs = 300;
    std::uint32_t writeChunk = 4096;
    // Vanished, or port-cycled: only close is left.
    bool gone = false;

    // Fixed at opening.
    DeviceType type = 0;
    std::uint32_t id = 0;
    std::string serialNumber;
    std::string description;
    int busNumber = -1;
    int address = -1;

    std::size_t queued() const { return received.size() - head; }
};

namespace {

// The session lock as every caller but the read loop takes it: announced, so
// that the read loop lets this caller go first.
class SessionLock
{
public:
    template <typename S>
    explicit SessionLock(S &session) : m_mutex(session.mutex), m_done(session.othersDone)
    {
        ++session.othersWaiting;
        m_mutex.lock();
        --session.othersWaiting;
    }
    ~SessionLock()
    {
        m_mutex.unlock();
        m_done.notify_all();
    }
    SessionLock(const SessionLock &) = delete;
    SessionLock &operator=(const SessionLock &) = delete;

private:
    std::mutex &m_mutex;
    std::condition_variable &m_done;
};

} // namespace

// What the EEPROM calls program, taken from either record kind.
struct LibFtdiLibrary::Identity
{
    const char *manufacturer = nullptr;
    const char *description = nullptr;
    const char *serialNumber = nullptr;
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    int maxPower = 0;
    int selfPowered = 0;
    int remoteWakeup = 0;
    int notPnp = -1;      // -1: not part of the record
    int useSerial = 0;
    int pullDowns = -1;   // -1: not part of the record
    int channelType = -1; // -1: not part of the record
    int driver = -1;      // -1: not part of the record
};

namespace {

using Clock = std::chrono::steady_clock;

// FTDI's chip type number for a chip whose type is not known.
constexpr DeviceType DeviceUnknown = 3;

// Bytes asked for by one non-blocking read; a poll repeats while reads come
// back full.
constexpr std::size_t PollSize = 16384;
// The host-side queue stops taking bytes from the chip beyond this size (the
// chip's own buffer and flow control take over, as with a driver buffer).
constexpr std::size_t MaxQueued = std::size_t(1) << 20;
// Bounds for the USB time-out of one read: a chip answers within its latency
// timer, so these matter only for a chip that stopped answering.
constexpr int QueueQueryUsbTimeoutMs = 50;
constexpr int MinUsbTimeoutMs = 20;
constexpr int MaxUsbTimeoutMs = 1000;
// Texts as the device list holds them (with their terminating zero).
constexpr int ListSerialSize = 16;
constexpr int ListDescriptionSize = 64;

// The chip type by the device's release number, as libftdi tells it (a BM chip
// without serial number reports the AM's number).
DeviceType chipTypeOf(const DeviceDescriptor &descriptor)
{
    switch (descriptor.bcdDevice) {
    case 0x200:
        return descriptor.iSerialNumber == 0 ? DeviceBM : DeviceAM;
    case 0x400:
        return DeviceBM;
    case 0x500:
        return Device2232C;
    case 0x600:
        return Device232R;
    case 0x700:
        return Device2232H;
    case 0x800:
        return Device4232H;
    case 0x900:
        return Device232H;
    case 0x1000:
        return DeviceXSeries;
    default:
        return DeviceUnknown;
    }
}

bool isHighSpeed(DeviceType type)
{
    return type == Device2232H || type == Device4232H || type == Device232H;
}

// Copies at most size - 1 bytes of `text` and a terminating zero.
void copyText(char *target, std::size_t size, const char *text)
{
    if (!target || size == 0)
        return;
    const std::size_t length = text ? std::min(std::strlen(text), size - 1) : 0;
    if (length)
        std::memcpy(target, text, length);
    target[length] = '\0';
}

// The text a caller buffer of the EEPROM calls holds, terminated within
// Ftdi::TextBufferSize bytes.
std::string callerText(const char *text)
{
    if (!text)
        return std::string();
    return std::string(text, strnlen(text, TextBufferSize - 1));
}

int usbTimeoutFor(std::uint32_t timeoutMs, Clock::duration elapsed)
{
    if (timeoutMs == 0)
        return MaxUsbTimeoutMs;
    const auto left = std::chrono::milliseconds(timeoutMs)
        - std::chrono::duration_cast<std::chrono::milliseconds>(elapsed);
    return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), MinUsbTimeoutMs,
                                                                      MaxUsbTimeoutMs));
}

bool expired(std::uint32_t timeoutMs, Clock::time_point start)
{
    return timeoutMs != 0 && Clock::now() - start >= std::chrono::milliseconds(timeoutMs);
}

// Moves up to `count` queued bytes to `target`; returns how many.
std::uint32_t takeQueued(std::vector<char> &received, std::size_t &head, char *target,
                         std::uint32_t count)
{
    const std::size_t n = std::min<std::size_t>(count, received.size() - head);
    if (n)
        std::memcpy(target, received.data() + head, n);
    head += n;
    if (head == received.size()) {
        received.clear();
        head = 0;
    } else if (head >= 65536) {
        // Drop the consumed front in bulk, not at every read.
        received.erase(received.begin(), received.begin() + static_cast<std::ptrdiff_t>(head));
        head = 0;
    }
    return static_cast<std::uint32_t>(n);
}

bool validTransferSize(std::uint32_t size)
{
    return size >= 64 && size <= 65536 && size % 64 == 0;
}

} // namespace

LibFtdiLibrary::LibFtdiLibrary()
{
    for (const QString &name : standardFileNames())
        if (load(name))
            return;
}

LibFtdiLibrary::LibFtdiLibrary(const QString &fileName)
{
    load(fileName);
}

LibFtdiLibrary::~LibFtdiLibrary()
{
    std::map<quintptr, std::shared_ptr<Session>> sessions;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        sessions.swap(m_sessions);
    }
    for (auto &entry : sessions) {
        Session &s = *entry.second;
        SessionLock lock(s);
        if (s.context) {
            m_functions->usbClose(s.context);
            m_functions->ftdiFree(s.context);
            s.context = nullptr;
        }
    }
    unload();
}

QStringList LibFtdiLibrary::standardFileNames()
{
#if defined(_WIN32)
    return {QStringLiteral("libftdi1.dll")};
#elif defined(__APPLE__)
    // Package managers install outside the default search path on macOS.
    return {QStringLiteral("libftdi1.2.dylib"), QStringLiteral("/opt/homebrew/lib/libftdi1.2.dylib"),
            QStringLiteral("/usr/local/lib/libftdi1.2.dylib"),
            QStringLiteral("/opt/local/lib/libftdi1.2.dylib")};
#else
    return {QStringLiteral("libftdi1.so.2")};
#endif
}

bool LibFtdiLibrary::load(const QString &fileName)
{
    unload();
    if (!m_library.load(fileName))
        return false;
    m_functions = new Functions();
    Functions &f = *m_functions;
    const DynamicLibrary &l = m_library;
    bool complete = l.resolve("ftdi_new", f.ftdiNew)
        && l.resolve("ftdi_free", f.ftdiFree)
        && l.resolve("ftdi_usb_find_all", f.usbFindAll)
        && l.resolve("ftdi_list_free", f.listFree)
        && l.resolve("ftdi_usb_get_strings", f.usbGetStrings)
        && l.resolve("ftdi_usb_open_dev", f.usbOpenDev)
        && l.resolve("ftdi_usb_close", f.usbClose)
        && l.resolve("ftdi_set_baudrate", f.setBaudrate)
        && l.resolve("ftdi_set_line_property", f.setLineProperty)
        && l.resolve("ftdi_setflowctrl", f.setFlowCtrl)
        && l.resolve("ftdi_set_latency_timer", f.setLatencyTimer)
        && l.resolve("ftdi_set_bitmode", f.setBitmode)
        && l.resolve("ftdi_read_data_set_chunksize", f.readDataSetChunksize)
        && l.resolve("ftdi_write_data_set_chunksize", f.writeDataSetChunksize)
        && l.resolve("ftdi_read_data", f.readData)
        && l.resolve("ftdi_write_data", f.writeData)
        && l.resolve("ftdi_usb_purge_buffers", f.usbPurgeBuffers)
        && l.resolve("ftdi_poll_modem_status", f.pollModemStatus)
        && l.resolve("ftdi_read_eeprom", f.readEeprom)
        && l.resolve("ftdi_eeprom_decode", f.eepromDecode)
        && l.resolve("ftdi_get_eeprom_value", f.getEepromValue)
        && l.resolve("ftdi_set_eeprom_value", f.setEepromValue)
        && l.resolve("ftdi_eeprom_build", f.eepromBuild)
        && l.resolve("ftdi_write_eeprom", f.writeEeprom)
        && l.resolve("ftdi_eeprom_initdefaults", f.eepromInitDefaults)
        && l.resolve("ftdi_get_eeprom_buf", f.getEepromBuf);
    if (complete) {
        l.resolve("ftdi_tciflush", f.tciflush);
        l.resolve("ftdi_tcoflush", f.tcoflush);
        l.resolve("ftdi_tcioflush", f.tcioflush);
        l.resolve("ftdi_setflowctrl_xonxoff", f.setFlowCtrlXonXoff);
        l.resolve("ftdi_eeprom_get_strings", f.eepromGetStrings);
        l.resolve("ftdi_eeprom_set_strings", f.eepromSetStrings);

        // libusb's calls are found through libftdi where the platform looks
        // into a library's dependencies, else in libusb loaded by its name.
        if (!l.resolve("libusb_get_device_descriptor", f.getDeviceDescriptor)) {
#if defined(_WIN32)
            m_usbLibrary.load(QStringLiteral("libusb-1.0.dll"));
#elif defined(__APPLE__)
            for (const char *name : {"libusb-1.0.0.dylib", "/opt/homebrew/lib/libusb-1.0.0.dylib",
                                     "/usr/local/lib/libusb-1.0.0.dylib", "/opt/local/lib/libusb-1.0.0.dylib"})
                if (m_usbLibrary.load(QString::fromLatin1(name)))
                    break;
#else
            m_usbLibrary.load(QStringLiteral("libusb-1.0.so.0"));
#endif
        }
        const DynamicLibrary &usb = m_usbLibrary.isLoaded() ? m_usbLibrary : m_library;
        complete = usb.resolve("libusb_get_device_descriptor", f.getDeviceDescriptor);
        usb.resolve("libusb_get_bus_number", f.getBusNumber);
        usb.resolve("libusb_get_device_address", f.getDeviceAddress);
        usb.resolve("libusb_get_port_numbers", f.getPortNumbers);
        usb.resolve("libusb_reset_device", f.resetDevice);
    }
    if (!complete) {
        unload();
        return false;
    }
    m_loaded = true;
    return true;
}

void LibFtdiLibrary::unload()
{
    m_loaded = false;
    delete m_functions;
    m_functions = nullptr;
    m_usbLibrary.unload();
    m_library.unload();
}

std::shared_ptr<LibFtdiLibrary::Session> LibFtdiLibrary::session(Handle handle) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_sessions.find(reinterpret_cast<quintptr>(handle));
    return it == m_sessions.end() ? nullptr : it->second;
}

template <typename Action>
Status LibFtdiLibrary::withSession(Handle handle, Gone gone, Action action)
{
    const std::shared_ptr<Session> s = session(handle);
    if (!s)
        return InvalidHandle;
    SessionLock lock(*s);
    if (!s->context)
        return InvalidHandle;
    if (gone == Gone::Refused && s->gone)
        return IoError;
    return action(*s);
}

Status LibFtdiLibrary::poll(Session &s, int usbTimeoutMs)
{
    if (s.gone)
        return IoError;
    s.context->usbReadTimeout = usbTimeoutMs;
    while (s.queued() < MaxQueued) {
        const int n = m_functions->readData(s.context, s.scratch.data(), static_cast<int>(s.scratch.size()));
        if (n < 0) {
            // Nothing arrived within the USB time-out: not an error.
            if (n == LibFtdi::UsbErrorTimeout || n == LibFtdi::UsbErrorInterrupted)
                return Ok;
            if (n == LibFtdi::UsbErrorNoDevice || n == LibFtdi::DeviceUnavailable)
                s.gone = true;
            return IoError;
        }
        s.received.insert(s.received.end(), s.scratch.begin(), s.scratch.begin() + n);
        if (static_cast<std::size_t>(n) < s.scratch.size())
            break;
    }
    return Ok;
}

bool LibFtdiLibrary::stillAttached(Session &s)
{
    unsigned short modemStatus = 0;
    return m_functions->pollModemStatus(s.context, &modemStatus) >= 0;
}

Status LibFtdiLibrary::failed(Session &s)
{
    if (!stillAttached(s))
        s.gone = true;
    return IoError;
}

Status LibFtdiLibrary::open(int index, Handle *handle)
{
    if (!handle)
        return InvalidParameter;
    *handle = nullptr;
    if (!m_loaded || index < 0)
        return DeviceNotFound;
    const Functions &f = *m_functions;
    ContextHead *context = f.ftdiNew();
    if (!context)
        return DeviceNotFound;
    DeviceList *list = nullptr;
    const int found = f.usbFindAll(context, &list, 0, 0);
    DeviceList *entry = list;
    for (int i = 0; entry && i < index; ++i)
        entry = entry->next;
    if (found <= index || !entry) {
        if (list)
            f.listFree(&list);
        f.ftdiFree(context);
        return DeviceNotFound;
    }

    auto s = std::make_shared<Session>();
    DeviceDescriptor descriptor = {};
    if (f.getDeviceDescriptor(entry->device, &descriptor) == 0) {
        s->type = chipTypeOf(descriptor);
        s->id = std::uint32_t(descriptor.idVendor) << 16 | descriptor.idProduct;
    } else {
        s->type = DeviceUnknown;
    }
    // The strings are read before opening: libftdi reads them through a
    // temporary USB handle of its own.
    char serial[TextBufferSize] = {};
    char description[TextBufferSize] = {};
    f.usbGetStrings(context, entry->device, nullptr, 0, description, sizeof description, serial,
                    sizeof serial);
    s->serialNumber = std::string(serial, strnlen(serial, sizeof serial - 1));
    s->description = std::string(description, strnlen(description, sizeof description - 1));
    if (f.getBusNumber && f.getDeviceAddress) {
        s->busNumber = f.getBusNumber(entry->device);
        s->address = f.getDeviceAddress(entry->device);
    }

    const int opened = f.usbOpenDev(context, entry->device);
    f.listFree(&list);
    if (opened < 0) {
        // Busy (another program, or a kernel driver that could not be
        // detached) or not permitted.
        f.ftdiFree(context);
        return DeviceNotOpened;
    }
    s->context = context;
    s->scratch.resize(PollSize);

    std::lock_guard<std::mutex> lock(m_mutex);
    const quintptr value = m_nextHandle++;
    m_sessions[value] = std::move(s);
    *handle = reinterpret_cast<Handle>(value);
    return Ok;
}

Status LibFtdiLibrary::close(Handle handle)
{
    std::shared_ptr<Session> s;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_sessions.find(reinterpret_cast<quintptr>(handle));
        if (it == m_sessions.end())
            return InvalidHandle;
        s = std::move(it->second);
        m_sessions.erase(it);
    }
    SessionLock lock(*s);
    if (s->context) {
        m_functions->usbClose(s->context);
        m_functions->ftdiFree(s->context);
        s->context = nullptr;
    }
    return Ok;
}

Status LibFtdiLibrary::read(Handle handle, void *buffer, std::uint32_t count, std::uint32_t *countRead)
{
    if (countRead)
        *countRead = 0;
    const std::shared_ptr<Session> s = session(handle);
    if (!s)
        return InvalidHandle;
    if (!countRead || (!buffer && count > 0))
        return InvalidParameter;
    char *target = static_cast<char *>(buffer);
    std::uint32_t got = 0;
    const Clock::time_point start = Clock::now();
    for (;;) {
        Status status = Ok;
        Clock::time_point pollStart;
        {
            std::unique_lock<std::mutex> lock(s->mutex);
            s->othersDone.wait(lock, [&] { return s->othersWaiting.load() == 0; });
            if (!s->context) {
                *countRead = got;
                return InvalidHandle;
            }
            got += takeQueued(s->received, s->head, target + got, count - got);
            if (got == count || expired(s->readTimeoutMs, start))
                break;
            pollStart = Clock::now();
            status = poll(*s, usbTimeoutFor(s->readTimeoutMs, pollStart - start));
            got += takeQueued(s->received, s->head, target + got, count - got);
        }
        if (status != Ok) {
            *countRead = got;
            return status;
        }
        if (got == count)
            break;
        // A chip answers an empty poll only after its latency timer; should a
        // poll come back at once with nothing, pause rather than spin.
        if (Clock::now() - pollStart < std::chrono::milliseconds(1))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    *countRead = got;
    return Ok;
}

Status LibFtdiLibrary::write(Handle handle, const void *buffer, std::uint32_t count,
                             std::uint32_t *countWritten)
{
    if (countWritten)
        *countWritten = 0;
    const std::shared_ptr<Session> s = session(handle);
    if (!s)
        return InvalidHandle;
    if (!countWritten || (!buffer && count > 0))
        return InvalidParameter;
    const unsigned char *bytes = static_cast<const unsigned char *>(buffer);
    SessionLock lock(*s);
    if (!s->context)
        return InvalidHandle;
    if (s->gone)
        return IoError;
    std::uint32_t written = 0;
    const Clock::time_point start = Clock::now();
    while (written < count) {
        int usbTimeout = 0; // no limit
        if (s->writeTimeoutMs != 0) {
            const auto left = std::chrono::milliseconds(s->writeTimeoutMs)
                - std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
            if (left.count() <= 0)
                break;
            usbTimeout = static_cast<int>(std::min<std::chrono::milliseconds::rep>(left.count(), INT_MAX));
        }
        s->context->usbWriteTimeout = usbTimeout;
        const int chunk = static_cast<int>(std::min<std::uint32_t>(count - written, s->writeChunk));
        const int n = m_functions->writeData(s->context, bytes + written, chunk);
        if (n < 0) {
            // A failed transfer is either the write time-out (the chip took no
            // more; a success with fewer bytes) or a device that is gone.
            if (n == LibFtdi::DeviceUnavailable || !stillAttached(*s)) {
                s->gone = true;
                *countWritten = written;
                return IoError;
            }
            break;
        }
        written += static_cast<std::uint32_t>(n);
        if (n < chunk)
            break;
    }
    *countWritten = written;
    return Ok;
}

Status LibFtdiLibrary::setBaudRate(Handle handle, std::uint32_t baudRate)
{
    return withSession(handle, Gone::Refused, [&](Session &s) -> Status {
        if (baudRate == 0 || baudRate > INT_MAX)
            return InvalidBaudRate;
        const int result = m_functions->setBaudrate(s.context, static_cast<int>(baudRate));
        if (result == -1)
            return InvalidBaudRate;
        return result < 0 ? failed(s) : Ok;
    });
}

Status LibFtdiLibrary::setDataCharacteristics(Handle handle, std::uint8_t wordLength,
                                              std::uint8_t stopBits, std::uint8_t parity)
{
    return withSession(handle, Gone::Refused, [&](Session &s) -> Status {
        // Word length, stop bits (0 one, 1 one and a half, 2 two) and parity take
        // the same numbers in both libraries.
        if ((wordLength != Bits7 && wordLength != Bits8) || stopBits > StopBits2 || parity > ParitySpace)
            return InvalidParameter;
        return m_functions->setLineProperty(s.context, wordLength, stopBits, parity) < 0 ? failed(s) : Ok;
    });
}

Status LibFtdiLibrary::setFlowControl(Handle handle, std::uint16_t flowControl, std::uint8_t xon,
                                      std::uint8_t xoff)
{
    return withSession(handle, Gone::Refused, [&](Session &s) -> Status {
        int result = 0;
        if (flowControl == FlowXonXoff && m_functions->setFlowCtrlXonXoff)
            result = m_functions->setFlowCtrlXonXoff(s.context, xon, xoff);
        else if (flowControl == FlowNone || flowControl == FlowRtsCts || flowControl == FlowDtrDsr
                 || flowControl == FlowXonXoff)
            result = m_functions->setFlowCtrl(s.context, flowControl);
        else
            return InvalidParameter;
        return result < 0 ? failed(s) : Ok;
    });
}

Status LibFtdiLibrary::purge(Handle handle, std::uint32_t mask)
{
    return withSession(handle, Gone::Refused, [&](Session &s) -> Status {
        if (mask & ~(PurgeRx | PurgeTx))
            return InvalidParameter;
        if (mask == 0)
            return Ok;
        if (mask & PurgeRx) {
            s.received.clear();
            s.head = 0;
            s.lastReported = SIZE_MAX;
        }
        const Functions &f = *m_functions;
        int result = 0;
        if (f.tciflush && f.tcoflush && f.tcioflush)
            result = mask == (PurgeRx | PurgeTx) ? f.tcioflush(s.context)
                : mask == PurgeRx                ? f.tciflush(s.context)
                                                 : f.tcoflush(s.context);
        else
            // Releases before 1.5 purge both buffers in one call only.
            result = f.usbPurgeBuffers(s.context);
        return result < 0 ? failed(s) : Ok;
    });
}

Status LibFtdiLibrary::setTimeouts(Handle handle, std::uint32_t readMs, std::uint32_t writeMs)
{
    return withSession(handle, Gone::Allowed, [&](Session &s) -> Status {
        s.readTimeoutMs = readMs;
        s.writeTimeoutMs = writeMs;
        return Ok;
    });
}

Status LibFtdiLibrary::getQueueStatus(Handle handle, std::uint32_t *rxBytes)
{
    const std::shared_ptr<Session> s = session(handle);
    if (!s)
        return InvalidHandle;
    if (!rxBytes)
        return InvalidParameter;
    SessionLock lock(*s);
    if (!s->context)
        return InvalidHandle;
    // A query asks the chip when the queue is empty or nothing was taken from
    // it since the last query (the caller waits for more than it holds).
    // Otherwise the caller is working through what it was told of, and the
    // queue's count answers without a USB round trip, which costs up to a
    // latency-timer period when the chip has nothing to send.
    if (s->queued() == 0 || s->queued() == s->lastReported) {
        const Status status = poll(*s, QueueQueryUsbTimeoutMs);
        if (status != Ok)
            return status;
    } else if (s->gone) {
        return IoError;
    }
    s->lastReported = s->queued();
    *rxBytes = static_cast<std::uint32_t>(std::min<std::size_t>(s->lastReported, UINT32_MAX));
    return Ok;
}

Status LibFtdiLibrary::getStatus(Handle handle, std::uint32_t *rxBytes, std::uint32_t *txBytes,
                                 std::uint32_t *eventStatus)
{
    if (!txBytes || !eventStatus)
        return InvalidParameter;
    const Status status = getQueueStatus(handle, rxBytes);
    if (status != Ok)
        return status;
    // libftdi writes synchronously: nothing of a finished write waits on the
    // host side. It reports no events.
    *txBytes = 0;
    *eventStatus = 0;
    return Ok;
}

Status LibFtdiLibrary::setLatencyTimer(Handle handle, std::uint8_t milliseconds)
{
    return withSession(handle, Gone::Refused, [&](Session &s) -> Status {
        const int result = m_functions->setLatencyTimer(s.context, milliseconds);
        if (result == -1)
            return InvalidParameter;
        return result < 0 ? failed(s) : Ok;
    });
}

Status LibFtdiLibrary::setBitMode(Handle handle, std::uint8_t mask, std::uint8_t mode)
{
    return withSession(handle, Gone::Refused, [&](Session &s) -> Status {
        return m_functions->setBitmode(s.context, mask, mode) < 0 ? failed(s) : Ok;
    });
}

Status LibFtdiLibrary::setUsbParameters(Handle handle, std::uint32_t inTransferSize,
                                        std::uint32_t outTransferSize)
{
    return withSession(handle, Gone::Refused, [&](Session &s) -> Status {
        if (!validTransferSize(inTransferSize) || !validTransferSize(outTransferSize))
            return InvalidParameter;
        // libftdi's read buffer is the USB request size of its reads; writes go
        // out in pieces of the write chunk size.
        if (m_functions->readDataSetChunksize(s.context, inTransferSize) < 0
            || m_functions->writeDataSetChunksize(s.context, outTransferSize) < 0)
            return InsufficientResources;
        s.writeChunk = outTransferSize;
        return Ok;
    });
}

Status LibFtdiLibrary::getDeviceInfo(Handle handle, DeviceType *type, std::uint32_t *id,
                                     char *serialNumber, char *description, void *)
{
    return withSession(handle, Gone::Allowed, [&](Session &s) -> Status {
        if (type)
            *type = s.type;
        if (id)
            *id = s.id;
        copyText(serialNumber, ListSerialSize, s.serialNumber.c_str());
        copyText(description, ListDescriptionSize, s.description.c_str());
        return Ok;
    });
}

Status LibFtdiLibrary::cyclePort(Handle handle)
{
    return withSession(handle, Gone::Refused, [&](Session &s) -> Status {
        if (!m_functions->resetDevice)
            return NotSupported;
        // A USB port reset: a chip whose descriptors changed (a new identity in
        // its EEPROM) comes back as a new device. Either way the handle is done.
        const int result = m_functions->resetDevice(s.context->usbDeviceHandle);
        s.gone = true;
        return result == 0 || result == LibFtdi::UsbErrorNotFound ? Ok : IoError;
    });
}

Status LibFtdiLibrary::createDeviceInfoList(std::uint32_t *count)
{
    if (!count)
        return InvalidParameter;
    *count = 0;
    if (!m_loaded)
        return DeviceNotFound;
    const Functions &f = *m_functions;
    std::lock_guard<std::mutex> enumerating(m_enumerationMutex);

    std::vector<std::pair<int, int>> openDevices; // (bus, address) of this provider's handles
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto &entry : m_sessions)
            if (entry.second->busNumber >= 0)
                openDevices.emplace_back(entry.second->busNumber, entry.second->address);
    }

    std::vector<ListNode> nodes;
    Status status = Ok;
    // Without a USB context (no USB access at all) there is no device.
    if (ContextHead *context = f.ftdiNew()) {
        DeviceList *list = nullptr;
        if (f.usbFindAll(context, &list, 0, 0) < 0) {
            status = IoError;
        } else {
            for (DeviceList *entry = list; entry; entry = entry->next) {
                ListNode node = {};
                DeviceDescriptor descriptor = {};
                node.type = DeviceUnknown;
                if (f.getDeviceDescriptor(entry->device, &descriptor) == 0) {
                    node.type = chipTypeOf(descriptor);
                    node.id = std::uint32_t(descriptor.idVendor) << 16 | descriptor.idProduct;
                }
                if (isHighSpeed(node.type))
                    node.flags |= FlagHighSpeed;
                if (f.getBusNumber) {
                    const int bus = f.getBusNumber(entry->device);
                    std::uint32_t location = static_cast<std::uint32_t>(bus);
                    std::uint8_t ports[6] = {};
                    const int depth = f.getPortNumbers ? f.getPortNumbers(entry->device, ports, 6) : -1;
                    if (depth > 0) {
                        for (int i = 0; i < depth; ++i)
                            location = location << 4 | (ports[i] & 0xFu);
                    } else if (f.getDeviceAddress) {
                        location = location << 8 | f.getDeviceAddress(entry->device);
                    }
                    node.locationId = location;
                    if (f.getDeviceAddress
                        && std::find(openDevices.begin(), openDevices.end(),
                                     std::make_pair(bus, int(f.getDeviceAddress(entry->device))))
                               != openDevices.end())
                        node.flags |= FlagOpened;
                }
                // Devices this process may not open keep empty texts.
                f.usbGetStrings(context, entry->device, nullptr, 0, node.description,
                                sizeof node.description, node.serialNumber, sizeof node.serialNumber);
                node.serialNumber[sizeof node.serialNumber - 1] = '\0';
                node.description[sizeof node.description - 1] = '\0';
                nodes.push_back(node);
            }
        }
        if (list)
            f.listFree(&list);
        f.ftdiFree(context);
    }

    std::lock_guard<std::mutex> lock(m_mutex);
    m_snapshot = std::move(nodes);
    *count = static_cast<std::uint32_t>(m_snapshot.size());
    return status;
}

Status LibFtdiLibrary::getDeviceInfoList(ListNode *nodes, std::uint32_t *count)
{
    if (!count)
        return InvalidParameter;
    if (!m_loaded) {
        *count = 0;
        return DeviceNotFound;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (nodes && !m_snapshot.empty())
        std::memcpy(nodes, m_snapshot.data(), m_snapshot.size() * sizeof(ListNode));
    *count = static_cast<std::uint32_t>(m_snapshot.size());
    return Ok;
}

// ---- EEPROM ----------------------------------------------------------------

Status LibFtdiLibrary::loadEeprom(Session &s, bool *blank)
{
    *blank = false;
    const int result = m_functions->readEeprom(s.context);
    if (result < 0)
        return stillAttached(s) ? EepromReadFailed : (s.gone = true, IoError);
    unsigned char image[LibFtdi::MaxEepromSize];
    if (m_functions->getEepromBuf(s.context, image, sizeof image) == 0
        && std::all_of(std::begin(image), std::end(image), [](unsigned char b) { return b == 0xFF; })) {
        *blank = true;
        return Ok;
    }
    return m_functions->eepromDecode(s.context, 0) < 0 ? EepromReadFailed : Ok;
}

int LibFtdiLibrary::eepromValue(Session &s, int name, int fallback)
{
    int value = 0;
    return m_functions->getEepromValue(s.context, name, &value) == 0 ? value : fallback;
}

Status LibFtdiLibrary::setEepromValue(Session &s, int name, int value)
{
    return m_functions->setEepromValue(s.context, name, value) == 0 ? Ok : EepromWriteFailed;
}

void LibFtdiLibrary::readEepromTexts(Session &s, char *manufacturer, char *description,
                                     char *serialNumber)
{
    char texts[3][TextBufferSize] = {};
    if (m_functions->eepromGetStrings) {
        m_functions->eepromGetStrings(s.context, texts[0], TextBufferSize, texts[1], TextBufferSize,
                                      texts[2], TextBufferSize);
        texts[0][TextBufferSize - 1] = texts[1][TextBufferSize - 1] = texts[2][TextBufferSize - 1] = '\0';
    } else {
        // Releases without the call: a programmed chip reports its EEPROM
        // texts as its USB strings.
        copyText(texts[1], TextBufferSize, s.description.c_str());
        copyText(texts[2], TextBufferSize, s.serialNumber.c_str());
    }
    copyText(manufacturer, TextBufferSize, texts[0]);
    copyText(description, TextBufferSize, texts[1]);
    copyText(serialNumber, TextBufferSize, texts[2]);
}

// Fills libftdi's EEPROM image from the chip, or from libftdi's defaults for
// the chip type when the chip's EEPROM is blank or unreadable, so that
// programming changes the identity fields and keeps every other setting.
Status LibFtdiLibrary::startEepromImage(Session &s)
{
    bool blank = false;
    const Status status = loadEeprom(s, &blank);
    if (status == Ok && !blank)
        return Ok;
    if (status == IoError)
        return status;
    return m_functions->eepromInitDefaults(s.context, nullptr, nullptr, nullptr) < 0 ? EepromWriteFailed
                                                                                     : Ok;
}

Status LibFtdiLibrary::writeEepromImage(Session &s, const Identity &identity)
{
    if (!m_functions->eepromSetStrings)
        return NotSupported;
    Status status = startEepromImage(s);
    if (status != Ok)
        return status;
    const std::string manufacturer = callerText(identity.manufacturer);
    const std::string description = callerText(identity.description);
    const std::string serialNumber = callerText(identity.serialNumber);
    if (m_functions->eepromSetStrings(s.context, manufacturer.c_str(), description.c_str(),
                                      serialNumber.c_str()) < 0)
        return EepromWriteFailed;

    // A zero id in the record keeps the chip's: writing it would leave a chip
    // that no FTDI driver finds.
    const std::pair<int, int> values[] = {
        {LibFtdi::VendorId, identity.vendorId ? identity.vendorId : -1},
        {LibFtdi::ProductId, identity.productId ? identity.productId : -1},
        {LibFtdi::MaxPower, identity.maxPower},
        {LibFtdi::SelfPowered, identity.selfPowered != 0},
        {LibFtdi::RemoteWakeup, identity.remoteWakeup != 0},
        {LibFtdi::IsNotPnp, identity.notPnp},
        {LibFtdi::UseSerial, identity.useSerial != 0},
        {LibFtdi::SuspendPullDowns, identity.pullDowns},
        {LibFtdi::ChannelAType, identity.channelType},
        {LibFtdi::ChannelADriver, identity.driver},
    };
    for (const auto &value : values) {
        if (value.second < 0)
            continue;
        status = setEepromValue(s, value.first, value.second);
        if (status != Ok)
            return status;
    }
    if (m_functions->eepromBuild(s.context) < 0)
        return EepromWriteFailed;
    if (m_functions->writeEeprom(s.context) < 0)
        return stillAttached(s) ? EepromWriteFailed : (s.gone = true, IoError);
    return Ok;
}

Status LibFtdiLibrary::eeRead(Handle handle, ProgramData *data)
{
    const std::shared_ptr<Session> s = session(handle);
    if (!s)
        return InvalidHandle;
    if (!data || data->signature1 != ProgramDataSignature1 || data->signature2 != ProgramDataSignature2)
        return InvalidParameter;
    SessionLock lock(*s);
    if (!s->context)
        return InvalidHandle;
    if (s->gone)
        return IoError;
    // The FT-X series has the per-chip record only.
    if (s->type == DeviceXSeries)
        return NotSupported;
    bool blank = false;
    const Status status = loadEeprom(*s, &blank);
    if (status != Ok)
        return status;
    if (blank)
        return EepromNotProgrammed;

    data->vendorId = static_cast<std::uint16_t>(eepromValue(*s, LibFtdi::VendorId, 0));
    data->productId = static_cast<std::uint16_t>(eepromValue(*s, LibFtdi::ProductId, 0));
    data->maxPower = static_cast<std::uint16_t>(eepromValue(*s, LibFtdi::MaxPower, 0));
    data->selfPowered = eepromValue(*s, LibFtdi::SelfPowered, 0) != 0;
    data->remoteWakeup = eepromValue(*s, LibFtdi::RemoteWakeup, 0) != 0;
    data->pnp = eepromValue(*s, LibFtdi::IsNotPnp, 0) == 0;
    const std::uint8_t useSerial = eepromValue(*s, LibFtdi::UseSerial, 0) != 0;
    const int channelType = eepromValue(*s, LibFtdi::ChannelAType, LibFtdi::ChannelIsUart);
    const bool vcp = eepromValue(*s, LibFtdi::ChannelADriver, 0) == LibFtdi::DriverVcp;
    readEepromTexts(*s, data->manufacturer, data->description, data->serialNumber);
    copyText(data->manufacturerId, TextBufferSize, "");

    if (s->type == Device232R && data->version >= ProgramDataVersion232R) {
        data->serNumEnableR = useSerial;
        data->rIsD2XX = !vcp;
    } else if (s->type == Device232H && data->version >= ProgramDataVersion232H) {
        data->serNumEnableH = useSerial;
        data->isFifoH = channelType == LibFtdi::ChannelIsFifo;
        data->isFifoTarH = channelType == LibFtdi::ChannelIsCpu;
        data->isFastSerH = channelType == LibFtdi::ChannelIsOpto;
        data->isFT1248H = channelType == LibFtdi::ChannelIsFt1284;
        data->isVCPH = vcp;
    } else {
        data->serNumEnable = useSerial;
    }
    return Ok;
}

Status LibFtdiLibrary::eeProgram(Handle handle, ProgramData *data)
{
    const std::shared_ptr<Session> s = session(handle);
    if (!s)
        return InvalidHandle;
    if (!data || data->signature1 != ProgramDataSignature1 || data->signature2 != ProgramDataSignature2)
        return InvalidParameter;
    SessionLock lock(*s);
    if (!s->context)
        return InvalidHandle;
    if (s->gone)
        return IoError;
    if (s->type == DeviceXSeries || s->type == DeviceUnknown)
        return NotSupported;

    Identity identity;
    identity.manufacturer = data->manufacturer;
    identity.description = data->description;
    identity.serialNumber = data->serialNumber;
    identity.vendorId = data->vendorId;
    identity.productId = data->productId;
    identity.maxPower = data->maxPower;
    identity.selfPowered = data->selfPowered;
    identity.remoteWakeup = data->remoteWakeup;
    identity.notPnp = data->pnp == 0;
    identity.useSerial = data->serNumEnable;
    if (s->type == Device232R && data->version >= ProgramDataVersion232R) {
        identity.useSerial = data->serNumEnableR;
        identity.driver = data->rIsD2XX ? 0 : LibFtdi::DriverVcp;
    } else if (s->type == Device232H && data->version >= ProgramDataVersion232H) {
        identity.useSerial = data->serNumEnableH;
        identity.channelType = data->isFifoH      ? LibFtdi::ChannelIsFifo
            : data->isFifoTarH                    ? LibFtdi::ChannelIsCpu
            : data->isFastSerH                    ? LibFtdi::ChannelIsOpto
            : data->isFT1248H                     ? LibFtdi::ChannelIsFt1284
                                                  : LibFtdi::ChannelIsUart;
        identity.driver = data->isVCPH ? LibFtdi::DriverVcp : 0;
    }
    return writeEepromImage(*s, identity);
}

Status LibFtdiLibrary::eepromRead(Handle handle, void *data, std::uint32_t size, char *manufacturer,
                                  char *manufacturerId, char *description, char *serialNumber)
{
    const std::shared_ptr<Session> s = session(handle);
    if (!s)
        return InvalidHandle;
    if (!data)
        return InvalidParameter;
    SessionLock lock(*s);
    if (!s->context)
        return InvalidHandle;
    if (s->gone)
        return IoError;
    EepromHeader &header = *static_cast<EepromHeader *>(data);
    if (header.deviceType != s->type)
        return InvalidParameter;
    // Of the per-chip records, the FT-X one is the one known here.
    if (s->type != DeviceXSeries)
        return NotSupported;
    if (size < sizeof(EepromXSeries))
        return InvalidParameter;
    bool blank = false;
    const Status status = loadEeprom(*s, &blank);
    if (status != Ok)
        return status;
    if (blank)
        return EepromNotProgrammed;

    EepromXSeries &record = *static_cast<EepromXSeries *>(data);
    record.common.vendorId = static_cast<std::uint16_t>(eepromValue(*s, LibFtdi::VendorId, 0));
    record.common.productId = static_cast<std::uint16_t>(eepromValue(*s, LibFtdi::ProductId, 0));
    record.common.serNumEnable = eepromValue(*s, LibFtdi::UseSerial, 0) != 0;
    record.common.maxPower = static_cast<std::uint16_t>(eepromValue(*s, LibFtdi::MaxPower, 0));
    record.common.selfPowered = eepromValue(*s, LibFtdi::SelfPowered, 0) != 0;
    record.common.remoteWakeup = eepromValue(*s, LibFtdi::RemoteWakeup, 0) != 0;
    record.common.pullDownEnable = eepromValue(*s, LibFtdi::SuspendPullDowns, 0) != 0;
    // The record's driver type: 0 the D2XX driver, 1 the virtual COM port.
    record.driverType = eepromValue(*s, LibFtdi::ChannelADriver, 0) == LibFtdi::DriverVcp;
    readEepromTexts(*s, manufacturer, description, serialNumber);
    copyText(manufacturerId, TextBufferSize, "");
    return Ok;
}

Status LibFtdiLibrary::eepromProgram(Handle handle, void *data, std::uint32_t size, char *manufacturer,
                                     char *, char *description, char *serialNumber)
{
    const std::shared_ptr<Session> s = session(handle);
    if (!s)
        return InvalidHandle;
    if (!data)
        return InvalidParameter;
    SessionLock lock(*s);
    if (!s->context)
        return InvalidHandle;
    if (s->gone)
        return IoError;
    const EepromHeader &header = *static_cast<const EepromHeader *>(data);
    if (header.deviceType != s->type)
        return InvalidParameter;
    if (s->type != DeviceXSeries)
        return NotSupported;
    if (size < sizeof(EepromXSeries))
        return InvalidParameter;
    const EepromXSeries &record = *static_cast<const EepromXSeries *>(data);

    Identity identity;
    identity.manufacturer = manufacturer;
    identity.description = description;
    identity.serialNumber = serialNumber;
    identity.vendorId = record.common.vendorId;
    identity.productId = record.common.productId;
    identity.maxPower = record.common.maxPower;
    identity.selfPowered = record.common.selfPowered;
    identity.remoteWakeup = record.common.remoteWakeup;
    identity.useSerial = record.common.serNumEnable;
    identity.pullDowns = record.common.pullDownEnable != 0;
    identity.driver = record.driverType ? LibFtdi::DriverVcp : 0;
    return writeEepromImage(*s, identity);
}
