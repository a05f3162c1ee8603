#include "ByteOrder.h"

namespace {

bool fits(const QByteArray &bytes, int pos, int width)
{
    return pos >= 0 && pos <= bytes.size() - width;
}

} // namespace

void appendUInt16LE(QByteArray &bytes, quint16 value)
{
    const char le[2] = {char(value & 0xFF), char((value >> 8) & 0xFF)};
    bytes.append(le, 2);
}

void appendUInt32LE(QByteArray &bytes, quint32 value)
{
    const char le[4] = {char(value & 0xFF), char((value >> 8) & 0xFF),
                        char((value >> 16) & 0xFF), char((value >> 24) & 0xFF)};
    bytes.append(le, 4);
}

quint16 readUInt16LE(const QByteArray &bytes, int pos)
{
    if (!fits(bytes, pos, 2))
        return 0;
    const uchar *p = reinterpret_cast<const uchar *>(bytes.constData()) + pos;
    return quint16(p[0] | (p[1] << 8));
}

quint32 readUInt32LE(const QByteArray &bytes, int pos)
{
    if (!fits(bytes, pos, 4))
        return 0;
    const uchar *p = reinterpret_cast<const uchar *>(bytes.constData()) + pos;
    return quint32(p[0]) | (quint32(p[1]) << 8) | (quint32(p[2]) << 16) | (quint32(p[3]) << 24);
}
