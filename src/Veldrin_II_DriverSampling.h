#pragma once

#include <Properties>

class Veldrin_II_DriverSamplingTraits
{
public:
    enum Key {
        Period = 0,       // int, sample-period code 0 to 16, see samplePeriod()
        Range1 = 1,       // int, input range code of channel 1, 0 to 3
        Range2 = 2,       // int, input range code of channel 2, 0 to 3
        ChannelFlag1 = 3, // bool, selects one of two calibration sets for channel 1
        ChannelFlag2 = 4, // bool, the same for channel 2
        SampleCount = 5,  // int, samples per enabled channel
        Option6 = 6,      // bool, sent as 20000 or 0
        ChannelMask = 7,  // int, bit 0 channel 1, bit 1 channel 2
        Option8 = 8,      // bool, sent as 0 or 1
        Option9 = 9,      // int, sent unchanged
        Option10 = 10     // bool, sent as 0 or 1
    };
};

// The ADC acquisition of a generation II instrument. Defaults: Period 6,
// SampleCount 1000, the other ints 0 and the bools false.
class Veldrin_II_DriverSampling : public Veldrin_II_DriverSamplingTraits,
                                  public Properties<Veldrin_II_DriverSamplingTraits>
{
public:
    Veldrin_II_DriverSampling();
    ~Veldrin_II_DriverSampling() override;

    // Block version 1 in front of the template's form.
    void writeTo(QDataStream &stream) const override;
    void readFrom(QDataStream &stream) override;

    // 13 bytes: period, range 1, range 2, flag 1, flag 2, sample count (16 bits),
    // 20000 or 0 for Option6 (16 bits), channel mask, Option8, Option9, Option10.
    QByteArray toPayload() const;

    // Seconds between two samples for the stored Period code: codes 0 to 16
    // run 10, 20, 50, 100, 200, 500 us, 1, 2, 5, 10, 20, 50, 100, 200, 500 ms,
    // 1 s, 2 s. A code outside 0 to 16 has no period and gives 0.
    double samplePeriod() const;
};
