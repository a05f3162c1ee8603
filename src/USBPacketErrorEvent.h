#pragma once

#include <QEvent>

#include "USBResult.h"

// A receive failure of the protocol thread's own poll, posted to the error
// receiver when the protocol has no direct packet handler.
class USBPacketErrorEvent : public QEvent
{
public:
    static constexpr QEvent::Type EventType = QEvent::Type(QEvent::User + 3);

    USBPacketErrorEvent(int id, const USBResult &result);
    ~USBPacketErrorEvent() override;

    int id() const { return m_id; }
    const USBResult &result() const { return m_result; }

private:
    int m_id;
    USBResult m_result;
};
