#pragma once

#include <QMap>
#include <functional>
#include <mutex>
#include <QPair>
#include <QVector>

#include "USBPacketProtocol.h"
#include "USBResult.h"
#include "VeldrinDriverDevice.h"
#include "Veldrin_II_DriverDAC.h"
#include "Veldrin_II_DriverSampling.h"
#include "Veldrin_II_DriverUserData.h"

// A generation II instrument (model 8, revision 1, firmware 3): two DAC and two
// PWM outputs, a settable PWM frequency, per-channel ADC ranges, and one- and
// two-dimensional sweeps whose results are held as one row per sweep point.
class Veldrin_II_DriverDevice : public VeldrinDriverDevice, public USBPacketProtocol::IDirectPacketHandler
{
public:
    explicit Veldrin_II_DriverDevice(std::shared_ptr<USBDevice> usbDevice);
    ~Veldrin_II_DriverDevice() override;

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
    int generation() const override { return 2; }
    void setSpikeFilter(bool enabled) override;
    bool spikeFilter() override;
    bool calibrationStored() override;
    // Programs the sampling block, resets the filter windows and starts one
    // acquisition (instruction 32).
    virtual ApiStatus startAcquisition(int channelMask, int periodCode, int sampleCount);

    // Test seam: runs on the protocol thread after a sweep step has decided
    // its next point (DAC 2 and the restart) and before it submits them.
    void setSweepStepHook(std::function<void()> hook);

    void requestFinished(const RequestEntry &entry, USBResult result) override;
    void packetError(USBResult result, QPointer<QObject> &errorReceiver) override;
    void packetReceived(int id, QByteArray &data) override;
    bool acceptsPacket(int id) override;
    void allocationFailed() override;

    USBResult lastResult() override;
    Veldrin_II_DriverDAC dacSettings(int channel);
    Veldrin_II_DriverSampling samplingSettings();
    Veldrin_II_DriverUserData calibration();
    QPair<double, double> sweepBounds(int channel);

private:
    using Outgoing = QVector<std::shared_ptr<USBICommRequest>>;

    bool post(quint8 command, const QByteArray &payload = QByteArray());
    std::shared_ptr<USBICommRequest> instruction(quint8 command, const QByteArray &payload = QByteArray());
    void submitAll(const Outgoing &outgoing);
    // The part of startAcquisition done under the device lock; on success the
    // start instruction to send is appended to `outgoing`, and the stream
    // waits for its reply.
    ApiStatus prepareAcquisition(int channelMask, int periodCode, int sampleCount, Outgoing &outgoing);
    // The DAC 1 (and, for a 2D sweep, DAC 2) programming of a sweep start;
    // under the device lock.
    void prepareSweep(int points, Outgoing &outgoing);
    // Under the device lock: steps DAC 2 to the next point of a 2D sweep and
    // queues its acquisition.
    void stepToNextPoint(Outgoing &outgoing);
    // Under the device lock: a host that takes rows holds so many complete
    // rows that the sweep waits before its next point.
    bool holdsTooManyRows() const;
    void rowsReleased() override;
    void resetResults();
    // Ends the measurement that could not be held (no further sweep point);
    // under the device lock.
    void endUnheld();
    // After a start's checks passed: the values the new measurement holds
    // once complete; under the device lock.
    void expectValues(int channelMask, int sampleCount, int points);
    // Keeps the sampling block's input ranges and switches as those of the
    // acquisition being started; under the device lock.
    void rememberInputSettings();
    ApiStatus sendDac(int channel);
    Veldrin_II_DriverDAC &dac(int channel) { return channel == 1 ? m_dac1 : m_dac2; }

    Veldrin_II_DriverSampling m_sampling;
    Veldrin_II_DriverDAC m_dac1;
    Veldrin_II_DriverDAC m_dac2;
    Veldrin_II_DriverUserData m_userData;
    int m_activeChannelMask = 0;
    int m_activePeriodCode = 0;
    int m_activeSampleCount = 0;
    // The input ranges and switches the running acquisition was started with.
    // Its packets are decoded with them, also when the host sets the inputs
    // for the next acquisition while this one still streams.
    int m_activeRange1 = 0;
    int m_activeRange2 = 0;
    bool m_activeFlag1 = false;
    bool m_activeFlag2 = false;
    QVector<double> m_window1;
    QVector<double> m_window2;
    bool m_spikeFilter = true;
    bool m_activeSpikeFilter = true; // of the acquisition that streams
    USBResult m_lastResult;
    QMap<int, QPair<double, double>> m_sweepBounds;
    int m_pointIndex = 0;
    int m_remainingPoints = 0;
    // The sweep's next point waits for the host to release rows.
    bool m_nextPointDeferred = false;
    // The complete values a host that takes rows may hold before a 2D sweep
    // waits for it: 32 MiB of doubles, so a sweep runs in bounded memory
    // however much faster the instrument measures than the host writes.
    static constexpr qint64 MaxHeldValuesWhileStreaming = qint64(1) << 22;
    double m_sweepStep = 0.0;
    double m_sweepValue = 0.0;
    std::function<void()> m_sweepStepHook; // set before sweeps run
};
