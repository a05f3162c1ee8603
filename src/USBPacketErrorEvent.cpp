#include "USBPacketErrorEvent.h"

USBPacketErrorEvent::USBPacketErrorEvent(int id, const USBResult &result)
    : QEvent(EventType), m_id(id), m_result(result)
{
}

USBPacketErrorEvent::~USBPacketErrorEvent() = default;
