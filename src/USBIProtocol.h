#pragma once

#include <memory>

#include "USBICommRequest.h"
#include "USBResult.h"

class QObject;
class USBDevice;

// The protocol interface through which USBDriver carries requests to an
// attached device.
class USBIProtocol
{
public:
    virtual ~USBIProtocol() = default;
    // Sleep of the protocol thread after each poll, in microseconds.
    virtual void setPollInterval(unsigned long microseconds) = 0;
    // Waits up to 5000 ms for the protocol thread to end; false if it was not running.
    virtual bool waitForFinished() = 0;
    // Carries out one request on the calling thread; never throws.
    virtual USBResult sendRequest(std::shared_ptr<USBICommRequest> request) = 0;
    // Queues a request for the protocol thread; the receiver may be null.
    virtual void postRequest(std::shared_ptr<USBICommRequest> request, QObject *receiver) = 0;
    // Attaches a clone of the device, or detaches with an empty handle.
    virtual void setDevice(std::shared_ptr<USBDevice> device) = 0;
    virtual void clearRequests() = 0;
    virtual bool isQueueEmpty() = 0;
};
