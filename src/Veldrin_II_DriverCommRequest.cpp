#include "Veldrin_II_DriverCommRequest.h"

Veldrin_II_DriverCommRequest::Veldrin_II_DriverCommRequest(quint8 command)
    : VeldrinDriverCommRequest(command)
{
}

Veldrin_II_DriverCommRequest::~Veldrin_II_DriverCommRequest() = default;

int Veldrin_II_DriverCommRequest::expectedReplySize() const
{
    // 32 to 44 set something and are answered with a status only; 64 to 73 read.
    if (command() >= 32 && command() <= 44)
        return 0;
    switch (command()) {
    case 64: return 13;
    case 65:
    case 66: return 4;
    case 67:
    case 68: return 3;
    case 69:
    case 70: return 7;   // DAC channel 1 or 2
    case 71: return 6;
    case 72: return 150; // user data (calibration)
    case 73: return 4;
    default:
        Q_ASSERT(0);
        return 0;
    }
}

std::shared_ptr<USBICommRequest> Veldrin_II_DriverCommRequest::clone() const
{
    auto copy = std::make_shared<Veldrin_II_DriverCommRequest>(command());
    copy->setPayload(payload());
    return copy;
}
