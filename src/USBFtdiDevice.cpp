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

struct USBFtdiDevice::Surplus
{
    std::mutex mutex;
    std::vector<char> bytes; // unread from head on
    std::size_t head = 0;
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
    result.rxQueueBytes = quint32(std::min<qint64>(qint64(rx) + surplusSize(), UINT_MAX));
    result.txQueueBytes = tx;
    return result;
}

unsigned long USBFtdiDevice::purge()
{
    if (m_surplus) {
        std::lock_guard<std::mutex> lock(m_surplus->mutex);
        m_surplus->bytes.clear();
        m_surplus->head = 0;
    }
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
    m_surplus = std::make_shared<Surplus>();
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
    // Only the listed serial number names the listed chip: one that reports
    // none may be any chip that moved up into the listed position.
    const auto isListedChip = [&] {
        return textFrom(identity.serialNumber, TextBufferSize) == m_serialNumber;
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

std::uint32_t USBFtdiDevice::vendorRead(std::uint32_t count)
{
    const std::size_t roomSize = std::size_t(count) + OverlongReadRoom;
    if (m_room.size < roomSize) {
        // Left uninitialised: only what a read hands over is copied out.
        m_room.bytes.reset(new char[roomSize]);
        m_room.size = roomSize;
    }
    std::uint32_t got = 0;
    const Status status = m_api->read(m_handle, m_room.bytes.get(), count, &got);
    if (status != Ok)
        fail(status);
    // More than the room holds: memory past it has been written, and the
    // opening is not used again.
    if (got > m_room.size)
        fail(IoError);
    return got;
}

int USBFtdiDevice::handOver(std::uint32_t got, char *buffer, int capacity)
{
    const int copied = int(std::min<std::uint32_t>(got, std::uint32_t(std::max(0, capacity))));
    if (copied > 0)
        std::memcpy(buffer, m_room.bytes.get(), std::size_t(copied));
    if (got > std::uint32_t(copied) && m_surplus) {
        std::lock_guard<std::mutex> lock(m_surplus->mutex);
        m_surplus->bytes.insert(m_surplus->bytes.end(), m_room.bytes.get() + copied,
                                m_room.bytes.get() + got);
    }
    return copied;
}

int USBFtdiDevice::takeSurplus(char *buffer, int count)
{
    if (!m_surplus || count <= 0)
        return 0;
    std::lock_guard<std::mutex> lock(m_surplus->mutex);
    Surplus &s = *m_surplus;
    const int n = int(std::min<std::size_t>(std::size_t(count), s.bytes.size() - s.head));
    if (n > 0) {
        std::memcpy(buffer, s.bytes.data() + s.head, std::size_t(n));
        s.head += std::size_t(n);
        if (s.head == s.bytes.size()) {
            s.bytes.clear();
            s.head = 0;
        }
    }
    return n;
}

void USBFtdiDevice::putBackSurplus(const char *bytes, int count)
{
    if (!m_surplus || count <= 0)
        return;
    std::lock_guard<std::mutex> lock(m_surplus->mutex);
    Surplus &s = *m_surplus;
    if (s.head >= std::size_t(count)) {
        s.head -= std::size_t(count);
        std::memcpy(s.bytes.data() + s.head, bytes, std::size_t(count));
    } else {
        s.bytes.insert(s.bytes.begin() + std::ptrdiff_t(s.head), bytes, bytes + count);
    }
}

int USBFtdiDevice::surplusSize() const
{
    if (!m_surplus)
        return 0;
    std::lock_guard<std::mutex> lock(m_surplus->mutex);
    return int(std::min<std::size_t>(m_surplus->bytes.size() - m_surplus->head, INT_MAX));
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
    int have = takeSurplus(buffer, count);
    if (have < count) {
        try {
            have += handOver(vendorRead(std::uint32_t(count - have)), buffer + have, count - have);
        } catch (...) {
            putBackSurplus(buffer, have);
            throw;
        }
    }
    // All or nothing: bytes of a read that timed out stay first in line.
    if (have < count) {
        putBackSurplus(buffer, have);
        throw timedOut();
    }
}

int USBFtdiDevice::readAvailable(QByteArray &buffer, int targetSize)
{
    requireOpen();
    const int missing = std::min(std::max(0, targetSize - buffer.size()), int(MaxAvailableRead));
    const int oldSize = buffer.size();
    buffer.resize(oldSize + missing);
    int got = takeSurplus(buffer.data() + oldSize, missing);
    std::uint32_t queued = 0;
    if (got < missing) {
        // A failed query tells that the device is gone; bytes taken from
        // the surplus are handed over first, and the next call fails.
        const Status status = m_api->getQueueStatus(m_handle, &queued);
        if (status != Ok) {
            buffer.resize(oldSize + got);
            if (got == 0)
                fail(status);
            if (m_lost)
                m_lost->store(true);
            return got;
        }
    }
    const std::uint32_t n = std::min<std::uint32_t>(queued, std::uint32_t(missing - got));
    if (n > 0) {
        std::uint32_t read = 0;
        try {
            read = vendorRead(n);
        } catch (...) {
            // Keep only bytes that really arrived: the grown tail is not data.
            buffer.resize(oldSize + got);
            throw;
        }
        got += handOver(read, buffer.data() + oldSize + got, missing - got);
        if (read < n) {
            buffer.resize(oldSize + got);
            throw timedOut();
        }
    }
    buffer.resize(oldSize + got);
    return got;
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
    return int(std::min<qint64>(qint64(queued) + surplusSize(), INT_MAX));
}

int USBFtdiDevice::readSome(char *buffer, int capacity)
{
    requireOpen();
    if (capacity <= 0)
        return 0;
    // Bytes handed over earlier come first, without a wait.
    int have = takeSurplus(buffer, capacity);
    if (have > 0)
        return have;
    // One byte, waiting up to the read time-out: the vendor read returns as
    // soon as it is there. FTDI's D2XX (1.4.24 for Linux) hands over
    // everything it holds instead, and reports that count, when its time-out
    // expires just as a packet arrives: what does not fit is kept as surplus.
    have = handOver(vendorRead(1), buffer, capacity);
    if (have == 0 || have == capacity || surplusSize() > 0)
        return have;
    std::uint32_t queued = 0;
    const Status status = m_api->getQueueStatus(m_handle, &queued);
    if (status != Ok)
        fail(status);
    const std::uint32_t more = std::min(queued, std::uint32_t(capacity - have));
    if (more == 0)
        return have;
    return have + handOver(vendorRead(more), buffer + have, capacity - have);
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
    ChipIdentity chip;
    Status status = openListedChip(handle, chip);
    if (status != Ok)
        return USBResult::fromFtStatus(status);
    const DeviceType type = chip.type;

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
