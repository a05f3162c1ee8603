#pragma once

// What an analog output of the instrument drives, as a function of time.
//
// Periodic shapes swing `amplitude` volts (peak) either side of `offset`, with
// `frequency` periods per second, and all start at the offset rising at t = 0
// (the square wave starts at its high level):
//   Sine      offset + amplitude * sin(2 pi f t)
//   Square    offset + amplitude for the first half of each period, offset - amplitude after
//   Triangle  linear between offset - amplitude and offset + amplitude
// Ramp runs linearly from `from` at the first sample of an acquisition to `to`
// at its last, whatever the sample period: the two-level output used by sweeps.
// Constant is a fixed level (a filtered PWM output, or an idle DAC).
class SimulatedWaveform
{
public:
    enum class Shape { Constant, Sine, Square, Triangle, Ramp };

    SimulatedWaveform() = default;
    static SimulatedWaveform constant(double volts);
    static SimulatedWaveform periodic(Shape shape, double amplitude, double offset, double frequency);
    static SimulatedWaveform ramp(double from, double to);

    Shape shape() const { return m_shape; }
    double amplitude() const { return m_amplitude; }
    double offset() const { return m_offset; }
    double frequency() const { return m_frequency; }
    double rampEnd() const { return m_rampEnd; }

    // The level at `time` seconds after the acquisition start, for sample
    // `sample` of `sampleCount`.
    double valueAt(double time, int sample, int sampleCount) const;

private:
    Shape m_shape = Shape::Constant;
    double m_amplitude = 0.0;
    double m_offset = 0.0;      // also the ramp's start
    double m_frequency = 0.0;
    double m_rampEnd = 0.0;
};
