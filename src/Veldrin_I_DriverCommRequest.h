#pragma once

#include <memory>

#include "VeldrinDriverCommRequest.h"

// One instruction to a generation I instrument. The device makes one per
// instruction, sets its payload from a property block and posts it; the
// protocol thread stores the reply data once the instrument has accepted it.
class Veldrin_I_DriverCommRequest : public VeldrinDriverCommRequest
{
public:
    explicit Veldrin_I_DriverCommRequest(quint8 command);
    ~Veldrin_I_DriverCommRequest() override;

    int expectedReplySize() const override;
    std::shared_ptr<USBICommRequest> clone() const override;
};
