#include "USBPacketProtocol.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <new>
#include <chrono>

#include "ByteOrder.h"
#include "USBDevice.h"
#include "USBPacketErrorEvent.h"
#include "USBPacketStreamEvent.h"
#include "USBRequestEvent.h"

namespace {

constexpr char RequestType = 0x05;
constexpr quint8 LongPacketType = 0x05;
constexpr quint8 ShortPacketType = 0x07;
constexpr int LongHeaderSize = 8;
constexpr int MaxPayloadSize = 0xFFFF;

QThread::Priority toPriority(int value)
{
    if (value < QThread::IdlePriority || value > QThread::InheritPriority)
        return QThread::InheritPriority;
    return QThread::Priority(value);
}

bool sameEntry(const RequestEntry &a, const RequestEntry &b)
{
    return a.id == b.id && a.request == b.request;
}

USBResult invalidHandle()
{
    return USBResult(QStringLiteral("Invalid communication handle."), 2);
}

} // namespace

USBPacketProtocol::USBPacketProtocol()
{
    // Reserved capacity survives the clear after each packet, so a steady
    // stream is parsed without allocating.
    m_currentPacketHeaderData.reserve(LongHeaderSize);
}

USBPacketProtocol::~USBPacketProtocol()
{
    // A running QThread must not be destroyed; end it the way a detach would.
    // Waiting also when it has ended on its own (its device went away) lets
    // its last steps finish before the object goes.
    if (QThread::currentThread() != this) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_attachedDevice.reset();
            m_attached = false;
            ++m_wakeups;
        }
        m_wake.notify_all();
        wait();
    }
    // Take over what the thread left (see the end of run()).
    std::lock_guard<std::mutex> handOver(m_mutex);
}

void USBPacketProtocol::setPollInterval(unsigned long microseconds)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pollInterval = microseconds;
}

bool USBPacketProtocol::waitForFinished()
{
    // The thread cannot wait for itself.
    if (!isRunning() || QThread::currentThread() == this)
        return false;
    return wait(5000);
}

USBResult USBPacketProtocol::sendRequest(std::shared_ptr<USBICommRequest> request)
{
    if (!request)
        return USBResult(QStringLiteral("Invalid request."), 2);

    const int id = request->id();
    try {
        if (!refreshCurrentDevice())
            return invalidHandle();
        const std::shared_ptr<USBDevice> devicePtr = m_currentDevice;
        USBDevice &device = *devicePtr;

        if (request->isRawRequest()) {
            device.writeByte(char(request->command()));
            const QByteArray payload = request->payload();
            if (!payload.isEmpty())
                device.write(payload);
            return USBResult();
        }

        const QByteArray payload = request->payload();
        // The length field has 16 bits: a larger payload would be announced
        // with a wrong length and desynchronise the instrument's parser.
        if (payload.size() > MaxPayloadSize)
            return USBResult(QStringLiteral("Request payload too large."), 2);

        QByteArray frame;
        frame.reserve(LongHeaderSize + payload.size());
        frame.append(RequestType);
        appendUInt32LE(frame, quint32(id));
        frame.append(char(request->command()));
        appendUInt16LE(frame, quint16(payload.size()));
        frame.append(payload);
        device.write(frame);

        m_pendingRequests.insert(id, request);
        QElapsedTimer timer;
        timer.start();
        const bool onProtocolThread = QThread::currentThread() == this;
        for (;;) {
            quint64 seen = 0;
            if (onProtocolThread) {
                std::lock_guard<std::mutex> lock(m_mutex);
                seen = m_wakeups;
            }
            auto reply = m_replies.find(id);
            if (reply != m_replies.end()) {
                const USBPacket packet = reply.value();
                m_replies.erase(reply);
                m_pendingRequests.remove(id);
                const USBResult accepted = request->resultForStatus(packet.status);
                if (!accepted.isSuccess())
                    return accepted;
                if (packet.data.size() != request->expectedReplySize())
                    return USBResult(QStringLiteral("Unexpected packet length."), 2);
                request->setReceivedData(packet.data);
                return USBResult();
            }

            parsePackets();

            if (timer.elapsed() > ReplyTimeoutMs) {
                // A reply parsed in this very pass is collected, not reported
                // as a time-out and left behind in the reply table.
                if (m_replies.contains(id))
                    continue;
                m_pendingRequests.remove(id);
                return USBResult(QStringLiteral("Communication timed out"), 2);
            }
            // A detach ends the wait at once, so that the detaching caller can
            // close the device without racing with this request.
            if (isDetached()) {
                m_pendingRequests.remove(id);
                return invalidHandle();
            }
            // The reply came with this parse: collect it without waiting.
            if (m_replies.contains(id))
                continue;
            if (onProtocolThread) {
                // The receiver wakes this thread when bytes arrive.
                const qint64 left = std::max<qint64>(1, ReplyTimeoutMs + 1 - timer.elapsed());
                std::unique_lock<std::mutex> lock(m_mutex);
                m_wake.wait_for(lock, std::chrono::milliseconds(left),
                                [&] { return m_wakeups != seen || !m_attachedDevice; });
            } else {
                // No receiver thread: wait in a device read, up to its read
                // time-out, for the next bytes.
                m_receiver.waitForBytes();
            }
        }
    } catch (const USBResult &failure) {
        m_pendingRequests.remove(id);
        return failure;
    }
}

void USBPacketProtocol::postRequest(std::shared_ptr<USBICommRequest> request, QObject *receiver)
{
    if (!request)
        return;
    RequestEntry entry;
    entry.id = request->id();
    entry.request = std::move(request);
    entry.receiver = receiver;

    int priority = QThread::InheritPriority;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        // A device that went away takes no more requests: they could never
        // be carried out, and the thread has ended for good.
        if (m_attachedDevice && m_attachedDevice->isLost())
            return;
        if (m_attachedDevice)
            priority = m_attachedDevice->threadPriority();
        m_requestQueue.prepend(std::move(entry));
        ++m_wakeups;
        if (!isRunning())
            m_threadActive = true;
    }
    m_wake.notify_all();
    if (!isRunning())
        start(toPriority(priority));
}

void USBPacketProtocol::wake()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_wakeups;
    }
    m_wake.notify_all();
}

namespace {

struct QueueChanges
{
    std::mutex mutex;
    std::condition_variable changed;
    quint64 count = 0;
};

QueueChanges &queueChangeSignal()
{
    static QueueChanges signal;
    return signal;
}

} // namespace

quint64 USBPacketProtocol::queueChanges()
{
    QueueChanges &signal = queueChangeSignal();
    std::lock_guard<std::mutex> lock(signal.mutex);
    return signal.count;
}

void USBPacketProtocol::waitForQueueChange(quint64 seen, int timeoutMs)
{
    QueueChanges &signal = queueChangeSignal();
    std::unique_lock<std::mutex> lock(signal.mutex);
    signal.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [&] { return signal.count != seen; });
}

void USBPacketProtocol::notifyQueueChange()
{
    QueueChanges &signal = queueChangeSignal();
    {
        std::lock_guard<std::mutex> lock(signal.mutex);
        ++signal.count;
    }
    signal.changed.notify_all();
}

void USBPacketProtocol::setDevice(std::shared_ptr<USBDevice> device)
{
    std::shared_ptr<USBDevice> attached = device ? device->clone() : nullptr;
    std::shared_ptr<USBDevice> previous;
    bool startThread = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        previous = std::move(m_attachedDevice);
        m_attachedDevice = attached;
        m_attached = attached != nullptr;
        startThread = attached && !m_requestQueue.isEmpty();
        if (startThread && !isRunning())
            m_threadActive = true;
        ++m_wakeups;
    }
    m_wake.notify_all();

    if (attached) {
        attached->setStreamTimeouts();
        if (!isRunning()) {
            // Synchronous requests read through the receiver from now on; a
            // running thread takes the new device at its next pass instead.
            { std::lock_guard<std::mutex> handOver(m_mutex); }
            m_receiver.setDevice(attached);
        }
        if (startThread)
            start(QThread::InheritPriority);
        return;
    }

    if (QThread::currentThread() == this) {
        // Detached from a handler on the protocol thread: the thread cannot
        // wait for itself. It ends at its next check point and empties the
        // receive state on its way out.
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_requestQueue.clear();
        }
        notifyQueueChange();
        return;
    }

    // The thread notices the detach at once (it sleeps on a condition the
    // detach signals, and its parser looks between packets) and then waits
    // for its receiver, which ends within the device's read time-out. Only
    // once both are gone are the queue and the receive state emptied; a
    // thread held up longer in a handler is left to finish on its own, and
    // closeWhenReleased closes the device after it.
    if (!wait(DetachWaitMs))
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_requestQueue.clear();
    }
    m_currentDevice.reset();
    m_receiver.setDevice(nullptr);
    resetReceiveState();
    notifyQueueChange();
}

void USBPacketProtocol::clearRequests()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_requestQueue.clear();
    }
    notifyQueueChange();
}

void USBPacketProtocol::closeWhenReleased(std::shared_ptr<USBDevice> device)
{
    if (!device)
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_threadActive) {
            m_closeOnExit.append(std::move(device));
            return;
        }
    }
    device->close();
}

void USBPacketProtocol::waitUntilReleased()
{
    if (QThread::currentThread() == this)
        return;
    std::unique_lock<std::mutex> lock(m_mutex);
    m_released.wait(lock, [&] { return !m_threadActive; });
}

bool USBPacketProtocol::isQueueEmpty()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requestQueue.isEmpty();
}

void USBPacketProtocol::setDirectPacketHandler(IDirectPacketHandler *handler)
{
    Q_ASSERT(!isRunning());
    m_directHandler = handler;
}

void USBPacketProtocol::setStreamReceiver(int id, QObject *receiver)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (receiver)
        m_streamReceivers.insert(id, receiver);
    else
        m_streamReceivers.remove(id);
}

void USBPacketProtocol::removeStreamReceiver(int id)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_streamReceivers.remove(id);
}

void USBPacketProtocol::setErrorReceiver(QObject *receiver)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_errorReceiver = receiver;
}

void USBPacketProtocol::parsePackets()
{
    try {
        if (!m_currentDevice)
            refreshCurrentDevice();
        // Held locally: a handler called from the parser must not be able to
        // release the device under it.
        const std::shared_ptr<USBDevice> device = m_currentDevice;
        if (!device)
            throw invalidHandle();
        // Without the receiver's thread the parser reads the device itself
        // (after any bytes a wait has buffered).
        if (!m_receiver.isRunning() && m_receiver.device() != device)
            m_receiver.setDevice(device);
        parseAvailable(m_receiver);
    } catch (const USBResult &) {
        resetReceiveState();
        throw;
    }
}

void USBPacketProtocol::parseAvailable(USBReceiver &device)
{
    // n counts the bytes known to be in the receive queue; no read asks for
    // more, so no read waits for bytes that have not arrived.
    int n = device.bytesAvailable();
    // Stopping for want of `needed` bytes: after a receiver failure they never
    // come, and the failure is thrown instead. A reply parsed in this pass is
    // collected first, so a request answered before the failure succeeds.
    const auto stopShort = [&](int needed) {
        if (m_replies.isEmpty())
            device.throwIfNeverComplete(needed);
    };
    for (;;) {
        if (n <= 0)
            return;

        if (m_currentPacketHeaderData.isEmpty()) {
            char type = 0;
            device.read(&type, 1);
            n -= 1;
            m_currentPacketHeaderData.append(type);
            Q_ASSERT(m_currentPacketHeaderData.count() == 1);
            m_currentPacket.type = quint8(type);
            if (m_currentPacket.type != LongPacketType && m_currentPacket.type != ShortPacketType)
                throw USBResult(QStringLiteral("Communication stream is corrupted."), 2);
        }

        if (m_currentPacketHeaderData.count() == 1) {
            if (m_currentPacket.type == LongPacketType) {
                // The rest of a long header is read in one go, once all of it
                // has arrived. A receiver that has failed will bring no more:
                // the partial header then ends in its failure.
                if (n < LongHeaderSize - 1) {
                    stopShort(LongHeaderSize - 1);
                    return;
                }
                char rest[LongHeaderSize - 1];
                device.read(rest, LongHeaderSize - 1);
                n -= LongHeaderSize - 1;
                m_currentPacketHeaderData.append(rest, LongHeaderSize - 1);
                Q_ASSERT(m_currentPacketHeaderData.count() == 8);
                m_currentPacket.id = qint32(readUInt32LE(m_currentPacketHeaderData, 1));
                m_currentPacket.status = quint8(m_currentPacketHeaderData.at(5));
                m_currentPacket.packetDataSize = readUInt16LE(m_currentPacketHeaderData, 6);
            } else {
                if (n < 1) {
                    stopShort(1);
                    return;
                }
                char length = 0;
                device.read(&length, 1);
                n -= 1;
                m_currentPacketHeaderData.append(length);
                Q_ASSERT(m_currentPacketHeaderData.count() == 2);
                m_currentPacket.id = 0;
                m_currentPacket.status = 0;
                m_currentPacket.packetDataSize = quint8(length);
            }
            m_currentPacket.data.reserve(m_currentPacket.packetDataSize);
        }

        n -= device.readAvailable(m_currentPacket.data, m_currentPacket.packetDataSize);
        if (m_currentPacket.data.size() < m_currentPacket.packetDataSize) {
            stopShort(m_currentPacket.packetDataSize - m_currentPacket.data.size());
            return;
        }
        dispatchPacket();

        // A detach ends the drain: an instrument that keeps streaming must
        // not keep the thread from noticing it.
        if (!m_attached.load(std::memory_order_relaxed))
            return;

        // While a reply waits to be collected, stop once the counted bytes are
        // used up; otherwise drain the device.
        if (m_replies.isEmpty())
            n = device.bytesAvailable();
    }
}

void USBPacketProtocol::dispatchPacket()
{
    Q_ASSERT(m_currentPacket.data.count() == m_currentPacket.packetDataSize);
    const int id = m_currentPacket.id;
    if (m_directHandler) {
        if (m_directHandler->acceptsPacket(id))
            m_directHandler->packetReceived(id, m_currentPacket.data);
        else if (m_pendingRequests.contains(id))
            m_replies.insert(id, m_currentPacket);
    } else {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto receiver = m_streamReceivers.constFind(id);
        if (receiver != m_streamReceivers.constEnd()) {
            if (!receiver.value().isNull())
                QCoreApplication::postEvent(
                    receiver.value().data(),
                    new USBPacketStreamEvent(id, m_currentPacket.data, USBResult()),
                    Qt::NormalEventPriority);
        } else if (m_pendingRequests.contains(id)) {
            m_replies.insert(id, m_currentPacket);
        }
    }
    // resize(0) rather than clear(): the buffers keep their reserved capacity.
    m_currentPacketHeaderData.resize(0);
    m_currentPacket.data.resize(0);
}

void USBPacketProtocol::resetReceiveState()
{
    m_currentPacketHeaderData.resize(0);
    m_currentPacket = USBPacket();
    m_pendingRequests.clear();
    m_replies.clear();
}

bool USBPacketProtocol::refreshCurrentDevice()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_currentDevice = m_attachedDevice;
    return m_currentDevice != nullptr;
}

bool USBPacketProtocol::hasReplyFor(int id) const
{
    return m_replies.contains(id);
}

bool USBPacketProtocol::isDetached()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return !m_attachedDevice;
}

void USBPacketProtocol::run()
{
    for (;;) {
        bool queued = false;
        unsigned long interval = DefaultPollIntervalUs;
        quint64 seen = 0;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_currentDevice = m_attachedDevice;
            if (!m_currentDevice)
                break;
            queued = !m_requestQueue.isEmpty();
            interval = m_pollInterval;
            seen = m_wakeups;
        }
        // The receiver reads the device this thread works with.
        if (m_receiver.device() != m_currentDevice) {
            m_receiver.stop();
            m_receiver.setDevice(m_currentDevice);
        }
        m_receiver.start();

        bool detached = false;
        while (queued) {
            RequestEntry entry;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_currentDevice = m_attachedDevice;
                if (!m_currentDevice) {
                    detached = true;
                    break;
                }
                if (m_requestQueue.isEmpty())
                    break;
                entry = m_requestQueue.last();
            }

            USBResult result;
            bool allocationFailed = false;
            try {
                result = sendRequest(entry.request);
            } catch (const std::bad_alloc &) {
                result = USBResult(QStringLiteral("Out of memory"), 2);
                allocationFailed = true;
            }
            if (allocationFailed && m_directHandler)
                m_directHandler->allocationFailed();

            if (m_directHandler)
                m_directHandler->requestFinished(entry, result);
            else if (!entry.receiver.isNull())
                QCoreApplication::postEvent(entry.receiver.data(),
                                            new USBRequestEvent(entry.request, result),
                                            Qt::NormalEventPriority);

            {
                std::lock_guard<std::mutex> lock(m_mutex);
                // Remove the entry only if it is still the back one: the queue may
                // have been cleared and refilled while the request was carried out,
                // and the back entry is then a new request that has yet to run.
                if (!m_requestQueue.isEmpty() && sameEntry(m_requestQueue.last(), entry))
                    m_requestQueue.removeLast();
                // A device that went away cannot carry out what is left; the
                // poll below reports the failure and ends the thread.
                if (m_currentDevice && m_currentDevice->isLost())
                    m_requestQueue.clear();
                queued = !m_requestQueue.isEmpty();
            }
            notifyQueueChange();
        }
        if (detached || !refreshCurrentDevice())
            break;

        try {
            parsePackets();
        } catch (const USBResult &failure) {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_directHandler)
                m_directHandler->packetError(failure, m_errorReceiver);
            else if (!m_errorReceiver.isNull())
                QCoreApplication::postEvent(m_errorReceiver.data(),
                                            new USBPacketErrorEvent(0, failure),
                                            Qt::NormalEventPriority);
        } catch (const std::bad_alloc &) {
            if (m_directHandler)
                m_directHandler->allocationFailed();
        }
        // Polling a device that went away only repeats the failure: once the
        // receiver has met it and the parser has reported it (after the bytes
        // that came before it), the thread ends.
        if (m_receiver.hasFailed() && m_receiver.buffered() == 0) {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_requestQueue.clear();
            }
            break;
        }

        // Sleep until a request is posted, bytes arrive or the device is
        // detached, or at most the poll interval.
        std::unique_lock<std::mutex> lock(m_mutex);
        m_wake.wait_for(lock, std::chrono::microseconds(interval),
                        [&] { return m_wakeups != seen || !m_attachedDevice; });
    }
    m_receiver.stop();
    m_currentDevice.reset();
    resetReceiveState();
    notifyQueueChange();
    // Nothing of this thread uses the device any more: close what was handed
    // over meanwhile (the thread counts as active until the last of them is
    // closed, so a close handed over during this loop is not left behind).
    // Then hand the state over through the protocol mutex: whoever waited for
    // this thread takes the mutex before touching it again. QThread::wait
    // alone gives that guarantee too, but through Qt's own locks, which race
    // detectors built against the distribution's Qt cannot see.
    for (;;) {
        QVector<std::shared_ptr<USBDevice>> toClose;
        {
            std::lock_guard<std::mutex> handOver(m_mutex);
            toClose.swap(m_closeOnExit);
            if (toClose.isEmpty()) {
                m_threadActive = false;
                m_released.notify_all();
                break;
            }
        }
        for (const std::shared_ptr<USBDevice> &device : toClose)
            device->close();
    }
}
