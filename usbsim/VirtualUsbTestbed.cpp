#include "VirtualUsbTestbed.h"

#include <umockdev.h>

#include <QDir>
#include <QFileInfo>
#include <QStringList>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "SimulatedBus.h"
#include "SimulatedBusFactory.h"
#include "SimulatedFtdiChip.h"
#include "SimulatedInstrument.h"
#include "UsbPcapRecorder.h"
#include "VirtualUsbChip.h"

struct VirtualUsbTestbed::Device
{
    std::unique_ptr<VirtualUsbChip> chip;
    UMockdevIoctlBase *handler = nullptr;
    QString sysfsPath; // as added, e.g. /sys/devices/pci0000:00/.../usb1/1-1
    QString devicePath; // the same without /sys
    QString node;       // /dev/bus/usb/001/002
    QString record;     // umockdev's description of the device
    int address = 0;
    int port = 0;
    bool present = false;
    QStringList attachedNodes; // every node the handler serves, also of earlier plug-ins
};

namespace {

// A sysfs attribute line of umockdev's device description: the value escaped
// (backslashes, and the trailing newline sysfs attributes end with).
QString attribute(const QString &name, const QString &value)
{
    QString escaped = value;
    escaped.replace('\\', "\\\\");
    return QStringLiteral("A: %1=%2\\n\n").arg(name, escaped);
}

} // namespace

VirtualUsbTestbed::VirtualUsbTestbed(const QString &description)
{
    m_bus = SimulatedBusFactory::build(description, &m_error);
    if (!m_bus)
        return;
    m_testbed = umockdev_testbed_new();
    int port = 1;
    for (const auto &simulated : m_bus->chips()) {
        auto device = std::make_shared<Device>();
        device->chip = std::make_unique<VirtualUsbChip>(simulated);
        device->port = port++;
        device->handler = device->chip->newHandler();
        m_devices.append(device);
        if (simulated->hasFault(SimulatedFtdiChip::Unplugged)) {
            device->chip->setUnplugged(true);
            continue;
        }
        if (!addToTestbed(*device)) {
            m_bus.reset();
            return;
        }
    }
}

VirtualUsbTestbed::~VirtualUsbTestbed()
{
    for (const auto &device : m_devices) {
        for (const QString &node : device->attachedNodes) {
            GError *error = nullptr;
            umockdev_testbed_detach_ioctl(m_testbed, node.toUtf8().constData(), &error);
            g_clear_error(&error);
        }
    }
    if (m_testbed)
        g_object_unref(m_testbed);
    for (const auto &device : m_devices)
        if (device->handler)
            g_object_unref(device->handler);
}

QByteArray VirtualUsbTestbed::preloadLibraries()
{
    QByteArray preload = VELDRIN_UEVENT_LIBRARY ":" VELDRIN_UMOCKDEV_PRELOAD;
    const QByteArray existing = qgetenv("LD_PRELOAD");
    if (!existing.isEmpty() && !existing.contains("libumockdev-preload"))
        preload = existing + ':' + preload;
    return existing.contains("libumockdev-preload") ? existing : preload;
}

bool VirtualUsbTestbed::restartPreloaded(char **argv)
{
    if (inMockEnvironment())
        return true;
    // Once only: a preload that does not take must not loop.
    if (qEnvironmentVariableIsSet("VELDRIN_USBSIM_RESTARTED"))
        return false;
    qputenv("VELDRIN_USBSIM_RESTARTED", "1");
    qputenv("LD_PRELOAD", preloadLibraries());
    ::execv("/proc/self/exe", argv);
    return false;
}

bool VirtualUsbTestbed::isValid() const { return m_bus != nullptr; }
QString VirtualUsbTestbed::errorText() const { return m_error; }
bool VirtualUsbTestbed::inMockEnvironment()
{
    return qgetenv("LD_PRELOAD").contains("libumockdev-preload");
}
int VirtualUsbTestbed::deviceCount() const { return m_devices.size(); }

std::shared_ptr<SimulatedFtdiChip> VirtualUsbTestbed::simulatedChip(int device) const
{
    return m_devices.at(device)->chip->simulatedChip();
}

VirtualUsbChip &VirtualUsbTestbed::chip(int device) const { return *m_devices.at(device)->chip; }
QString VirtualUsbTestbed::sysfsPath(int device) const { return m_devices.at(device)->sysfsPath; }
QString VirtualUsbTestbed::deviceNode(int device) const { return m_devices.at(device)->node; }

bool VirtualUsbTestbed::addToTestbed(Device &device)
{
    const VirtualUsbChip &chip = *device.chip;
    const VirtualUsbChip::Profile &profile = chip.profile();
    device.address = m_nextAddress++;
    const QString bus = QStringLiteral("001");
    const QString address = QStringLiteral("%1").arg(device.address, 3, 10, QLatin1Char('0'));
    device.devicePath = QStringLiteral("/devices/pci0000:00/0000:00:14.0/usb1/1-%1").arg(device.port);
    device.node = QStringLiteral("/dev/bus/usb/%1/%2").arg(bus, address);
    QString record;
    record += QStringLiteral("P: %1\n").arg(device.devicePath);
    record += QStringLiteral("N: bus/usb/%1/%2\n").arg(bus, address);
    record += QStringLiteral("E: DEVNAME=%1\n").arg(device.node);
    record += QStringLiteral("E: DEVTYPE=usb_device\nE: SUBSYSTEM=usb\nE: DRIVER=usb\n");
    record += QStringLiteral("E: BUSNUM=%1\nE: DEVNUM=%2\n").arg(bus, address);
    record += QStringLiteral("E: PRODUCT=403/%1/%2\n")
                  .arg(profile.productId, 0, 16)
                  .arg(profile.bcdDevice, 0, 16);
    record += attribute("busnum", "1");
    record += attribute("devnum", QString::number(device.address));
    record += attribute("devpath", QString::number(device.port));
    record += attribute("speed", QString::number(profile.speedMbit));
    record += attribute("idVendor", "0403");
    record += attribute("idProduct", QStringLiteral("%1").arg(profile.productId, 4, 16, QLatin1Char('0')));
    record += attribute("bcdDevice", QStringLiteral("%1").arg(profile.bcdDevice, 4, 16, QLatin1Char('0')));
    record += attribute("bConfigurationValue", "1");
    record += attribute("bNumConfigurations", "1");
    record += attribute("bNumInterfaces", " 1");
    record += attribute("bMaxPacketSize0", QString::number(profile.maxPacket0));
    record += attribute("manufacturer", chip.manufacturer());
    record += attribute("product", chip.product());
    record += attribute("serial", chip.serialNumber());
    record += QStringLiteral("H: descriptors=%1\n").arg(QString::fromLatin1(chip.descriptors().toHex().toUpper()));

    GError *error = nullptr;
    if (!umockdev_testbed_add_from_string(m_testbed, record.toUtf8().constData(), &error)) {
        m_error = QStringLiteral("cannot add %1: %2").arg(device.node, QString::fromUtf8(error->message));
        g_clear_error(&error);
        return false;
    }
    device.sysfsPath = QStringLiteral("/sys") + device.devicePath;
    device.record = record;
    if (m_recorder)
        device.chip->setRecorder(m_recorder, 1, device.address);
    if (!umockdev_testbed_attach_ioctl(m_testbed, device.node.toUtf8().constData(), device.handler, &error)) {
        m_error = QStringLiteral("cannot serve %1: %2").arg(device.node, QString::fromUtf8(error->message));
        g_clear_error(&error);
        return false;
    }
    device.attachedNodes << device.node;
    device.present = true;
    return true;
}

// umockdev announces uevents to udev listeners only (netlink group 2); hosts
// with a USB stack of their own that listens for the kernel's announcements
// (group 1, e.g. FTDI's D2XX) need the kernel's message format, which is
// written here to every listening socket of the testbed. The preloaded
// relabelling in libveldrin-uevent.so marks these as the kernel's.
void VirtualUsbTestbed::sendKernelUevent(const Device &device, const char *action) const
{
    static int sequence = 1000;
    const QString root = QString::fromUtf8(qgetenv("UMOCKDEV_DIR"));
    if (root.isEmpty())
        return;
    QByteArray message = QByteArray(action) + '@' + device.devicePath.toUtf8();
    message += '\0';
    const QStringList fields = {
        QStringLiteral("ACTION=%1").arg(action), QStringLiteral("DEVPATH=") + device.devicePath,
        QStringLiteral("SUBSYSTEM=usb"), QStringLiteral("DEVNAME=") + device.node.mid(5),
        QStringLiteral("DEVTYPE=usb_device"), QStringLiteral("PRODUCT=403/%1/%2")
            .arg(device.chip->profile().productId, 0, 16).arg(device.chip->profile().bcdDevice, 0, 16),
        QStringLiteral("BUSNUM=001"),
        QStringLiteral("DEVNUM=%1").arg(device.address, 3, 10, QLatin1Char('0')),
        QStringLiteral("SEQNUM=%1").arg(++sequence)};
    for (const QString &field : fields) {
        message += field.toUtf8();
        message += '\0';
    }
    const QStringList sockets = QDir(root).entryList({QStringLiteral("event*")}, QDir::System | QDir::Files);
    for (const QString &name : sockets) {
        const QByteArray path = (root + '/' + name).toUtf8();
        const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            continue;
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.constData(), sizeof address.sun_path - 1);
        if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0)
            (void)!::send(fd, message.constData(), std::size_t(message.size()), MSG_NOSIGNAL);
        ::close(fd);
    }
}

void VirtualUsbTestbed::unplug(int index)
{
    Device &device = *m_devices.at(index);
    device.chip->setUnplugged(true);
    if (!device.present)
        return;
    device.present = false;
    sendKernelUevent(device, "remove");
    umockdev_testbed_uevent(m_testbed, device.sysfsPath.toUtf8().constData(), "remove");
    // The node's handler stays attached until the testbed ends: a host may be
    // in a request on the descriptor it still holds, and umockdev ends such a
    // client mid-request when its handler is detached (the host's preload then
    // aborts it). The kernel answers ENODEV instead, as the unplugged chip does.
    umockdev_testbed_remove_device(m_testbed, device.sysfsPath.toUtf8().constData());
}

void VirtualUsbTestbed::plugIn(int index)
{
    Device &device = *m_devices.at(index);
    if (device.present)
        return;
    device.chip->setUnplugged(false);
    if (!addToTestbed(device))
        return;
    umockdev_testbed_uevent(m_testbed, device.sysfsPath.toUtf8().constData(), "add");
    sendKernelUevent(device, "add");
}

void VirtualUsbTestbed::clearRecords()
{
    for (const auto &device : m_devices) {
        const std::shared_ptr<SimulatedFtdiChip> chip = device->chip->simulatedChip();
        chip->takeHostWritten();
        chip->clearCalls();
        if (const auto instrument = std::dynamic_pointer_cast<SimulatedInstrument>(chip->peer()))
            instrument->clearHostRequests();
    }
}

QString VirtualUsbTestbed::deviceDescription() const
{
    QStringList records;
    for (const auto &device : m_devices)
        if (device->present)
            records << device->record;
    return records.join(QLatin1Char('\n'));
}

void VirtualUsbTestbed::setRecorder(std::shared_ptr<UsbPcapRecorder> recorder)
{
    m_recorder = std::move(recorder);
    for (const auto &device : m_devices)
        device->chip->setRecorder(m_recorder, 1, device->address);
}
