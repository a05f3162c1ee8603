#include "UsbReplayDevice.h"

#include <pcap/pcap.h>
#include <pcap/usb.h>
#include <umockdev.h>

#include <QHash>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>

namespace {

const std::uint8_t UsbmonControl = 2;
const std::uint8_t UsbmonBulk = 3;

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
    char error[PCAP_ERRBUF_SIZE] = {};
    pcap_t *capture = pcap_open_offline(pcapPath.toLocal8Bit().constData(), error);
    if (!capture) {
        m_error = QString::fromLocal8Bit(error);
        return;
    }
    if (pcap_datalink(capture) != DLT_USB_LINUX_MMAPPED) {
        m_error = QStringLiteral("%1 is not a usbmon capture with 64-byte headers").arg(pcapPath);
        pcap_close(capture);
        return;
    }
    // Urbs in flight by id: their setup packet and OUT data, from the submit.
    QHash<quint64, QByteArray> setups, outData;
    int vendorControls = 0;
    pcap_pkthdr *record = nullptr;
    const u_char *bytes = nullptr;
    while (pcap_next_ex(capture, &record, &bytes) == 1) {
        if (record->caplen < sizeof(pcap_usb_header_mmapped))
            continue;
        pcap_usb_header_mmapped h;
        std::memcpy(&h, bytes, sizeof h);
        if (h.bus_id != bus || h.device_address != address)
            continue;
        const int captured = int(std::min<std::uint32_t>(h.data_len, record->caplen - sizeof h));
        const QByteArray data(reinterpret_cast<const char *>(bytes + sizeof h), std::max(captured, 0));
        const bool in = h.endpoint_number & 0x80;
        if (h.event_type == 'S') {
            if (h.transfer_type == UsbmonControl && h.setup_flag == 0)
                setups.insert(h.id, QByteArray(reinterpret_cast<const char *>(&h.s), 8));
            if (!in)
                outData.insert(h.id, data);
            continue;
        }
        if (h.event_type != 'C' && h.event_type != 'E')
            continue;
        if (h.transfer_type == UsbmonControl) {
            if (!setups.contains(h.id))
                continue; // a transfer the capture saw no submit of
            ControlTransfer transfer;
            transfer.setup = setups.take(h.id);
            transfer.data = in ? data : outData.take(h.id);
            transfer.status = h.status;
            if (!isStandard(reinterpret_cast<const std::uint8_t *>(transfer.setup.constData())))
                ++vendorControls;
            m_controls.append(transfer);
        } else if (h.transfer_type == UsbmonBulk && !in) {
            // What the device took, also of an urb that ended early.
            m_outStream.append(outData.take(h.id).left(int(h.urb_len)));
        } else if (h.transfer_type == UsbmonBulk) {
            // Each packet of an FTDI chip's IN data starts with two status bytes.
            InChunk chunk;
            for (int at = 0; at + 2 <= data.size(); at += m_maxPacket) {
                if (chunk.status.isEmpty())
                    chunk.status = data.mid(at, 2);
                chunk.payload.append(data.mid(at + 2, m_maxPacket - 2));
            }
            if (!chunk.status.isEmpty() && m_idleStatus.isEmpty())
                m_idleStatus = chunk.status;
            if (chunk.payload.isEmpty())
                continue;
            chunk.outBefore = m_outStream.size();
            chunk.controlsBefore = vendorControls;
            m_inTotal += chunk.payload.size();
            m_chunks.append(chunk);
        }
    }
    pcap_close(capture);
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
        left += isStandard(reinterpret_cast<const std::uint8_t *>(m_controls[i].setup.constData())) ? 0 : 1;
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
           && isStandard(reinterpret_cast<const std::uint8_t *>(m_controls[match].setup.constData())))
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
            if (!isStandard(reinterpret_cast<const std::uint8_t *>(m_controls[i].setup.constData()))) {
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
