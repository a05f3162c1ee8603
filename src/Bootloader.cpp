#include "Bootloader.h"

#include <memory>

#include "BootloaderCommRequest.h"
#include "USBDevice.h"
#include "USBDriver.h"

Bootloader::Bootloader(bool flag)
    : m_flag(flag)
{
}

USBResult Bootloader::runStartStep(USBDriver &driver)
{
    return driver.request(std::make_shared<BootloaderCommRequest>(StartStep, 0));
}

USBResult Bootloader::readDeviceInfo(USBDriver &driver, DeviceInfo &info)
{
    driver.purge();

    const auto sizeRequest = std::make_shared<BootloaderCommRequest>(GetPageSize, 0);
    USBResult result = driver.request(sizeRequest);
    if (!result.isSuccess())
        return result;
    const int pageSize = sizeRequest->replyPageSize();

    result = driver.request(std::make_shared<BootloaderCommRequest>(AfterPageSize, 0));
    if (!result.isSuccess())
        return result;

    const auto pageRequest = std::make_shared<BootloaderCommRequest>(ReadPage, pageSize);
    result = driver.request(pageRequest);
    if (!result.isSuccess())
        return result;
    if (!pageRequest->isPageIntact())
        return USBResult(QStringLiteral("Data from device is corrupt"), 2);

    info = DeviceInfo::fromPage(pageRequest->receivedData());
    if (const std::shared_ptr<USBDevice> device = driver.device())
        device->setVersionPair(info.versionPair);
    return USBResult();
}
