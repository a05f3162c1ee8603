#pragma once

#include <Properties>

class Veldrin_II_DriverPWMTraits
{
public:
    enum Key {
        Mode = 0,       // int, mode byte of the PWM output
        Duty = 1,       // int, duty cycle in percent
        ModeOption = 2, // bool, adds bit 0 to the mode byte when bit 2 of Mode is set
        AuxByte = 3     // int, third payload byte
    };
};

// A PWM output of a generation II instrument. Defaults: Mode 2, Duty 50,
// ModeOption false, AuxByte 0.
class Veldrin_II_DriverPWM : public Veldrin_II_DriverPWMTraits,
                             public Properties<Veldrin_II_DriverPWMTraits>
{
public:
    Veldrin_II_DriverPWM();
    ~Veldrin_II_DriverPWM() override;

    // Block version 1 in front of the template's form.
    void writeTo(QDataStream &stream) const override;
    void readFrom(QDataStream &stream) override;

    // 3 bytes: mode byte, duty, AuxByte.
    QByteArray toPayload() const;
};
