#pragma once

#include <Properties>

class Veldrin_I_DriverPWMTraits
{
public:
    // Key 1 is not used.
    enum Key {
        Mode = 0,       // int, mode byte of the PWM output
        Duty = 2,       // int, duty cycle in percent
        ModeOption = 3  // bool, adds bit 0 to the mode byte when bit 2 of Mode is set
    };
};

// The PWM output of a generation I instrument. Defaults: Mode 2, Duty 50,
// ModeOption false.
class Veldrin_I_DriverPWM : public Veldrin_I_DriverPWMTraits,
                            public Properties<Veldrin_I_DriverPWMTraits>
{
public:
    Veldrin_I_DriverPWM();
    ~Veldrin_I_DriverPWM() override;

    // Block version 1 in front of the template's form.
    void writeTo(QDataStream &stream) const override;
    void readFrom(QDataStream &stream) override;

    // 2 bytes: mode byte, duty.
    QByteArray toPayload() const;
};
