#include "SimulatedFtdiEeprom.h"

#include <algorithm>
#include <cstring>

using namespace Ftdi;

namespace {

void copyOut(char *destination, const QByteArray &text)
{
    if (!destination)
        return;
    const int length = std::min(text.size(), TextBufferSize - 1);
    std::memcpy(destination, text.constData(), static_cast<size_t>(length));
    destination[length] = '\0';
}

QByteArray copyIn(const char *source)
{
    if (!source)
        return QByteArray();
    return QByteArray(source, static_cast<int>(qstrnlen(source, TextBufferSize - 1)));
}

} // namespace

SimulatedFtdiEeprom::SimulatedFtdiEeprom(DeviceType type, std::uint16_t productId, const QByteArray &serial,
                                         const QByteArray &productDescription)
    : description(productDescription), serialNumber(serial)
{
    record.vendorId = 0x0403;
    record.productId = productId;
    record.maxPower = 90;
    record.pnp = 1;
    record.serNumEnableR = 1;
    record.serNumEnableH = 1;
    xSeries.common.deviceType = type;
    xSeries.common.vendorId = 0x0403;
    xSeries.common.productId = productId;
    xSeries.common.maxPower = 90;
    xSeries.common.serNumEnable = 1;
}

void SimulatedFtdiEeprom::readRecord(ProgramData &data) const
{
    ProgramData stored = record;
    stored.signature1 = data.signature1;
    stored.signature2 = data.signature2;
    stored.version = data.version;
    stored.manufacturer = data.manufacturer;
    stored.manufacturerId = data.manufacturerId;
    stored.description = data.description;
    stored.serialNumber = data.serialNumber;
    data = stored;
    readTexts(data.manufacturer, data.manufacturerId, data.description, data.serialNumber);
}

void SimulatedFtdiEeprom::programRecord(const ProgramData &data)
{
    programTexts(data.manufacturer, data.manufacturerId, data.description, data.serialNumber);
    record = data;
    record.manufacturer = record.manufacturerId = record.description = record.serialNumber = nullptr;
}

Status SimulatedFtdiEeprom::checkImage(const void *data, std::uint32_t size, DeviceType chipType)
{
    if (!data || size < sizeof(EepromHeader))
        return InvalidParameter;
    EepromHeader header;
    std::memcpy(&header, data, sizeof header);
    if (header.deviceType != chipType)
        return InvalidParameter;
    if (chipType != DeviceXSeries)
        return NotSupported;
    if (size < sizeof(EepromXSeries))
        return InvalidParameter;
    return Ok;
}

void SimulatedFtdiEeprom::readImage(void *data, char *manufacturerText, char *manufacturerIdText,
                                    char *descriptionText, char *serialNumberText) const
{
    std::memcpy(data, &xSeries, sizeof(EepromXSeries));
    readTexts(manufacturerText, manufacturerIdText, descriptionText, serialNumberText);
}

void SimulatedFtdiEeprom::programImage(const void *data, const char *manufacturerText,
                                       const char *manufacturerIdText, const char *descriptionText,
                                       const char *serialNumberText)
{
    std::memcpy(&xSeries, data, sizeof(EepromXSeries));
    programTexts(manufacturerText, manufacturerIdText, descriptionText, serialNumberText);
}

void SimulatedFtdiEeprom::readTexts(char *manufacturerText, char *manufacturerIdText, char *descriptionText,
                                    char *serialNumberText) const
{
    copyOut(manufacturerText, manufacturer);
    copyOut(manufacturerIdText, manufacturerId);
    copyOut(descriptionText, description);
    copyOut(serialNumberText, serialNumber);
}

void SimulatedFtdiEeprom::programTexts(const char *manufacturerText, const char *manufacturerIdText,
                                       const char *descriptionText, const char *serialNumberText)
{
    manufacturer = copyIn(manufacturerText);
    manufacturerId = copyIn(manufacturerIdText);
    description = copyIn(descriptionText);
    serialNumber = copyIn(serialNumberText);
    ++programCount;
}
