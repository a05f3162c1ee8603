#pragma once

#include <QByteArray>
#include <QtGlobal>
#include <atomic>
#include <memory>

#include "USBResult.h"

// An instruction request carried by the packet protocol. Each request object
// takes its id from one process-wide counter when it is made; id 0 is the
// instrument's stream channel and is never used by a request.
class USBICommRequest
{
public:
    virtual ~USBICommRequest();

    // Written without framing (command byte, then payload) and never answered.
    virtual bool isRawRequest() const = 0;
    virtual quint8 command() const = 0;
    // At most 65535 bytes.
    virtual QByteArray payload() const = 0;
    // Called once, only for a successful reply of the expected size.
    virtual void setReceivedData(const QByteArray &bytes) = 0;
    virtual QByteArray receivedData() const = 0;
    // Maps the reply's status byte to a result; code 0 means accepted.
    virtual USBResult resultForStatus(quint8 status) const = 0;
    // The exact number of reply data bytes.
    virtual int expectedReplySize() const = 0;
    virtual int id() const = 0;
    // A new request with the same command and payload, an empty reply and a
    // fresh id; requests that cannot be copied return an empty handle.
    virtual std::shared_ptr<USBICommRequest> clone() const;

    // Takes the next id from the process-wide counter: 101 first, then upwards.
    // After the largest int the count starts again at 101, so an id is never
    // negative, never the stream id 0 and never below 101.
    static int takeNextId();
    static constexpr int FirstId = 101;
    // Makes `lastId` the id most recently handed out (for tests of the wrap).
    static void setLastIdForTesting(int lastId);

private:
    static std::atomic<int> nextRequestId;
};

using USBCommRequestPtr = std::shared_ptr<USBICommRequest>;
