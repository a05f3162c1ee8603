#include "InstrumentWire.h"

#include <limits>

#include <mutex>

namespace instrumentwire {

void CollectingLink::sendToHost(const QByteArray &bytes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bytes += bytes;
    ++m_calls;
}

QByteArray CollectingLink::take()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    QByteArray bytes = m_bytes;
    m_bytes.clear();
    return bytes;
}

int CollectingLink::calls() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
}

quint16 le16(const QByteArray &bytes, int pos)
{
    return quint16(quint8(bytes.at(pos)) | (quint8(bytes.at(pos + 1)) << 8));
}

qint16 le16s(const QByteArray &bytes, int pos)
{
    return qint16(le16(bytes, pos));
}

QVector<Packet> readPackets(const QByteArray &bytes, int *leftover)
{
    QVector<Packet> packets;
    int pos = 0;
    while (pos < bytes.size()) {
        const quint8 type = quint8(bytes.at(pos));
        Packet packet;
        packet.type = type;
        int header = 0;
        int size = 0;
        if (type == 0x05 && bytes.size() - pos >= 8) {
            header = 8;
            packet.id = quint32(le16(bytes, pos + 1)) | (quint32(le16(bytes, pos + 3)) << 16);
            packet.status = quint8(bytes.at(pos + 5));
            size = le16(bytes, pos + 6);
        } else if (type == 0x07 && bytes.size() - pos >= 2) {
            header = 2;
            size = quint8(bytes.at(pos + 1));
        } else {
            break;
        }
        if (bytes.size() - pos < header + size)
            break;
        packet.data = bytes.mid(pos + header, size);
        packets.append(packet);
        pos += header + size;
    }
    if (leftover)
        *leftover = bytes.size() - pos;
    return packets;
}

QByteArray request(quint32 id, quint8 command, const QByteArray &payload)
{
    QByteArray bytes;
    bytes.append(char(0x05));
    for (int shift = 0; shift < 32; shift += 8)
        bytes.append(char((id >> shift) & 0xFF));
    bytes.append(char(command));
    bytes.append(char(payload.size() & 0xFF));
    bytes.append(char((payload.size() >> 8) & 0xFF));
    bytes.append(payload);
    return bytes;
}

QVector<Packet> exchange(SimulatedPeer &peer, CollectingLink &link, quint32 id, quint8 command,
                         const QByteArray &payload)
{
    peer.hostWrote(request(id, command, payload), link);
    // Whatever the peer planned for later, as if all its time had passed.
    peer.advance(std::numeric_limits<qint64>::max(), link);
    int leftover = 0;
    const QVector<Packet> packets = readPackets(link.take(), &leftover);
    return leftover == 0 ? packets : QVector<Packet>();
}

} // namespace instrumentwire
