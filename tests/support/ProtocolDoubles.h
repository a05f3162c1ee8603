#pragma once

#include <QByteArray>
#include <QEvent>
#include <QList>
#include <QObject>
#include <QSet>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include "USBICommRequest.h"
#include "USBPacketProtocol.h"
#include "USBResult.h"

// Instrument-side packet builders, written independently of the library's
// byte helpers so that a shared misreading cannot pass the tests.
QByteArray longPacket(quint32 id, quint8 status, const QByteArray &data);
QByteArray shortPacket(const QByteArray &data);
QByteArray patternBytes(int size, int seed);
// The id of a framed request as the instrument reads it (bytes 1..4).
quint32 requestIdOf(const QByteArray &frame);

// Polls the condition every millisecond until it holds or the time runs out,
// for state that signals nothing (the protocol's queue, its thread).
bool eventually(const std::function<bool()> &condition, int timeoutMs = 5000);

// Creates the process's QCoreApplication once, for tests that deliver events.
void ensureCoreApplication();

// A request with a fixed command, payload and reply size. Status 0 is
// accepted; any other status yields "Rejected <status>".
class ScriptedRequest : public USBICommRequest
{
public:
    ScriptedRequest(quint8 command, const QByteArray &payload, int expectedReplySize,
                    bool raw = false);

    bool isRawRequest() const override { return m_raw; }
    quint8 command() const override { return m_command; }
    QByteArray payload() const override { return m_payload; }
    void setReceivedData(const QByteArray &bytes) override;
    QByteArray receivedData() const override;
    USBResult resultForStatus(quint8 status) const override;
    int expectedReplySize() const override { return m_expectedReplySize; }
    int id() const override { return m_id; }

    int receivedDataCalls() const;

private:
    const int m_id;
    const quint8 m_command;
    const QByteArray m_payload;
    const int m_expectedReplySize;
    const bool m_raw;
    mutable std::mutex m_mutex;
    QByteArray m_received;
    int m_receivedCalls = 0;
};

// A direct packet handler that records what it is given; thread-safe.
class RecordingHandler : public USBPacketProtocol::IDirectPacketHandler
{
public:
    struct Finished
    {
        int id;
        std::shared_ptr<USBICommRequest> request;
        USBResult result;
    };
    struct Packet
    {
        int id;
        QByteArray data;
    };

    explicit RecordingHandler(QSet<int> acceptedIds = {0});

    void requestFinished(const RequestEntry &entry, USBResult result) override;
    void packetError(USBResult result, QPointer<QObject> &errorReceiver) override;
    void packetReceived(int id, QByteArray &data) override;
    bool acceptsPacket(int id) override;

    // Called after recording, on the thread that reports.
    std::function<void(const RequestEntry &, const USBResult &)> onFinished;
    std::function<void(int id, const QByteArray &data)> onPacket;

    QList<Finished> finished() const;
    QList<Packet> packets() const;
    QList<USBResult> errors() const;
    bool waitForFinished(int count, int timeoutMs = 5000) const;
    bool waitForPackets(int count, int timeoutMs = 5000) const;
    bool waitForErrors(int count, int timeoutMs = 5000) const;

private:
    bool waitFor(const std::function<bool()> &done, int timeoutMs) const;

    QSet<int> m_accepted;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    QList<Finished> m_finished;
    QList<Packet> m_packets;
    QList<USBResult> m_errors;
};

// A Qt receiver that keeps a copy of every protocol event delivered to it.
class EventRecorder : public QObject
{
public:
    struct Record
    {
        int type;
        int id;
        QByteArray data;
        std::shared_ptr<USBICommRequest> request;
        USBResult result;
    };

    QList<Record> records;
    // Delivers posted events until done() holds or the time runs out.
    bool pumpUntil(const std::function<bool()> &done, int timeoutMs = 5000);
    int count(int type) const;

protected:
    bool event(QEvent *event) override;
};
