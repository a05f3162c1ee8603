#include "USBResult.h"

USBResult::USBResult()
    : code(0)
{
}

USBResult::USBResult(const QString &message, int code)
    : code(code), message(message)
{
}

USBResult USBResult::fromFtStatus(unsigned long status)
{
    static const char *const texts[] = {
        "Valid",                  // 0
        "Invalid handle",         // 1
        "Device not found",       // 2
        "Device not opened",      // 3
        "Communication error",    // 4
        "Insufficient resources", // 5
        "Invalid parameter",      // 6
        "Invalid BAUD rate",      // 7
        "Unable to erase",        // 8
        "Unable to write",        // 9
        "Unable to write",        // 10
        "Unable to read EEPROM",  // 11
        "Unable to write EEPROM", // 12
        "Unable to erase EEPROM", // 13
        "EEPROM not present",     // 14
        "EEPROM not programmed",  // 15
        "Invalid arguments",      // 16
        "Unsupported devices",    // 17
    };
    const unsigned long known = sizeof(texts) / sizeof(texts[0]);
    const char *text = status < known ? texts[status] : "Unknown error";
    return USBResult(QString::fromLatin1(text), status == 0 ? 0 : 2);
}

QString USBResult::toString() const
{
    return code == 0 ? QStringLiteral("Success") : message;
}
