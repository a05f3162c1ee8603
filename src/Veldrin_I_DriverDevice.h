#pragma once

#include <QMap>
#include <mutex>
#include <QVector>

#include "USBPacketProtocol.h"
#include "USBResult.h"
#include "VeldrinDriverDevice.h"
#include "Veldrin_I_DriverDAC.h"
#include "Veldrin_I_DriverSampling.h"
#include "Veldrin_I_DriverUserData.h"

// A generation I instrument (model 4, revision 1, firmware 1): one PWM output,
// one DAC output, two ADC channels, single measurements only.
class Veldrin_I_DriverDevice : public VeldrinDriverDevice, public USBPacketProtocol::IDirectPacketHandler
{
public:
    explicit Veldrin_I_DriverDevice(std::shared_ptr<USBDevice> usbDevice);
    ~Veldrin_I_DriverDevice() override;

    ApiStatus openDevice() override;
    ApiStatus setPWM(int channel, int dutyCycle) override;
    ApiStatus setPWMFrequency(int frequency) override;
    ApiStatus setDACWaveform(int channel, int waveform) override;
    ApiStatus setDACOffset(int channel, int offset) override;
    ApiStatus setDACAmplitude(int channel, int amplitude) override;
    ApiStatus setDACFrequency(int channel, int frequency) override;
    ApiStatus setSweepProperties(int channel, int start, int stop) override;
    ApiStatus setADCProperties(int channel, int range, int flag) override;
    ApiStatus runMeasurement(int channelMask, int periodCode, int sampleCount) override;
    ApiStatus run1DSweepMeasurement(int channelMask, int periodCode, int sampleCount) override;
    ApiStatus run2DSweepMeasurement(int channelMask, int periodCode, int sampleCount, int points) override;
    bool isMeasurementComplete() override;
    int generation() const override { return 1; }
    void setSpikeFilter(bool enabled) override;
    bool spikeFilter() override;
    bool calibrationStored() override;

    void requestFinished(const RequestEntry &entry, USBResult result) override;
    void packetError(USBResult result, QPointer<QObject> &errorReceiver) override;
    void packetReceived(int id, QByteArray &data) override;
    bool acceptsPacket(int id) override;
    void allocationFailed() override;

    // The last outcome the protocol thread reported; kept for diagnosis.
    USBResult lastResult() override;
    // Copies of the blocks, taken under the device lock (for tests and tools).
    Veldrin_I_DriverDAC dacSettings();
    Veldrin_I_DriverSampling samplingSettings();
    Veldrin_I_DriverUserData calibration();

private:
    // Posts one instruction with an optional payload; false when refused (no open device).
    bool post(quint8 command, const QByteArray &payload = QByteArray());
    ApiStatus sendDac();
    // Sets the completion flag from a stream packet and wakes waiters when
    // it becomes true; under the device lock.
    void setComplete(bool complete);
    // Ends the measurement that could not be held; under the device lock.
    void endUnheld();

    Veldrin_I_DriverSampling m_sampling;
    Veldrin_I_DriverDAC m_dac;
    Veldrin_I_DriverUserData m_userData;
    QVector<double> m_window1;
    QVector<double> m_window2;
    bool m_spikeFilter = true;
    bool m_activeSpikeFilter = true; // of the acquisition that streams
    // The input range the running measurement was started with. Its packets
    // are decoded with it, also when the host sets the range for the next
    // measurement while this one still streams.
    int m_activeRange = 0;
    USBResult m_lastResult;
};
