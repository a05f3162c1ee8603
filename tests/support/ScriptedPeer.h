#pragma once

#include <QByteArray>
#include <QList>
#include <condition_variable>
#include <functional>
#include <mutex>

#include "SimulatedPeer.h"

// A SimulatedPeer for tests: records every write of the host and answers from
// a script. After each host write it answers, in this order:
//   1. a queued reply (queueReply), one per write, which consumes that write;
//   2. otherwise the rules (addRule): while the bytes written and not yet
//      consumed start with a rule's request, that request is consumed and the
//      rule's reply sent (rules are tried in the order added);
//   3. then the responder (setResponder), called again as long as it consumes
//      bytes and some remain; it sees the unconsumed bytes and may remove a prefix.
// Bytes that nothing consumed stay pending for the next write, so a request
// split over several writes still matches. Replies go to the host through the
// chip's link on the writing thread. Safe to use from any thread.
class ScriptedPeer : public SimulatedPeer
{
public:
    // Gets the pending bytes; removes what it consumed and returns the reply
    // (empty for none).
    using Responder = std::function<QByteArray(QByteArray &pending)>;

    void queueReply(const QByteArray &reply);
    void addRule(const QByteArray &request, const QByteArray &reply);
    void setResponder(Responder responder);

    // Everything the host wrote, and the same split by vendor write.
    QByteArray written() const;
    QList<QByteArray> writes() const;
    QByteArray pending() const;
    void clearWritten();
    // Waits until the host wrote at least `count` bytes in total.
    bool waitForWritten(int count, int timeoutMs) const;

    int openedCount() const;
    int closedCount() const;
    int portCycledCount() const;

    void hostWrote(const QByteArray &bytes, SimulatedLink &link) override;
    void opened() override;
    void closed() override;
    void portCycled() override;

private:
    struct Rule
    {
        QByteArray request;
        QByteArray reply;
    };

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_wroteMore;
    QList<QByteArray> m_queuedReplies;
    QList<Rule> m_rules;
    Responder m_responder;
    QByteArray m_written;
    QList<QByteArray> m_writes;
    QByteArray m_pending;
    int m_opened = 0;
    int m_closed = 0;
    int m_portCycled = 0;
};
