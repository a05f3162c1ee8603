#include "USBPacketStreamEvent.h"

USBPacketStreamEvent::USBPacketStreamEvent(int id, const QByteArray &data, const USBResult &result)
    : QEvent(EventType), m_id(id), m_data(data), m_result(result)
{
}

USBPacketStreamEvent::~USBPacketStreamEvent() = default;
