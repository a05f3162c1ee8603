#pragma once

#include <Properties>

class Veldrin_I_DriverSamplingTraits
{
public:
    // All keys hold ints.
    enum Key {
        Period = 0,      // sample-period code, see samplePeriod()
        Range = 1,       // input range code 0 or 1, selects the calibration
        SampleCount = 2, // samples per enabled channel
        ChannelMask = 3, // bit 0 channel 1, bit 1 channel 2
        Option4 = 4,     // sent unchanged
        Option5 = 5,     // sent unchanged
        Option6 = 6      // sent unchanged
    };
};

// The ADC acquisition of a generation I instrument. Defaults: Period 3,
// Range 0, SampleCount 1000, ChannelMask 0, Option4 0, Option5 1, Option6 0.
class Veldrin_I_DriverSampling : public Veldrin_I_DriverSamplingTraits,
                                 public Properties<Veldrin_I_DriverSamplingTraits>
{
public:
    Veldrin_I_DriverSampling();
    ~Veldrin_I_DriverSampling() override;

    // Block version 1 in front of the template's form.
    void writeTo(QDataStream &stream) const override;
    void readFrom(QDataStream &stream) override;

    // 8 bytes: period, range, sample count (16 bits), channel mask, options 4 to 6.
    QByteArray toPayload() const;

    // Seconds between two samples for the stored Period code: codes 0 to 11
    // run 0.5 ms, 1, 2, 5, 10, 20, 50, 100, 200, 500 ms, 1 s, 2 s. A code
    // outside 0 to 11 has no period and gives 0.
    double samplePeriod() const;
};
