#pragma once

#include <QString>
#include <QtGlobal>

#include "SimulatedWaveform.h"

// What the two ADC inputs of a virtual instrument see.
//
//   loopback  each input is wired to an output of the instrument itself: the
//             instrument hands in the waveform of that output (see the
//             generation classes for which output feeds which input)
//   sine      input 1: 1.0 V peak at 50 Hz; input 2: 0.5 V peak at 120 Hz
//   dc        input 1: +1.25 V; input 2: -0.75 V
//   noise     Gaussian noise around 0 V, standard deviation 0.1 V on both
//             inputs, reproducible from the seed: the same seed, acquisition
//             number, input and sample index always give the same value
//
// The figures above are the defaults; tests may change them.
class SimulatedSignal
{
public:
    enum class Kind { Loopback, Sine, Dc, Noise };

    explicit SimulatedSignal(Kind kind = Kind::Loopback);

    static bool kindFromName(const QString &name, Kind *kind);
    static QString nameOf(Kind kind);

    Kind kind() const { return m_kind; }
    void setKind(Kind kind) { m_kind = kind; }

    // Channels are 0 (input 1) and 1 (input 2); others are ignored.
    void setSine(int channel, double amplitude, double frequency);
    void setLevel(int channel, double volts);
    void setNoise(double standardDeviation, quint64 seed);
    quint64 seed() const { return m_seed; }

    // The voltage at input `channel` for sample `sample` of `sampleCount`,
    // taken `time` seconds after the start of acquisition number `acquisition`.
    // `loopback` is the output wired to that input.
    double voltage(int channel, double time, quint32 acquisition, int sample, int sampleCount,
                   const SimulatedWaveform &loopback) const;

private:
    double gaussian(int channel, quint32 acquisition, int sample) const;

    Kind m_kind;
    double m_sineAmplitude[2] = {1.0, 0.5};
    double m_sineFrequency[2] = {50.0, 120.0};
    double m_level[2] = {1.25, -0.75};
    double m_noiseDeviation = 0.1;
    quint64 m_seed = 1;
};
