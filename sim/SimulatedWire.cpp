#include "SimulatedWire.h"

void SimulatedWire::appendLE16(QByteArray &bytes, quint16 value)
{
    bytes.append(char(value & 0xFF));
    bytes.append(char((value >> 8) & 0xFF));
}

void SimulatedWire::appendLE32(QByteArray &bytes, quint32 value)
{
    for (int shift = 0; shift < 32; shift += 8)
        bytes.append(char((value >> shift) & 0xFF));
}

void SimulatedWire::appendBE16(QByteArray &bytes, quint16 value)
{
    bytes.append(char((value >> 8) & 0xFF));
    bytes.append(char(value & 0xFF));
}

void SimulatedWire::putBE16(QByteArray &bytes, int pos, quint16 value)
{
    if (pos < 0 || pos + 1 >= bytes.size())
        return;
    bytes[pos] = char((value >> 8) & 0xFF);
    bytes[pos + 1] = char(value & 0xFF);
}

void SimulatedWire::putLE16(QByteArray &bytes, int pos, quint16 value)
{
    if (pos < 0 || pos + 1 >= bytes.size())
        return;
    bytes[pos] = char(value & 0xFF);
    bytes[pos + 1] = char((value >> 8) & 0xFF);
}

quint8 SimulatedWire::byteAt(const QByteArray &bytes, int pos)
{
    if (pos < 0 || pos >= bytes.size())
        return 0;
    return quint8(bytes.at(pos));
}

quint16 SimulatedWire::readLE16(const QByteArray &bytes, int pos)
{
    return quint16(byteAt(bytes, pos) | (byteAt(bytes, pos + 1) << 8));
}

qint16 SimulatedWire::readLE16Signed(const QByteArray &bytes, int pos)
{
    const quint16 raw = readLE16(bytes, pos);
    return raw >= 0x8000 ? qint16(int(raw) - 0x10000) : qint16(raw);
}

quint32 SimulatedWire::readLE32(const QByteArray &bytes, int pos)
{
    quint32 value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | byteAt(bytes, pos + i);
    return value;
}

quint16 SimulatedWire::readBE16(const QByteArray &bytes, int pos)
{
    return quint16((byteAt(bytes, pos) << 8) | byteAt(bytes, pos + 1));
}

QByteArray SimulatedWire::longPacket(quint32 id, quint8 status, const QByteArray &data)
{
    const int size = qMin(data.size(), 0xFFFF);
    QByteArray packet;
    packet.reserve(8 + size);
    packet.append(char(0x05));
    appendLE32(packet, id);
    packet.append(char(status));
    appendLE16(packet, quint16(size));
    packet.append(data.constData(), size);
    return packet;
}

QByteArray SimulatedWire::shortPacket(const QByteArray &data)
{
    const int size = qMin(data.size(), 0xFF);
    QByteArray packet;
    packet.reserve(2 + size);
    packet.append(char(0x07));
    packet.append(char(size));
    packet.append(data.constData(), size);
    return packet;
}

QByteArray SimulatedWire::streamPacket(const QByteArray &data)
{
    return data.size() <= 0xFF ? shortPacket(data) : longPacket(0, 0, data);
}
