#include "DeviceManager.h"

#include <QHash>
#include <QSet>
#include <QThread>
#include <exception>
#include <system_error>
#include <thread>
#include <vector>

#include "USBDevice.h"
#include "USBDriver.h"
#include "USBPacketProtocol.h"
#include "USBSerialNumber.h"
#include "Veldrin_I_DriverDevice.h"
#include "Veldrin_II_DriverDevice.h"

namespace {

struct HardwareKey
{
    int model;
    int revision;
    bool operator==(const HardwareKey &other) const
    {
        return model == other.model && revision == other.revision;
    }
};

uint qHash(const HardwareKey &key, uint seed = 0)
{
    return ::qHash(key.model * 100 + key.revision, seed);
}

// Built once per process, on first use; read-only afterwards.
const QHash<HardwareKey, QSet<int>> &supportedFirmwareTable()
{
    static const QHash<HardwareKey, QSet<int>> table = {
        {HardwareKey{4, 1}, QSet<int>{1}},
        {HardwareKey{8, 1}, QSet<int>{3}},
    };
    return table;
}

} // namespace

bool DeviceManager::isHardwareSupported(int model, int revision)
{
    return supportedFirmwareTable().contains(HardwareKey{model, revision});
}

bool DeviceManager::isFirmwareSupported(int model, int revision, int firmwareVersion)
{
    const auto &table = supportedFirmwareTable();
    const auto it = table.constFind(HardwareKey{model, revision});
    return it != table.constEnd() && it->contains(firmwareVersion);
}

DeviceManager::DeviceManager()
{
    QVector<std::shared_ptr<USBDevice>> attached;
    {
        USBDriver enumerator;
        attached = enumerator.devices(true);
    }
    for (const std::shared_ptr<USBDevice> &usbDevice : attached) {
        if (!usbDevice->hasInstrumentPrefix())
            continue;
        const QPair<int, int> hardware = usbDevice->modelAndRevision();
        if (!isHardwareSupported(hardware.first, hardware.second))
            continue;
        if (hardware == qMakePair(4, 1))
            m_devices.append(std::make_shared<Veldrin_I_DriverDevice>(usbDevice));
        else if (hardware == qMakePair(8, 1))
            m_devices.append(std::make_shared<Veldrin_II_DriverDevice>(usbDevice));
    }
}

DeviceManager::~DeviceManager()
{
    waitUntilIdle();
    for (const auto &device : m_devices)
        device->shutdown();
    QThread::msleep(200);
    m_devices.clear();
}

int DeviceManager::deviceCount() const
{
    return m_devices.size();
}

ApiStatus DeviceManager::checkDevice(int deviceIndex)
{
    if (deviceIndex < 1 || deviceIndex > deviceCount())
        return 1;
    const ApiStatus status = m_devices.at(deviceIndex - 1)->tryOpenDevice();
    if (status != 0)
        return status;
    waitUntilIdle();
    return 0;
}

int DeviceManager::openAll()
{
    const QVector<std::shared_ptr<VeldrinDriverDevice>> devices = m_devices;
    const int count = devices.size();
    std::vector<ApiStatus> statuses(size_t(count), 0);
    // Each thread writes only its own slot; joining hands them over. An
    // opening ends as that instrument's first export would end it, and the
    // others go on.
    const auto open = [&](int i) {
        try {
            statuses[size_t(i)] = devices.at(i)->tryOpenDevice();
        } catch (...) {
            statuses[size_t(i)] = 2;
        }
    };
    std::vector<std::thread> threads;
    threads.reserve(size_t(count));
    for (int i = 0; i < count; ++i) {
        // An open device answers at once (0, or 27 once it went away).
        if (devices.at(i)->isOpen()) {
            open(i);
            continue;
        }
        try {
            threads.emplace_back(open, i);
        } catch (const std::system_error &) {
            // No thread to be had: this one opens on the calling thread.
            open(i);
        }
    }
    for (std::thread &thread : threads)
        thread.join();
    // The read-back every opening queued has been answered (or given up).
    waitUntilIdle();
    int opened = 0;
    for (int i = 0; i < count; ++i) {
        if (statuses[size_t(i)] == 0 && !devices.at(i)->isLost())
            ++opened;
    }
    return opened;
}

std::shared_ptr<VeldrinDriverDevice> DeviceManager::deviceAt(int deviceIndex) const
{
    if (deviceIndex < 1 || deviceIndex > deviceCount())
        return {};
    return m_devices.at(deviceIndex - 1);
}

ApiStatus DeviceManager::indexOfSerialNumber(const QString &text, int &deviceIndex) const
{
    const USBSerialNumber wanted(text);
    // A text that is no serial number names no instrument. Compared as it is,
    // its all-zero parsed form would equal that of any device whose record
    // holds no readable serial number (one that could not be opened when it
    // was listed), and the lookup would report that device as found.
    if (!wanted.valid) {
        deviceIndex = -1;
        return 6;
    }
    int counter = 1;
    for (const auto &device : m_devices) {
        if (USBSerialNumber(device->deviceInformation().serialNumber) == wanted) {
            deviceIndex = counter;
            return 0;
        }
        ++counter;
    }
    deviceIndex = -1;
    return 6;
}

void DeviceManager::waitUntilIdle() const
{
    for (;;) {
        // Read the change count before looking, so that a queue emptied
        // while we look ends the wait at once.
        const quint64 seen = USBPacketProtocol::queueChanges();
        const QVector<std::shared_ptr<VeldrinDriverDevice>> devices = m_devices;
        bool idle = true;
        for (const auto &device : devices) {
            if (!device->isIdle()) {
                idle = false;
                break;
            }
        }
        if (idle)
            return;
        // Woken when a queue changes; the time-out only bounds a missed wake.
        USBPacketProtocol::waitForQueueChange(seen, 10);
    }
}
