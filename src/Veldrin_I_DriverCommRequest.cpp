#include "Veldrin_I_DriverCommRequest.h"

Veldrin_I_DriverCommRequest::Veldrin_I_DriverCommRequest(quint8 command)
    : VeldrinDriverCommRequest(command)
{
}

Veldrin_I_DriverCommRequest::~Veldrin_I_DriverCommRequest() = default;

int Veldrin_I_DriverCommRequest::expectedReplySize() const
{
    // 32 to 38 set something and are answered with a status only; 64 to 68 read.
    if (command() >= 32 && command() <= 38)
        return 0;
    switch (command()) {
    case 64: return 8;
    case 65: return 5;
    case 66: return 2;
    case 67: return 7;   // DAC settings
    case 68: return 100; // user data (calibration)
    default:
        Q_ASSERT(0);
        return 0;
    }
}

std::shared_ptr<USBICommRequest> Veldrin_I_DriverCommRequest::clone() const
{
    auto copy = std::make_shared<Veldrin_I_DriverCommRequest>(command());
    copy->setPayload(payload());
    return copy;
}
