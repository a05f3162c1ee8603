#pragma once

#include <QByteArray>
#include <QtGlobal>

// One packet received from the instrument. A short packet carries neither id
// nor status and is recorded with id 0 (the stream channel) and status 0.
struct USBPacket
{
    quint8 type = 0;
    qint32 id = 0;
    quint8 status = 0;
    int packetDataSize = 0; // the data length announced by the header
    QByteArray data;        // the data bytes collected so far
};
