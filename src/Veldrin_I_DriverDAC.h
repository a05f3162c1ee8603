#pragma once

#include <Properties>

class Veldrin_I_DriverDACTraits
{
public:
    // Key 1 is not used.
    enum Key {
        Waveform = 0,  // int, waveform code
        Frequency = 2, // hertz: double 1000.0 by default, int once set or decoded
        Amplitude = 3, // double, volts
        Offset = 4     // double, volts
    };
};

// The DAC waveform of a generation I instrument. Defaults: Waveform 2,
// Frequency 1000.0, Amplitude 1.0, Offset 0.0.
class Veldrin_I_DriverDAC : public Veldrin_I_DriverDACTraits,
                            public Properties<Veldrin_I_DriverDACTraits>
{
public:
    Veldrin_I_DriverDAC();
    ~Veldrin_I_DriverDAC() override;

    // Decodes the instrument's stored DAC settings: 7 bytes laid out as the
    // payload. Any other count is a caller error (asserted); without
    // assertions it gives a default block and reads nothing.
    static Veldrin_I_DriverDAC fromDeviceData(const QByteArray &data);

    // Block version 1 in front of the template's form.
    void writeTo(QDataStream &stream) const override;
    void readFrom(QDataStream &stream) override;

    // 7 bytes: waveform, frequency (16 bits), amplitude in mV (16 bits, negative
    // sent as 0), offset in mV (16 bits, two's complement).
    QByteArray toPayload() const;
};
