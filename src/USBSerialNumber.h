#pragma once

#include <QString>

// The parsed form of an instrument serial number: "SY", a handshake letter
// (a/b), a type letter (h/p), a three-digit model, a two-digit revision and, in
// the 13-character form, a four-digit unit or the wildcard "xxxx". Letters are
// compared without regard to case.
class USBSerialNumber
{
public:
    USBSerialNumber() = default;
    explicit USBSerialNumber(const QString &text);

    // Two serial numbers name the same instrument when validity, both letters,
    // model and revision agree, and the unit too unless either side is a wildcard.
    bool operator==(const USBSerialNumber &other) const;
    bool operator!=(const USBSerialNumber &other) const { return !(*this == other); }

    bool valid = false;
    bool wildcard = false;
    int typeLetter = 0;      // 0 for 'h', 1 for 'p'
    int handshakeLetter = 0; // 0 for 'a', 1 for 'b'; selects UART flow control
    int model = 0;
    int revision = 0;
    int unit = 0;

private:
    bool parse(const QString &text);
};
