#pragma once

#include <QByteArray>
#include <QEvent>

#include "USBResult.h"

// A stream packet (a packet whose id has a registered receiver), posted to that
// receiver when the protocol has no direct packet handler.
class USBPacketStreamEvent : public QEvent
{
public:
    static constexpr QEvent::Type EventType = QEvent::Type(QEvent::User + 1);

    USBPacketStreamEvent(int id, const QByteArray &data, const USBResult &result);
    ~USBPacketStreamEvent() override;

    int id() const { return m_id; }
    const QByteArray &data() const { return m_data; }
    const USBResult &result() const { return m_result; }

private:
    int m_id;
    QByteArray m_data;
    USBResult m_result;
};
