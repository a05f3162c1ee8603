#include "UsbReplayDevice.h"

#include <umockdev.h>

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>

namespace {

bool isStandard(const std::uint8_t *setup) { return (setup[0] & 0x60) == 0x00; }

QString hex(const std::uint8_t *bytes, int length)
{
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(bytes), length).toHex(' '));
}

} // namespace

UsbReplayDevice::UsbReplayDevice(const QString &pcapPath, int bus, int address, int maxPacket,
                                 const QByteArray &descriptors)
    : m_maxPacket(std::max(maxPacket, 8)), m_descriptors(descriptors)
{
    load(pcapPath, bus, address);
    // An idle healthy chip's modem and line status, where the recording has
    // no IN packet to take them from.
    if (m_idleStatus.isEmpty())
        m_idleStatus = QByteArray("\x01\x60", 2);
}

UsbReplayDevice::~UsbReplayDevice() = default;

void UsbReplayDevice::load(const QString &pcapPath, int bus, int address)
{
    QFile file(pcapPath);
    if (!file.open(QIODevice::ReadOnly)) {
        m_error = QStringLiteral("cannot read %1: %2").arg(pcapPath, file.errorString());
        return;
    }
    const UsbmonCapture capture = UsbmonCapture::read(file.readAll(), bus, address, m_maxPacket);
    if (!capture.isValid()) {
        m_error = QStringLiteral("%1: %2").arg(pcapPath, capture.errorText());
        return;
    }
    m_controls = capture.controls();
    m_outStream = capture.outStream();
    m_chunks = capture.chunks();
    m_idleStatus = capture.firstStatus();
    m_inTotal = capture.inBytes();
}

void UsbReplayDevice::firstClientConnected()
{
    m_latencyMs = 16;
}

QStringList UsbReplayDevice::mismatches() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_mismatches;
}

qint64 UsbReplayDevice::inBytesLeft() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_inTotal - m_inGiven;
}

qint64 UsbReplayDevice::outBytesLeft() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return std::max<qint64>(0, m_outStream.size() - m_outSent);
}

int UsbReplayDevice::controlTransfersLeft() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    int left = 0;
    for (int i = m_nextControl; i < m_controls.size(); ++i)
        left += UsbmonCapture::isStandard(m_controls[i].setup) ? 0 : 1;
    return left;
}

// A standard request the recording does not have at this point: answered from
// the same request elsewhere in the recording, or from the descriptors.
int UsbReplayDevice::standardRequest(const std::uint8_t *setup, std::uint8_t *data, int length) const
{
    const QByteArray key(reinterpret_cast<const char *>(setup), 8);
    const int wanted = std::min<int>(length, setup[6] | setup[7] << 8);
    auto answer = [&](const QByteArray &bytes) {
        const int n = std::min<int>(wanted, bytes.size());
        std::memcpy(data, bytes.constData(), std::size_t(n));
        return n;
    };
    for (const ControlTransfer &transfer : m_controls)
        if (transfer.setup == key)
            return transfer.status < 0 ? transfer.status : answer(transfer.data);
    if (!(setup[0] & 0x80))
        return 0; // SET_CONFIGURATION, SET_INTERFACE, CLEAR_FEATURE, ...
    if (setup[1] == 0x06 && setup[3] == 1)
        return answer(m_descriptors.left(18));
    if (setup[1] == 0x06 && setup[3] == 2)
        return answer(m_descriptors.mid(18));
    if (setup[1] == 0x00)
        return answer(QByteArray(2, '\0'));
    if (setup[1] == 0x08)
        return answer(QByteArray(1, '\1'));
    return -EPIPE;
}

// Returns the bytes of the data stage, or a negative errno.
int UsbReplayDevice::control(const std::uint8_t *setup, std::uint8_t *data, int length)
{
    const QByteArray key(reinterpret_cast<const char *>(setup), 8);
    // Recorded standard requests the host does not repeat are passed over.
    int match = m_nextControl;
    while (match < m_controls.size() && m_controls[match].setup != key
           && UsbmonCapture::isStandard(m_controls[match].setup))
        ++match;
    if (match >= m_controls.size() || m_controls[match].setup != key) {
        if (isStandard(setup))
            return standardRequest(setup, data, length);
        // A request the recording has later: the ones before it were not made
        // (in a capture of hardware, e.g. a kernel driver's requests). They
        // are reported and passed over, so that the replay goes on.
        int later = m_nextControl;
        while (later < m_controls.size() && m_controls[later].setup != key)
            ++later;
        if (later == m_controls.size()) {
            m_mismatches << QStringLiteral("control transfer %1 not in the recording here (next: %2)")
                                .arg(hex(setup, 8),
                                     m_nextControl < m_controls.size()
                                         ? QString::fromLatin1(m_controls[m_nextControl].setup.toHex(' '))
                                         : QStringLiteral("none"));
            return (setup[0] & 0x80) ? -EPIPE : 0;
        }
        QStringList skipped;
        for (int i = m_nextControl; i < later; ++i) {
            if (!UsbmonCapture::isStandard(m_controls[i].setup)) {
                skipped << QString::fromLatin1(m_controls[i].setup.toHex(' '));
                ++m_controlsMet;
            }
        }
        m_mismatches << QStringLiteral("recorded control transfers %1 not made before %2")
                            .arg(skipped.join(QStringLiteral(", ")), hex(setup, 8));
        match = later;
    }
    const ControlTransfer &transfer = m_controls[match];
    m_nextControl = match + 1;
    if (!isStandard(setup))
        ++m_controlsMet;
    if (setup[0] == 0x40 && setup[1] == 0x09) // the chip's latency timer
        m_latencyMs = setup[2];
    if (transfer.status < 0)
        return transfer.status;
    if (!(setup[0] & 0x80)) {
        const int sent = std::min<int>(length, setup[6] | setup[7] << 8);
        if (QByteArray(reinterpret_cast<const char *>(data), sent) != transfer.data)
            m_mismatches << QStringLiteral("control transfer %1 sent data %2, recorded %3")
                                .arg(hex(setup, 8), hex(data, sent),
                                     QString::fromLatin1(transfer.data.toHex(' ')));
        return 0;
    }
    const int n = std::min<int>(std::min<int>(length, setup[6] | setup[7] << 8), transfer.data.size());
    std::memcpy(data, transfer.data.constData(), std::size_t(n));
    return n;
}

// OUT bytes continue the recorded OUT stream, however they are split.
int UsbReplayDevice::bulkOut(const std::uint8_t *data, int length)
{
    const qint64 at = m_outSent;
    const QByteArray sent(reinterpret_cast<const char *>(data), length);
    const QByteArray recorded = m_outStream.mid(int(std::min<qint64>(at, m_outStream.size())), length);
    if (sent != recorded)
        m_mismatches << QStringLiteral("bulk OUT at byte %1 sent %2, recorded %3")
                            .arg(at)
                            .arg(QString::fromLatin1(sent.left(32).toHex(' ')),
                                 recorded.isEmpty() ? QStringLiteral("nothing")
                                                    : QString::fromLatin1(recorded.left(32).toHex(' ')));
    m_outSent += length;
    return length;
}

bool UsbReplayDevice::fillBulkIn(Urb &urb, std::int64_t now)
{
    const int capacity = urb.buffer ? int(urb.buffer->data_len) : 0;
    if (capacity < 2) {
        completeUrb(urb, -EOVERFLOW, 0);
        return true;
    }
    std::uint8_t *out = urb.buffer->data;
    const bool ready = m_nextChunk < m_chunks.size()
                       && m_outSent >= m_chunks[m_nextChunk].outBefore
                       && m_controlsMet >= m_chunks[m_nextChunk].controlsBefore;
    if (!ready) {
        // Idle: the status bytes alone, once per latency period.
        if (now - m_lastInPacketNs < std::int64_t(std::max<int>(m_latencyMs, 1)) * 1000000)
            return false;
        std::memcpy(out, m_idleStatus.constData(), 2);
        m_lastInPacketNs = now;
        completeUrb(urb, 0, 2);
        return true;
    }
    const InChunk &chunk = m_chunks[m_nextChunk];
    int written = 0;
    while (capacity - written > 2 && m_chunkOffset < chunk.payload.size()) {
        const int room = std::min(m_maxPacket, capacity - written) - 2;
        const int n = std::min(room, chunk.payload.size() - m_chunkOffset);
        std::memcpy(out + written, chunk.status.constData(), 2);
        std::memcpy(out + written + 2, chunk.payload.constData() + m_chunkOffset, std::size_t(n));
        written += 2 + n;
        m_chunkOffset += n;
        m_inGiven += n;
        if (n < room)
            break; // a short packet ends the transfer
    }
    if (m_chunkOffset >= chunk.payload.size()) {
        ++m_nextChunk;
        m_chunkOffset = 0;
    }
    m_lastInPacketNs = now;
    completeUrb(urb, 0, written);
    return true;
}
