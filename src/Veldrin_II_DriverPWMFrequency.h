#pragma once

#include <Properties>

class Veldrin_II_DriverPWMFrequencyTraits
{
public:
    enum Key {
        Frequency = 0 // int, PWM frequency in hertz
    };
};

// The PWM frequency of a generation II instrument. Default: Frequency 10000.
class Veldrin_II_DriverPWMFrequency : public Veldrin_II_DriverPWMFrequencyTraits,
                                      public Properties<Veldrin_II_DriverPWMFrequencyTraits>
{
public:
    Veldrin_II_DriverPWMFrequency();
    ~Veldrin_II_DriverPWMFrequency() override;

    // Block version 1 in front of the template's form.
    void writeTo(QDataStream &stream) const override;
    void readFrom(QDataStream &stream) override;

    // 4 bytes: the frequency as a 32-bit little-endian value.
    QByteArray toPayload() const;
};
