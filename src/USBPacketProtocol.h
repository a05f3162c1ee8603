#pragma once

#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QThread>
#include <QVector>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "RequestEntry.h"
#include "USBICommRequest.h"
#include "USBIProtocol.h"
#include "USBPacket.h"
#include "USBReceiver.h"
#include "USBResult.h"

class USBDevice;

// Carries instruction requests to an instrument over the packet framing and
// brings back their replies and the instrument's stream packets.
//
// Requests are carried either synchronously on the caller's thread
// (sendRequest) or through a queue served by the protocol's own thread
// (postRequest), which between requests polls the device and parses what has
// arrived. Results, receive errors and stream packets go to the direct packet
// handler when one is installed, else they are posted as Qt events to the
// registered receivers.
//
// The parser state, the pending table and the reply table are used by one
// thread at a time: by the protocol thread while it runs, otherwise by the
// caller of sendRequest. Everything else is guarded by one non-recursive mutex.
//
// Nothing waits on a fixed sleep. While the protocol thread runs, a receiver
// thread waits in the device's reads and hands over every byte the moment it
// arrives; the protocol thread sleeps on a condition that a posted request,
// arriving bytes or a detach wake at once, and otherwise wakes after the poll
// interval. A synchronous request without the thread waits in a device read
// with the device's read time-out.
class USBPacketProtocol : public USBIProtocol, public QThread
{
public:
    // Consumer of results, receive errors and stream packets, installed instead
    // of Qt receivers.
    class IDirectPacketHandler
    {
    public:
        virtual ~IDirectPacketHandler() = default;
        // A queued request has been carried out. Called on the protocol thread
        // without any lock held; may post further requests.
        virtual void requestFinished(const RequestEntry &entry, USBResult result) = 0;
        // The protocol thread's own poll failed. Called with the protocol mutex
        // held: the handler must not call back into the protocol.
        virtual void packetError(USBResult result, QPointer<QObject> &errorReceiver) = 0;
        // A complete packet whose id the handler accepts, on whichever thread
        // runs the parser, without lock. The data may be consumed; the protocol
        // clears it afterwards.
        virtual void packetReceived(int id, QByteArray &data) = 0;
        virtual bool acceptsPacket(int id) = 0;
        // An allocation failed on the protocol thread (while carrying out a
        // request or parsing): whatever was being received cannot be held.
        // Called without lock; the thread goes on.
        virtual void allocationFailed() {}
    };

    static constexpr int ReplyTimeoutMs = 4000;
    static constexpr unsigned long DefaultPollIntervalUs = 5000;

    USBPacketProtocol();
    // The protocol should be detached before it is destroyed; if its thread
    // still runs, the destructor detaches and waits for it.
    ~USBPacketProtocol() override;

    void setPollInterval(unsigned long microseconds) override;
    bool waitForFinished() override;
    USBResult sendRequest(std::shared_ptr<USBICommRequest> request) override;
    void postRequest(std::shared_ptr<USBICommRequest> request, QObject *receiver) override;
    // Attaching takes a clone of the device. Detaching (an empty handle) wakes
    // the protocol thread, which ends at once (a request it is carrying out is
    // cut short with "Invalid communication handle."), and waits for it up to
    // DetachWaitMs; the queue and the receive state are emptied once the thread
    // is gone. A thread held up longer (in a handler), or a detach from the
    // protocol thread itself, leaves the thread to finish on its own: the
    // caller hands the device to closeWhenReleased rather than closing it.
    void setDevice(std::shared_ptr<USBDevice> device) override;
    void clearRequests() override;
    bool isQueueEmpty() override;
    void closeWhenReleased(std::shared_ptr<USBDevice> device) override;

    // The longest a detach from another thread waits for the protocol thread.
    static constexpr int DetachWaitMs = 1000;

    // Waits, without a time limit, until the protocol thread has made its
    // last call into the handler and let go of the device; at once when it
    // does not run or on that thread itself. For a handler's owner before the
    // handler goes, after a detach.
    void waitUntilReleased();

    // Only while the protocol thread is not running.
    void setDirectPacketHandler(IDirectPacketHandler *handler);

    // Receivers used when no direct handler is installed. A stream receiver
    // gets a USBPacketStreamEvent for every packet with its id; a null
    // receiver removes the registration. The error receiver gets a
    // USBPacketErrorEvent when the thread's own poll fails.
    void setStreamReceiver(int id, QObject *receiver);
    void removeStreamReceiver(int id);
    void setErrorReceiver(QObject *receiver);

    // Reads what the device has received, completes as many packets as it can
    // and dispatches each. Never waits for bytes the device has not reported.
    // Throws USBResult after resetting the receive state.
    void parsePackets();

    // Changes of the request queues of every protocol in the process (an entry
    // carried out, a queue emptied, a thread ended): a counter that grows with
    // each, and a wait until it has grown past `seen` or `timeoutMs` passed. A
    // caller that waits until all queues are empty reads the counter, looks at
    // the queues, and waits only if one was not empty.
    static quint64 queueChanges();
    static void waitForQueueChange(quint64 seen, int timeoutMs);

    // Whether the reply to request `id` has been parsed and waits to be
    // collected. For the thread that runs the parser, e.g. from packetReceived:
    // a stream packet seen while it is true came after that reply.
    bool hasReplyFor(int id) const;

    // Diagnostics of the receive state, for the thread that owns it.
    int pendingRequestCount() const { return m_pendingRequests.size(); }
    int storedReplyCount() const { return m_replies.size(); }
    bool hasPacketInProgress() const { return !m_currentPacketHeaderData.isEmpty(); }

protected:
    void run() override;

private:
    void parseAvailable(USBReceiver &source);
    // Counts an event the protocol thread must look at and wakes it.
    void wake();
    static void notifyQueueChange();
    void dispatchPacket();
    void resetReceiveState();
    bool refreshCurrentDevice();
    bool isDetached();

    // A standard mutex rather than QMutex: Qt's futex-based lock is invisible
    // to ThreadSanitizer, which would then flag every guarded member.
    std::mutex m_mutex;
    std::shared_ptr<USBDevice> m_currentDevice;
    std::shared_ptr<USBDevice> m_attachedDevice;
    QMap<int, QPointer<QObject>> m_streamReceivers;
    QPointer<QObject> m_errorReceiver;
    QVector<RequestEntry> m_requestQueue;
    QMap<int, std::shared_ptr<USBICommRequest>> m_pendingRequests;
    QByteArray m_currentPacketHeaderData;
    USBPacket m_currentPacket;
    QMap<int, USBPacket> m_replies;
    unsigned long m_pollInterval = DefaultPollIntervalUs;
    IDirectPacketHandler *m_directHandler = nullptr;
    // Events for the protocol thread (posted requests, arrived bytes, a
    // detach), counted under m_mutex.
    std::condition_variable m_wake;
    quint64 m_wakeups = 0;
    // Whether a device is attached, for the parser's drain loop to look at
    // between packets without taking the mutex.
    std::atomic<bool> m_attached{false};
    // Guarded by m_mutex: the protocol thread is between its start and its
    // last use of the device, and the devices to close once it is done.
    bool m_threadActive = false;
    QVector<std::shared_ptr<USBDevice>> m_closeOnExit;
    // Signalled when m_threadActive turns false (waitUntilReleased).
    std::condition_variable m_released;
    // Last member: its thread calls wake(), so it goes first.
    USBReceiver m_receiver{[this] { wake(); }};
};
