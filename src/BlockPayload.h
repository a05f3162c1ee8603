#pragma once

#include <Properties>

#include <QByteArray>
#include <QtGlobal>

#include <cmath>

#include "ByteOrder.h"

// Field helpers of the property blocks' payload encoders and decoders, over the
// library's little-endian byte helpers. Every field takes the low bits of an int.
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
    appendUInt16LE(bytes, static_cast<quint16>(value & 0xFFFF));
}

inline void appendLE32(QByteArray &bytes, int value)
{
    appendUInt32LE(bytes, static_cast<quint32>(value));
}

inline quint8 byteAt(const QByteArray &bytes, int offset)
{
    return static_cast<quint8>(bytes.at(offset));
}

inline quint16 readLE16(const QByteArray &bytes, int offset)
{
    return readUInt16LE(bytes, offset);
}

// The mode byte of a PWM payload: the low 8 bits of the mode, with bit 0 also
// set when bit 2 is set and the option is on.
inline int pwmModeByte(int mode, bool option)
{
    mode &= 0xFF;
    if ((mode & 0x04) && option)
        mode |= 0x01;
    return mode;
}

inline qint16 readSignedLE16(const QByteArray &bytes, int offset)
{
    return static_cast<qint16>(readLE16(bytes, offset));
}

} // namespace BlockPayload
