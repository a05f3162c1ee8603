#include "UsbReplayTestbed.h"

#include <umockdev.h>

#include <QFile>
#include <QRegularExpression>

struct UsbReplayTestbed::Device
{
    std::unique_ptr<UsbReplayDevice> replay;
    UMockdevIoctlBase *handler = nullptr;
    QString node;
    bool attached = false;
};

namespace {

// The bulk IN endpoint's packet size from the configuration descriptors
// (FTDI's chips: 64 at full speed, 512 at high speed).
int bulkInPacketSize(const QByteArray &descriptors)
{
    for (int at = 0; at + 1 < descriptors.size();) {
        const int length = std::uint8_t(descriptors[at]);
        if (length < 2)
            break;
        if (descriptors[at + 1] == 5 && length >= 7 && at + 6 < descriptors.size()
            && (std::uint8_t(descriptors[at + 2]) & 0x80) && (descriptors[at + 3] & 3) == 2)
            return std::uint8_t(descriptors[at + 4]) | (std::uint8_t(descriptors[at + 5]) & 0x07) << 8;
        at += length;
    }
    return 64;
}

} // namespace

UsbReplayTestbed::UsbReplayTestbed(const QString &pcapPath, const QString &descriptionPath)
{
    QFile file(descriptionPath);
    if (!file.open(QIODevice::ReadOnly)) {
        m_error = QStringLiteral("cannot read %1").arg(descriptionPath);
        return;
    }
    const QString description = QString::fromUtf8(file.readAll());
    m_testbed = umockdev_testbed_new();
    GError *error = nullptr;
    if (!umockdev_testbed_add_from_string(m_testbed, description.toUtf8().constData(), &error)) {
        m_error = QStringLiteral("%1: %2").arg(descriptionPath, QString::fromUtf8(error->message));
        g_clear_error(&error);
        return;
    }
    // Each record with a USB device node: "N: bus/usb/BBB/DDD" (umockdev-record
    // may append "=" and the node's contents), its descriptors in "H: descriptors=".
    static const QRegularExpression nodeLine(QStringLiteral("^N: (bus/usb/(\\d+)/(\\d+))"),
                                             QRegularExpression::MultilineOption);
    static const QRegularExpression descriptorsLine(QStringLiteral("^H: descriptors=([0-9A-Fa-f]*)"),
                                                    QRegularExpression::MultilineOption);
    for (const QString &record : description.split(QRegularExpression(QStringLiteral("\\n\\s*\\n")))) {
        const QRegularExpressionMatch node = nodeLine.match(record);
        if (!node.hasMatch())
            continue;
        const QByteArray descriptors =
            QByteArray::fromHex(descriptorsLine.match(record).captured(1).toLatin1());
        auto device = std::make_shared<Device>();
        device->node = QStringLiteral("/dev/") + node.captured(1);
        device->replay = std::make_unique<UsbReplayDevice>(pcapPath, node.captured(2).toInt(),
                                                           node.captured(3).toInt(),
                                                           bulkInPacketSize(descriptors), descriptors);
        m_devices.append(device);
        if (!device->replay->isValid()) {
            m_error = device->replay->errorText();
            return;
        }
        device->handler = device->replay->newHandler();
        if (!umockdev_testbed_attach_ioctl(m_testbed, device->node.toUtf8().constData(), device->handler,
                                           &error)) {
            m_error = QStringLiteral("cannot serve %1: %2").arg(device->node, QString::fromUtf8(error->message));
            g_clear_error(&error);
            return;
        }
        device->attached = true;
    }
    if (m_devices.isEmpty())
        m_error = QStringLiteral("%1 describes no USB device node").arg(descriptionPath);
}

UsbReplayTestbed::~UsbReplayTestbed()
{
    for (const auto &device : m_devices) {
        if (device->attached) {
            GError *error = nullptr;
            umockdev_testbed_detach_ioctl(m_testbed, device->node.toUtf8().constData(), &error);
            g_clear_error(&error);
        }
    }
    if (m_testbed)
        g_object_unref(m_testbed);
    for (const auto &device : m_devices)
        if (device->handler)
            g_object_unref(device->handler);
}

UsbReplayDevice &UsbReplayTestbed::device(int index) const { return *m_devices.at(index)->replay; }
QString UsbReplayTestbed::deviceNode(int index) const { return m_devices.at(index)->node; }

QStringList UsbReplayTestbed::mismatches() const
{
    QStringList all;
    for (const auto &device : m_devices)
        for (const QString &mismatch : device->replay->mismatches())
            all << device->node + QStringLiteral(": ") + mismatch;
    return all;
}
