#include "VeldrinDriverDevice.h"

#include <QThread>
#include <chrono>
#include <exception>

#include "Bootloader.h"
#include "DeviceManager.h"
#include "USBDevice.h"
#include "USBDriver.h"
#include "USBPacketProtocol.h"

VeldrinDriverDevice::VeldrinDriverDevice(std::shared_ptr<USBDevice> device, ResultRows::Shape shape)
    : m_results(shape),
      usbDevice(std::move(device)),
      driver(),
      protocol(std::make_shared<USBPacketProtocol>())
{
    driver = std::make_shared<USBDriver>(protocol);
    if (driver->open(usbDevice, 500000).isSuccess()) {
        Bootloader bootloader(false);
        bootloader.readDeviceInfo(*driver, deviceInfo);
        driver->close();
    }
}

VeldrinDriverDevice::~VeldrinDriverDevice()
{
    shutdown();
}

bool VeldrinDriverDevice::isIdle() const
{
    return !driver->isOpen() || driver->isQueueEmpty();
}

bool VeldrinDriverDevice::isLost() const
{
    const std::shared_ptr<USBDevice> open = driver->device();
    return open && open->isLost();
}

bool VeldrinDriverDevice::streamIsCurrent()
{
    if (m_awaitedStartId == 0)
        return true;
    // The reply to the start has been parsed before this packet: the new
    // acquisition's stream has begun.
    if (protocol->hasReplyFor(m_awaitedStartId)) {
        m_awaitedStartId = 0;
        return true;
    }
    return false;
}

QString VeldrinDriverDevice::serialNumber() const
{
    return usbDevice->serialNumber();
}

void VeldrinDriverDevice::measurementChanged()
{
    {
        std::lock_guard<std::mutex> lock(m_waitMutex);
        ++m_waitEvents;
    }
    m_waitChanged.notify_all();
}

template <typename Reached>
VeldrinDriverDevice::WaitOutcome VeldrinDriverDevice::waitUntil(int timeoutMs, Reached reached)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        quint64 seen = 0;
        bool lost = false;
        {
            std::lock_guard<std::mutex> lock(m_waitMutex);
            if (m_shutDown)
                return WaitOutcome::ShutDown;
            lost = m_openedUsbDevice && m_openedUsbDevice->isLost();
            seen = m_waitEvents;
        }
        // The device lock is taken outside the wait lock. A change after the
        // count was read has counted, so the wait below sees it.
        {
            std::lock_guard<std::mutex> locker(m_mutex);
            if (reached())
                return WaitOutcome::Complete;
            if (m_results.failed())
                return WaitOutcome::OutOfMemory;
        }
        if (lost)
            return WaitOutcome::Lost;
        std::unique_lock<std::mutex> lock(m_waitMutex);
        if (!m_waitChanged.wait_until(lock, deadline, [&] { return m_waitEvents != seen; }))
            return WaitOutcome::TimedOut;
    }
}

VeldrinDriverDevice::WaitOutcome VeldrinDriverDevice::waitForMeasurement(int timeoutMs)
{
    return waitUntil(timeoutMs, [this] { return m_measurementComplete; });
}

VeldrinDriverDevice::WaitOutcome VeldrinDriverDevice::waitForRows(int rows, int timeoutMs, int &completed)
{
    const WaitOutcome outcome = waitUntil(timeoutMs, [&] {
        completed = m_results.completedRows();
        return completed >= rows || m_measurementComplete;
    });
    if (outcome == WaitOutcome::TimedOut) {
        std::lock_guard<std::mutex> locker(m_mutex);
        completed = m_results.completedRows();
    }
    return outcome;
}

QVector<double> VeldrinDriverDevice::getResult(int channel)
{
    std::lock_guard<std::mutex> locker(m_mutex);
    return m_results.firstRow(channel);
}

QVector<QVector<double>> VeldrinDriverDevice::get2DResult(int channel)
{
    std::lock_guard<std::mutex> locker(m_mutex);
    return m_results.heldRows(channel);
}

ApiStatus VeldrinDriverDevice::get2DResultSizes(int channel, int *rows, int *columns)
{
    std::lock_guard<std::mutex> locker(m_mutex);
    m_results.sizes(channel, rows, columns);
    return 0;
}

ApiStatus VeldrinDriverDevice::copyResult(int channel, double *values, int capacity, int *count)
{
    std::lock_guard<std::mutex> locker(m_mutex);
    return m_results.copyFirstRow(channel, values, capacity, count);
}

ApiStatus VeldrinDriverDevice::copyResultRow(int channel, int row, double *values, int capacity, int *count)
{
    std::lock_guard<std::mutex> locker(m_mutex);
    return m_results.copyRow(channel, row, values, capacity, count);
}

ApiStatus VeldrinDriverDevice::copyHeldRows(int channel, double *values)
{
    std::lock_guard<std::mutex> locker(m_mutex);
    return m_results.copyHeldRows(channel, values);
}

void VeldrinDriverDevice::completedRows(int &completed, int &firstHeld)
{
    std::lock_guard<std::mutex> locker(m_mutex);
    completed = m_results.completedRows();
    firstHeld = m_results.firstHeld();
}

ApiStatus VeldrinDriverDevice::releaseRows(int row)
{
    ApiStatus status;
    {
        std::lock_guard<std::mutex> locker(m_mutex);
        status = m_results.release(row);
    }
    if (status == 0)
        rowsReleased();
    return status;
}

bool VeldrinDriverDevice::outOfMemory()
{
    std::lock_guard<std::mutex> locker(m_mutex);
    return m_results.failed();
}

void VeldrinDriverDevice::measurementProgress(qint64 &received, qint64 &expected)
{
    std::lock_guard<std::mutex> locker(m_mutex);
    received = m_results.received();
    expected = m_results.expected();
}

void VeldrinDriverDevice::ranOutOfMemory()
{
    m_results.setFailed();
    measurementChanged();
}

QString VeldrinDriverDevice::outOfMemoryText()
{
    std::lock_guard<std::mutex> locker(m_mutex);
    if (!m_results.failed())
        return QString();
    return QStringLiteral("Out of memory: the measurement ended with %1 complete rows, which are kept")
        .arg(m_results.completedRows());
}

ApiStatus VeldrinDriverDevice::tryOpenDevice()
{
    QString reason;
    try {
        return openDevice();
    } catch (const std::exception &failure) {
        reason = QString::fromLocal8Bit(failure.what());
    } catch (const USBResult &failure) {
        reason = failure.message;
    } catch (...) {
    }
    shutdown();
    m_openingResult = USBResult(QStringLiteral("Internal failure while opening: %1")
                                    .arg(reason.isEmpty() ? QStringLiteral("unknown") : reason),
                                2);
    return 2;
}

void VeldrinDriverDevice::shutdown()
{
    {
        std::lock_guard<std::mutex> lock(m_waitMutex);
        m_shutDown = true;
        m_openedUsbDevice.reset();
        ++m_waitEvents;
    }
    m_waitChanged.notify_all();
    driver->close();
}

ApiStatus VeldrinDriverDevice::openAndVerify()
{
    // Each failure keeps its reason for getLastErrorText.
    const auto fail = [this](ApiStatus status, const USBResult &reason) {
        m_openingResult = reason;
        return status;
    };
    const USBResult opened = driver->open(usbDevice, 500000);
    if (!opened.isSuccess())
        return fail(3, opened);
    driver->purge();
    {
        Bootloader bootloader(false);
        const USBResult started = bootloader.runStartStep(*driver);
        if (!started.isSuccess()) {
            driver->close();
            return fail(4, started);
        }
    }
    QThread::msleep(600);

    DeviceInfo info;
    {
        Bootloader bootloader(false);
        const USBResult read = bootloader.readDeviceInfo(*driver, info);
        if (!read.isSuccess()) {
            driver->close();
            return fail(7, read);
        }
    }
    if (!info.valid) {
        driver->close();
        return fail(8, USBResult(QStringLiteral("The device information record is not valid"), 2));
    }
    const QPair<int, int> hardware = usbDevice->modelAndRevision();
    if (!DeviceManager::isFirmwareSupported(hardware.first, hardware.second, info.versionPair.first)) {
        driver->close();
        return fail(9, USBResult(QStringLiteral("Firmware version %1 is not accepted for model %2 revision %3")
                                     .arg(info.versionPair.first)
                                     .arg(hardware.first)
                                     .arg(hardware.second),
                                 2));
    }
    QThread::msleep(50);
    m_openingResult = USBResult();
    // Asked before the wait lock is taken: that lock comes last.
    std::shared_ptr<USBDevice> openedDevice = driver->device();
    {
        std::lock_guard<std::mutex> lock(m_waitMutex);
        m_shutDown = false;
        m_openedUsbDevice = std::move(openedDevice);
    }
    return 0;
}
