#pragma once

#include <memory>

#include "VeldrinDriverCommRequest.h"

// One instruction to a generation II instrument. The device makes one per
// instruction, sets its payload from a property block and posts it; the
// protocol thread stores the reply data once the instrument has accepted it.
class Veldrin_II_DriverCommRequest : public VeldrinDriverCommRequest
{
public:
    explicit Veldrin_II_DriverCommRequest(quint8 command);
    ~Veldrin_II_DriverCommRequest() override;

    int expectedReplySize() const override;
    std::shared_ptr<USBICommRequest> clone() const override;
};
