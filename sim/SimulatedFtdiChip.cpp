#include "SimulatedFtdiChip.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>

#include "SimulatedClock.h"

using namespace Ftdi;

namespace {

std::uint16_t usualProductId(DeviceType type)
{
    switch (type) {
    case Device232R: return 0x6001;
    case Device2232H: return 0x6010;
    case Device4232H: return 0x6011;
    case Device232H: return 0x6014;
    case DeviceXSeries: return 0x6015;
    default: return 0x6001;
    }
}

// Copies at most maxLength bytes of a text and its terminator into a caller buffer.
void copyOut(char *destination, const QByteArray &text, int maxLength)
{
    if (!destination)
        return;
    const int length = std::min(text.size(), maxLength);
    std::memcpy(destination, text.constData(), static_cast<size_t>(length));
    destination[length] = '\0';
}

bool validTransferSize(std::uint32_t size)
{
    return size >= 64 && size <= 65536 && size % 64 == 0;
}

} // namespace

SimulatedFtdiChip::SimulatedFtdiChip(DeviceType type, const QString &serialNumber,
                                     const QString &description, std::shared_ptr<SimulatedPeer> peer)
    : m_type(type), m_listedSerialNumber(serialNumber), m_listedDescription(description),
      m_usbId(0x0403u << 16 | usualProductId(type)),
      m_eeprom(type, usualProductId(type), serialNumber.toLatin1(), description.toLatin1()), m_peer(std::move(peer))
{
    m_clock.start();
}

SimulatedFtdiChip::~SimulatedFtdiChip() = default;

DeviceType SimulatedFtdiChip::type() const
{
    return m_type;
}

QString SimulatedFtdiChip::listedSerialNumber() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_listedSerialNumber;
}

QString SimulatedFtdiChip::listedDescription() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_listedDescription;
}

std::uint32_t SimulatedFtdiChip::usbId() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_usbId;
}

void SimulatedFtdiChip::setUsbId(std::uint32_t id)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_usbId = id;
}

void SimulatedFtdiChip::setEepromIdentity(const QString &serialNumber, const QString &description)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_eeprom.serialNumber = serialNumber.toLatin1();
    m_eeprom.description = description.toLatin1();
}

SimulatedFtdiChip::Eeprom SimulatedFtdiChip::eeprom() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Eeprom copy = m_eeprom;
    copy.programmed = !(m_faults & BlankEeprom);
    return copy;
}

void SimulatedFtdiChip::setPeer(std::shared_ptr<SimulatedPeer> peer)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_peer = std::move(peer);
}

std::shared_ptr<SimulatedPeer> SimulatedFtdiChip::peer() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_peer;
}

void SimulatedFtdiChip::setFault(Fault fault, bool on)
{
    std::shared_ptr<SimulatedPeer> powerLost;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const bool wasUnplugged = m_faults & Unplugged;
        if (on)
            m_faults |= fault;
        else
            m_faults &= ~fault;
        if (fault == Unplugged && on != wasUnplugged) {
            // Unplugging ends the opening for good; plugging in again starts
            // from an empty chip.
            m_session = 0;
            clearReceived();
            clearInFlight();
            m_transmitQueue.clear();
            signalArrival();
            if (on)
                powerLost = m_peer;
        }
    }
    // The device behind loses its power with the cable.
    if (powerLost)
        powerLost->portCycled();
}

void SimulatedFtdiChip::setPaced(bool paced)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (paced == m_paced)
        return;
    if (!paced) {
        // Whatever was still on its way becomes visible at once.
        closeOpenPacket(0);
        for (const InFlight &run : m_inFlight)
            queueForHost(run.bytes.constData(), static_cast<std::size_t>(run.bytes.size()));
        m_inFlight.clear();
    }
    m_paced = paced;
    signalArrival();
}

bool SimulatedFtdiChip::isPaced() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_paced;
}

bool SimulatedFtdiChip::hasFault(Fault fault) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_faults & fault;
}

bool SimulatedFtdiChip::isOpen() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_session != 0;
}

int SimulatedFtdiChip::openCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_openCount;
}

int SimulatedFtdiChip::closeCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_closeCount;
}

int SimulatedFtdiChip::portCycleCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_portCycleCount;
}

SimulatedFtdiChip::Configuration SimulatedFtdiChip::configuration() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_configuration;
}

void SimulatedFtdiChip::setQueueStatusHook(QueueStatusHook hook)
{
    auto shared = hook ? std::make_shared<const QueueStatusHook>(std::move(hook)) : nullptr;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queueStatusHook.swap(shared);
    // The previous hook is released after the lock: a running query may still
    // hold it, and destroying its captures must not happen under the lock.
}

void SimulatedFtdiChip::setReadTimeoutHook(QueueStatusHook hook)
{
    auto shared = hook ? std::make_shared<const QueueStatusHook>(std::move(hook)) : nullptr;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_readTimeoutHook.swap(shared);
}

void SimulatedFtdiChip::failNextRead(Status status)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_failNextRead = status;
}

QList<SimulatedFtdiChip::Call> SimulatedFtdiChip::calls() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    QList<Call> result;
    result.reserve(static_cast<int>(m_calls.size()));
    for (std::size_t i = 0; i < m_calls.size(); ++i) {
        const LoggedCall &call = m_calls[(m_oldestCall + i) % m_calls.size()];
        QString text = QString::fromLatin1(call.name);
        for (int a = 0; a < call.argumentCount; ++a)
            text += QLatin1Char(' ') + QString::number(call.arguments[a]);
        result.append(Call{text, call.atNs});
    }
    return result;
}

QStringList SimulatedFtdiChip::callTexts() const
{
    QStringList texts;
    for (const Call &call : calls())
        texts.append(call.text);
    return texts;
}

void SimulatedFtdiChip::clearCalls()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.clear();
    m_oldestCall = 0;
}

QByteArray SimulatedFtdiChip::hostWritten() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_hostWritten;
}

QByteArray SimulatedFtdiChip::takeHostWritten()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    QByteArray bytes;
    bytes.swap(m_hostWritten);
    return bytes;
}

int SimulatedFtdiChip::receiveQueueSize() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<int>(receivedCount());
}

qint64 SimulatedFtdiChip::lastDeliveredNs() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lastDeliveredNs;
}

int SimulatedFtdiChip::transmitQueueSize() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_transmitQueue.size();
}

void SimulatedFtdiChip::sendToHost(const QByteArray &bytes)
{
    sendToHostProducedAt(-1, bytes);
}

void SimulatedFtdiChip::sendToHostProducedAt(qint64 producedNs, const QByteArray &bytes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if ((m_faults & Unplugged) || bytes.isEmpty())
        return;
    if (!m_paced) {
        queueForHost(bytes.constData(), static_cast<std::size_t>(bytes.size()));
        m_lastDeliveredNs = SimulatedClock::nowNs();
        signalArrival();
        return;
    }
    if (producedNs < 0)
        producedNs = SimulatedClock::nowNs();

    // The bytes leave the device one after another over the UART, then fill
    // USB packets; a full packet goes to the host as its last byte arrives,
    // a partly filled one at the next tick of the latency timer.
    const qint64 start = std::max(producedNs, m_wireFreeNs);
    const std::size_t size = static_cast<std::size_t>(bytes.size());
    const std::size_t payload = usbPacketPayload();
    std::size_t position = 0;
    while (position < size) {
        const qint64 firstArrival = start + wireNs(position + 1);
        if (!m_openPacket.isEmpty() && m_openPacketTickNs <= firstArrival)
            closeOpenPacket(m_openPacketTickNs);
        if (m_openPacket.isEmpty())
            m_openPacketTickNs = tickAfter(firstArrival);
        const std::size_t take = std::min(payload - static_cast<std::size_t>(m_openPacket.size()),
                                          size - position);
        m_openPacket.append(bytes.constData() + position, static_cast<int>(take));
        position += take;
        if (static_cast<std::size_t>(m_openPacket.size()) >= payload)
            closeOpenPacket(start + wireNs(position));
    }
    m_wireFreeNs = start + wireNs(size);
    signalArrival();
}

void SimulatedFtdiChip::queueForHost(const char *bytes, std::size_t count)
{
    // Drop the consumed front once it is at least half the queue: each byte is
    // moved at most once on average, and the capacity is kept.
    if (m_receiveHead > 0 && m_receiveHead * 2 >= m_receiveQueue.size()) {
        m_receiveQueue.erase(m_receiveQueue.begin(),
                             m_receiveQueue.begin() + static_cast<std::ptrdiff_t>(m_receiveHead));
        m_receiveHead = 0;
    }
    m_receiveQueue.insert(m_receiveQueue.end(), bytes, bytes + count);
}

void SimulatedFtdiChip::signalArrival()
{
    ++m_wakeups;
    m_dataArrived.notify_all();
}

void SimulatedFtdiChip::closeOpenPacket(qint64 visibleNs)
{
    if (m_openPacket.isEmpty())
        return;
    m_inFlight.push_back(InFlight{visibleNs, m_openPacket});
    m_openPacket.clear();
}

void SimulatedFtdiChip::clearInFlight()
{
    m_inFlight.clear();
    m_openPacket.clear();
    m_wireFreeNs = 0;
}

void SimulatedFtdiChip::deliverDue(qint64 nowNs)
{
    if (!m_openPacket.isEmpty() && m_openPacketTickNs <= nowNs)
        closeOpenPacket(m_openPacketTickNs);
    while (!m_inFlight.empty() && m_inFlight.front().visibleNs <= nowNs) {
        const QByteArray &run = m_inFlight.front().bytes;
        queueForHost(run.constData(), static_cast<std::size_t>(run.size()));
        m_lastDeliveredNs = m_inFlight.front().visibleNs;
        m_inFlight.pop_front();
    }
}

qint64 SimulatedFtdiChip::nextDeliveryNs() const
{
    if (!m_inFlight.empty())
        return m_inFlight.front().visibleNs;
    if (!m_openPacket.isEmpty())
        return m_openPacketTickNs;
    return -1;
}

qint64 SimulatedFtdiChip::tickAfter(qint64 ns) const
{
    // A latency of 0 ms is not a setting the chip takes; it runs at 1 ms then.
    const qint64 period = std::max<qint64>(1, m_configuration.latencyTimer) * SimulatedClock::NsPerMs;
    const qint64 since = std::max<qint64>(0, ns - m_timerOriginNs);
    return m_timerOriginNs + (since / period + 1) * period;
}

qint64 SimulatedFtdiChip::wireNs(std::size_t bytes) const
{
    // An FT232H in FIFO mode moves bytes far faster than any instrument makes them.
    if (m_type == Device232H || m_configuration.baudRate == 0)
        return 0;
    const std::uint32_t bitsPerCharacter = 1 + m_configuration.wordLength
                                           + (m_configuration.parity != ParityNone ? 1 : 0)
                                           + (m_configuration.stopBits == StopBits2 ? 2 : 1);
    return static_cast<qint64>(bytes) * bitsPerCharacter * 1000000000LL / m_configuration.baudRate;
}

std::size_t SimulatedFtdiChip::usbPacketPayload() const
{
    // Two bytes of every USB packet carry the modem status.
    return m_type == Device232H ? 510 : 62;
}

qint64 SimulatedFtdiChip::catchUpWithPeer()
{
    std::shared_ptr<SimulatedPeer> peer;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_paced || (m_faults & Unplugged))
            return -1;
        peer = m_peer;
    }
    if (!peer)
        return -1;
    peer->advance(SimulatedClock::nowNs(), *this);
    return peer->nextOutputNs();
}

void SimulatedFtdiChip::clearReceived()
{
    // clear() keeps the capacity for the next bytes.
    m_receiveQueue.clear();
    m_receiveHead = 0;
}

bool SimulatedFtdiChip::pluggedIn() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return !(m_faults & Unplugged);
}

Status SimulatedFtdiChip::checkSession(quintptr session) const
{
    if (session == 0)
        return InvalidHandle;
    if ((m_faults & Unplugged) || m_session != session)
        return IoError;
    return Ok;
}

void SimulatedFtdiChip::logCall(const char *name, std::initializer_list<std::uint32_t> arguments)
{
    LoggedCall call{name, {}, 0, m_clock.nsecsElapsed()};
    for (const std::uint32_t argument : arguments) {
        if (call.argumentCount < 3)
            call.arguments[call.argumentCount++] = argument;
    }
    // Bounded: a chip on a long-running simulated bus is polled without end.
    if (m_calls.size() < MaxLoggedCalls) {
        m_calls.push_back(call);
    } else {
        m_calls[m_oldestCall] = call;
        m_oldestCall = (m_oldestCall + 1) % m_calls.size();
    }
}

Status SimulatedFtdiChip::openSession(quintptr session)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    logCall("open");
    if (m_faults & Unplugged)
        return DeviceNotFound;
    if (m_session != 0)
        return DeviceNotOpened;
    m_session = session;
    ++m_openCount;
    m_configuration = Configuration();
    clearInFlight();
    m_timerOriginNs = SimulatedClock::nowNs();
    return Ok;
}

Status SimulatedFtdiChip::closeSession(quintptr session, bool *wasLive)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    logCall("close");
    *wasLive = session != 0 && m_session == session && !(m_faults & Unplugged);
    if (m_session == session) {
        m_session = 0;
        ++m_closeCount;
        signalArrival();
    }
    return Ok;
}

Status SimulatedFtdiChip::read(quintptr session, void *buffer, std::uint32_t count, std::uint32_t *got)
{
    qint64 peerNext = catchUpWithPeer();
    std::unique_lock<std::mutex> lock(m_mutex);
    if (count > 0) // the protocol's polls read nothing when nothing waits
        logCall("read", {count});
    if (got)
        *got = 0;
    Status status = checkSession(session);
    if (status != Ok)
        return status;
    if (!got || (!buffer && count > 0))
        return InvalidParameter;
    if (m_failNextRead != Ok) {
        status = m_failNextRead;
        m_failNextRead = Ok;
        return status;
    }
    const std::uint32_t timeout = m_configuration.readTimeout;
    const qint64 deadline = timeout == 0 ? std::numeric_limits<qint64>::max()
                                         : SimulatedClock::nowNs() + qint64(timeout) * SimulatedClock::NsPerMs;
    bool expired = false;
    for (;;) {
        qint64 now = SimulatedClock::nowNs();
        if (m_paced)
            deliverDue(now);
        if (receivedCount() >= count)
            break;
        if (now >= deadline) {
            expired = true;
            break;
        }
        // Sleep until the deadline, the chip's next USB transfer or the
        // device's next output, whichever comes first; bytes handed over,
        // host writes and closings wake the read early.
        qint64 wake = deadline;
        if (m_paced) {
            const qint64 delivery = nextDeliveryNs();
            if (delivery >= 0)
                wake = std::min(wake, delivery);
            if (peerNext >= 0)
                wake = std::min(wake, peerNext);
        }
        const quint64 seen = m_wakeups;
        const auto woken = [&] { return m_wakeups != seen || checkSession(session) != Ok; };
        if (wake == std::numeric_limits<qint64>::max()) {
            m_dataArrived.wait(lock, woken);
        } else {
            const auto until = std::chrono::steady_clock::time_point(std::chrono::nanoseconds(wake));
            m_dataArrived.wait_until(lock, until, woken);
        }
        status = checkSession(session);
        if (status != Ok)
            return status;
        if (m_paced) {
            lock.unlock();
            peerNext = catchUpWithPeer();
            lock.lock();
            status = checkSession(session);
            if (status != Ok)
                return status;
        }
    }
    if (expired && m_readTimeoutHook) {
        // Bytes that arrive just as the time-out expires.
        const std::shared_ptr<const QueueStatusHook> hook = m_readTimeoutHook;
        lock.unlock();
        (*hook)(*this);
        lock.lock();
        status = checkSession(session);
        if (status != Ok)
            return status;
        if (m_paced)
            deliverDue(SimulatedClock::nowNs());
    }
    std::size_t n = std::min<std::size_t>(count, receivedCount());
    // An overlong read hands over everything queued, up to one USB transfer
    // beyond its count: D2XX's when the time-out expired (bytes that arrived
    // meanwhile make it more than asked), or every read in the harsh form.
    const bool overlong = count > 0
        && ((m_faults & OverlongEveryRead) || (expired && (m_faults & OverlongReads)));
    if (overlong)
        n = std::min<std::size_t>(receivedCount(), std::size_t(count) + m_configuration.inTransferSize);
    if (n > 0) {
        std::memcpy(buffer, m_receiveQueue.data() + m_receiveHead, n);
        m_receiveHead += n;
        if (m_receiveHead == m_receiveQueue.size())
            clearReceived();
    }
    *got = static_cast<std::uint32_t>(n);
    return Ok;
}

Status SimulatedFtdiChip::write(quintptr session, const void *buffer, std::uint32_t count,
                                std::uint32_t *written)
{
    std::shared_ptr<SimulatedPeer> peer;
    QByteArray bytes;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        logCall("write", {count});
        if (written)
            *written = 0;
        const Status status = checkSession(session);
        if (status != Ok)
            return status;
        if (!written || (!buffer && count > 0))
            return InvalidParameter;
        std::uint32_t accepted = count;
        if ((m_faults & ShortWrites) && accepted > 0)
            --accepted;
        if (m_faults & PartialWrites)
            accepted = std::min<std::uint32_t>(accepted, 3);
        bytes = QByteArray(static_cast<const char *>(buffer), static_cast<int>(accepted));
        m_hostWritten.append(bytes);
        if (m_hostWritten.size() > MaxRecordedBytes)
            m_hostWritten.remove(0, m_hostWritten.size() - MaxRecordedBytes);
        peer = m_peer;
        if (!peer)
            m_transmitQueue.append(bytes);
        *written = accepted;
    }
    if (peer && !bytes.isEmpty()) {
        peer->hostWrote(bytes, *this);
        // The device may have planned an answer: a read waiting on another
        // thread must look again when to wake.
        std::lock_guard<std::mutex> lock(m_mutex);
        signalArrival();
    }
    return Ok;
}

Status SimulatedFtdiChip::setBaudRate(quintptr session, std::uint32_t baudRate)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    logCall("setBaudRate", {baudRate});
    const Status status = checkSession(session);
    if (status != Ok)
        return status;
    const std::uint32_t highest = m_type == Device232H ? 12000000u : 3000000u;
    if (baudRate < 183 || baudRate > highest)
        return InvalidBaudRate;
    m_configuration.baudRate = baudRate;
    return Ok;
}

Status SimulatedFtdiChip::setDataCharacteristics(quintptr session, std::uint8_t wordLength,
                                                 std::uint8_t stopBits, std::uint8_t parity)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    logCall("setDataCharacteristics", {wordLength, stopBits, parity});
    const Status status = checkSession(session);
    if (status != Ok)
        return status;
    if ((wordLength != Bits7 && wordLength != Bits8) || (stopBits != StopBits1 && stopBits != StopBits2)
        || parity > ParitySpace)
        return InvalidParameter;
    m_configuration.wordLength = wordLength;
    m_configuration.stopBits = stopBits;
    m_configuration.parity = parity;
    m_configuration.dataCharacteristicsSet = true;
    return Ok;
}

Status SimulatedFtdiChip::setFlowControl(quintptr session, std::uint16_t flow, std::uint8_t xon,
                                         std::uint8_t xoff)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    logCall("setFlowControl", {flow, xon, xoff});
    const Status status = checkSession(session);
    if (status != Ok)
        return status;
    if (flow != FlowNone && flow != FlowRtsCts && flow != FlowDtrDsr && flow != FlowXonXoff)
        return InvalidParameter;
    m_configuration.flowControl = flow;
    m_configuration.xon = xon;
    m_configuration.xoff = xoff;
    return Ok;
}

Status SimulatedFtdiChip::purge(quintptr session, std::uint32_t mask)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    logCall("purge", {mask});
    const Status status = checkSession(session);
    if (status != Ok)
        return status;
    if (mask & PurgeRx) {
        clearReceived();
        m_inFlight.clear();
        m_openPacket.clear();
    }
    if (mask & PurgeTx)
        m_transmitQueue.clear();
    ++m_configuration.purgeCount;
    m_configuration.purgeMasks |= mask;
    return Ok;
}

Status SimulatedFtdiChip::setTimeouts(quintptr session, std::uint32_t readMs, std::uint32_t writeMs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    logCall("setTimeouts", {readMs, writeMs});
    const Status status = checkSession(session);
    if (status != Ok)
        return status;
    m_configuration.readTimeout = readMs;
    m_configuration.writeTimeout = writeMs;
    return Ok;
}

Status SimulatedFtdiChip::getQueueStatus(quintptr session, std::uint32_t *rxBytes)
{
    std::shared_ptr<const QueueStatusHook> hook;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        hook = m_queueStatusHook;
    }
    if (hook)
        (*hook)(*this);
    catchUpWithPeer();
    std::lock_guard<std::mutex> lock(m_mutex);
    // Not logged: the protocol polls it continuously.
    const Status status = checkSession(session);
    if (status != Ok)
        return status;
    if (!rxBytes)
        return InvalidParameter;
    if (m_paced)
        deliverDue(SimulatedClock::nowNs());
    *rxBytes = static_cast<std::uint32_t>(receivedCount());
    return Ok;
}

Status SimulatedFtdiChip::getStatus(quintptr session, std::uint32_t *rx, std::uint32_t *tx,
                                    std::uint32_t *events)
{
    catchUpWithPeer();
    std::lock_guard<std::mutex> lock(m_mutex);
    logCall("getStatus");
    const Status status = checkSession(session);
    if (status != Ok)
        return status;
    if (!rx || !tx || !events)
        return InvalidParameter;
    if (m_paced)
        deliverDue(SimulatedClock::nowNs());
    *rx = static_cast<std::uint32_t>(receivedCount());
    *tx = static_cast<std::uint32_t>(m_transmitQueue.size());
    *events = 0;
    return Ok;
}

Status SimulatedFtdiChip::setLatencyTimer(quintptr session, std::uint8_t ms)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    logCall("setLatencyTimer", {ms});
    const Status status = checkSession(session);
    if (status != Ok)
        return status;
    m_configuration.latencyTimer = ms;
    return Ok;
}

Status SimulatedFtdiChip::setBitMode(quintptr session, std::uint8_t mask, std::uint8_t mode)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    logCall("setBitMode", {mask, mode});
    const Status status = checkSession(session);
    if (status != Ok)
        return status;
    m_configuration.bitModes.append(qMakePair(mask, mode));
    return Ok;
}

Status SimulatedFtdiChip::setUsbParameters(quintptr session, std::uint32_t in, std::uint32_t out)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    logCall("setUsbParameters", {in, out});
    const Status status = checkSession(session);
    if (status != Ok)
        return status;
    if (!validTransferSize(in) || !validTransferSize(out))
        return InvalidParameter;
    m_configuration.inTransferSize = in;
    m_configuration.outTransferSize = out;
    return Ok;
}

std::uint16_t SimulatedFtdiChip::classicRecordVersion() const
{
    return m_type == Device232R ? ProgramDataVersion232R : ProgramDataVersion232H;
}

Status SimulatedFtdiChip::eeRead(quintptr session, ProgramData *data)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    logCall("eeRead", {std::uint32_t(data ? data->version : 0)});
    Status status = checkSession(session);
    if (status != Ok)
        return status;
    if (m_type != Device232R && m_type != Device232H)
        return NotSupported;
    if (!data || data->signature1 != ProgramDataSignature1
        || data->signature2 != ProgramDataSignature2 || data->version < classicRecordVersion())
        return InvalidParameter;
    if (m_faults & EepromReadFailure)
        return EepromReadFailed;
    if (m_faults & BlankEeprom)
        return EepromNotProgrammed;
    m_eeprom.readRecord(*data);
    return Ok;
}

Status SimulatedFtdiChip::eeProgram(quintptr session, ProgramData *data)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    logCall("eeProgram", {std::uint32_t(data ? data->version : 0)});
    const Status status = checkSession(session);
    if (status != Ok)
        return status;
    if (m_type != Device232R && m_type != Device232H)
        return NotSupported;
    if (!data || data->signature1 != ProgramDataSignature1
        || data->signature2 != ProgramDataSignature2 || data->version < classicRecordVersion())
        return InvalidParameter;
    m_eeprom.programRecord(*data);
    m_faults &= ~BlankEeprom;
    return Ok;
}

Status SimulatedFtdiChip::eepromRead(quintptr session, void *data, std::uint32_t size,
                                     char *manufacturer, char *manufacturerId, char *description,
                                     char *serialNumber)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    logCall("eepromRead", {size});
    Status status = checkSession(session);
    if (status == Ok)
        status = SimulatedFtdiEeprom::checkImage(data, size, m_type);
    if (status != Ok)
        return status;
    if (m_faults & EepromReadFailure)
        return EepromReadFailed;
    if (m_faults & BlankEeprom)
        return EepromNotProgrammed;
    m_eeprom.readImage(data, manufacturer, manufacturerId, description, serialNumber);
    return Ok;
}

Status SimulatedFtdiChip::eepromProgram(quintptr session, void *data, std::uint32_t size,
                                        char *manufacturer, char *manufacturerId,
                                        char *description, char *serialNumber)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    logCall("eepromProgram", {size});
    Status status = checkSession(session);
    if (status == Ok)
        status = SimulatedFtdiEeprom::checkImage(data, size, m_type);
    if (status != Ok)
        return status;
    m_eeprom.programImage(data, manufacturer, manufacturerId, description, serialNumber);
    m_faults &= ~BlankEeprom;
    return Ok;
}

Status SimulatedFtdiChip::getDeviceInfo(quintptr session, DeviceType *type, std::uint32_t *id,
                                        char *serialNumber, char *description)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    logCall("getDeviceInfo");
    const Status status = checkSession(session);
    if (status != Ok)
        return status;
    if (type)
        *type = m_type;
    if (id)
        *id = m_usbId;
    // The library reports at most 16 and 64 bytes, terminator included.
    copyOut(serialNumber, m_listedSerialNumber.toLatin1(), 15);
    copyOut(description, m_listedDescription.toLatin1(), 63);
    return Ok;
}

Status SimulatedFtdiChip::cyclePort(quintptr session)
{
    std::shared_ptr<SimulatedPeer> peer;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        logCall("cyclePort");
        const Status status = checkSession(session);
        if (status != Ok)
            return status;
        ++m_portCycleCount;
        // The chip leaves the bus and comes back with what its EEPROM says;
        // the handle that cycled it is dead and only good for closing.
        if (!(m_faults & BlankEeprom)) {
            m_listedSerialNumber = QString::fromLatin1(m_eeprom.serialNumber);
            m_listedDescription = QString::fromLatin1(m_eeprom.description);
        }
        m_session = 0;
        clearReceived();
        clearInFlight();
        m_transmitQueue.clear();
        signalArrival();
        peer = m_peer;
    }
    if (peer)
        peer->portCycled();
    return Ok;
}

void SimulatedFtdiChip::fillNode(ListNode &node) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    node = ListNode();
    node.flags = (m_session != 0 ? FlagOpened : 0u) | (m_type == Device232H ? FlagHighSpeed : 0u);
    node.type = m_type;
    node.id = m_usbId;
    const QByteArray serial = m_listedSerialNumber.toLatin1();
    const QByteArray description = m_listedDescription.toLatin1();
    std::memcpy(node.serialNumber, serial.constData(),
                static_cast<size_t>(std::min<int>(serial.size(), sizeof node.serialNumber - 1)));
    std::memcpy(node.description, description.constData(),
                static_cast<size_t>(std::min<int>(description.size(), sizeof node.description - 1)));
    node.handle = reinterpret_cast<Handle>(m_session);
}
