#include "SimulatedWaveform.h"

#include <cmath>

SimulatedWaveform SimulatedWaveform::constant(double volts)
{
    SimulatedWaveform w;
    w.m_offset = volts;
    return w;
}

SimulatedWaveform SimulatedWaveform::periodic(Shape shape, double amplitude, double offset,
                                              double frequency)
{
    SimulatedWaveform w;
    w.m_shape = shape;
    w.m_amplitude = amplitude;
    w.m_offset = offset;
    w.m_frequency = frequency;
    return w;
}

SimulatedWaveform SimulatedWaveform::ramp(double from, double to)
{
    SimulatedWaveform w;
    w.m_shape = Shape::Ramp;
    w.m_offset = from;
    w.m_rampEnd = to;
    return w;
}

double SimulatedWaveform::valueAt(double time, int sample, int sampleCount) const
{
    const double pi = 3.14159265358979323846;
    const double cycles = m_frequency * time;
    const double phase = cycles - std::floor(cycles);
    switch (m_shape) {
    case Shape::Constant:
        return m_offset;
    case Shape::Sine:
        return m_offset + m_amplitude * std::sin(2.0 * pi * phase);
    case Shape::Square:
        return m_offset + (phase < 0.5 ? m_amplitude : -m_amplitude);
    case Shape::Triangle: {
        double unit;
        if (phase < 0.25)
            unit = 4.0 * phase;
        else if (phase < 0.75)
            unit = 2.0 - 4.0 * phase;
        else
            unit = 4.0 * phase - 4.0;
        return m_offset + m_amplitude * unit;
    }
    case Shape::Ramp:
        if (sampleCount <= 1)
            return m_offset;
        return m_offset + (m_rampEnd - m_offset) * double(sample) / double(sampleCount - 1);
    }
    return m_offset;
}
