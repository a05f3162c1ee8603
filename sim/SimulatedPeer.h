#pragma once

#include <QByteArray>
#include <QtGlobal>

// The chip side of a virtual FTDI bridge, as the device behind it sees it.
class SimulatedLink
{
public:
    virtual ~SimulatedLink() = default;
    // Appends bytes to the chip's receive queue (what the host reads next) and
    // wakes any host read that waits for them. Safe to call from any thread,
    // including from inside SimulatedPeer::hostWrote.
    virtual void sendToHost(const QByteArray &bytes) = 0;
    // The same for bytes the device finished producing at `producedNs`
    // (SimulatedClock time, not in the future). A chip that models its
    // latency timer and buffer makes them visible to the host when it would
    // pass them on; others pass them on at once.
    virtual void sendToHostProducedAt(qint64 producedNs, const QByteArray &bytes)
    {
        Q_UNUSED(producedNs);
        sendToHost(bytes);
    }
};

// Whatever sits behind a virtual FTDI chip: a virtual instrument, or a scripted
// peer in a test. It receives the bytes the host writes and answers through the
// link. The chip never holds its own lock while it calls the peer.
//
// A peer that takes real time keeps what it will produce later to itself and
// hands it to the link when asked to catch up: the chip calls `advance` before
// it answers any host query, and asks `nextOutputNs` when a host read has to
// wait, so that it wakes when the peer has something to send.
class SimulatedPeer
{
public:
    virtual ~SimulatedPeer() = default;
    // The host wrote these bytes (one vendor write). Called on the writing thread.
    virtual void hostWrote(const QByteArray &bytes, SimulatedLink &link) = 0;
    // The host opened the chip (vendor open).
    virtual void opened() {}
    // The host closed the chip (vendor close).
    virtual void closed() {}
    // The chip was port-cycled (re-enumerated), as if unplugged and replugged,
    // or it lost power when it was unplugged.
    virtual void portCycled() {}
    // Hands the link everything produced up to `nowNs` (SimulatedClock time).
    virtual void advance(qint64 nowNs, SimulatedLink &link)
    {
        Q_UNUSED(nowNs);
        Q_UNUSED(link);
    }
    // When the peer will next have something to send, or -1 for nothing planned.
    virtual qint64 nextOutputNs() const { return -1; }
};
