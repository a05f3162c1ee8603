#pragma once

#include <QString>
#include <QStringList>
#include <QVector>
#include <memory>

#include "UsbReplayDevice.h"

typedef struct _UMockdevTestbed UMockdevTestbed;

// A recorded USB session presented again, without the devices: the devices of
// a umockdev device description (as umockdev-record or
// VirtualUsbTestbed::deviceDescription() write it) in a umockdev testbed, and
// each device node (its `N:` line) answered by a UsbReplayDevice from the
// usbmon capture, filtered by the node's bus and device number.
//
// As with VirtualUsbTestbed, the process runs with umockdev's preload library
// (VirtualUsbTestbed::restartPreloaded) and child processes inherit the
// testbed through UMOCKDEV_DIR. One testbed per process at a time.
class VELDRIN_USBSIM_EXPORT UsbReplayTestbed
{
public:
    UsbReplayTestbed(const QString &pcapPath, const QString &descriptionPath);
    ~UsbReplayTestbed();
    UsbReplayTestbed(const UsbReplayTestbed &) = delete;
    UsbReplayTestbed &operator=(const UsbReplayTestbed &) = delete;

    bool isValid() const { return m_error.isEmpty(); }
    QString errorText() const { return m_error; }

    int deviceCount() const { return m_devices.size(); }
    UsbReplayDevice &device(int index) const;
    QString deviceNode(int index) const;
    // Every device's mismatches, each led by its device node.
    QStringList mismatches() const;

private:
    struct Device;
    UMockdevTestbed *m_testbed = nullptr;
    QVector<std::shared_ptr<Device>> m_devices;
    QString m_error;
};
