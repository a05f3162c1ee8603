#include "UsbdevfsNode.h"

// <linux/usbdevice_fs.h> uses _IOR and friends without including them.
#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>

#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>

#include "UsbPcapRecorder.h"

namespace {

gboolean onIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer node)
{
    static_cast<UsbdevfsNode *>(node)->handleIoctl(client);
    return TRUE;
}

void onConnected(UMockdevIoctlBase *, UMockdevIoctlClient *, gpointer node)
{
    static_cast<UsbdevfsNode *>(node)->clientConnected();
}

void onVanished(UMockdevIoctlBase *, UMockdevIoctlClient *, gpointer node)
{
    static_cast<UsbdevfsNode *>(node)->clientVanished();
}

// Resolves `size` bytes at `offset` of a client's memory, or nullptr.
UMockdevIoctlData *resolve(UMockdevIoctlData *data, std::size_t offset, std::size_t size)
{
    GError *error = nullptr;
    UMockdevIoctlData *resolved = umockdev_ioctl_data_resolve(data, offset, size, &error);
    g_clear_error(&error);
    return resolved;
}

void fail(UMockdevIoctlClient *client, int error)
{
    umockdev_ioctl_client_complete(client, -1, error);
}

void succeed(UMockdevIoctlClient *client, long result = 0)
{
    umockdev_ioctl_client_complete(client, result, 0);
}

} // namespace

UsbdevfsNode::UsbdevfsNode() = default;

UsbdevfsNode::~UsbdevfsNode()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    dropUrbs();
}

std::int64_t UsbdevfsNode::nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

UMockdevIoctlBase *UsbdevfsNode::newHandler()
{
    UMockdevIoctlBase *handler = umockdev_ioctl_base_new();
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(onIoctl), this);
    g_signal_connect(handler, "client-connected", G_CALLBACK(onConnected), this);
    g_signal_connect(handler, "client-vanished", G_CALLBACK(onVanished), this);
    return handler;
}

void UsbdevfsNode::clientConnected()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_clients++ == 0)
        firstClientConnected();
}

void UsbdevfsNode::clientVanished()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_clients > 0 && --m_clients == 0) {
        dropUrbs();
        lastClientVanished();
    }
}

void UsbdevfsNode::setRecorder(std::shared_ptr<UsbPcapRecorder> recorder, int bus, int address)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_recorder = std::move(recorder);
    m_recordBus = bus;
    m_recordAddress = address;
}

std::uint64_t UsbdevfsNode::reapCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_reaps;
}

void UsbdevfsNode::releaseUrb(Urb &urb)
{
    if (urb.buffer)
        g_object_unref(urb.buffer);
    if (urb.urb)
        g_object_unref(urb.urb);
    urb.buffer = urb.urb = nullptr;
}

void UsbdevfsNode::dropUrbs()
{
    for (Urb &urb : m_urbs)
        releaseUrb(urb);
    m_urbs.clear();
}

void UsbdevfsNode::completeUrb(Urb &urb, int status, int actual)
{
    urb.done = true;
    urb.status = status;
    urb.actual = actual;
    recordUrb(urb, false);
}

void UsbdevfsNode::recordUrb(const Urb &urb, bool submitted) const
{
    if (!m_recorder)
        return;
    const bool control = urb.type == USBDEVFS_URB_TYPE_CONTROL;
    std::uint8_t *bytes = urb.buffer ? urb.buffer->data : nullptr;
    int length = urb.buffer ? int(urb.buffer->data_len) : 0;
    const std::uint8_t *setup = nullptr;
    std::uint8_t endpoint = urb.endpoint;
    if (control) {
        // The setup packet leads the buffer; its first byte tells the direction.
        setup = bytes;
        endpoint = setup[0] & 0x80;
        bytes += 8;
        length -= 8;
    }
    const auto type = control ? UsbPcapRecorder::Control : UsbPcapRecorder::Bulk;
    const std::uint64_t id = urb.urb->client_addr;
    if (submitted)
        m_recorder->submitted(m_recordBus, m_recordAddress, id, type, endpoint, setup, bytes, length);
    else
        m_recorder->completed(m_recordBus, m_recordAddress, id, type, endpoint, urb.status, bytes,
                              urb.actual);
}

void UsbdevfsNode::handleIoctl(UMockdevIoctlClient *client)
{
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    std::lock_guard<std::mutex> lock(m_mutex);

    if (isGone()) {
        // As the kernel does on a disconnect: urbs in flight end with
        // ESHUTDOWN and can still be reaped; every other request fails.
        if (request != USBDEVFS_REAPURB && request != USBDEVFS_REAPURBNDELAY) {
            fail(client, ENODEV);
            return;
        }
        for (Urb &urb : m_urbs)
            if (!urb.done)
                completeUrb(urb, -ESHUTDOWN, 0);
    }

    switch (request) {
    case USBDEVFS_SUBMITURB:
        submit(arg, client);
        return;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
        reap(arg, client);
        return;
    case USBDEVFS_DISCARDURB: {
        // A pending urb is killed (-ENOENT, as usb_kill_urb completes it);
        // one already completed is not pending any more: EINVAL.
        unsigned long address = 0;
        std::memcpy(&address, arg->data, std::min<std::size_t>(sizeof address, std::size_t(arg->data_len)));
        for (Urb &urb : m_urbs) {
            if (urb.urb->client_addr == address && !urb.done) {
                completeUrb(urb, -ENOENT, 0);
                succeed(client);
                return;
            }
        }
        fail(client, EINVAL);
        return;
    }
    case USBDEVFS_CONTROL:
        synchronousControl(arg, client);
        return;
    case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData *caps = resolve(arg, 0, sizeof(std::uint32_t));
        if (!caps) {
            fail(client, EFAULT);
            return;
        }
        // What a current kernel reports for a device behind an xHCI
        // controller (mmap, privilege dropping and the extended connection
        // query aside, which no stack here needs). Scatter-gather matters
        // most: without it libusb splits a large read into 16 KiB urbs and,
        // after a short packet in one of them, discards the rest, losing
        // whatever the device had already put into them.
        const std::uint32_t capabilities = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_NO_PACKET_SIZE_LIM
                                           | USBDEVFS_CAP_REAP_AFTER_DISCONNECT
                                           | USBDEVFS_CAP_BULK_SCATTER_GATHER;
        std::memcpy(caps->data, &capabilities, sizeof capabilities);
        g_object_unref(caps);
        succeed(client);
        return;
    }
    case USBDEVFS_GETDRIVER:
    case USBDEVFS_IOCTL:
        fail(client, ENODATA); // no kernel driver bound
        return;
    case USBDEVFS_RESET:
        reset();
        succeed(client);
        return;
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE:
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_DISCONNECT_CLAIM:
        succeed(client);
        return;
    default:
        fail(client, ENOTTY);
        return;
    }
}

void UsbdevfsNode::submit(UMockdevIoctlData *arg, UMockdevIoctlClient *client)
{
    UMockdevIoctlData *urbData = resolve(arg, 0, sizeof(usbdevfs_urb));
    if (!urbData) {
        fail(client, EFAULT);
        return;
    }
    usbdevfs_urb header;
    std::memcpy(&header, urbData->data, sizeof header);
    Urb urb;
    urb.urb = urbData;
    urb.type = header.type;
    urb.endpoint = header.endpoint;
    if (header.buffer_length > 0) {
        urb.buffer = resolve(urbData, offsetof(usbdevfs_urb, buffer), std::size_t(header.buffer_length));
        if (!urb.buffer) {
            releaseUrb(urb);
            fail(client, EFAULT);
            return;
        }
    }
    const bool control = header.type == USBDEVFS_URB_TYPE_CONTROL;
    if ((control && (!urb.buffer || urb.buffer->data_len < 8))
        || (!control && header.type != USBDEVFS_URB_TYPE_BULK)) {
        releaseUrb(urb);
        fail(client, EINVAL);
        return;
    }
    recordUrb(urb, true);
    if (control) {
        const int result = this->control(urb.buffer->data, urb.buffer->data + 8, int(urb.buffer->data_len) - 8);
        completeUrb(urb, result < 0 ? result : 0, std::max(result, 0));
    } else if (!(header.endpoint & 0x80)) {
        completeUrb(urb, 0, urb.buffer ? bulkOut(urb.buffer->data, int(urb.buffer->data_len)) : 0);
    } else {
        // Served at once only when no earlier IN urb is still waiting.
        bool earlierWaiting = false;
        for (const Urb &queued : m_urbs)
            earlierWaiting = earlierWaiting || (!queued.done && (queued.endpoint & 0x80));
        if (!earlierWaiting)
            fillBulkIn(urb, nowNs());
    }
    m_urbs.push_back(urb);
    succeed(client);
}

void UsbdevfsNode::reap(UMockdevIoctlData *arg, UMockdevIoctlClient *client)
{
    const std::int64_t now = nowNs();
    const bool gone = isGone();
    // The IN endpoint serves its urbs in the order they were submitted: one
    // that waits holds back those behind it.
    bool inWaiting = false;
    for (auto it = m_urbs.begin(); it != m_urbs.end(); ++it) {
        Urb &urb = *it;
        if (!urb.done && (gone || inWaiting || !fillBulkIn(urb, now))) {
            inWaiting = true;
            continue;
        }
        usbdevfs_urb *header = reinterpret_cast<usbdevfs_urb *>(urb.urb->data);
        header->status = urb.status;
        header->actual_length = urb.actual;
        UMockdevIoctlData *slot = resolve(arg, 0, sizeof(void *));
        if (!slot) {
            fail(client, EFAULT);
            return;
        }
        umockdev_ioctl_data_set_ptr(slot, 0, urb.urb);
        g_object_unref(slot);
        ++m_reaps;
        // The argument now holds the urb's data until the call completes.
        releaseUrb(urb);
        m_urbs.erase(it);
        succeed(client);
        return;
    }
    fail(client, gone ? ENODEV : EAGAIN);
}

void UsbdevfsNode::synchronousControl(UMockdevIoctlData *arg, UMockdevIoctlClient *client)
{
    UMockdevIoctlData *transfer = resolve(arg, 0, sizeof(usbdevfs_ctrltransfer));
    if (!transfer) {
        fail(client, EFAULT);
        return;
    }
    usbdevfs_ctrltransfer c;
    std::memcpy(&c, transfer->data, sizeof c);
    const std::uint8_t setup[8] = {c.bRequestType, c.bRequest, std::uint8_t(c.wValue & 0xFF),
                                   std::uint8_t(c.wValue >> 8), std::uint8_t(c.wIndex & 0xFF),
                                   std::uint8_t(c.wIndex >> 8), std::uint8_t(c.wLength & 0xFF),
                                   std::uint8_t(c.wLength >> 8)};
    UMockdevIoctlData *data =
        c.wLength > 0 ? resolve(transfer, offsetof(usbdevfs_ctrltransfer, data), c.wLength) : nullptr;
    std::uint8_t scratch[8];
    std::uint8_t *bytes = data ? data->data : scratch;
    const int length = data ? int(data->data_len) : 0;
    const std::uint64_t id = transfer->client_addr;
    if (m_recorder)
        m_recorder->submitted(m_recordBus, m_recordAddress, id, UsbPcapRecorder::Control,
                              setup[0] & 0x80, setup, bytes, length);
    const int result = control(setup, bytes, length);
    if (m_recorder)
        m_recorder->completed(m_recordBus, m_recordAddress, id, UsbPcapRecorder::Control,
                              setup[0] & 0x80, result < 0 ? result : 0, bytes, std::max(result, 0));
    if (data)
        g_object_unref(data);
    g_object_unref(transfer);
    if (result < 0)
        fail(client, -result);
    else
        succeed(client, result);
}
