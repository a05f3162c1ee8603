#pragma once

#include <QEvent>
#include <memory>

#include "USBICommRequest.h"
#include "USBResult.h"

// The outcome of a queued request, posted to the receiver given when it was
// queued when the protocol has no direct packet handler.
class USBRequestEvent : public QEvent
{
public:
    static constexpr QEvent::Type EventType = QEvent::Type(QEvent::User + 2);

    USBRequestEvent(std::shared_ptr<USBICommRequest> request, const USBResult &result);
    ~USBRequestEvent() override;

    const std::shared_ptr<USBICommRequest> &request() const { return m_request; }
    const USBResult &result() const { return m_result; }

private:
    std::shared_ptr<USBICommRequest> m_request;
    USBResult m_result;
};
