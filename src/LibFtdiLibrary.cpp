#include "LibFtdiLibrary.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>

#include "LibFtdiDeviceList.h"
#include "LibFtdiEeprom.h"
#include "LibFtdiFunctions.h"
#include "LibFtdiReceiver.h"
#include "LibFtdiTypes.h"

using namespace Ftdi;
using LibFtdi::ContextHead;
using LibFtdi::DeviceDescriptor;
using LibFtdi::DeviceList;

// One open device.
struct LibFtdiLibrary::Session
{
    // Held for each libftdi call on `context` (libftdi contexts are not
    // thread-safe); never by reads and queue queries, which the receiver
    // answers.
    std::mutex mutex;
    // Guarded by `mutex`; null once closed.
    ContextHead *context = nullptr;
    // Made at opening, kept until the last copy of the session has gone.
    std::unique_ptr<LibFtdiReceiver> receiver;
    std::atomic<std::uint32_t> readTimeoutMs{300};
    std::uint32_t writeTimeoutMs = 300;
    std::uint32_t writeChunk = 4096;
    // Port-cycled, or found vanished by a libftdi call: only close is left.
    std::atomic<bool> gone{false};

    // Fixed at opening.
    DeviceType type = 0;
    std::uint32_t id = 0;
    std::string serialNumber;
    std::string description;
    int busNumber = -1;
    int address = -1;

    bool isGone() const { return gone || receiver->lost(); }
    LibFtdiEeprom eeprom(const LibFtdiFunctions &f)
    {
        return LibFtdiEeprom(f, context, type, description, serialNumber);
    }
};

namespace {

using Clock = std::chrono::steady_clock;

// Bulk IN transfers kept in flight per device, and their size (libftdi's
// largest read on Linux, where libusb keeps bulk transfers within 16 KiB).
constexpr int TransfersInFlight = 4;
constexpr int TransferSize = 16384;
// Texts as the device list holds them (with their terminating zero).
constexpr int ListSerialSize = 16;
constexpr int ListDescriptionSize = 64;

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
    for (auto &entry : sessions)
        closeSession(*entry.second);
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
    m_functions = new LibFtdiFunctions();
    if (!m_functions->resolve(m_library, m_usbLibrary)) {
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
    std::lock_guard<std::mutex> lock(s->mutex);
    if (!s->context)
        return InvalidHandle;
    if (gone == Gone::Refused && s->isGone())
        return IoError;
    return action(*s);
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

void LibFtdiLibrary::closeSession(Session &s)
{
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.context)
        return;
    // Every transfer is cancelled and reaped before libftdi lets the device go.
    s.receiver->close();
    m_functions->usbClose(s.context);
    m_functions->ftdiFree(s.context);
    s.context = nullptr;
}

Status LibFtdiLibrary::open(int index, Handle *handle)
{
    if (!handle)
        return InvalidParameter;
    *handle = nullptr;
    if (!m_loaded || index < 0)
        return DeviceNotFound;
    const LibFtdiFunctions &f = *m_functions;
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
    s->type = f.getDeviceDescriptor(entry->device, &descriptor) == 0 ? LibFtdiDeviceList::chipTypeOf(descriptor)
                                                                      : LibFtdi::DeviceUnknown;
    s->id = std::uint32_t(descriptor.idVendor) << 16 | descriptor.idProduct;
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
    s->receiver.reset(new LibFtdiReceiver(f, context));
    if (!s->receiver->start(TransfersInFlight, TransferSize)) {
        closeSession(*s);
        return DeviceNotOpened;
    }

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
    closeSession(*s);
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
    if (s->gone)
        return IoError;
    return s->receiver->read(static_cast<char *>(buffer), count, s->readTimeoutMs, countRead);
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
    std::lock_guard<std::mutex> lock(s->mutex);
    if (!s->context)
        return InvalidHandle;
    if (s->isGone())
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
}Status LibFtdiLibrary::setBaudRate(Handle handle, std::uint32_t baudRate)
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
        const LibFtdiFunctions &f = *m_functions;
        // The receive side: no transfer in flight while the chip's buffer is
        // flushed, so that no byte from before the purge arrives after it.
        if (mask & PurgeRx)
            s.receiver->pause();
        int result = 0;
        if (f.tciflush && f.tcoflush && f.tcioflush)
            result = mask == (PurgeRx | PurgeTx) ? f.tcioflush(s.context)
                : mask == PurgeRx                ? f.tciflush(s.context)
                                                 : f.tcoflush(s.context);
        else
            // Releases before 1.5 purge both buffers in one call only.
            result = f.usbPurgeBuffers(s.context);
        if (mask & PurgeRx) {
            s.receiver->clear();
            s.receiver->resume();
        }
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
    if (s->gone)
        return IoError;
    return s->receiver->queued(rxBytes);
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
        LibFtdiEeprom::copyText(serialNumber, ListSerialSize, s.serialNumber.c_str());
        LibFtdiEeprom::copyText(description, ListDescriptionSize, s.description.c_str());
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
    std::lock_guard<std::mutex> enumerating(m_enumerationMutex);
    std::vector<std::pair<int, int>> openDevices; // (bus, address) of this provider's handles
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto &entry : m_sessions)
            if (entry.second->busNumber >= 0)
                openDevices.emplace_back(entry.second->busNumber, entry.second->address);
    }
    std::vector<ListNode> nodes;
    const Status status = LibFtdiDeviceList::build(*m_functions, openDevices, nodes);
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

// An EEPROM call that finds the device gone leaves only close.
Status LibFtdiLibrary::eepromCall(Session &s, Status status)
{
    if (status == IoError)
        s.gone = true;
    return status;
}

Status LibFtdiLibrary::eeRead(Handle handle, ProgramData *data)
{
    if (!session(handle))
        return InvalidHandle;
    if (!data || data->signature1 != ProgramDataSignature1 || data->signature2 != ProgramDataSignature2)
        return InvalidParameter;
    return withSession(handle, Gone::Refused,
                       [&](Session &s) { return eepromCall(s, s.eeprom(*m_functions).read(*data)); });
}

Status LibFtdiLibrary::eeProgram(Handle handle, ProgramData *data)
{
    if (!session(handle))
        return InvalidHandle;
    if (!data || data->signature1 != ProgramDataSignature1 || data->signature2 != ProgramDataSignature2)
        return InvalidParameter;
    return withSession(handle, Gone::Refused,
                       [&](Session &s) { return eepromCall(s, s.eeprom(*m_functions).program(*data)); });
}

Status LibFtdiLibrary::eepromRead(Handle handle, void *data, std::uint32_t size, char *manufacturer,
                                  char *manufacturerId, char *description, char *serialNumber)
{
    if (!session(handle))
        return InvalidHandle;
    if (!data)
        return InvalidParameter;
    return withSession(handle, Gone::Refused, [&](Session &s) -> Status {
        const Status status = checkXRecord(s, data, size);
        if (status != Ok)
            return status;
        return eepromCall(s, s.eeprom(*m_functions)
                                 .readX(*static_cast<EepromXSeries *>(data), manufacturer, manufacturerId,
                                        description, serialNumber));
    });
}

Status LibFtdiLibrary::eepromProgram(Handle handle, void *data, std::uint32_t size, char *manufacturer,
                                     char *, char *description, char *serialNumber)
{
    if (!session(handle))
        return InvalidHandle;
    if (!data)
        return InvalidParameter;
    return withSession(handle, Gone::Refused, [&](Session &s) -> Status {
        const Status status = checkXRecord(s, data, size);
        if (status != Ok)
            return status;
        return eepromCall(s, s.eeprom(*m_functions)
                                 .programX(*static_cast<const EepromXSeries *>(data), manufacturer,
                                           description, serialNumber));
    });
}

// The per-chip record must name the chip's type; of them, the FT-X one is
// the one known here.
Status LibFtdiLibrary::checkXRecord(Session &s, const void *data, std::uint32_t size)
{
    if (static_cast<const EepromHeader *>(data)->deviceType != s.type)
        return InvalidParameter;
    if (s.type != DeviceXSeries)
        return NotSupported;
    return size < sizeof(EepromXSeries) ? InvalidParameter : Ok;
}
