#include "SimulatedInstrumentI.h"

#include <mutex>

#include "SimulatedWire.h"

namespace {

const int SamplingSize = 8;
const int PwmSize = 2;
const int DacSize = 7;
const int MaxSamplesPerPacket = 255;

} // namespace

SimulatedInstrumentI::SimulatedInstrumentI(const QString &serialNumber, int firmwareVersion)
    : SimulatedInstrument(Model, SimulatedInformationPage::forInstrument(
                                     Model, Revision, firmwareVersion, serialNumber,
                                     QStringLiteral("Veldrin I measurement unit")))
    , m_calibration(factoryCalibration())
{
    powerOn();
}

void SimulatedInstrumentI::powerOn()
{
    // Period code 5, range 0, 1000 samples, no input, options 0 1 0.
    m_sampling = QByteArray("\x05\x00\xE8\x03\x00\x00\x01\x00", SamplingSize);
    // Sine, 500 Hz, 1500 mV peak, 250 mV offset.
    m_dac = QByteArray("\x00\xF4\x01\xDC\x05\xFA\x00", DacSize);
    // Mode 2, 25 % duty.
    m_pwm = QByteArray("\x02\x19", PwmSize);
    m_lastSampleCount = 0;
    m_lastChannelMask = 0;
}

SimulatedInstrumentI::Calibration SimulatedInstrumentI::factoryCalibration()
{
    Calibration calibration;
    for (int c = 0; c < 2; ++c) {
        for (int r = 0; r < 2; ++r) {
            for (int i = 0; i < PeriodClasses; ++i) {
                const int magnitude = 25 + 40 * i + 9 * r;
                calibration.offset[c][r][i] = qint16(c == 0 ? magnitude : -magnitude);
                calibration.scale[c][r][i] = quint16((r == 0 ? 4882 : 610) + 7 + 13 * c + 3 * i);
            }
        }
    }
    return calibration;
}

SimulatedInstrumentI::Calibration SimulatedInstrumentI::calibration() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calibration;
}

void SimulatedInstrumentI::setCalibration(const Calibration &calibration)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calibration = calibration;
}

QByteArray SimulatedInstrumentI::calibrationImage() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return calibrationImageLocked();
}

QByteArray SimulatedInstrumentI::calibrationImageLocked() const
{
    if (!m_calibrationStored)
        return QByteArray(CalibrationImageSize, char(0xFF));
    QByteArray image(CalibrationImageSize, char(0));
    image[0] = char(CalibrationMarker);
    for (int i = 0; i < PeriodClasses; ++i) {
        for (int c = 0; c < 2; ++c) {
            for (int r = 0; r < 2; ++r) {
                const int slot = 8 * i + 4 * c + 2 * r;
                SimulatedWire::putLE16(image, 1 + slot, quint16(m_calibration.offset[c][r][i]));
                SimulatedWire::putLE16(image, 41 + slot, m_calibration.scale[c][r][i]);
            }
        }
    }
    return image;
}

QByteArray SimulatedInstrumentI::samplingSettings() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sampling;
}

QByteArray SimulatedInstrumentI::dacSettings() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_dac;
}

QByteArray SimulatedInstrumentI::pwmSettings() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_pwm;
}

qint16 SimulatedInstrumentI::countFor(int channel, int range, int periodCode, double volts) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return countLocked(channel, range, periodCode, volts);
}

qint16 SimulatedInstrumentI::countLocked(int channel, int range, int periodCode, double volts) const
{
    if (channel < 0 || channel > 1 || range < 0 || range > 1 || periodCode < 0)
        return 0;
    const int periodClass = qMin(periodCode, PeriodClasses - 1);
    const quint16 scale = m_calibration.scale[channel][range][periodClass];
    if (scale == 0)
        return 0;
    const double voltsPerCount = scale / 1000000.0;
    const double offset = m_calibration.offset[channel][range][periodClass] / 10.0;
    return clampToCount(volts / voltsPerCount + offset);
}

SimulatedWaveform SimulatedInstrumentI::dacWaveform() const
{
    static const SimulatedWaveform::Shape shapes[] = {
        SimulatedWaveform::Shape::Sine, SimulatedWaveform::Shape::Square,
        SimulatedWaveform::Shape::Triangle,
    };
    const int waveform = SimulatedWire::byteAt(m_dac, 0);
    const double frequency = SimulatedWire::readLE16(m_dac, 1);
    const double amplitude = SimulatedWire::readLE16(m_dac, 3) / 1000.0;
    const double offset = SimulatedWire::readLE16Signed(m_dac, 5) / 1000.0;
    if (waveform > 2)
        return SimulatedWaveform::constant(offset);
    return SimulatedWaveform::periodic(shapes[waveform], amplitude, offset, frequency);
}

SimulatedInstrument::Answer SimulatedInstrumentI::instruction(quint8 command, const QByteArray &payload)
{
    Answer answer;
    switch (command) {
    case 32:
        return startMeasurement(payload);
    case 33:
    case 34:
    case 37:
    case 38:
        break;
    case 35:
        if (payload.size() != PwmSize)
            answer.status = StatusBadLength;
        else if (SimulatedWire::byteAt(payload, 1) > 100)
            answer.status = StatusOutOfRange;
        else
            m_pwm = payload;
        break;
    case 36:
        if (payload.size() != DacSize)
            answer.status = StatusBadLength;
        else if (SimulatedWire::byteAt(payload, 0) > 2)
            answer.status = StatusOutOfRange;
        else
            m_dac = payload;
        break;
    case 64:
        answer.data = m_sampling;
        break;
    case 65:
        SimulatedWire::appendLE16(answer.data, quint16(acquisitionCountLocked()));
        SimulatedWire::appendLE16(answer.data, quint16(m_lastSampleCount));
        answer.data.append(char(m_lastChannelMask));
        break;
    case 66:
        answer.data = m_pwm;
        break;
    case 67:
        answer.data = m_dac;
        break;
    case 68:
        answer.data = calibrationImageLocked();
        break;
    default:
        answer.status = StatusNotRecognised;
        break;
    }
    return answer;
}

SimulatedInstrument::Answer SimulatedInstrumentI::startMeasurement(const QByteArray &payload)
{
    Answer answer;
    if (payload.size() != SamplingSize) {
        answer.status = StatusBadLength;
        return answer;
    }
    const int periodCode = SimulatedWire::byteAt(payload, 0);
    const int range = SimulatedWire::byteAt(payload, 1);
    const int sampleCount = SimulatedWire::readLE16(payload, 2);
    const int mask = SimulatedWire::byteAt(payload, 4);
    if (periodCode > 16 || range > 1 || mask > 3) {
        answer.status = StatusOutOfRange;
        return answer;
    }
    m_sampling = payload;
    m_lastSampleCount = sampleCount;
    m_lastChannelMask = mask;
    const quint32 acquisition = beginAcquisition();

    QVector<int> channels;
    for (int channel = 0; channel < 2; ++channel) {
        if (mask & (1 << channel))
            channels.append(channel);
    }
    if (channels.isEmpty() || sampleCount == 0) {
        answer.stream.append(StreamPacket{SimulatedWire::streamPacket(QByteArray("\x00\x01", 2)), 0});
        return answer;
    }

    const double period = samplePeriod(periodCode);
    answer.samplePeriod = period;
    const SimulatedWaveform inputs[2] = {
        dacWaveform(),
        SimulatedWaveform::constant(PwmHighLevel * SimulatedWire::byteAt(m_pwm, 1) / 100.0),
    };
    QVector<QVector<qint16>> counts(2);
    for (int channel : channels) {
        counts[channel].reserve(sampleCount);
        for (int k = 0; k < sampleCount; ++k) {
            const double volts = m_signal.voltage(channel, k * period, acquisition, k, sampleCount,
                                                  inputs[channel]);
            counts[channel].append(countLocked(channel, range, periodCode, volts));
        }
    }

    const int perPacket = MaxSamplesPerPacket / channels.size();
    for (int start = 0; start < sampleCount; start += perPacket) {
        const int take = qMin(perPacket, sampleCount - start);
        const bool final = start + take >= sampleCount;
        QByteArray data;
        data.reserve(2 + 2 * take * channels.size());
        data.append(char(take * channels.size()));
        data.append(char(final ? 1 : 0));
        for (int channel : channels) {
            for (int k = start; k < start + take; ++k)
                SimulatedWire::appendLE16(data, quint16(counts[channel][k]));
        }
        answer.stream.append(StreamPacket{SimulatedWire::streamPacket(data), start + take});
    }
    return answer;
}
