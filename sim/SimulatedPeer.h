#pragma once

#include <QByteArray>

// The chip side of a virtual FTDI bridge, as the device behind it sees it.
class SimulatedLink
{
public:
    virtual ~SimulatedLink() = default;
    // Appends bytes to the chip's receive queue (what the host reads next) and
    // wakes any host read that waits for them. Safe to call from any thread,
    // including from inside SimulatedPeer::hostWrote.
    virtual void sendToHost(const QByteArray &bytes) = 0;
};

// Whatever sits behind a virtual FTDI chip: a virtual instrument, or a scripted
// peer in a test. It receives the bytes the host writes and answers through the
// link. The chip never holds its own lock while it calls the peer.
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
    // The chip was port-cycled (re-enumerated), as if unplugged and replugged.
    virtual void portCycled() {}
};
