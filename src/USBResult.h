#pragma once

#include <QString>

// The one result type of the USB layer, the packet protocol, the instruction
// requests and the bootloader client. Operations that report an outcome return
// it; operations that either succeed or fail (reads, writes, the packet parser)
// throw it by value.
class USBResult
{
public:
    // Success: code 0, empty message.
    USBResult();
    // A result with the given message and code (every failure uses code 2).
    USBResult(const QString &message, int code);

    // Maps a status of the FTDI vendor library to its text; code 0 only for status 0.
    static USBResult fromFtStatus(unsigned long status);

    bool isSuccess() const { return code == 0; }
    // "Success" for code 0 whatever the message, else the message.
    QString toString() const;

    int code;
    QString message;
};
