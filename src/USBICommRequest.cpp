#include "USBICommRequest.h"

#include <limits>

std::atomic<int> USBICommRequest::nextRequestId{FirstId - 1};

USBICommRequest::~USBICommRequest() = default;

std::shared_ptr<USBICommRequest> USBICommRequest::clone() const
{
    return {};
}

int USBICommRequest::takeNextId()
{
    // The counter holds the last id handed out; the successor is computed
    // before it is stored, so the wrap never overflows.
    int last = nextRequestId.load(std::memory_order_relaxed);
    int next;
    do {
        next = (last < FirstId || last == std::numeric_limits<int>::max()) ? FirstId : last + 1;
    } while (!nextRequestId.compare_exchange_weak(last, next, std::memory_order_relaxed));
    return next;
}

void USBICommRequest::setLastIdForTesting(int lastId)
{
    nextRequestId.store(lastId, std::memory_order_relaxed);
}
