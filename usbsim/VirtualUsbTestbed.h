#pragma once

#include <QString>
#include <QVector>
#include <memory>

#include "VirtualUsbChip.h"

class SimulatedBus;
class SimulatedFtdiChip;
class UsbPcapRecorder;
typedef struct _UMockdevTestbed UMockdevTestbed;

// Virtual FTDI chips at the kernel's USB interface, for the real USB stacks
// (FTDI's D2XX, libftdi1 + libusb) to find and drive: a umockdev testbed with
// one USB device (sysfs record and /dev/bus/usb node) per device of a
// simulated-bus description (docs/simulated-bus.md), each served by a
// VirtualUsbChip with the described instrument behind it.
//
//     VirtualUsbTestbed bed("gen1 signal=dc; gen2");
//     if (!bed.isValid()) ... bed.errorText()
//     useLibFtdi(); initialise();          // finds both instruments
//     bed.unplug(0); ... bed.plugIn(0);
//
// The process must run with libumockdev-preload.so.0 in LD_PRELOAD (umockdev
// redirects /sys and /dev there); the testbed sets UMOCKDEV_DIR, which child
// processes inherit. One testbed per process at a time.
//
// Devices sit on bus 1 from address 2 on, in description order; a device
// described as unplugged starts unplugged. Unplugging fails the device's
// pending and later requests with ENODEV, removes the device from sysfs and
// announces the removal as the kernel does (a "remove" uevent, to udev and
// kernel listeners alike); plugging in adds it again at a new address.
class VELDRIN_USBSIM_EXPORT VirtualUsbTestbed
{
public:
    explicit VirtualUsbTestbed(const QString &description);
    ~VirtualUsbTestbed();
    VirtualUsbTestbed(const VirtualUsbTestbed &) = delete;
    VirtualUsbTestbed &operator=(const VirtualUsbTestbed &) = delete;

    bool isValid() const;
    QString errorText() const;
    // Whether umockdev's preload library is in this process (without it the
    // USB stacks of this process see the real /sys and /dev).
    static bool inMockEnvironment();
    // What a program that uses the testbed needs in LD_PRELOAD: the kernel
    // uevent relabelling (libveldrin-uevent.so), then umockdev's preload
    // library; a preload already set (a sanitizer runtime, which must stay
    // first) is kept in front.
    static QByteArray preloadLibraries();
    // Runs this program again with preloadLibraries() when it runs without
    // umockdev's preload library; returns (false) only if that fails.
    static bool restartPreloaded(char **argv);

    int deviceCount() const;
    std::shared_ptr<SimulatedFtdiChip> simulatedChip(int device) const;
    VirtualUsbChip &chip(int device) const;
    QString sysfsPath(int device) const;
    QString deviceNode(int device) const;

    void unplug(int device);
    void plugIn(int device);
    // Empties what the simulated chips and instruments record of the host's
    // calls, requests and bytes (bounded logs, up to a megabyte), so that a
    // long run's heap figures are the host's own.
    void clearRecords();

    // The present devices in umockdev's device description format (what
    // umockdev-record writes and umockdev_testbed_add_from_string reads),
    // enough to present them again without the chips.
    QString deviceDescription() const;
    // Records the urbs of every device (also of those plugged in later) to
    // `recorder`; nullptr stops recording.
    void setRecorder(std::shared_ptr<UsbPcapRecorder> recorder);

private:
    struct Device;
    bool addToTestbed(Device &device);
    void sendKernelUevent(const Device &device, const char *action) const;

    UMockdevTestbed *m_testbed = nullptr;
    QString m_error;
    std::shared_ptr<SimulatedBus> m_bus;
    QVector<std::shared_ptr<Device>> m_devices;
    int m_nextAddress = 2;
    std::shared_ptr<UsbPcapRecorder> m_recorder;
};
