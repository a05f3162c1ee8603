#pragma once

#include <Properties>

#include <QByteArray>
#include <QtGlobal>

#include <cmath>

// Little-endian field helpers shared by the payload encoders and decoders of
// the property blocks. Every field takes the low bits of an int.
namespace BlockPayload {

// Truncates a scaled field toward zero. Volts are kept as millivolts / 1000,
// and multiplying back by 1000 can land just short of the integer meant
// (-4.095 * 1000 is -4094.9999...); a product within a millionth of an integer
// is taken as that integer so the instrument gets the millivolts that were set.
inline int truncateScaled(double scaled)
{
    const double nearest = std::round(scaled);
    if (std::fabs(scaled - nearest) < 1e-6)
        return truncateToInt(nearest);
    return truncateToInt(scaled);
}

inline void appendByte(QByteArray &bytes, int value)
{
    bytes.append(static_cast<char>(value & 0xFF));
}

inline void appendLE16(QByteArray &bytes, int value)
{
    appendByte(bytes, value);
    appendByte(bytes, value >> 8);
}

inline void appendLE32(QByteArray &bytes, int value)
{
    appendLE16(bytes, value);
    appendLE16(bytes, value >> 16);
}

inline quint8 byteAt(const QByteArray &bytes, int offset)
{
    return static_cast<quint8>(bytes.at(offset));
}

inline quint16 readLE16(const QByteArray &bytes, int offset)
{
    return static_cast<quint16>(byteAt(bytes, offset) | (byteAt(bytes, offset + 1) << 8));
}

inline qint16 readSignedLE16(const QByteArray &bytes, int offset)
{
    return static_cast<qint16>(readLE16(bytes, offset));
}

} // namespace BlockPayload
