#include "USBICommRequest.h"

std::atomic<int> USBICommRequest::nextRequestId{100};

USBICommRequest::~USBICommRequest() = default;

std::shared_ptr<USBICommRequest> USBICommRequest::clone() const
{
    return {};
}

int USBICommRequest::takeNextId()
{
    return nextRequestId.fetch_add(1, std::memory_order_relaxed) + 1;
}
