#pragma once

#include <QVector>
#include <memory>
#include <mutex>

#include "DeviceInfo.h"
#include "USBDriver.h"

class USBDevice;
class USBICommRequest;
class USBPacketProtocol;

// The status of a device operation and of every export: 0 is success; the
// codes are those of the public header.
using ApiStatus = int;

// The contract both instrument generations keep, and the USB stack each
// instrument owns: the enumerated USB device, a driver bound to a packet
// protocol, and the information record read when the device is made.
class VeldrinDriverDevice
{
public:
    // Opens the USB device once, reads the information record through the boot
    // firmware and closes it again; failures leave the record empty.
    explicit VeldrinDriverDevice(std::shared_ptr<USBDevice> usbDevice);
    virtual ~VeldrinDriverDevice();

    VeldrinDriverDevice(const VeldrinDriverDevice &) = delete;
    VeldrinDriverDevice &operator=(const VeldrinDriverDevice &) = delete;

    virtual ApiStatus openDevice() = 0;
    virtual ApiStatus setPWM(int channel, int dutyCycle) = 0;
    virtual ApiStatus setPWMFrequency(int frequency) = 0;
    virtual ApiStatus setDACWaveform(int channel, int waveform) = 0;
    virtual ApiStatus setDACOffset(int channel, int offset) = 0;
    virtual ApiStatus setDACAmplitude(int channel, int amplitude) = 0;
    virtual ApiStatus setDACFrequency(int channel, int frequency) = 0;
    virtual ApiStatus setSweepProperties(int channel, int start, int stop) = 0;
    virtual ApiStatus setADCProperties(int channel, int range, int flag) = 0;
    virtual ApiStatus runMeasurement(int channelMask, int periodCode, int sampleCount) = 0;
    virtual ApiStatus run1DSweepMeasurement(int channelMask, int periodCode, int sampleCount) = 0;
    virtual ApiStatus run2DSweepMeasurement(int channelMask, int periodCode, int sampleCount, int points) = 0;
    virtual bool isMeasurementComplete() = 0;
    virtual QVector<double> getResult(int channel) = 0;
    virtual QVector<QVector<double>> get2DResult(int channel) = 0;
    virtual ApiStatus get2DResultSizes(int channel, int *rows, int *columns) = 0;

    // The status of every operation on an instrument that went away while
    // open (a vendor call on its handle failed), until the next enumeration.
    static constexpr ApiStatus Disconnected = 27;

    // Idle when no USB device is open or the protocol's queue is empty.
    bool isIdle() const;
    // The open instrument went away (unplugged, or its USB link failed).
    bool isLost() const;
    // Closes the USB connection: clears the queue, ends the protocol thread and
    // closes the vendor handle.
    void shutdown();

    const DeviceInfo &deviceInformation() const { return deviceInfo; }

protected:
    // The opening steps both generations share: open at 500000 baud (3), purge,
    // boot firmware start step (4), 600 ms, information record (7), validity
    // (8), firmware version accepted for the hardware (9), 50 ms. Every failure
    // after the open closes the connection again, so the next call repeats the
    // checks instead of using an instrument that never passed them. The caller
    // has checked that no device is open yet.
    ApiStatus openAndVerify();

    // What openDevice answers for a device that is already open: 0, or
    // Disconnected once it went away.
    ApiStatus openedStatus() const { return isLost() ? Disconnected : 0; }

    // One instruction of the generation's request class, with an optional
    // payload.
    template <typename Request>
    static std::shared_ptr<USBICommRequest> makeInstruction(quint8 command, const QByteArray &payload)
    {
        auto request = std::make_shared<Request>(command);
        if (!payload.isEmpty())
            request->setPayload(payload);
        return request;
    }

    // Submits a request for the protocol thread; false when refused (no
    // device open). Outcomes arrive through the direct packet handler.
    bool submit(const std::shared_ptr<USBICommRequest> &request)
    {
        return driver->submit(request, nullptr).isSuccess();
    }

    template <typename Request>
    bool submitInstruction(quint8 command, const QByteArray &payload)
    {
        return submit(makeInstruction<Request>(command, payload));
    }

    // Stream packets of a superseded acquisition. A measurement start records
    // the id of its start request (under the device lock); until the reply to
    // that request has been parsed, stream packets still belong to the
    // acquisition it replaced and are dropped, so a result never mixes two
    // acquisitions. Both calls expect the generation's device lock held.
    void awaitStartReply(int requestId) { m_awaitedStartId = requestId; }
    // In packetReceived: whether the packet belongs to the current acquisition.
    bool streamIsCurrent();
    // In requestFinished: the start request has been answered (or given up).
    void requestAnswered(int requestId)
    {
        if (requestId == m_awaitedStartId)
            m_awaitedStartId = 0;
    }

    // Serialises what host threads send (measurement starts, DAC settings)
    // with the restarts a sweep makes on the protocol thread, from the
    // decision to the submission: a host start can never be overtaken by a
    // restart decided before it, and the instrument ends up with the settings
    // the device holds. Taken before the device lock, never under it.
    std::mutex m_submitMutex;

    std::shared_ptr<USBDevice> usbDevice;
    std::shared_ptr<USBDriver> driver;
    std::shared_ptr<USBPacketProtocol> protocol;
    DeviceInfo deviceInfo;

private:
    int m_awaitedStartId = 0; // guarded by the generation's device lock
};
