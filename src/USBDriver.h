#pragma once

#include <QObject>
#include <QVector>
#include <memory>

#include "USBDevice.h"
#include "USBICommRequest.h"
#include "USBIProtocol.h"
#include "USBResult.h"

// The entry point of the USB layer: lists the attached FTDI bridges, opens at
// most one of them at a time, attaches it to the packet protocol and forwards
// requests. A driver made without a protocol is used for enumeration only.
class USBDriver : public QObject
{
    Q_OBJECT
public:
    explicit USBDriver(std::shared_ptr<USBIProtocol> protocol = {});
    ~USBDriver() override;

    // The attached bridges in vendor list order; only those whose serial number
    // starts with "SY" when instrumentsOnly is set. Never fails: an enumeration
    // that fails yields an empty list.
    QVector<std::shared_ptr<USBDevice>> devices(bool instrumentsOnly);

    USBResult open(std::shared_ptr<USBDevice> device, int baudRate);
    // Clears the queue, detaches the protocol (ending its thread), closes the
    // device and waits for the thread. Does nothing when no device is open.
    // Submissions are refused from its start; submit and close may run on
    // different threads (a handler on the protocol thread, the host).
    void close();
    USBResult request(std::shared_ptr<USBICommRequest> request);
    USBResult submit(std::shared_ptr<USBICommRequest> request, QObject *receiver);
    void purge();
    std::shared_ptr<USBDevice> device() const;
    bool isOpen() const;
    bool isQueueEmpty() const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};
