#include "USBRequestEvent.h"

USBRequestEvent::USBRequestEvent(std::shared_ptr<USBICommRequest> request, const USBResult &result)
    : QEvent(EventType), m_request(std::move(request)), m_result(result)
{
}

USBRequestEvent::~USBRequestEvent() = default;
