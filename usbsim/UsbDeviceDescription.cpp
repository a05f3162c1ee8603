#include "UsbDeviceDescription.h"

#include <QList>

#include <cstdint>

namespace {

// A decimal number of one to three digits in [1, max], or -1.
int number(const QByteArray &text, int max)
{
    if (text.isEmpty() || text.size() > 3)
        return -1;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return -1;
        value = value * 10 + (c - '0');
    }
    return value >= 1 && value <= max ? value : -1;
}

bool isHex(const QByteArray &text)
{
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
            return false;
    return text.size() % 2 == 0;
}

// Walks the descriptors: each leads with its length, which must be at least 2
// and stay within the bytes. Returns the byte where that fails, or -1; the
// first bulk IN endpoint's packet size goes to `packetSize`.
int walkDescriptors(const QByteArray &descriptors, int *packetSize)
{
    bool found = false;
    for (int at = 0; at < descriptors.size();) {
        const int length = std::uint8_t(descriptors[at]);
        if (length < 2 || length > descriptors.size() - at)
            return at;
        const bool endpoint = descriptors[at + 1] == 5 && length >= 7;
        if (endpoint && !found && (std::uint8_t(descriptors[at + 2]) & 0x80) && (descriptors[at + 3] & 3) == 2) {
            *packetSize = std::uint8_t(descriptors[at + 4]) | (std::uint8_t(descriptors[at + 5]) & 0x07) << 8;
            found = true;
        }
        at += length;
    }
    return -1;
}

} // namespace

UsbDeviceDescription UsbDeviceDescription::parse(const QByteArray &text)
{
    UsbDeviceDescription description;
    QString error;
    auto fail = [&error](int line, const QString &what) {
        error = QStringLiteral("line %1: %2").arg(line).arg(what);
        return false;
    };
    // One record's device node and descriptors lines (0: none), in any order.
    int nodeLine = 0, descriptorsLine = 0;
    QByteArray node, descriptors;
    auto finishRecord = [&]() {
        if (nodeLine == 0)
            return true; // not a USB device node (an interface, a tty, ...)
        Device device;
        device.line = nodeLine;
        const int contents = node.indexOf('=');
        const QByteArray path = contents >= 0 ? node.left(contents) : node;
        const QList<QByteArray> parts = path.split('/');
        device.bus = parts.size() == 2 ? number(parts[0], 255) : -1;
        device.address = parts.size() == 2 ? number(parts[1], 127) : -1;
        if (device.bus < 0 || device.address < 0)
            return fail(nodeLine, QStringLiteral("the device node is not bus/usb/BBB/DDD with a bus 1 to 255 "
                                                 "and a device number 1 to 127"));
        device.node = QStringLiteral("/dev/bus/usb/") + QString::fromLatin1(path);
        if (descriptorsLine) {
            if (!isHex(descriptors))
                return fail(descriptorsLine, QStringLiteral("the descriptors are not an even number of hex digits"));
            device.descriptors = QByteArray::fromHex(descriptors);
            const int bad = walkDescriptors(device.descriptors, &device.bulkInPacketSize);
            if (bad >= 0)
                return fail(descriptorsLine, QStringLiteral("the descriptor at byte %1 of the descriptors has "
                                                            "a length outside 2 to the bytes left")
                                                 .arg(bad));
        }
        description.m_devices.append(device);
        nodeLine = descriptorsLine = 0;
        return true;
    };
    const QList<QByteArray> lines = text.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        if (line.isEmpty()) {
            if (!finishRecord())
                break;
            continue;
        }
        if (line.startsWith("N: bus/usb/")) {
            if (nodeLine) {
                fail(i + 1, QStringLiteral("a second device node in one record (the first on line %1)").arg(nodeLine));
                break;
            }
            nodeLine = i + 1;
            node = line.mid(11);
        } else if (line.startsWith("H: descriptors=")) {
            if (descriptorsLine) {
                fail(i + 1, QStringLiteral("a second descriptors line in one record (the first on line %1)")
                                .arg(descriptorsLine));
                break;
            }
            descriptorsLine = i + 1;
            descriptors = line.mid(15);
        }
    }
    if (error.isEmpty())
        finishRecord();
    if (error.isEmpty() && description.m_devices.isEmpty())
        fail(lines.size(), QStringLiteral("no USB device node (N: bus/usb/BBB/DDD) in the description"));
    if (!error.isEmpty()) {
        description = UsbDeviceDescription();
        description.m_error = error;
    }
    return description;
}
