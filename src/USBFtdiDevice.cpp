#include "USBFtdiDevice.h"

#include <QThread>
#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "FtdiBackend.h"
#include "USBSerialNumber.h"

using namespace Ftdi;

namespace {

const int SerialNumberMaxLength = 16;
const int DescriptionMaxLength = 63;

USBResult notOpen()
{
    return USBResult(QStringLiteral("Device not open"), 2);
}

USBResult timedOut()
{
    return USBResult(QStringLiteral("Communication timed out"), 2);
}

// A text of at most `size` bytes that may lack its terminating zero.
QString textFrom(const char *bytes, int size)
{
    return QString::fromLatin1(bytes, static_cast<int>(qstrnlen(bytes, static_cast<uint>(size))));
}

// The four text buffers of the EEPROM calls, zeroed.
struct EepromTexts
{
    char manufacturer[TextBufferSize] = {};
    char manufacturerId[TextBufferSize] = {};
    char description[TextBufferSize] = {};
    char serialNumber[TextBufferSize] = {};

    void pointRecordAtBuffers(ProgramData &data)
    {
        data.manufacturer = manufacturer;
        data.manufacturerId = manufacturerId;
        data.description = description;
        data.serialNumber = serialNumber;
    }
};

// Writes the first `maxChars` characters of `text` as single bytes followed by
// a zero byte; a character beyond Latin-1 becomes a zero byte.
void putText(char *buffer, const QString &text, int maxChars)
{
    const int count = std::min(text.size(), maxChars);
    for (int i = 0; i < count; ++i) {
        const ushort c = text.at(i).unicode();
        buffer[i] = c > 255 ? '\0' : static_cast<char>(c);
    }
    buffer[count] = '\0';
}

void prepareProgramData(ProgramDataBuffer &buffer, EepromTexts &texts, std::uint32_t version)
{
    std::memset(&buffer, 0, sizeof buffer);
    buffer.data.signature1 = ProgramDataSignature1;
    buffer.data.signature2 = ProgramDataSignature2;
    buffer.data.version = version;
    texts.pointRecordAtBuffers(buffer.data);
}

// The record an FT232H whose EEPROM was never programmed starts from.
void prepareDefaultProgramData(ProgramDataBuffer &buffer, EepromTexts &texts)
{
    texts = EepromTexts();
    prepareProgramData(buffer, texts, ProgramDataVersion232H);
    buffer.data.vendorId = 0x0403;
    buffer.data.productId = 0x6001;
    std::strcpy(texts.manufacturer, "FTDI");
    std::strcpy(texts.manufacturerId, "FT");
    buffer.data.maxPower = 500;
    buffer.data.pnp = 1;
}

void putIdentity(EepromTexts &texts, const USBDeviceIdentity &identity)
{
    putText(texts.description, identity.description, DescriptionMaxLength);
    putText(texts.serialNumber, identity.serialNumber, SerialNumberMaxLength);
}

} // namespace

// What the vendor reports for an open chip.
struct USBFtdiDevice::ChipIdentity
{
    DeviceType type = 0;
    std::uint32_t id = 0;
    char serialNumber[TextBufferSize] = {};
    char description[TextBufferSize] = {};
};

std::mutex &USBFtdiDevice::vendorListMutex()
{
    static std::mutex mutex;
    return mutex;
}

USBFtdiDevice::USBFtdiDevice(std::shared_ptr<FtdiApi> api, const ListNode &node, int index)
    : USBDevice(index, node.id, textFrom(node.serialNumber, sizeof node.serialNumber),
                textFrom(node.description, sizeof node.description)),
      m_api(api ? std::move(api) : FtdiBackend::current())
{
    // The node's handle is not adopted: it names a handle that another object
    // of this process opened and will close, so holding it would make this
    // device look open and keep a handle that dies with its owner.
}

USBFtdiDevice::~USBFtdiDevice() = default;

void USBFtdiDevice::resetAndClose()
{
    if (!m_handle)
        return;
    m_api->cyclePort(m_handle);
    m_api->close(m_handle);
    // The handle is gone; keeping it would make the device look open.
    m_handle = nullptr;
}

bool USBFtdiDevice::isOpen() const
{
    return m_handle != nullptr;
}

int USBFtdiDevice::threadPriority() const
{
    return m_threadPriority;
}

std::shared_ptr<USBDevice> USBFtdiDevice::clone() const
{
    return std::shared_ptr<USBDevice>(new USBFtdiDevice(*this));
}

USBDeviceStatus USBFtdiDevice::status()
{
    USBDeviceStatus result;
    if (!m_handle) {
        result.state = USBDeviceStatus::NotOpen;
        return result;
    }
    std::uint32_t rx = 0, tx = 0, events = 0;
    const Status status = m_api->getStatus(m_handle, &rx, &tx, &events);
    if (status != Ok) {
        if (m_lost)
            m_lost->store(true);
        result.state = USBDeviceStatus::QueryFailed;
        result.message = USBResult::fromFtStatus(status).toString();
        return result;
    }
    result.state = USBDeviceStatus::Open;
    result.rxQueueBytes = rx;
    result.txQueueBytes = tx;
    return result;
}

unsigned long USBFtdiDevice::purge()
{
    return m_api->purge(m_handle, PurgeRx | PurgeTx);
}

USBResult USBFtdiDevice::failAndClose(Handle handle, Status status)
{
    m_api->close(handle);
    return USBResult::fromFtStatus(status);
}

USBResult USBFtdiDevice::open(int baudRate)
{
    if (m_handle)
        return USBResult(QStringLiteral("Device already open"), 2);

    Handle handle = nullptr;
    ChipIdentity identity;
    Status status = openListedChip(handle, identity);
    if (status != Ok)
        return USBResult::fromFtStatus(status);
    m_threadPriority = InheritPriority;
    const DeviceType type = identity.type;

    const USBSerialNumber serialNumber(readEepromSerialNumber(handle, type));
    if (!serialNumber.valid) {
        m_api->close(handle);
        return USBResult(QStringLiteral("Unknown USB serial number"), 2);
    }

    const USBResult configured = type == Device232H
        ? configureFifo(handle)
        : configureUart(handle, baudRate, serialNumber.handshakeLetter);
    if (!configured.isSuccess())
        return configured;

    status = m_api->purge(handle, PurgeRx | PurgeTx);
    if (status != Ok)
        return failAndClose(handle, status);

    m_handle = handle;
    m_lost = std::make_shared<std::atomic<bool>>(false);
    return USBResult::fromFtStatus(Ok);
}

Status USBFtdiDevice::openListedChip(Handle &handle, ChipIdentity &identity)
{
    const auto openAt = [&](int index) {
        identity = ChipIdentity();
        handle = nullptr;
        Status status = m_api->open(index, &handle);
        if (status == Ok)
            status = m_api->getDeviceInfo(handle, &identity.type, &identity.id, identity.serialNumber,
                                          identity.description, nullptr);
        if (status != Ok && handle) {
            m_api->close(handle);
            handle = nullptr;
        }
        return status;
    };
    // A chip that reports no serial number cannot be told apart from the
    // listed one and is taken as it.
    const auto isListedChip = [&] {
        const QString serial = textFrom(identity.serialNumber, TextBufferSize);
        return serial.isEmpty() || serial == m_serialNumber;
    };

    std::lock_guard<std::mutex> lock(vendorListMutex());
    const Status status = openAt(m_index);
    if (status == Ok && isListedChip())
        return Ok;
    // The vendor opens by position in its current device list, which closes
    // up when a chip listed before this one is unplugged: the listed position
    // may now name another instrument's chip, or none. The listed chip is
    // opened where it is now. Where the list still shows it at its place,
    // the first outcome stands (a chip may report its serial number longer
    // than the list holds it).
    const int current = currentListIndex();
    if (current == m_index)
        return status;
    if (handle) {
        m_api->close(handle);
        handle = nullptr;
    }
    // Gone from the list: the first outcome was about whatever chip now sits
    // at the old place (busy in another opening, say), not about this one.
    if (current < 0)
        return DeviceNotFound;
    const Status moved = openAt(current);
    if (moved == Ok && isListedChip()) {
        m_index = current;
        return Ok;
    }
    if (handle) {
        m_api->close(handle);
        handle = nullptr;
    }
    return moved != Ok ? moved : DeviceNotFound;
}

int USBFtdiDevice::currentListIndex() const
{
    std::uint32_t count = 0;
    if (m_api->createDeviceInfoList(&count) != Ok || count == 0)
        return -1;
    std::vector<ListNode> nodes(count);
    std::uint32_t listed = count;
    if (m_api->getDeviceInfoList(nodes.data(), &listed) != Ok)
        return -1;
    listed = std::min(listed, count);
    for (std::uint32_t i = 0; i < listed; ++i) {
        if (textFrom(nodes[i].serialNumber, sizeof nodes[i].serialNumber) == m_serialNumber)
            return static_cast<int>(i);
    }
    return -1;
}

bool USBFtdiDevice::isLost() const
{
    return m_handle && m_lost && m_lost->load();
}

void USBFtdiDevice::fail(Status status)
{
    if (m_lost)
        m_lost->store(true);
    throw USBResult::fromFtStatus(status);
}

QString USBFtdiDevice::readEepromSerialNumber(Handle handle, DeviceType type)
{
    EepromTexts texts;
    if (type == Device232R || type == Device232H) {
        ProgramDataBuffer buffer;
        prepareProgramData(buffer, texts,
                           type == Device232R ? ProgramDataVersion232R : ProgramDataVersion232H);
        if (type == Device232H)
            m_threadPriority = TimeCriticalPriority;
        if (m_api->eeRead(handle, &buffer.data) != Ok)
            return QString();
        return textFrom(texts.serialNumber, TextBufferSize);
    }
    if (type == DeviceXSeries) {
        EepromXSeries record = {};
        record.common.deviceType = DeviceXSeries;
        if (m_api->eepromRead(handle, &record, sizeof record, texts.manufacturer,
                              texts.manufacturerId, texts.description, texts.serialNumber) != Ok)
            return QString();
        return textFrom(texts.serialNumber, TextBufferSize);
    }
    return QString();
}

USBResult USBFtdiDevice::configureFifo(Handle handle)
{
    Status status = m_api->setBitMode(handle, 0xFF, BitModeReset);
    if (status != Ok)
        return failAndClose(handle, status);
    QThread::msleep(10);
    status = m_api->setBitMode(handle, 0xFF, BitModeSyncFifo);
    if (status != Ok)
        return failAndClose(handle, status);
    QThread::msleep(10);
    status = m_api->setLatencyTimer(handle, 2);
    if (status == Ok)
        status = m_api->setUsbParameters(handle, 65536, 65536);
    if (status == Ok)
        status = m_api->setFlowControl(handle, FlowRtsCts, 0, 0);
    if (status != Ok)
        return failAndClose(handle, status);
    return USBResult();
}

USBResult USBFtdiDevice::configureUart(Handle handle, int baudRate, int handshakeLetter)
{
    Status status = m_api->setBaudRate(handle, static_cast<std::uint32_t>(baudRate));
    if (status == Ok)
        status = m_api->setFlowControl(handle, handshakeLetter == 1 ? FlowRtsCts : FlowNone, 0, 0);
    if (status == Ok)
        status = m_api->setDataCharacteristics(handle, Bits8, StopBits1, ParityEven);
    if (status == Ok)
        status = m_api->setLatencyTimer(handle, 2);
    if (status == Ok)
        status = m_api->setUsbParameters(handle, 8192, 256);
    if (status != Ok)
        return failAndClose(handle, status);
    return USBResult();
}

USBResult USBFtdiDevice::close()
{
    // The handle is forgotten before the vendor call: whoever sees the chip
    // closed also sees this device closed.
    if (Handle handle = m_handle) {
        m_handle = nullptr;
        m_api->close(handle);
    }
    return USBResult();
}

void USBFtdiDevice::requireOpen() const
{
    if (!m_handle)
        throw notOpen();
}

void USBFtdiDevice::writeByte(char byte)
{
    requireOpen();
    std::uint32_t written = 0;
    const Status status = m_api->write(m_handle, &byte, 1, &written);
    if (status != Ok)
        fail(status);
    if (written != 1)
        throw timedOut();
}

int USBFtdiDevice::write(const QByteArray &bytes)
{
    requireOpen();
    if (bytes.isEmpty())
        return 0;
    // A write whose time-out expires part-way has passed on only some of the
    // bytes. The rest goes out again, so that the instrument receives the
    // frame whole: a frame cut short would take the next frame's first bytes
    // as its own and carry out a setting nobody sent. Only a write that takes
    // nothing at all (a whole time-out without progress) gives up.
    const std::uint32_t total = static_cast<std::uint32_t>(bytes.size());
    std::uint32_t sent = 0;
    while (sent < total) {
        std::uint32_t written = 0;
        const Status status = m_api->write(m_handle, bytes.constData() + sent, total - sent, &written);
        if (status != Ok)
            fail(status);
        if (written == 0 || written > total - sent)
            throw timedOut();
        sent += written;
    }
    return bytes.size();
}

QByteArray USBFtdiDevice::read(int count)
{
    char buffer[ReadBufferSize];
    read(buffer, count);
    return QByteArray(buffer, count);
}

void USBFtdiDevice::read(char *buffer, int count)
{
    requireOpen();
    Q_ASSERT(count < 1000);
    // Callers stay below the buffer size; a count outside it is refused
    // rather than read past a buffer.
    if (count < 0 || count >= ReadBufferSize)
        throw USBResult::fromFtStatus(InvalidParameter);
    // Into room for more than was asked: a vendor library that hands over
    // more than that (see readSome) must not write past the caller's buffer.
    // Bytes beyond the count cannot be given back, so such a read fails
    // rather than drop them unnoticed.
    // Left uninitialised: only what the read hands over is copied out.
    const std::size_t roomSize = static_cast<std::size_t>(count) + OverlongReadRoom;
    const std::unique_ptr<char[]> room(new char[roomSize]);
    std::uint32_t got = 0;
    const Status status = m_api->read(m_handle, room.get(), static_cast<std::uint32_t>(count), &got);
    if (status != Ok)
        fail(status);
    if (got > roomSize)
        fail(IoError);
    if (got > static_cast<std::uint32_t>(count))
        throw USBResult::fromFtStatus(IoError);
    std::memcpy(buffer, room.get(), got);
    if (got < static_cast<std::uint32_t>(count))
        throw timedOut();
}

int USBFtdiDevice::readAvailable(QByteArray &buffer, int targetSize)
{
    requireOpen();
    std::uint32_t queued = 0;
    // A failed query counts as nothing available here; it still tells that
    // the device is gone.
    if (m_api->getQueueStatus(m_handle, &queued) != Ok) {
        queued = 0;
        if (m_lost)
            m_lost->store(true);
    }
    const int missing = std::max(0, targetSize - buffer.size());
    const int n = static_cast<int>(
        std::min<std::uint32_t>({queued, static_cast<std::uint32_t>(missing),
                                 static_cast<std::uint32_t>(MaxAvailableRead)}));
    const int oldSize = buffer.size();
    buffer.resize(oldSize + n);
    std::uint32_t got = 0;
    const Status status = m_api->read(m_handle, buffer.data() + oldSize,
                                      static_cast<std::uint32_t>(n), &got);
    if (status != Ok || got < static_cast<std::uint32_t>(n)) {
        // Keep only bytes that really arrived: the grown tail is not data.
        buffer.resize(oldSize + static_cast<int>(std::min<std::uint32_t>(got, static_cast<std::uint32_t>(n))));
        if (status != Ok)
            fail(status);
        throw timedOut();
    }
    return n;
}

int USBFtdiDevice::bytesAvailable()
{
    std::uint32_t queued = 0;
    const Status status = m_api->getQueueStatus(m_handle, &queued);
    if (status != Ok) {
        if (!m_handle)
            throw USBResult::fromFtStatus(status);
        fail(status);
    }
    return static_cast<int>(std::min<std::uint32_t>(queued, INT_MAX));
}

int USBFtdiDevice::readSome(char *buffer, int capacity)
{
    requireOpen();
    if (capacity <= 0)
        return 0;
    // One byte, waiting up to the read time-out: the vendor read returns as
    // soon as it is there. FTDI's D2XX (1.4.24 for Linux) hands over
    // everything it holds instead, and reports that count, when its time-out
    // expires just as a packet arrives: those bytes are in the buffer and are
    // all kept. One that wrote past the buffer has damaged memory beyond it,
    // and the opening fails.
    std::uint32_t got = 0;
    Status status = m_api->read(m_handle, buffer, 1, &got);
    if (status != Ok)
        fail(status);
    if (got == 0)
        return 0;
    if (got > 1) {
        if (got > static_cast<std::uint32_t>(capacity))
            fail(IoError);
        return static_cast<int>(got);
    }
    std::uint32_t queued = 0;
    status = m_api->getQueueStatus(m_handle, &queued);
    if (status != Ok)
        fail(status);
    const std::uint32_t more = std::min(queued, static_cast<std::uint32_t>(capacity - 1));
    if (more == 0)
        return 1;
    std::uint32_t rest = 0;
    status = m_api->read(m_handle, buffer + 1, more, &rest);
    if (status != Ok)
        fail(status);
    return 1 + static_cast<int>(std::min(rest, more));
}

unsigned long USBFtdiDevice::setDefaultTimeouts()
{
    return m_api->setTimeouts(m_handle, 1000, 1000);
}

unsigned long USBFtdiDevice::setStreamTimeouts()
{
    return m_api->setTimeouts(m_handle, 50, 1000);
}

USBResult USBFtdiDevice::programIdentity(const USBDeviceIdentity &identity)
{
    if (isOpen())
        return USBResult(QStringLiteral("Already open."), 2);

    Handle handle = nullptr;
    Status status = m_api->open(m_index, &handle);
    if (status != Ok) {
        if (handle)
            m_api->close(handle);
        return USBResult::fromFtStatus(status);
    }
    DeviceType type = 0;
    std::uint32_t id = 0;
    char serial[TextBufferSize] = {};
    char description[TextBufferSize] = {};
    status = m_api->getDeviceInfo(handle, &type, &id, serial, description, nullptr);
    if (status != Ok)
        return failAndClose(handle, status);

    EepromTexts texts;
    if (type == Device232R) {
        ProgramDataBuffer buffer;
        prepareProgramData(buffer, texts, ProgramDataVersion232R);
        status = m_api->eeRead(handle, &buffer.data);
        if (status == Ok) {
            putIdentity(texts, identity);
            buffer.data.maxPower = identity.maxPower;
            buffer.data.selfPowered = identity.selfPowered;
            // Serial number reported to the host, D2XX driver rather than a
            // virtual COM port.
            buffer.data.serNumEnableR = 1;
            buffer.data.rIsD2XX = 1;
            status = m_api->eeProgram(handle, &buffer.data);
        }
    } else if (type == Device232H) {
        ProgramDataBuffer buffer;
        prepareProgramData(buffer, texts, ProgramDataVersion232H);
        status = m_api->eeRead(handle, &buffer.data);
        if (status == EepromNotProgrammed) {
            prepareDefaultProgramData(buffer, texts);
            status = Ok;
        }
        if (status == Ok) {
            buffer.data.usbVersionEnable = 1;
            buffer.data.usbVersion = 0x0200;
            putIdentity(texts, identity);
            buffer.data.maxPower = identity.maxPower;
            buffer.data.selfPowered = identity.selfPowered;
            // Synchronous FIFO needs the 245 FIFO interface; D2XX driver.
            buffer.data.serNumEnableH = 1;
            buffer.data.isFifoH = 1;
            buffer.data.isVCPH = 0;
            status = m_api->eeProgram(handle, &buffer.data);
        }
    } else if (type == DeviceXSeries) {
        EepromXSeries record = {};
        record.common.deviceType = DeviceXSeries;
        status = m_api->eepromRead(handle, &record, sizeof record, texts.manufacturer,
                                   texts.manufacturerId, texts.description, texts.serialNumber);
        if (status != Ok)
            return failAndClose(handle, status);
        putIdentity(texts, identity);
        record.common.maxPower = identity.maxPower;
        record.common.selfPowered = identity.selfPowered;
        record.common.serNumEnable = 1;
        status = m_api->eepromProgram(handle, &record, sizeof record, texts.manufacturer,
                                      texts.manufacturerId, texts.description, texts.serialNumber);
    } else {
        // Nothing can be written to this chip: say so instead of reporting
        // an identity change that did not happen.
        status = NotSupported;
    }

    if (status == Ok)
        m_api->cyclePort(handle);
    m_api->close(handle);
    return USBResult::fromFtStatus(status);
}
