#include "ProtocolDoubles.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <chrono>

#include "USBPacketErrorEvent.h"
#include "USBPacketStreamEvent.h"
#include "USBRequestEvent.h"

QByteArray longPacket(quint32 id, quint8 status, const QByteArray &data)
{
    QByteArray bytes;
    bytes.append(char(0x05));
    for (int shift = 0; shift < 32; shift += 8)
        bytes.append(char((id >> shift) & 0xFF));
    bytes.append(char(status));
    bytes.append(char(data.size() % 256));
    bytes.append(char(data.size() / 256));
    return bytes + data;
}

QByteArray shortPacket(const QByteArray &data)
{
    return QByteArray(1, char(0x07)) + QByteArray(1, char(data.size())) + data;
}

QByteArray patternBytes(int size, int seed)
{
    QByteArray bytes(size, 0);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 31 + seed * 7 + 1) & 0xFF);
    return bytes;
}

quint32 requestIdOf(const QByteArray &frame)
{
    if (frame.size() < 5)
        return 0;
    const auto b = [&](int i) { return quint32(quint8(frame.at(i))); };
    return b(1) + 256u * b(2) + 65536u * b(3) + 16777216u * b(4);
}

bool eventually(const std::function<bool()> &condition, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QThread::msleep(1);
    }
    return true;
}

void ensureCoreApplication()
{
    static int argc = 1;
    static char name[] = "veldrin-tests";
    static char *argv[] = {name, nullptr};
    static QCoreApplication *app = QCoreApplication::instance()
                                       ? nullptr : new QCoreApplication(argc, argv);
    Q_UNUSED(app);
}

ScriptedRequest::ScriptedRequest(quint8 command, const QByteArray &payload, int expectedReplySize,
                                 bool raw)
    : m_id(takeNextId()), m_command(command), m_payload(payload),
      m_expectedReplySize(expectedReplySize), m_raw(raw)
{
}

void ScriptedRequest::setReceivedData(const QByteArray &bytes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_received = bytes;
    ++m_receivedCalls;
}

QByteArray ScriptedRequest::receivedData() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_received;
}

int ScriptedRequest::receivedDataCalls() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_receivedCalls;
}

USBResult ScriptedRequest::resultForStatus(quint8 status) const
{
    if (status == 0)
        return USBResult();
    return USBResult(QStringLiteral("Rejected %1").arg(status), 2);
}

RecordingHandler::RecordingHandler(QSet<int> acceptedIds)
    : m_accepted(std::move(acceptedIds))
{
}

void RecordingHandler::requestFinished(const RequestEntry &entry, USBResult result)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_finished.append({entry.id, entry.request, result});
    }
    m_changed.notify_all();
    if (onFinished)
        onFinished(entry, result);
}

void RecordingHandler::packetError(USBResult result, QPointer<QObject> &)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_errors.append(result);
    }
    m_changed.notify_all();
}

void RecordingHandler::packetReceived(int id, QByteArray &data)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_packets.append({id, data});
    }
    m_changed.notify_all();
    if (onPacket)
        onPacket(id, data);
}

bool RecordingHandler::acceptsPacket(int id)
{
    return m_accepted.contains(id);
}

QList<RecordingHandler::Finished> RecordingHandler::finished() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_finished;
}

QList<RecordingHandler::Packet> RecordingHandler::packets() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_packets;
}

QList<USBResult> RecordingHandler::errors() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_errors;
}

bool RecordingHandler::waitFor(const std::function<bool()> &done, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
}

bool RecordingHandler::waitForFinished(int count, int timeoutMs) const
{
    return waitFor([&] { return m_finished.size() >= count; }, timeoutMs);
}

bool RecordingHandler::waitForPackets(int count, int timeoutMs) const
{
    return waitFor([&] { return m_packets.size() >= count; }, timeoutMs);
}

bool RecordingHandler::waitForErrors(int count, int timeoutMs) const
{
    return waitFor([&] { return m_errors.size() >= count; }, timeoutMs);
}

bool EventRecorder::pumpUntil(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        QCoreApplication::sendPostedEvents(this);
        if (done())
            return true;
        if (timer.elapsed() > timeoutMs)
            return false;
        QThread::msleep(1);
    }
}

int EventRecorder::count(int type) const
{
    int n = 0;
    for (const Record &r : records)
        n += r.type == type ? 1 : 0;
    return n;
}

bool EventRecorder::event(QEvent *event)
{
    const int type = int(event->type());
    if (type == USBPacketStreamEvent::EventType) {
        const auto *e = static_cast<USBPacketStreamEvent *>(event);
        records.append({type, e->id(), e->data(), nullptr, e->result()});
        return true;
    }
    if (type == USBRequestEvent::EventType) {
        const auto *e = static_cast<USBRequestEvent *>(event);
        records.append({type, e->request() ? e->request()->id() : 0, {}, e->request(), e->result()});
        return true;
    }
    if (type == USBPacketErrorEvent::EventType) {
        const auto *e = static_cast<USBPacketErrorEvent *>(event);
        records.append({type, e->id(), {}, nullptr, e->result()});
        return true;
    }
    return QObject::event(event);
}
