#include "USBDriver.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "FtdiBackend.h"
#include "USBFtdiDevice.h"

struct USBDriver::Private
{
    // Guards openDevice: a handler on the protocol thread submits while a
    // host thread may be closing.
    mutable std::mutex mutex;
    std::shared_ptr<USBDevice> openDevice;
    std::shared_ptr<USBIProtocol> protocol;

    std::shared_ptr<USBDevice> device() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return openDevice;
    }
};

USBDriver::USBDriver(std::shared_ptr<USBIProtocol> protocol)
    : QObject(nullptr), d(new Private)
{
    d->protocol = std::move(protocol);
}

USBDriver::~USBDriver()
{
    close();
}

QVector<std::shared_ptr<USBDevice>> USBDriver::devices(bool instrumentsOnly)
{
    QVector<std::shared_ptr<USBDevice>> result;
    const std::shared_ptr<FtdiApi> api = FtdiBackend::current();
    std::vector<Ftdi::ListNode> nodes;
    std::uint32_t listed = 0;
    {
        // Building the vendor's device list and copying it out are two calls
        // on one snapshot; a list built in between could enlarge the snapshot
        // past the nodes allocated for it.
        std::lock_guard<std::mutex> lock(USBFtdiDevice::vendorListMutex());
        std::uint32_t count = 0;
        if (api->createDeviceInfoList(&count) != Ftdi::Ok || count == 0)
            return result;
        nodes.assign(count, Ftdi::ListNode());
        listed = count;
        if (api->getDeviceInfoList(nodes.data(), &listed) != Ftdi::Ok)
            return result;
        listed = std::min(listed, count);
    }
    for (std::uint32_t i = 0; i < listed; ++i) {
        auto device = std::make_shared<USBFtdiDevice>(api, nodes[i], static_cast<int>(i));
        if (!instrumentsOnly || device->hasInstrumentPrefix())
            result.append(device);
    }
    return result;
}

USBResult USBDriver::open(std::shared_ptr<USBDevice> device, int baudRate)
{
    if (d->device())
        return USBResult(QStringLiteral("Another device is already open"), 2);
    if (!device)
        return USBResult(QStringLiteral("No device is open"), 2);
    // A driver made for enumeration carries no requests: a device it opened
    // would report open while every request failed.
    if (!d->protocol)
        return USBResult(QStringLiteral("No protocol to carry requests"), 2);
    USBResult result = device->open(baudRate);
    if (result.isSuccess()) {
        {
            std::lock_guard<std::mutex> lock(d->mutex);
            d->openDevice = device;
        }
        d->protocol->setDevice(device);
    }
    return result;
}

void USBDriver::close()
{
    // The device is taken out first: from here on submissions are refused, so
    // a handler still running on the protocol thread cannot queue requests
    // behind the clear below.
    std::shared_ptr<USBDevice> device;
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        device = std::move(d->openDevice);
    }
    if (!device)
        return;
    if (d->protocol) {
        d->protocol->clearRequests();
        d->protocol->setDevice({});
        // The protocol closes the device once its threads have let go of it.
        d->protocol->closeWhenReleased(device);
        d->protocol->waitForFinished();
    } else {
        device->close();
    }
}

USBResult USBDriver::request(std::shared_ptr<USBICommRequest> request)
{
    if (!d->device() || !d->protocol)
        return USBResult(QStringLiteral("No device is open"), 2);
    return d->protocol->sendRequest(std::move(request));
}

USBResult USBDriver::submit(std::shared_ptr<USBICommRequest> request, QObject *receiver)
{
    // Posted under the lock, so a close either refuses this request or comes
    // after it and clears it from the queue.
    std::lock_guard<std::mutex> lock(d->mutex);
    if (!d->openDevice || !d->protocol)
        return USBResult(QStringLiteral("No device is open"), 2);
    d->protocol->postRequest(std::move(request), receiver);
    return USBResult();
}

void USBDriver::purge()
{
    if (const std::shared_ptr<USBDevice> device = d->device())
        device->purge();
}

std::shared_ptr<USBDevice> USBDriver::device() const
{
    return d->device();
}

bool USBDriver::isOpen() const
{
    return d->device() != nullptr;
}

bool USBDriver::isQueueEmpty() const
{
    if (!d->device() || !d->protocol)
        return true;
    return d->protocol->isQueueEmpty();
}
