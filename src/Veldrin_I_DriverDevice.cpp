#include "Veldrin_I_DriverDevice.h"

#include <algorithm>
#include <new>

#include "USBDriver.h"
#include "VeldrinStreamInterpreterScaleSignedSpikeFilterOperator.h"
#include "Veldrin_I_DriverCommRequest.h"
#include "Veldrin_I_DriverPWM.h"

namespace {

enum Command : quint8 {
    StartMeasurement = 32,
    SetPWM = 35,
    SetDAC = 36,
    ReadDAC = 67,
    ReadUserData = 68,
};

} // namespace

Veldrin_I_DriverDevice::Veldrin_I_DriverDevice(std::shared_ptr<USBDevice> device)
    : VeldrinDriverDevice(std::move(device), ResultRows::Shape::OneRow)
{
    m_activeRange = variantToInt(m_sampling.value(Veldrin_I_DriverSampling::Range));
    protocol->setDirectPacketHandler(this);
}

Veldrin_I_DriverDevice::~Veldrin_I_DriverDevice()
{
    // The protocol thread calls into this object: stop it, and wait for it
    // however long a handler holds it, before the members go.
    shutdown();
    protocol->waitUntilReleased();
}

bool Veldrin_I_DriverDevice::post(quint8 command, const QByteArray &payload)
{
    return submitInstruction<Veldrin_I_DriverCommRequest>(command, payload);
}

ApiStatus Veldrin_I_DriverDevice::openDevice()
{
    if (driver->isOpen())
        return openedStatus();
    const ApiStatus status = openAndVerify();
    if (status != 0)
        return status;
    post(ReadUserData);
    post(ReadDAC);
    return 0;
}

ApiStatus Veldrin_I_DriverDevice::setPWM(int channel, int dutyCycle)
{
    if (channel != 1)
        return 11;
    if (dutyCycle < 0 || dutyCycle > 100)
        return 12;
    Veldrin_I_DriverPWM pwm;
    pwm.setValue(Veldrin_I_DriverPWM::Mode, 2);
    pwm.setValue(Veldrin_I_DriverPWM::Duty, dutyCycle);
    return post(SetPWM, pwm.toPayload()) ? 0 : 13;
}

ApiStatus Veldrin_I_DriverDevice::setPWMFrequency(int)
{
    return 10;
}

ApiStatus Veldrin_I_DriverDevice::sendDac()
{
    QByteArray payload;
    {
        std::lock_guard<std::mutex> locker(m_mutex);
        payload = m_dac.toPayload();
    }
    return post(SetDAC, payload) ? 0 : 17;
}

ApiStatus Veldrin_I_DriverDevice::setDACWaveform(int channel, int waveform)
{
    if (channel != 1)
        return 16;
    if (waveform < 0 || waveform > 2)
        return 15;
    {
        std::lock_guard<std::mutex> locker(m_mutex);
        m_dac.setValue(Veldrin_I_DriverDAC::Waveform, waveform);
    }
    return sendDac();
}

ApiStatus Veldrin_I_DriverDevice::setDACOffset(int channel, int offset)
{
    if (channel != 1)
        return 16;
    if (offset < -5000 || offset > 5000)
        return 18;
    {
        std::lock_guard<std::mutex> locker(m_mutex);
        m_dac.setValue(Veldrin_I_DriverDAC::Offset, offset / 1000.0);
    }
    return sendDac();
}

ApiStatus Veldrin_I_DriverDevice::setDACAmplitude(int channel, int amplitude)
{
    if (channel != 1)
        return 16;
    if (amplitude < -5000 || amplitude > 5000)
        return 19;
    {
        std::lock_guard<std::mutex> locker(m_mutex);
        m_dac.setValue(Veldrin_I_DriverDAC::Amplitude, amplitude / 1000.0);
    }
    return sendDac();
}

ApiStatus Veldrin_I_DriverDevice::setDACFrequency(int channel, int frequency)
{
    if (channel != 1)
        return 16;
    if (frequency < 10 || frequency > 5000)
        return 20;
    {
        std::lock_guard<std::mutex> locker(m_mutex);
        m_dac.setValue(Veldrin_I_DriverDAC::Frequency, frequency);
    }
    return sendDac();
}

ApiStatus Veldrin_I_DriverDevice::setSweepProperties(int, int, int)
{
    return 10;
}

ApiStatus Veldrin_I_DriverDevice::setADCProperties(int channel, int range, int)
{
    if (channel < 1 || channel > 2)
        return 25;
    if (range != 2 && range != 3)
        return 24;
    std::lock_guard<std::mutex> locker(m_mutex);
    // One range for both inputs; the channel is only checked.
    m_sampling.setValue(Veldrin_I_DriverSampling::Range, 3 - range);
    return 0;
}

ApiStatus Veldrin_I_DriverDevice::runMeasurement(int channelMask, int periodCode, int sampleCount)
{
    if (channelMask < 0 || channelMask > 3)
        return 21;
    if (periodCode < 5 || periodCode > 16)
        return 22;
    if (sampleCount < 0 || sampleCount > 50000)
        return 23;
    std::shared_ptr<USBICommRequest> start;
    {
        std::lock_guard<std::mutex> locker(m_mutex);
        m_sampling.setValue(Veldrin_I_DriverSampling::ChannelMask, channelMask);
        m_sampling.setValue(Veldrin_I_DriverSampling::Period, periodCode);
        m_sampling.setValue(Veldrin_I_DriverSampling::SampleCount, sampleCount);
        m_activeRange = variantToInt(m_sampling.value(Veldrin_I_DriverSampling::Range));
        m_window1.clear();
        m_window2.clear();
        m_activeSpikeFilter = m_spikeFilter;
        m_results.reset();
        m_measurementComplete = false;
        m_results.setExpected(qint64(sampleCount) * (((channelMask & 1) ? 1 : 0) + ((channelMask & 2) ? 1 : 0)));
        start = makeInstruction<Veldrin_I_DriverCommRequest>(StartMeasurement, m_sampling.toPayload());
        // Packets of an acquisition still streaming belong to no result now.
        awaitStartReply(start->id());
    }
    if (!submit(start)) {
        // Refused (no device open): no reply will ever end the wait.
        std::lock_guard<std::mutex> locker(m_mutex);
        requestAnswered(start->id());
    }
    return 0;
}

ApiStatus Veldrin_I_DriverDevice::run1DSweepMeasurement(int, int, int)
{
    return 10;
}

ApiStatus Veldrin_I_DriverDevice::run2DSweepMeasurement(int, int, int, int)
{
    return 10;
}

bool Veldrin_I_DriverDevice::isMeasurementComplete()
{
    std::lock_guard<std::mutex> locker(m_mutex);
    return m_measurementComplete;
}

void Veldrin_I_DriverDevice::requestFinished(const RequestEntry &entry, USBResult result)
{
    std::lock_guard<std::mutex> locker(m_mutex);
    requestAnswered(entry.id);
    m_lastResult = result;
    measurementChanged();
    if (!result.isSuccess() || !entry.request)
        return;
    const QByteArray data = entry.request->receivedData();
    if (entry.request->command() == ReadUserData && data.size() == 100)
        m_userData.assign(Veldrin_I_DriverUserData::fromDeviceData(data));
    else if (entry.request->command() == ReadDAC && data.size() == 7)
        m_dac.assign(Veldrin_I_DriverDAC::fromDeviceData(data));
}

void Veldrin_I_DriverDevice::packetError(USBResult result, QPointer<QObject> &)
{
    std::lock_guard<std::mutex> locker(m_mutex);
    m_lastResult = result;
    measurementChanged();
}

void Veldrin_I_DriverDevice::packetReceived(int, QByteArray &data)
{
    std::lock_guard<std::mutex> locker(m_mutex);
    // Layout: sample count, final flag, then the samples of each enabled channel
    // in turn, little-endian. Packets that break the layout are dropped whole.
    if (data.size() < 2 || !streamIsCurrent())
        return;
    const auto *bytes = reinterpret_cast<const uchar *>(data.constData());
    const int size = bytes[0];
    const bool final = bytes[1] != 0;
    const int mask = variantToInt(m_sampling.value(Veldrin_I_DriverSampling::ChannelMask));
    const int blockCount = ((mask & 1) ? 1 : 0) + ((mask & 2) ? 1 : 0);
    const int sampleBytes = data.size() - 2;
    if (blockCount == 0) {
        // No channel enabled: the instrument ends such a measurement with an
        // empty final packet, which still has to complete it.
        if (size == 0 && sampleBytes == 0)
            setComplete(final);
        return;
    }
    if (sampleBytes != size * 2 || sampleBytes % (blockCount * 2) != 0)
        return;
    const int perChannel = size / blockCount;

    const int period = variantToInt(m_sampling.value(Veldrin_I_DriverSampling::Period));
    const int range = m_activeRange;
    VeldrinStreamInterpreterScaleSignedSpikeFilterOperator channel1(
        m_userData.scaleFor(0, range, period), m_userData.offsetFor(0, range, period), &m_window1,
        m_activeSpikeFilter);
    VeldrinStreamInterpreterScaleSignedSpikeFilterOperator channel2(
        m_userData.scaleFor(1, range, period), m_userData.offsetFor(1, range, period), &m_window2,
        m_activeSpikeFilter);
    VeldrinStreamInterpreterScaleSignedSpikeFilterOperator *operators[2] = {&channel1, &channel2};

    if (m_results.failed())
        return;
    const int sampleCount = variantToInt(m_sampling.value(Veldrin_I_DriverSampling::SampleCount));
    try {
        int position = 2;
        for (int channel = 1; channel <= 2; ++channel) {
            if (!(mask & channel))
                continue;
            // The row gets room for the whole measurement at its first packet.
            double *out = m_results.extend(channel, 0, perChannel, sampleCount);
            if (!out) { // released: the measurement had completed
                position += 2 * perChannel;
                continue;
            }
            for (int k = 0; k < perChannel; ++k, position += 2) {
                const auto raw = static_cast<qint16>(bytes[position] | (bytes[position + 1] << 8));
                out[k] = operators[channel - 1]->apply(raw);
            }
        }
    } catch (const std::bad_alloc &) {
        endUnheld();
        return;
    }
    setComplete(final);
}

void Veldrin_I_DriverDevice::setComplete(bool complete)
{
    const bool completes = complete && !m_measurementComplete;
    m_measurementComplete = complete;
    if (completes) {
        m_results.completeRow();
        measurementChanged();
    }
}

void Veldrin_I_DriverDevice::endUnheld()
{
    if (!m_measurementComplete && !m_results.failed())
        ranOutOfMemory();
}

void Veldrin_I_DriverDevice::allocationFailed()
{
    std::lock_guard<std::mutex> locker(m_mutex);
    endUnheld();
}

bool Veldrin_I_DriverDevice::acceptsPacket(int id)
{
    return id == 0;
}

USBResult Veldrin_I_DriverDevice::lastResult()
{
    std::lock_guard<std::mutex> locker(m_mutex);
    return m_lastResult;
}

Veldrin_I_DriverDAC Veldrin_I_DriverDevice::dacSettings()
{
    std::lock_guard<std::mutex> locker(m_mutex);
    Veldrin_I_DriverDAC copy;
    copy.assign(m_dac);
    return copy;
}

Veldrin_I_DriverSampling Veldrin_I_DriverDevice::samplingSettings()
{
    std::lock_guard<std::mutex> locker(m_mutex);
    Veldrin_I_DriverSampling copy;
    copy.assign(m_sampling);
    return copy;
}

Veldrin_I_DriverUserData Veldrin_I_DriverDevice::calibration()
{
    std::lock_guard<std::mutex> locker(m_mutex);
    Veldrin_I_DriverUserData copy;
    copy.assign(m_userData);
    return copy;
}

void Veldrin_I_DriverDevice::setSpikeFilter(bool enabled)
{
    std::lock_guard<std::mutex> locker(m_mutex);
    m_spikeFilter = enabled;
}

bool Veldrin_I_DriverDevice::spikeFilter()
{
    std::lock_guard<std::mutex> locker(m_mutex);
    return m_spikeFilter;
}

bool Veldrin_I_DriverDevice::calibrationStored()
{
    std::lock_guard<std::mutex> locker(m_mutex);
    return m_userData.isStored();
}
