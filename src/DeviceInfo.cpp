#include "DeviceInfo.h"

namespace {

const int minimumPageSize = 100;

int readUInt16BE(const QByteArray &page, int offset)
{
    return (quint8(page.at(offset)) << 8) | quint8(page.at(offset + 1));
}

// Latin-1 text in a fixed field: it ends at the first zero byte or with the field.
QString readText(const QByteArray &page, int offset, int fieldSize)
{
    const char *field = page.constData() + offset;
    int length = 0;
    while (length < fieldSize && field[length] != '\0')
        ++length;
    return QString::fromLatin1(field, length);
}

bool isSerialNumberValid(const QString &serialNumber, int layout)
{
    if (serialNumber.size() < 5)
        return false;
    const QString s = serialNumber.toLower();
    // Layout 1 needs the stricter prefix "sya"; both need 'h' or 'p' as fourth character.
    const QLatin1String prefix = layout == 1 ? QLatin1String("sya") : QLatin1String("sy");
    if (!s.startsWith(prefix))
        return false;
    return s.at(3) == QLatin1Char('h') || s.at(3) == QLatin1Char('p');
}

} // namespace

DeviceInfo DeviceInfo::fromPage(const QByteArray &page)
{
    DeviceInfo info;
    if (page.size() < minimumPageSize)
        return info;
    if (quint8(page.at(0)) != 0x35 || quint8(page.at(1)) != 0x72 || quint8(page.at(2)) != 0xD1)
        return info;
    const int layout = quint8(page.at(3));
    if (layout != 1 && layout != 2)
        return info;

    info.recognised = 1;
    info.label = readText(page, 4, 40);
    info.serialNumber = readText(page, 44, 16);
    info.word60 = readUInt16BE(page, 60);
    info.word62 = readUInt16BE(page, 62);
    info.versionPair = qMakePair(readUInt16BE(page, 64), readUInt16BE(page, 66));
    info.word68 = readUInt16BE(page, 68);
    info.word70 = readUInt16BE(page, 70);
    info.word72 = readUInt16BE(page, 72);
    if (layout == 2)
        info.word74 = quint16(readUInt16BE(page, 74));
    info.valid = isSerialNumberValid(info.serialNumber, layout);
    return info;
}

bool DeviceInfo::operator==(const DeviceInfo &other) const
{
    return valid == other.valid && recognised == other.recognised && word60 == other.word60
        && word62 == other.word62 && label == other.label && serialNumber == other.serialNumber
        && versionPair == other.versionPair && word68 == other.word68 && word70 == other.word70
        && word72 == other.word72 && word74 == other.word74;
}
