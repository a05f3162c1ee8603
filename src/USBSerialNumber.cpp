#include "USBSerialNumber.h"

namespace {

// Reads text[from, from + length) as a plain decimal number (digits only).
bool readDecimal(const QString &text, int from, int length, int &value)
{
    int result = 0;
    for (int i = from; i < from + length; ++i) {
        const QChar c = text.at(i);
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
        result = result * 10 + (c.unicode() - '0');
    }
    value = result;
    return true;
}

} // namespace

USBSerialNumber::USBSerialNumber(const QString &original)
{
    // A text that does not parse leaves every field zero or false.
    USBSerialNumber parsed;
    if (parsed.parse(original))
        *this = parsed;
}

bool USBSerialNumber::parse(const QString &original)
{
    if (original.size() != 9 && original.size() != 13)
        return false;
    // Lower-casing can change the length (U+0130 becomes two characters): such
    // a text is not a serial number, and its positions would no longer line up.
    const QString text = original.toLower();
    if (text.size() != original.size())
        return false;
    if (!text.startsWith(QLatin1String("sy")))
        return false;

    const ushort handshake = text.at(2).unicode();
    if (handshake == 'a')
        handshakeLetter = 0;
    else if (handshake == 'b')
        handshakeLetter = 1;
    else
        return false;

    const ushort type = text.at(3).unicode();
    if (type == 'h')
        typeLetter = 0;
    else if (type == 'p')
        typeLetter = 1;
    else
        return false;

    if (!readDecimal(text, 4, 3, model) || !readDecimal(text, 7, 2, revision))
        return false;

    if (text.size() == 13) {
        if (text.midRef(9, 4) == QLatin1String("xxxx"))
            wildcard = true;
        else if (!readDecimal(text, 9, 4, unit))
            return false;
    }
    valid = true;
    return true;
}

bool USBSerialNumber::operator==(const USBSerialNumber &other) const
{
    if (valid != other.valid || typeLetter != other.typeLetter
        || handshakeLetter != other.handshakeLetter || model != other.model
        || revision != other.revision)
        return false;
    if (wildcard || other.wildcard)
        return true;
    return unit == other.unit;
}
