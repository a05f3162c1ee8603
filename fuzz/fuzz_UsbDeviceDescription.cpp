// Any file handed to the replay as its device description
// (veldrin-virtual-usb --devices FILE): the USB device nodes and descriptors.
#include <QByteArray>

#include <cstddef>
#include <cstdint>

#include "UsbDeviceDescription.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray text(reinterpret_cast<const char *>(data), int(size));
    const UsbDeviceDescription description = UsbDeviceDescription::parse(text);
    if (description.isValid() == !description.errorText().isEmpty())
        __builtin_trap();
    if (!description.isValid() && !description.errorText().startsWith(QStringLiteral("line ")))
        __builtin_trap();
    if (description.isValid() && description.devices().isEmpty())
        __builtin_trap();
    for (const UsbDeviceDescription::Device &device : description.devices()) {
        if (device.bus < 1 || device.bus > 255 || device.address < 1 || device.address > 127
            || device.bulkInPacketSize < 0 || device.bulkInPacketSize > 2047
            || device.descriptors.size() > int(size))
            __builtin_trap();
    }
    return 0;
}
