#pragma once

#include <QByteArray>
#include <mutex>
#include <QVector>

#include "SimulatedPeer.h"

// Test-side view of the wire to a virtual instrument: a link that collects what
// the instrument sends, and a reader that cuts it into packets. Written apart
// from the instrument and from the library on purpose.
namespace instrumentwire {

class CollectingLink : public SimulatedLink
{
public:
    void sendToHost(const QByteArray &bytes) override;
    QByteArray take();
    int calls() const;

private:
    mutable std::mutex m_mutex;
    QByteArray m_bytes;
    int m_calls = 0;
};

struct Packet
{
    quint8 type = 0;       // 0x05 long, 0x07 short
    quint32 id = 0;        // 0 for short packets
    quint8 status = 0;
    QByteArray data;
};

// Every complete packet in `bytes`; `leftover` (if given) receives the number
// of bytes that did not form a complete packet or started with a wrong type.
QVector<Packet> readPackets(const QByteArray &bytes, int *leftover = nullptr);

// 05 id command len payload.
QByteArray request(quint32 id, quint8 command, const QByteArray &payload = QByteArray());

// Sends one request and returns the packets that came back.
QVector<Packet> exchange(SimulatedPeer &peer, CollectingLink &link, quint32 id, quint8 command,
                         const QByteArray &payload = QByteArray());

quint16 le16(const QByteArray &bytes, int pos);
qint16 le16s(const QByteArray &bytes, int pos);

} // namespace instrumentwire
