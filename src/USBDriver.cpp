#include "USBDriver.h"

struct USBDriver::Private
{
    std::shared_ptr<USBDevice> openDevice;
    std::shared_ptr<USBIProtocol> protocol;
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
    // Enumeration goes through the vendor-library seam (built with the transport).
    Q_UNUSED(instrumentsOnly);
    return {};
}

USBResult USBDriver::open(std::shared_ptr<USBDevice> device, int baudRate)
{
    if (d->openDevice)
        return USBResult(QStringLiteral("Another device is already open"), 2);
    if (!device)
        return USBResult(QStringLiteral("No device is open"), 2);
    USBResult result = device->open(baudRate);
    if (result.isSuccess()) {
        d->openDevice = device;
        if (d->protocol)
            d->protocol->setDevice(device);
    }
    return result;
}

void USBDriver::close()
{
    if (!d->openDevice)
        return;
    if (d->protocol) {
        d->protocol->clearRequests();
        d->protocol->setDevice({});
    }
    d->openDevice->close();
    d->openDevice.reset();
    if (d->protocol)
        d->protocol->waitForFinished();
}

USBResult USBDriver::request(std::shared_ptr<USBICommRequest> request)
{
    if (!d->openDevice || !d->protocol)
        return USBResult(QStringLiteral("No device is open"), 2);
    return d->protocol->sendRequest(std::move(request));
}

USBResult USBDriver::submit(std::shared_ptr<USBICommRequest> request, QObject *receiver)
{
    if (!d->openDevice || !d->protocol)
        return USBResult(QStringLiteral("No device is open"), 2);
    d->protocol->postRequest(std::move(request), receiver);
    return USBResult();
}

void USBDriver::purge()
{
    if (d->openDevice)
        d->openDevice->purge();
}

std::shared_ptr<USBDevice> USBDriver::device() const
{
    return d->openDevice;
}

bool USBDriver::isOpen() const
{
    return d->openDevice != nullptr;
}

bool USBDriver::isQueueEmpty() const
{
    if (!d->openDevice || !d->protocol)
        return true;
    return d->protocol->isQueueEmpty();
}
