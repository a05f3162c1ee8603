#include "VeldrinDriverDevice.h"

#include <QThread>

#include "Bootloader.h"
#include "DeviceManager.h"
#include "USBDevice.h"
#include "USBDriver.h"
#include "USBPacketProtocol.h"

VeldrinDriverDevice::VeldrinDriverDevice(std::shared_ptr<USBDevice> device)
    : usbDevice(std::move(device)),
      driver(),
      protocol(std::make_shared<USBPacketProtocol>())
{
    driver = std::make_shared<USBDriver>(protocol);
    if (driver->open(usbDevice, 500000).isSuccess()) {
        Bootloader bootloader(false);
        bootloader.readDeviceInfo(*driver, deviceInfo);
        driver->close();
    }
}

VeldrinDriverDevice::~VeldrinDriverDevice()
{
    shutdown();
}

bool VeldrinDriverDevice::isIdle() const
{
    return !driver->isOpen() || driver->isQueueEmpty();
}

bool VeldrinDriverDevice::isLost() const
{
    const std::shared_ptr<USBDevice> open = driver->device();
    return open && open->isLost();
}

bool VeldrinDriverDevice::streamIsCurrent()
{
    if (m_awaitedStartId == 0)
        return true;
    // The reply to the start has been parsed before this packet: the new
    // acquisition's stream has begun.
    if (protocol->hasReplyFor(m_awaitedStartId)) {
        m_awaitedStartId = 0;
        return true;
    }
    return false;
}

void VeldrinDriverDevice::shutdown()
{
    driver->close();
}

ApiStatus VeldrinDriverDevice::openAndVerify()
{
    if (!driver->open(usbDevice, 500000).isSuccess())
        return 3;
    driver->purge();
    {
        Bootloader bootloader(false);
        if (!bootloader.runStartStep(*driver).isSuccess()) {
            driver->close();
            return 4;
        }
    }
    QThread::msleep(600);

    DeviceInfo info;
    {
        Bootloader bootloader(false);
        if (!bootloader.readDeviceInfo(*driver, info).isSuccess()) {
            driver->close();
            return 7;
        }
    }
    if (!info.valid) {
        driver->close();
        return 8;
    }
    const QPair<int, int> hardware = usbDevice->modelAndRevision();
    if (!DeviceManager::isFirmwareSupported(hardware.first, hardware.second, info.versionPair.first)) {
        driver->close();
        return 9;
    }
    QThread::msleep(50);
    return 0;
}
