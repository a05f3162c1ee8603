#include "UsbReplayTestbed.h"

#include <umockdev.h>

#include <QFile>

#include "UsbDeviceDescription.h"

struct UsbReplayTestbed::Device
{
    std::unique_ptr<UsbReplayDevice> replay;
    UMockdevIoctlBase *handler = nullptr;
    QString node;
    bool attached = false;
};

UsbReplayTestbed::UsbReplayTestbed(const QString &pcapPath, const QString &descriptionPath)
{
    QFile file(descriptionPath);
    if (!file.open(QIODevice::ReadOnly)) {
        m_error = QStringLiteral("cannot read %1").arg(descriptionPath);
        return;
    }
    const QByteArray text = file.readAll();
    const UsbDeviceDescription description = UsbDeviceDescription::parse(text);
    if (!description.isValid()) {
        m_error = QStringLiteral("%1: %2").arg(descriptionPath, description.errorText());
        return;
    }
    m_testbed = umockdev_testbed_new();
    GError *error = nullptr;
    if (!umockdev_testbed_add_from_string(m_testbed, text.constData(), &error)) {
        m_error = QStringLiteral("%1: %2").arg(descriptionPath, QString::fromUtf8(error->message));
        g_clear_error(&error);
        return;
    }
    for (const UsbDeviceDescription::Device &described : description.devices()) {
        auto device = std::make_shared<Device>();
        device->node = described.node;
        device->replay = std::make_unique<UsbReplayDevice>(pcapPath, described.bus, described.address,
                                                           described.bulkInPacketSize, described.descriptors);
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
