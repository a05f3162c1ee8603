#pragma once

#include <QByteArray>
#include <QList>
#include <functional>
#include <memory>

#include "SimulatedPeer.h"

class USBDevice;

// One byte-stream bridge between the library and a scripted instrument side,
// for tests of the packet protocol.
//
// The library side is a USBDevice with the semantics of an FTDI bridge: reads
// of an exact count that wait up to the read time-out and throw "Communication
// timed out" when short, readAvailable appending up to a target size (at most
// 10000 bytes per call), bytesAvailable, clones that share the queues and the
// open handle. The instrument side is a SimulatedLink: whatever is sent to the
// host is read next, and a responder sees every host write.
class ProtocolHarness
{
public:
    // Called on the writing thread for each host write, with no harness lock
    // held; it may answer at once through the link.
    using Responder = std::function<void(const QByteArray &written, SimulatedLink &link)>;
    // Called on the polling thread each time the host asks how many bytes are
    // waiting, before the answer is counted; it may send bytes or stall.
    using PollHook = std::function<void(SimulatedLink &link)>;

    ProtocolHarness();
    ~ProtocolHarness();
    ProtocolHarness(const ProtocolHarness &) = delete;
    ProtocolHarness &operator=(const ProtocolHarness &) = delete;

    // The bridge as the library finds it: closed until opened.
    std::shared_ptr<USBDevice> device() const;
    // The same device, opened if it was not.
    std::shared_ptr<USBDevice> openedDevice() const;

    // Instrument side.
    SimulatedLink &link();
    void sendToHost(const QByteArray &bytes);
    void setResponder(Responder responder);
    void setPollHook(PollHook hook);
    // The next host read fails with this vendor status.
    void failNextRead(unsigned long vendorStatus);

    // What the host did.
    QList<QByteArray> writes() const;
    bool waitForWrites(int count, int timeoutMs = 5000) const;
    // Bytes sent to the host that it has not read yet.
    int unreadByteCount() const;
    // How often the host asked for the number of waiting bytes.
    int pollCount() const;
    bool waitForPolls(int count, int timeoutMs = 5000) const;
    int readTimeoutMs() const;

    struct Channel;

private:
    std::shared_ptr<Channel> m_channel;
    std::shared_ptr<USBDevice> m_device;
};
