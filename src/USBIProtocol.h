#pragma once

#include <memory>

#include "USBDevice.h"
#include "USBICommRequest.h"
#include "USBResult.h"

class QObject;

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
    // Closes a device once the protocol no longer uses it: at once when no
    // thread of the protocol holds it, else when that thread has let go. A
    // detach may return before then (its wait is bounded, and a detach from
    // the protocol's own thread cannot wait at all), so whoever detaches
    // hands the device over here instead of closing it.
    virtual void closeWhenReleased(std::shared_ptr<USBDevice> device)
    {
        if (device)
            device->close();
    }
};
