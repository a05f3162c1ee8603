#pragma once

#include <QByteArray>
#include <QtGlobal>

// Byte handling of the instrument firmware: little-endian packet headers,
// payloads and samples, big-endian page numbers, and the packet forms the
// instrument sends back. Kept apart from the host library on purpose, so that a
// misreading on one side cannot hide behind the same code on the other.
class SimulatedWire
{
public:
    static void appendLE16(QByteArray &bytes, quint16 value);
    static void appendLE32(QByteArray &bytes, quint32 value);
    static void appendBE16(QByteArray &bytes, quint16 value);
    static void putBE16(QByteArray &bytes, int pos, quint16 value);
    static void putLE16(QByteArray &bytes, int pos, quint16 value);

    // Readers return 0 for positions outside the array.
    static quint8 byteAt(const QByteArray &bytes, int pos);
    static quint16 readLE16(const QByteArray &bytes, int pos);
    static qint16 readLE16Signed(const QByteArray &bytes, int pos);
    static quint32 readLE32(const QByteArray &bytes, int pos);
    static quint16 readBE16(const QByteArray &bytes, int pos);

    // 05 id(4) status len(2) data. Data beyond 65535 bytes is cut off.
    static QByteArray longPacket(quint32 id, quint8 status, const QByteArray &data);
    // 07 len data, for at most 255 data bytes.
    static QByteArray shortPacket(const QByteArray &data);
    // A packet on the stream channel (id 0): the short form when the data fits
    // in it, otherwise a long packet with id 0 and status 0.
    static QByteArray streamPacket(const QByteArray &data);
};
