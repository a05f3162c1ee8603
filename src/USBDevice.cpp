#include "USBDevice.h"

#include "USBSerialNumber.h"

USBDevice::USBDevice(int index, quint32 usbId, const QString &serialNumber, const QString &description)
    : m_index(index), m_usbId(usbId), m_serialNumber(serialNumber), m_description(description),
      m_versionPair(0, 0)
{
}

USBDevice::~USBDevice() = default;

QPair<int, int> USBDevice::modelAndRevision() const
{
    const USBSerialNumber parsed(m_serialNumber);
    if (!parsed.valid)
        return qMakePair(0, 0);
    return qMakePair(parsed.model, parsed.revision);
}

bool USBDevice::hasInstrumentPrefix() const
{
    return m_serialNumber.startsWith(QLatin1String("SY"));
}
