#pragma once

#include <Properties>

class Veldrin_II_DriverDACTraits
{
public:
    // Key 1 is not used.
    enum Key {
        Waveform = 0,  // int, waveform code; 3 is the two-level form used by sweeps
        Frequency = 2, // hertz: double 1000.0 by default and when decoded, int once set
        Amplitude = 3, // double, volts
        Offset = 4,    // double, volts
        LowLevel = 5,  // double, volts, lower level of waveform 3
        HighLevel = 6  // double, volts, upper level of waveform 3
    };
};

// A DAC output of a generation II instrument. Defaults: Waveform 2,
// Frequency 1000.0, Amplitude 1.0, Offset 0.0, LowLevel -1.0, HighLevel 1.0.
class Veldrin_II_DriverDAC : public Veldrin_II_DriverDACTraits,
                             public Properties<Veldrin_II_DriverDACTraits>
{
public:
    Veldrin_II_DriverDAC();
    ~Veldrin_II_DriverDAC() override;

    // Decodes the instrument's stored DAC settings: 7 bytes laid out as the
    // payload. LowLevel becomes the offset and HighLevel offset plus amplitude,
    // whatever the waveform byte says. Any other count is a caller error
    // (asserted); without assertions it gives a default block and reads nothing.
    static Veldrin_II_DriverDAC fromDeviceData(const QByteArray &data);

    // Block version 1 in front of the template's form.
    void writeTo(QDataStream &stream) const override;
    void readFrom(QDataStream &stream) override;

    // 7 bytes: waveform; frequency in half hertz (16 bits); then for waveform 3
    // the span HighLevel - LowLevel and LowLevel, otherwise the amplitude
    // (negative sent as 0) and the offset, each in mV as 16 bits.
    QByteArray toPayload() const;
};
