#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#if !defined(VELDRIN_USBSIM_EXPORT)
#if defined(VELDRIN_USBSIM_BUILDING)
#define VELDRIN_USBSIM_EXPORT __attribute__((visibility("default")))
#else
#define VELDRIN_USBSIM_EXPORT
#endif
#endif

class UsbPcapRecorder;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _UMockdevIoctlData UMockdevIoctlData;

// The usbdevfs side of one USB device node served through umockdev's ioctl
// handler: the urbs a host's USB stack submits, reaps and discards, and the
// other requests on the node, answered as a current kernel answers them. What
// the device does with its transfers is the subclass's: control transfers,
// bulk OUT bytes, and bulk IN urbs, which it fills when it has something to
// send (IN urbs complete in the order they were submitted: one that waits
// holds back those behind it).
//
// The requests come on umockdev's worker thread; every hook is called with
// m_mutex held, which subclasses also guard their own state with.
class VELDRIN_USBSIM_EXPORT UsbdevfsNode
{
public:
    UsbdevfsNode();
    virtual ~UsbdevfsNode();
    UsbdevfsNode(const UsbdevfsNode &) = delete;
    UsbdevfsNode &operator=(const UsbdevfsNode &) = delete;

    // A umockdev ioctl handler whose requests and clients go to this node
    // (the caller owns the reference; the node must outlive it).
    UMockdevIoctlBase *newHandler();

    // A host opened or closed the device node.
    void clientConnected();
    void clientVanished();
    // Every usbdevfs request on the node. Completes the client's call.
    void handleIoctl(UMockdevIoctlClient *client);

    // Records every urb (submit and completion) as the device with this bus
    // number and address; nullptr stops recording.
    void setRecorder(std::shared_ptr<UsbPcapRecorder> recorder, int bus, int address);

    // How many urbs were reaped, for figures on how busy the host's USB stack is.
    std::uint64_t reapCount() const;

protected:
    struct Urb
    {
        UMockdevIoctlData *urb = nullptr;    // resolved struct usbdevfs_urb (owned ref)
        UMockdevIoctlData *buffer = nullptr; // resolved transfer buffer (owned ref)
        std::uint8_t type = 0;
        std::uint8_t endpoint = 0;
        bool done = false;
        int status = 0;
        int actual = 0;
    };

    static std::int64_t nowNs();

    // The device's side, with m_mutex held. A control transfer returns the
    // bytes of its data stage or a negative errno (a stall is -EPIPE); a bulk
    // OUT transfer the bytes the device took. fillBulkIn completes the urb
    // (completeUrb) and returns true, or returns false to let it wait.
    virtual int control(const std::uint8_t *setup, std::uint8_t *data, int length) = 0;
    virtual int bulkOut(const std::uint8_t *data, int length) = 0;
    virtual bool fillBulkIn(Urb &urb, std::int64_t nowNs) = 0;
    // A device gone from the bus: urbs in flight end with ESHUTDOWN and can
    // still be reaped, every other request fails with ENODEV.
    virtual bool isGone() const { return false; }
    // USBDEVFS_RESET.
    virtual void reset() {}
    // The first client opened the node.
    virtual void firstClientConnected() {}
    // The last client closed it (its urbs are already dropped).
    virtual void lastClientVanished() {}

    // With m_mutex held.
    void completeUrb(Urb &urb, int status, int actual);
    void dropUrbs();

    mutable std::mutex m_mutex;
    int m_clients = 0;

private:
    void releaseUrb(Urb &urb);
    void submit(UMockdevIoctlData *arg, UMockdevIoctlClient *client);
    void reap(UMockdevIoctlData *arg, UMockdevIoctlClient *client);
    void synchronousControl(UMockdevIoctlData *arg, UMockdevIoctlClient *client);
    void recordUrb(const Urb &urb, bool submitted) const;

    std::deque<Urb> m_urbs;
    std::uint64_t m_reaps = 0;
    std::shared_ptr<UsbPcapRecorder> m_recorder;
    int m_recordBus = 0, m_recordAddress = 0;
};
