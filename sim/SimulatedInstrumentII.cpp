#include "SimulatedInstrumentII.h"

#include <mutex>

#include "SimulatedWire.h"

namespace {

const int SamplingSize = 13;
const int FrequencySize = 4;
const int PwmSize = 3;
const int DacSize = 7;
const quint32 MaxPwmFrequency = 200000;

} // namespace

SimulatedInstrumentII::SimulatedInstrumentII(const QString &serialNumber, int firmwareVersion)
    : SimulatedInstrument(Model, SimulatedInformationPage::forInstrument(
                                     Model, Revision, firmwareVersion, serialNumber,
                                     QStringLiteral("Veldrin II measurement unit")))
    , m_calibration(factoryCalibration())
{
    powerOn();
}

void SimulatedInstrumentII::powerOn()
{
    // Period code 6, ranges 0, switches off, 1000 samples, no input.
    m_sampling = QByteArray("\x06\x00\x00\x00\x00\xE8\x03\x00\x00\x00\x00\x00\x00", SamplingSize);
    // DAC 1: sine, 500 Hz, 1500 mV peak, 250 mV offset.
    m_dac[0] = QByteArray("\x00\xE8\x03\xDC\x05\xFA\x00", DacSize);
    // DAC 2: square, 250 Hz, 800 mV peak, -300 mV offset.
    m_dac[1] = QByteArray("\x01\xF4\x01\x20\x03\xD4\xFE", DacSize);
    // Mode 2; duty 25 % and 75 %; 10 kHz.
    m_pwm[0] = QByteArray("\x02\x19\x00", PwmSize);
    m_pwm[1] = QByteArray("\x02\x4B\x00", PwmSize);
    m_pwmStaged[0] = m_pwm[0];
    m_pwmStaged[1] = m_pwm[1];
    m_pwmFrequency = 10000;
    m_pwmFrequencyStaged = m_pwmFrequency;
    m_lastSampleCount = 0;
    m_lastChannelMask = 0;
    m_lastPeriodCode = 0;
    m_lastCount[0] = m_lastCount[1] = 0;
}

double SimulatedInstrumentII::rangeStep(int range)
{
    static const double fullScale[] = {10.0, 2.0, 0.4, 0.1};
    if (range < 0 || range > 3)
        return 0.0;
    return fullScale[range] / 4096.0;
}

int SimulatedInstrumentII::conversionsPerSample(int periodCode)
{
    if (periodCode >= 0 && periodCode <= 3)
        return 1;
    switch (periodCode) {
    case 4: return 2;
    case 5: return 4;
    case 6: return 8;
    default: return 16;
    }
}

SimulatedInstrumentII::Calibration SimulatedInstrumentII::factoryCalibration()
{
    Calibration calibration;
    for (int c = 0; c < 2; ++c) {
        for (int r = 0; r < 4; ++r) {
            for (int q = 0; q < 2; ++q) {
                for (int f = 0; f < 2; ++f) {
                    const int group = 8 * c + 2 * r + q;
                    const int magnitude = 15 + 23 * (2 * r + q) + 7 * f;
                    calibration.offset[c][r][q][f] = qint16(c == 0 ? magnitude : -magnitude);
                    calibration.scale[c][r][q][f] = quint16(29700 + 37 * group + 13 * f);
                }
            }
        }
    }
    return calibration;
}

SimulatedInstrumentII::Calibration SimulatedInstrumentII::calibration() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calibration;
}

void SimulatedInstrumentII::setCalibration(const Calibration &calibration)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calibration = calibration;
}

QByteArray SimulatedInstrumentII::calibrationImage() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return calibrationImageLocked();
}

QByteArray SimulatedInstrumentII::calibrationImageLocked() const
{
    if (!m_calibrationStored)
        return QByteArray(CalibrationImageSize, char(0xFF));
    QByteArray image(CalibrationImageSize, char(0));
    image[0] = char(CalibrationMarker);
    for (int c = 0; c < 2; ++c) {
        for (int r = 0; r < 4; ++r) {
            for (int q = 0; q < 2; ++q) {
                const int at = 1 + 8 * (8 * c + 2 * r + q);
                SimulatedWire::putLE16(image, at, quint16(m_calibration.offset[c][r][q][1]));
                SimulatedWire::putLE16(image, at + 2, quint16(m_calibration.offset[c][r][q][0]));
                SimulatedWire::putLE16(image, at + 4, m_calibration.scale[c][r][q][1]);
                SimulatedWire::putLE16(image, at + 6, m_calibration.scale[c][r][q][0]);
            }
        }
    }
    return image;
}

QByteArray SimulatedInstrumentII::samplingSettings() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sampling;
}

QByteArray SimulatedInstrumentII::dacSettings(int dac) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return dac == 1 || dac == 2 ? m_dac[dac - 1] : QByteArray();
}

QByteArray SimulatedInstrumentII::pwmSettings(int output) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return output == 1 || output == 2 ? m_pwm[output - 1] : QByteArray();
}

quint32 SimulatedInstrumentII::pwmFrequency() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_pwmFrequency;
}

qint16 SimulatedInstrumentII::countFor(int channel, int range, int periodCode, bool switchOn,
                                       double volts) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return countLocked(channel, range, periodCode, switchOn, volts);
}

qint16 SimulatedInstrumentII::countLocked(int channel, int range, int periodCode, bool switchOn,
                                          double volts) const
{
    if (channel < 0 || channel > 1 || range < 0 || range > 3 || periodCode < 0 || periodCode > 16)
        return 0;
    const int set = periodCode >= 2 ? 1 : 0;
    const int f = switchOn ? 1 : 0;
    const quint16 scale = m_calibration.scale[channel][range][set][f];
    if (scale == 0)
        return 0;
    const double voltsPerCount = scale / 30000.0 * rangeStep(range);
    const double offset = m_calibration.offset[channel][range][set][f] / 10.0;
    return clampToCount(conversionsPerSample(periodCode) * (volts / voltsPerCount + offset));
}

SimulatedWaveform SimulatedInstrumentII::dacWaveform(int index) const
{
    static const SimulatedWaveform::Shape shapes[] = {
        SimulatedWaveform::Shape::Sine, SimulatedWaveform::Shape::Square,
        SimulatedWaveform::Shape::Triangle,
    };
    const QByteArray &dac = m_dac[index];
    const int waveform = SimulatedWire::byteAt(dac, 0);
    const double frequency = SimulatedWire::readLE16(dac, 1) / 2.0;
    const double low = SimulatedWire::readLE16Signed(dac, 5) / 1000.0;
    if (waveform == 3) {
        // The span is read signed so that a falling sweep (high below low)
        // ramps downwards instead of wrapping to a huge rise.
        const double span = SimulatedWire::readLE16Signed(dac, 3) / 1000.0;
        return SimulatedWaveform::ramp(low, low + span);
    }
    if (waveform > 3)
        return SimulatedWaveform::constant(low);
    const double amplitude = SimulatedWire::readLE16(dac, 3) / 1000.0;
    return SimulatedWaveform::periodic(shapes[waveform], amplitude, low, frequency);
}

SimulatedInstrument::Answer SimulatedInstrumentII::instruction(quint8 command,
                                                               const QByteArray &payload)
{
    Answer answer;
    switch (command) {
    case 32:
        return startAcquisition(payload);
    case 33:
    case 39:
    case 40:
    case 41:
    case 43:
    case 44:
        break;
    case 34: {
        const quint32 frequency = SimulatedWire::readLE32(payload, 0);
        if (payload.size() != FrequencySize)
            answer.status = StatusBadLength;
        else if (frequency == 0 || frequency > MaxPwmFrequency)
            answer.status = StatusOutOfRange;
        else
            m_pwmFrequencyStaged = frequency;
        break;
    }
    case 35:
    case 36:
        if (payload.size() != PwmSize)
            answer.status = StatusBadLength;
        else if (SimulatedWire::byteAt(payload, 1) > 100)
            answer.status = StatusOutOfRange;
        else
            m_pwmStaged[command - 35] = payload;
        break;
    case 37:
    case 38:
        if (payload.size() != DacSize)
            answer.status = StatusBadLength;
        else if (SimulatedWire::byteAt(payload, 0) > 3)
            answer.status = StatusOutOfRange;
        else
            m_dac[command - 37] = payload;
        break;
    case 42:
        m_pwm[0] = m_pwmStaged[0];
        m_pwm[1] = m_pwmStaged[1];
        m_pwmFrequency = m_pwmFrequencyStaged;
        break;
    case 64:
        answer.data = m_sampling;
        break;
    case 65:
        SimulatedWire::appendLE32(answer.data, m_pwmFrequencyStaged);
        break;
    case 66:
        SimulatedWire::appendLE32(answer.data, m_pwmFrequency);
        break;
    case 67:
    case 68:
        answer.data = m_pwm[command - 67];
        break;
    case 69:
    case 70:
        answer.data = m_dac[command - 69];
        break;
    case 71:
        SimulatedWire::appendLE16(answer.data, quint16(acquisitionCountLocked()));
        SimulatedWire::appendLE16(answer.data, quint16(m_lastSampleCount));
        answer.data.append(char(m_lastChannelMask));
        answer.data.append(char(m_lastPeriodCode));
        break;
    case 72:
        answer.data = calibrationImageLocked();
        break;
    case 73:
        SimulatedWire::appendLE16(answer.data, quint16(m_lastCount[0]));
        SimulatedWire::appendLE16(answer.data, quint16(m_lastCount[1]));
        break;
    default:
        answer.status = StatusNotRecognised;
        break;
    }
    return answer;
}

SimulatedInstrument::Answer SimulatedInstrumentII::startAcquisition(const QByteArray &payload)
{
    Answer answer;
    if (payload.size() != SamplingSize) {
        answer.status = StatusBadLength;
        return answer;
    }
    const int periodCode = SimulatedWire::byteAt(payload, 0);
    const int ranges[2] = {SimulatedWire::byteAt(payload, 1), SimulatedWire::byteAt(payload, 2)};
    const bool switches[2] = {SimulatedWire::byteAt(payload, 3) != 0,
                              SimulatedWire::byteAt(payload, 4) != 0};
    const int sampleCount = SimulatedWire::readLE16(payload, 5);
    const int mask = SimulatedWire::byteAt(payload, 9);
    if (periodCode > 16 || ranges[0] > 3 || ranges[1] > 3 || mask > 3) {
        answer.status = StatusOutOfRange;
        return answer;
    }
    m_sampling = payload;
    m_lastSampleCount = sampleCount;
    m_lastChannelMask = mask;
    m_lastPeriodCode = periodCode;
    const quint32 acquisition = beginAcquisition();

    QVector<int> channels;
    for (int channel = 0; channel < 2; ++channel) {
        if (mask & (1 << channel))
            channels.append(channel);
    }
    if (channels.isEmpty() || sampleCount == 0) {
        answer.stream.append(StreamPacket{SimulatedWire::streamPacket(QByteArray(1, char(0x01))), 0});
        return answer;
    }

    const double period = samplePeriod(periodCode);
    answer.samplePeriod = period;
    answer.stream.reserve(sampleCount / SamplesPerPacket + 1);
    const SimulatedWaveform inputs[2] = {dacWaveform(0), dacWaveform(1)};
    QByteArray data;
    for (int k = 0; k < sampleCount; ++k) {
        if (data.isEmpty())
            data.append(char(0));
        for (int channel : channels) {
            const double volts = m_signal.voltage(channel, k * period, acquisition, k, sampleCount,
                                                  inputs[channel]);
            const qint16 count = countLocked(channel, ranges[channel], periodCode,
                                             switches[channel], volts);
            m_lastCount[channel] = count;
            SimulatedWire::appendLE16(data, quint16(count));
        }
        const bool final = k + 1 == sampleCount;
        if (final || (data.size() - 1) / (2 * channels.size()) == SamplesPerPacket) {
            if (final)
                data[0] = char(0x01);
            answer.stream.append(StreamPacket{SimulatedWire::streamPacket(data), k + 1});
            data.clear();
        }
    }
    return answer;
}
