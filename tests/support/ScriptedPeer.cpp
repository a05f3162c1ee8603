#include "ScriptedPeer.h"

#include <chrono>

void ScriptedPeer::queueReply(const QByteArray &reply)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queuedReplies.append(reply);
}

void ScriptedPeer::addRule(const QByteArray &request, const QByteArray &reply)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_rules.append(Rule{request, reply});
}

void ScriptedPeer::setResponder(Responder responder)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_responder = std::move(responder);
}

QByteArray ScriptedPeer::written() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_written;
}

QList<QByteArray> ScriptedPeer::writes() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_writes;
}

QByteArray ScriptedPeer::pending() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_pending;
}

void ScriptedPeer::clearWritten()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_written.clear();
    m_writes.clear();
    m_pending.clear();
}

bool ScriptedPeer::waitForWritten(int count, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_wroteMore.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                [&] { return m_written.size() >= count; });
}

int ScriptedPeer::openedCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_opened;
}

int ScriptedPeer::closedCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_closed;
}

int ScriptedPeer::portCycledCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_portCycled;
}

void ScriptedPeer::hostWrote(const QByteArray &bytes, SimulatedLink &link)
{
    QList<QByteArray> replies;
    Responder responder;
    QByteArray pending;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_written.append(bytes);
        m_writes.append(bytes);
        m_wroteMore.notify_all();
        if (!m_queuedReplies.isEmpty()) {
            replies.append(m_queuedReplies.takeFirst());
        } else {
            m_pending.append(bytes);
            bool matched = true;
            while (matched && !m_pending.isEmpty()) {
                matched = false;
                for (const Rule &rule : qAsConst(m_rules)) {
                    if (!rule.request.isEmpty() && m_pending.startsWith(rule.request)) {
                        m_pending.remove(0, rule.request.size());
                        replies.append(rule.reply);
                        matched = true;
                        break;
                    }
                }
            }
            responder = m_responder;
            if (responder)
                pending.swap(m_pending);
        }
    }
    // The responder is test code: it runs without the lock so that it may
    // query the peer.
    if (responder) {
        for (;;) {
            const int before = pending.size();
            const QByteArray reply = responder(pending);
            if (!reply.isEmpty())
                replies.append(reply);
            if (pending.size() == before || pending.isEmpty())
                break;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_pending.prepend(pending);
    }
    for (const QByteArray &reply : qAsConst(replies)) {
        if (!reply.isEmpty())
            link.sendToHost(reply);
    }
}

void ScriptedPeer::opened()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_opened;
}

void ScriptedPeer::closed()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_closed;
}

void ScriptedPeer::portCycled()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_portCycled;
}
