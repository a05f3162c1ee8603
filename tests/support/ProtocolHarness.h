#pragma once

#include <QByteArray>
#include <QList>
#include <functional>
#include <memory>

#include "SimulatedPeer.h"

class SimulatedBus;
class SimulatedFtdiChip;
class USBDevice;

// A bridge between the library and a scripted instrument side, for tests of
// the packet protocol, built from the simulated bus.
//
// The library side is the library's own FTDI device (USBFtdiDevice), listed
// by USBDriver::devices from a private SimulatedBus that holds one FT232R with
// the instrument serial number "SYAH004010001". Every read, write and queue
// query therefore goes through the vendor-library seam to a
// SimulatedFtdiChip, exactly as it would on the simulated bus of a host. The
// instrument side sits behind that chip as its SimulatedPeer: it records
// every host write and hands it to a responder, which answers through the
// chip's link.
//
// The harness makes its bus the process's vendor provider only while it lists
// the device, and puts the previous provider back at once; the device keeps
// the bus for its whole life. Construct harnesses on one thread while no
// other thread enumerates.
class ProtocolHarness
{
public:
    // Called on the writing thread for each host write, with no harness or
    // chip lock held; it may answer at once through the link.
    using Responder = std::function<void(const QByteArray &written, SimulatedLink &link)>;
    // Called on the querying thread each time the host asks the chip how many
    // bytes wait in its receive queue (bytesAvailable, and the query inside
    // readAvailable), before the answer is counted; it may send bytes or stall.
    using PollHook = std::function<void(SimulatedLink &link)>;

    ProtocolHarness();
    ~ProtocolHarness();
    ProtocolHarness(const ProtocolHarness &) = delete;
    ProtocolHarness &operator=(const ProtocolHarness &) = delete;

    // The bridge as the library finds it: closed until opened.
    std::shared_ptr<USBDevice> device() const;
    // The same device, opened (at 500000 baud) if it was not.
    std::shared_ptr<USBDevice> openedDevice() const;

    // Instrument side.
    SimulatedLink &link();
    void sendToHost(const QByteArray &bytes);
    void setResponder(Responder responder);
    void setPollHook(PollHook hook);
    // The next host read fails with this vendor status and takes no bytes.
    void failNextRead(unsigned long vendorStatus);

    // What the host did.
    QList<QByteArray> writes() const;
    bool waitForWrites(int count, int timeoutMs = 5000) const;
    // Bytes sent to the host that it has not read yet.
    int unreadByteCount() const;
    // How often the host asked the chip for the number of waiting bytes.
    int pollCount() const;
    bool waitForPolls(int count, int timeoutMs = 5000) const;
    // Whether the host has the chip open (safe to ask from any thread).
    bool chipOpen() const;
    // Vendor reads the host made that asked for bytes, as far as the chip's
    // call log reaches back.
    int readCount() const;
    // The read time-out the host last set on the chip.
    int readTimeoutMs() const;

    struct Channel;

private:
    std::shared_ptr<Channel> m_channel;
    std::shared_ptr<SimulatedBus> m_bus;
    std::shared_ptr<SimulatedFtdiChip> m_chip;
    std::shared_ptr<USBDevice> m_device;
};
