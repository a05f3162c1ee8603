#include "Veldrin_II_DriverDevice.h"

#include <algorithm>
#include <new>

#include "USBDriver.h"
#include "VeldrinStreamInterpreterScaleSignedSpikeFilterOperator.h"
#include "Veldrin_II_DriverCommRequest.h"
#include "Veldrin_II_DriverPWM.h"
#include "Veldrin_II_DriverPWMFrequency.h"

namespace {

enum Command : quint8 {
    StartAcquisition = 32,
    SetPWMFrequency = 34,
    SetPWM1 = 35,
    SetPWM2 = 36,
    SetDAC1 = 37,
    SetDAC2 = 38,
    ApplyPWM = 42,
    ReadDAC1 = 69,
    ReadDAC2 = 70,
    ReadUserData = 72,
};

} // namespace

Veldrin_II_DriverDevice::Veldrin_II_DriverDevice(std::shared_ptr<USBDevice> device)
    : VeldrinDriverDevice(std::move(device), ResultRows::Shape::RowPerPoint)
{
    m_sweepBounds[1] = qMakePair(-1.0, 1.0);
    m_sweepBounds[2] = qMakePair(-1.0, 1.0);
    m_activeChannelMask = variantToInt(m_sampling.value(Veldrin_II_DriverSampling::ChannelMask));
    m_activePeriodCode = variantToInt(m_sampling.value(Veldrin_II_DriverSampling::Period));
    rememberInputSettings();
    protocol->setDirectPacketHandler(this);
}

Veldrin_II_DriverDevice::~Veldrin_II_DriverDevice()
{
    // The protocol thread calls into this object: stop it, and wait for it
    // however long a handler holds it, before the members go.
    shutdown();
    protocol->waitUntilReleased();
}

bool Veldrin_II_DriverDevice::post(quint8 command, const QByteArray &payload)
{
    return submitInstruction<Veldrin_II_DriverCommRequest>(command, payload);
}

std::shared_ptr<USBICommRequest> Veldrin_II_DriverDevice::instruction(quint8 command,
                                                                      const QByteArray &payload)
{
    return makeInstruction<Veldrin_II_DriverCommRequest>(command, payload);
}

void Veldrin_II_DriverDevice::submitAll(const Outgoing &outgoing)
{
    // Submission outcomes of starts and sweep steps are not examined; a
    // refused start will never be answered, so the stream stops waiting for it.
    for (const auto &request : outgoing) {
        if (!submit(request)) {
            std::lock_guard<std::mutex> locker(m_mutex);
            requestAnswered(request->id());
        }
    }
}

void Veldrin_II_DriverDevice::setSweepStepHook(std::function<void()> hook)
{
    m_sweepStepHook = std::move(hook);
}

ApiStatus Veldrin_II_DriverDevice::openDevice()
{
    if (driver->isOpen())
        return openedStatus();
    const ApiStatus status = openAndVerify();
    if (status != 0)
        return status;
    post(ReadUserData);
    post(ReadDAC1);
    post(ReadDAC2);
    return 0;
}

ApiStatus Veldrin_II_DriverDevice::setPWM(int channel, int dutyCycle)
{
    if (channel < 1 || channel > 2)
        return 11;
    if (dutyCycle < 0 || dutyCycle > 100)
        return 12;
    Veldrin_II_DriverPWM pwm;
    pwm.setValue(Veldrin_II_DriverPWM::Mode, 2);
    pwm.setValue(Veldrin_II_DriverPWM::Duty, dutyCycle);
    if (!post(channel == 1 ? SetPWM1 : SetPWM2, pwm.toPayload()))
        return 13;
    return post(ApplyPWM) ? 0 : 13;
}

ApiStatus Veldrin_II_DriverDevice::setPWMFrequency(int frequency)
{
    if (frequency < 1 || frequency > 200000)
        return 14;
    Veldrin_II_DriverPWMFrequency block;
    block.setValue(Veldrin_II_DriverPWMFrequency::Frequency, frequency);
    if (!post(SetPWMFrequency, block.toPayload()))
        return 13;
    return post(ApplyPWM) ? 0 : 13;
}

ApiStatus Veldrin_II_DriverDevice::sendDac(int channel)
{
    QByteArray payload;
    {
        std::lock_guard<std::mutex> locker(m_mutex);
        payload = dac(channel).toPayload();
    }
    return post(channel == 1 ? SetDAC1 : SetDAC2, payload) ? 0 : 17;
}

ApiStatus Veldrin_II_DriverDevice::setDACWaveform(int channel, int waveform)
{
    if (channel < 1 || channel > 2)
        return 16;
    if (waveform < 0 || waveform > 2)
        return 15;
    std::lock_guard<std::mutex> submitting(m_submitMutex);
    {
        std::lock_guard<std::mutex> locker(m_mutex);
        dac(channel).setValue(Veldrin_II_DriverDAC::Waveform, waveform);
    }
    return sendDac(channel);
}

ApiStatus Veldrin_II_DriverDevice::setDACOffset(int channel, int offset)
{
    if (channel < 1 || channel > 2)
        return 16;
    if (offset < -4500 || offset > 4500)
        return 18;
    std::lock_guard<std::mutex> submitting(m_submitMutex);
    {
        std::lock_guard<std::mutex> locker(m_mutex);
        dac(channel).setValue(Veldrin_II_DriverDAC::Offset, offset / 1000.0);
    }
    return sendDac(channel);
}

ApiStatus Veldrin_II_DriverDevice::setDACAmplitude(int channel, int amplitude)
{
    if (channel < 1 || channel > 2)
        return 16;
    if (amplitude < -4500 || amplitude > 4500)
        return 19;
    std::lock_guard<std::mutex> submitting(m_submitMutex);
    {
        std::lock_guard<std::mutex> locker(m_mutex);
        dac(channel).setValue(Veldrin_II_DriverDAC::Amplitude, amplitude / 1000.0);
    }
    return sendDac(channel);
}

ApiStatus Veldrin_II_DriverDevice::setDACFrequency(int channel, int frequency)
{
    if (channel < 1 || channel > 2)
        return 16;
    if (frequency < 10 || frequency > 20000)
        return 20;
    std::lock_guard<std::mutex> submitting(m_submitMutex);
    {
        std::lock_guard<std::mutex> locker(m_mutex);
        dac(channel).setValue(Veldrin_II_DriverDAC::Frequency, frequency);
    }
    return sendDac(channel);
}

ApiStatus Veldrin_II_DriverDevice::setSweepProperties(int channel, int start, int stop)
{
    if (channel < 1 || channel > 2)
        return 16;
    if (start < -4500 || start > 4500)
        return 19;
    if (stop < -4500 || stop > 4500)
        return 19;
    std::lock_guard<std::mutex> locker(m_mutex);
    m_sweepBounds[channel] = qMakePair(start / 1000.0, stop / 1000.0);
    return 0;
}

ApiStatus Veldrin_II_DriverDevice::setADCProperties(int channel, int range, int flag)
{
    if (channel < 1 || channel > 2)
        return 25;
    if (range < 0 || range > 3)
        return 24;
    std::lock_guard<std::mutex> locker(m_mutex);
    const int code = 3 - range;
    if (channel == 1) {
        m_sampling.setValue(Veldrin_II_DriverSampling::Range1, code);
        m_sampling.setValue(Veldrin_II_DriverSampling::ChannelFlag1, flag != 0);
    } else {
        m_sampling.setValue(Veldrin_II_DriverSampling::Range2, code);
        m_sampling.setValue(Veldrin_II_DriverSampling::ChannelFlag2, flag != 0);
    }
    return 0;
}

void Veldrin_II_DriverDevice::resetResults()
{
    m_remainingPoints = 0;
    m_pointIndex = 0;
    m_nextPointDeferred = false;
    m_results.reset();
}

void Veldrin_II_DriverDevice::expectValues(int channelMask, int sampleCount, int points)
{
    const int channels = ((channelMask & 1) ? 1 : 0) + ((channelMask & 2) ? 1 : 0);
    m_results.setExpected(qint64(sampleCount) * channels * points);
}

ApiStatus Veldrin_II_DriverDevice::runMeasurement(int channelMask, int periodCode, int sampleCount)
{
    std::lock_guard<std::mutex> submitting(m_submitMutex);
    Outgoing outgoing;
    ApiStatus status;
    {
        std::lock_guard<std::mutex> locker(m_mutex);
        resetResults();
        status = prepareAcquisition(channelMask, periodCode, sampleCount, outgoing);
        if (status == 0)
            expectValues(channelMask, sampleCount, 1);
    }
    submitAll(outgoing);
    return status;
}

void Veldrin_II_DriverDevice::prepareSweep(int points, Outgoing &outgoing)
{
    resetResults();
    m_dac1.setValue(Veldrin_II_DriverDAC::Waveform, 3);
    m_dac1.setValue(Veldrin_II_DriverDAC::LowLevel, m_sweepBounds[1].first);
    m_dac1.setValue(Veldrin_II_DriverDAC::HighLevel, m_sweepBounds[1].second);
    outgoing.append(instruction(SetDAC1, m_dac1.toPayload()));
    if (points == 0)
        return;
    const QPair<double, double> bounds2 = m_sweepBounds[2];
    m_dac2.setValue(Veldrin_II_DriverDAC::Waveform, 0);
    m_dac2.setValue(Veldrin_II_DriverDAC::Offset, bounds2.first);
    m_sweepStep = (bounds2.second - bounds2.first) / (points - 1);
    m_sweepValue = bounds2.first;
    m_remainingPoints = points;
    outgoing.append(instruction(SetDAC2, m_dac2.toPayload()));
}

ApiStatus Veldrin_II_DriverDevice::run1DSweepMeasurement(int channelMask, int periodCode, int sampleCount)
{
    if (sampleCount < 2 || sampleCount > 50000)
        return 23;
    if (periodCode < 3)
        return 22;
    std::lock_guard<std::mutex> submitting(m_submitMutex);
    Outgoing outgoing;
    ApiStatus status;
    {
        std::lock_guard<std::mutex> locker(m_mutex);
        prepareSweep(0, outgoing);
        // A bad channel mask is found after the DAC programming has been
        // queued, which is then still sent.
        status = prepareAcquisition(channelMask, periodCode, sampleCount, outgoing);
        if (status == 0)
            expectValues(channelMask, sampleCount, 1);
    }
    submitAll(outgoing);
    return status;
}

ApiStatus Veldrin_II_DriverDevice::run2DSweepMeasurement(int channelMask, int periodCode, int sampleCount,
                                                         int points)
{
    if (sampleCount < 2 || sampleCount > 50000)
        return 23;
    if (points < 2 || points > 50000)
        return 23;
    if (periodCode < 3)
        return 22;
    std::lock_guard<std::mutex> submitting(m_submitMutex);
    Outgoing outgoing;
    ApiStatus status;
    {
        std::lock_guard<std::mutex> locker(m_mutex);
        prepareSweep(points, outgoing);
        status = prepareAcquisition(channelMask, periodCode, sampleCount, outgoing);
        if (status == 0)
            expectValues(channelMask, sampleCount, points);
    }
    submitAll(outgoing);
    return status;
}

ApiStatus Veldrin_II_DriverDevice::prepareAcquisition(int channelMask, int periodCode, int sampleCount,
                                                      Outgoing &outgoing)
{
    if ((channelMask & 3) != channelMask)
        return 21;
    if (periodCode < 0 || periodCode > 16)
        return 22;
    if (sampleCount < 2 || sampleCount > 50000)
        return 23;
    m_sampling.setValue(Veldrin_II_DriverSampling::Option6, false);
    m_sampling.setValue(Veldrin_II_DriverSampling::Option8, false);
    m_sampling.setValue(Veldrin_II_DriverSampling::Option9, 0);
    m_sampling.setValue(Veldrin_II_DriverSampling::Option10, false);
    m_sampling.setValue(Veldrin_II_DriverSampling::ChannelMask, channelMask);
    m_sampling.setValue(Veldrin_II_DriverSampling::Period, periodCode);
    m_sampling.setValue(Veldrin_II_DriverSampling::SampleCount, sampleCount);
    m_window1.clear();
    m_window2.clear();
    m_activeSpikeFilter = m_spikeFilter;
    m_activeChannelMask = channelMask;
    m_activePeriodCode = periodCode;
    m_activeSampleCount = sampleCount;
    rememberInputSettings();
    m_measurementComplete = false;
    const std::shared_ptr<USBICommRequest> start = instruction(StartAcquisition, m_sampling.toPayload());
    awaitStartReply(start->id());
    outgoing.append(start);
    return 0;
}

void Veldrin_II_DriverDevice::rememberInputSettings()
{
    m_activeRange1 = variantToInt(m_sampling.value(Veldrin_II_DriverSampling::Range1));
    m_activeRange2 = variantToInt(m_sampling.value(Veldrin_II_DriverSampling::Range2));
    m_activeFlag1 = m_sampling.value(Veldrin_II_DriverSampling::ChannelFlag1).toBool();
    m_activeFlag2 = m_sampling.value(Veldrin_II_DriverSampling::ChannelFlag2).toBool();
}

ApiStatus Veldrin_II_DriverDevice::startAcquisition(int channelMask, int periodCode, int sampleCount)
{
    std::lock_guard<std::mutex> submitting(m_submitMutex);
    Outgoing outgoing;
    ApiStatus status;
    {
        std::lock_guard<std::mutex> locker(m_mutex);
        status = prepareAcquisition(channelMask, periodCode, sampleCount, outgoing);
    }
    submitAll(outgoing);
    return status;
}

bool Veldrin_II_DriverDevice::isMeasurementComplete()
{
    std::lock_guard<std::mutex> locker(m_mutex);
    return m_measurementComplete;
}

void Veldrin_II_DriverDevice::requestFinished(const RequestEntry &entry, USBResult result)
{
    std::lock_guard<std::mutex> locker(m_mutex);
    requestAnswered(entry.id);
    m_lastResult = result;
    measurementChanged();
    if (!result.isSuccess() || !entry.request)
        return;
    const QByteArray data = entry.request->receivedData();
    switch (entry.request->command()) {
    case ReadUserData:
        if (data.size() == 150)
            m_userData.assign(Veldrin_II_DriverUserData::fromDeviceData(data));
        break;
    case ReadDAC1:
        if (data.size() == 7)
            m_dac1.assign(Veldrin_II_DriverDAC::fromDeviceData(data));
        break;
    case ReadDAC2:
        if (data.size() == 7)
            m_dac2.assign(Veldrin_II_DriverDAC::fromDeviceData(data));
        break;
    default:
        break;
    }
}

void Veldrin_II_DriverDevice::packetError(USBResult result, QPointer<QObject> &)
{
    std::lock_guard<std::mutex> locker(m_mutex);
    m_lastResult = result;
    measurementChanged();
}

void Veldrin_II_DriverDevice::packetReceived(int, QByteArray &data)
{
    // A sweep step decides its next point under the device lock and submits
    // it once that lock is released, so the protocol lock is never taken
    // under the device lock. The start lock, held throughout, keeps a host
    // start from slipping in between: it either comes before the decision
    // (and ended the sweep) or after the submission (and wins).
    std::lock_guard<std::mutex> submitting(m_submitMutex);
    Outgoing outgoing;
    {
        std::lock_guard<std::mutex> locker(m_mutex);
        // Layout: a flag byte, then blocks holding one little-endian sample of
        // each enabled channel. Packets that break the layout are dropped whole.
        if (data.size() < 1 || !streamIsCurrent())
            return;
        // Decoded with the settings the acquisition was started with.
        const int mask = m_activeChannelMask;
        const int blockCount = ((mask & 1) ? 1 : 0) + ((mask & 2) ? 1 : 0);
        // With no channel enabled only the bare flag byte fits the layout: it
        // carries no samples but still ends the point.
        if (blockCount == 0 ? data.size() != 1 : (data.size() - 1) % (blockCount * 2) != 0)
            return;
        const auto *bytes = reinterpret_cast<const uchar *>(data.constData());
        const bool final = (bytes[0] & 1) != 0;
        const int period = m_activePeriodCode;
        const int range1 = m_activeRange1;
        const int range2 = m_activeRange2;
        const bool flag1 = m_activeFlag1;
        const bool flag2 = m_activeFlag2;
        VeldrinStreamInterpreterScaleSignedSpikeFilterOperator channel1(
            m_userData.scaleFor(0, range1, period, flag1), m_userData.offsetFor(0, range1, period, flag1),
            &m_window1, m_activeSpikeFilter);
        VeldrinStreamInterpreterScaleSignedSpikeFilterOperator channel2(
            m_userData.scaleFor(1, range2, period, flag2), m_userData.offsetFor(1, range2, period, flag2),
            &m_window2, m_activeSpikeFilter);
        VeldrinStreamInterpreterScaleSignedSpikeFilterOperator *operators[2] = {&channel1, &channel2};

        const int perChannel = blockCount == 0 ? 0 : (data.size() - 1) / (2 * blockCount);
        if (m_results.failed())
            return;
        try {
            int position = 1;
            for (int channel = 1; channel <= 2; ++channel) {
                if (!(mask & channel))
                    continue;
                int q = position;
                position += 2;
                if (perChannel == 0)
                    continue;
                // The row gets room for the whole point at its first packet.
                double *out = m_results.extend(channel, m_pointIndex, perChannel, m_activeSampleCount);
                if (!out)
                    continue;
                for (int k = 0; k < perChannel; ++k, q += 2 * blockCount) {
                    const auto raw = static_cast<qint16>(bytes[q] | (bytes[q + 1] << 8));
                    out[k] = operators[channel - 1]->apply(raw);
                }
            }

            if (final) {
                m_results.completeRow();
                if (m_remainingPoints > 0)
                    --m_remainingPoints;
                if (m_remainingPoints <= 0)
                    m_measurementComplete = true;
                else if (holdsTooManyRows())
                    m_nextPointDeferred = true;
                else
                    stepToNextPoint(outgoing);
                measurementChanged();
            }
        } catch (const std::bad_alloc &) {
            endUnheld();
            return;
        }
    }
    if (outgoing.isEmpty())
        return;
    if (m_sweepStepHook)
        m_sweepStepHook();
    submitAll(outgoing);
}

void Veldrin_II_DriverDevice::stepToNextPoint(Outgoing &outgoing)
{
    // Next point of a two-dimensional sweep: step DAC 2, then acquire again.
    m_sweepValue += m_sweepStep;
    m_dac2.setValue(Veldrin_II_DriverDAC::Offset, m_sweepValue);
    outgoing.append(instruction(SetDAC2, m_dac2.toPayload()));
    ++m_pointIndex;
    prepareAcquisition(m_activeChannelMask, m_activePeriodCode, m_activeSampleCount, outgoing);
}

bool Veldrin_II_DriverDevice::holdsTooManyRows() const
{
    // Only a host that takes rows (it has released one) is waited for; one
    // that never releases gets the whole sweep at the instrument's pace.
    if (m_results.firstHeld() == 0)
        return false;
    const int channels = ((m_activeChannelMask & 1) ? 1 : 0) + ((m_activeChannelMask & 2) ? 1 : 0);
    const qint64 held = qint64(m_results.completedRows() - m_results.firstHeld()) * m_activeSampleCount * channels;
    return held >= MaxHeldValuesWhileStreaming;
}

void Veldrin_II_DriverDevice::rowsReleased()
{
    std::lock_guard<std::mutex> submitting(m_submitMutex);
    Outgoing outgoing;
    {
        std::lock_guard<std::mutex> locker(m_mutex);
        if (!m_nextPointDeferred || holdsTooManyRows())
            return;
        m_nextPointDeferred = false;
        if (m_measurementComplete || m_results.failed() || m_remainingPoints <= 0)
            return;
        try {
            stepToNextPoint(outgoing);
        } catch (const std::bad_alloc &) {
            endUnheld();
            return;
        }
    }
    if (m_sweepStepHook)
        m_sweepStepHook();
    submitAll(outgoing);
}

void Veldrin_II_DriverDevice::endUnheld()
{
    if (m_measurementComplete || m_results.failed())
        return;
    m_remainingPoints = 0;
    ranOutOfMemory();
}

void Veldrin_II_DriverDevice::allocationFailed()
{
    std::lock_guard<std::mutex> locker(m_mutex);
    endUnheld();
}

bool Veldrin_II_DriverDevice::acceptsPacket(int id)
{
    return id == 0;
}

USBResult Veldrin_II_DriverDevice::lastResult()
{
    std::lock_guard<std::mutex> locker(m_mutex);
    return m_lastResult;
}

Veldrin_II_DriverDAC Veldrin_II_DriverDevice::dacSettings(int channel)
{
    std::lock_guard<std::mutex> locker(m_mutex);
    Veldrin_II_DriverDAC copy;
    copy.assign(channel == 1 ? m_dac1 : m_dac2);
    return copy;
}

Veldrin_II_DriverSampling Veldrin_II_DriverDevice::samplingSettings()
{
    std::lock_guard<std::mutex> locker(m_mutex);
    Veldrin_II_DriverSampling copy;
    copy.assign(m_sampling);
    return copy;
}

Veldrin_II_DriverUserData Veldrin_II_DriverDevice::calibration()
{
    std::lock_guard<std::mutex> locker(m_mutex);
    Veldrin_II_DriverUserData copy;
    copy.assign(m_userData);
    return copy;
}

QPair<double, double> Veldrin_II_DriverDevice::sweepBounds(int channel)
{
    std::lock_guard<std::mutex> locker(m_mutex);
    return m_sweepBounds.value(channel);
}

void Veldrin_II_DriverDevice::setSpikeFilter(bool enabled)
{
    std::lock_guard<std::mutex> locker(m_mutex);
    m_spikeFilter = enabled;
}

bool Veldrin_II_DriverDevice::spikeFilter()
{
    std::lock_guard<std::mutex> locker(m_mutex);
    return m_spikeFilter;
}

bool Veldrin_II_DriverDevice::calibrationStored()
{
    std::lock_guard<std::mutex> locker(m_mutex);
    return m_userData.isStored();
}
