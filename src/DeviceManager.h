#pragma once

#include <QString>
#include <QVector>
#include <memory>

#include "VeldrinDriverDevice.h"

// Enumerates the attached instruments, makes one device object per supported
// instrument, addresses them by a 1-based index and shuts them down in order.
// Lives between initialise and close.
class DeviceManager
{
public:
    // Enumerates through the vendor library and builds the device list; talks to
    // every supported instrument once to read its information record.
    DeviceManager();
    // Waits until every device is idle, closes each device's USB connection,
    // pauses 200 ms and releases the devices.
    ~DeviceManager();

    DeviceManager(const DeviceManager &) = delete;
    DeviceManager &operator=(const DeviceManager &) = delete;

    int deviceCount() const;
    // 1 for an index outside 1..deviceCount(); otherwise the device's openDevice
    // status when it fails; otherwise waits until every device is idle and gives 0.
    ApiStatus checkDevice(int deviceIndex);
    // Opens every listed instrument that is not open yet, each on a thread of
    // its own so that their opening pauses overlap, then waits until every
    // device is idle: each ends as if its first export had opened it through
    // checkDevice. One that fails stays closed with its reason kept, and its
    // next export tries again. Returns how many listed instruments are open
    // and have not gone away. An opening that throws fails as its own first
    // export would (tryOpenDevice).
    int openAll();
    // Only valid after checkDevice(deviceIndex) gave 0.
    std::shared_ptr<VeldrinDriverDevice> deviceAt(int deviceIndex) const;
    // 0 with the index of the first device whose serial number matches ("xxxx" as
    // the unit matches any unit), or 6 with -1; a text that does not parse as a
    // serial number matches no device.
    ApiStatus indexOfSerialNumber(const QString &text, int &deviceIndex) const;
    // Returns once no device has requests waiting. Every queued request ends
    // within its reply time-out, and a device whose protocol thread is gone is
    // idle, so this cannot wait forever.
    void waitUntilIdle() const;

    // The firmware versions accepted per hardware (model, revision): (4, 1)
    // accepts 1 and (8, 1) accepts 3.
    static bool isHardwareSupported(int model, int revision);
    static bool isFirmwareSupported(int model, int revision, int firmwareVersion);

private:
    QVector<std::shared_ptr<VeldrinDriverDevice>> m_devices;
};
