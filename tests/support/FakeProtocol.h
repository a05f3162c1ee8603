#pragma once

#include <QList>
#include <QStringList>
#include <QVector>

#include "USBDevice.h"
#include "USBIProtocol.h"

// A protocol double that answers synchronous requests from a script instead of
// a byte stream. It applies the request contract the way the packet protocol
// does: raw requests get no reply; a framed reply's status goes through
// resultForStatus, its size must equal expectedReplySize, and only then is the
// data stored with setReceivedData.
class FakeProtocol : public USBIProtocol
{
public:
    // One scripted answer to a framed request: a transport failure (returned as
    // it is) or a reply with status and data.
    struct Answer
    {
        static Answer reply(quint8 status, const QByteArray &data = {});
        static Answer failure(const QString &message);
        bool failed = false;
        USBResult result;
        quint8 status = 0;
        QByteArray data;
    };
    struct Sent
    {
        quint8 command;
        bool raw;
        int expectedReplySize;
    };

    USBResult sendRequest(std::shared_ptr<USBICommRequest> request) override;
    void setDevice(std::shared_ptr<USBDevice> device) override { attached = std::move(device); }
    void setPollInterval(unsigned long) override {}
    bool waitForFinished() override { return false; }
    void postRequest(std::shared_ptr<USBICommRequest>, QObject *) override {}
    void clearRequests() override {}
    bool isQueueEmpty() override { return true; }

    QList<Answer> answers;   // for the framed requests, in order; none left is a time-out
    USBResult rawWriteResult; // the outcome of writing a raw request
    QVector<Sent> sent;
    // "request 0x14" per request; tests may add their own entries (e.g. purges).
    QStringList events;
    std::shared_ptr<USBDevice> attached;
};
