#include "SimulatedSignal.h"

#include <cmath>

namespace {

// splitmix64: a cheap, well-mixed hash; enough for test noise.
quint64 mix(quint64 x)
{
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

// A uniform value in (0, 1], never 0 so that its logarithm is finite.
double unitFrom(quint64 bits)
{
    return (double(bits >> 11) + 1.0) / 9007199254740992.0;
}

bool validChannel(int channel)
{
    return channel == 0 || channel == 1;
}

} // namespace

SimulatedSignal::SimulatedSignal(Kind kind)
    : m_kind(kind)
{
}

bool SimulatedSignal::kindFromName(const QString &name, Kind *kind)
{
    static const struct { const char *name; Kind kind; } names[] = {
        {"loopback", Kind::Loopback}, {"sine", Kind::Sine}, {"dc", Kind::Dc}, {"noise", Kind::Noise},
    };
    for (const auto &entry : names) {
        if (name == QLatin1String(entry.name)) {
            if (kind)
                *kind = entry.kind;
            return true;
        }
    }
    return false;
}

QString SimulatedSignal::nameOf(Kind kind)
{
    switch (kind) {
    case Kind::Loopback: return QStringLiteral("loopback");
    case Kind::Sine: return QStringLiteral("sine");
    case Kind::Dc: return QStringLiteral("dc");
    case Kind::Noise: return QStringLiteral("noise");
    }
    return QString();
}

void SimulatedSignal::setSine(int channel, double amplitude, double frequency)
{
    if (!validChannel(channel))
        return;
    m_sineAmplitude[channel] = amplitude;
    m_sineFrequency[channel] = frequency;
}

void SimulatedSignal::setLevel(int channel, double volts)
{
    if (validChannel(channel))
        m_level[channel] = volts;
}

void SimulatedSignal::setNoise(double standardDeviation, quint64 seed)
{
    m_noiseDeviation = standardDeviation;
    m_seed = seed;
}

double SimulatedSignal::gaussian(int channel, quint32 acquisition, int sample) const
{
    const quint64 key = mix(m_seed) ^ (quint64(acquisition) << 32) ^ (quint64(channel) << 31)
                        ^ quint64(quint32(sample));
    const quint64 first = mix(key);
    const quint64 second = mix(first);
    const double pi = 3.14159265358979323846;
    // Box-Muller transform.
    return std::sqrt(-2.0 * std::log(unitFrom(first))) * std::cos(2.0 * pi * unitFrom(second));
}

double SimulatedSignal::voltage(int channel, double time, quint32 acquisition, int sample,
                                int sampleCount, const SimulatedWaveform &loopback) const
{
    if (!validChannel(channel))
        return 0.0;
    const double pi = 3.14159265358979323846;
    switch (m_kind) {
    case Kind::Loopback:
        return loopback.valueAt(time, sample, sampleCount);
    case Kind::Sine:
        return m_sineAmplitude[channel] * std::sin(2.0 * pi * m_sineFrequency[channel] * time);
    case Kind::Dc:
        return m_level[channel];
    case Kind::Noise:
        return m_noiseDeviation * gaussian(channel, acquisition, sample);
    }
    return 0.0;
}
