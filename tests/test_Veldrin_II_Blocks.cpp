#include <gtest/gtest.h>

#include "Veldrin_II_DriverDAC.h"
#include "Veldrin_II_DriverPWM.h"
#include "Veldrin_II_DriverPWMFrequency.h"
#include "Veldrin_II_DriverSampling.h"
#include "Veldrin_II_DriverUserData.h"

#include <QDataStream>
#include <QVector>

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

const double RangeVoltsPerCount[4] = {10.0 / 4096, 2.0 / 4096, 0.4 / 4096, 0.1 / 4096};

// Raw values of the numbered image below: every group field distinct.
quint16 imageValue(int channel, int range, int q, int field)
{
    return quint16(100 * (8 * channel + 2 * range + q) + 10 * field + 7);
}

QByteArray numberedImage()
{
    QByteArray image(150, '\x55');
    image[0] = 0x6B;
    for (int c = 0; c < 2; ++c)
        for (int r = 0; r < 4; ++r)
            for (int q = 0; q < 2; ++q)
                for (int field = 0; field < 4; ++field) {
                    const int at = 1 + 8 * (8 * c + 2 * r + q) + 2 * field;
                    const quint16 value = imageValue(c, r, q, field);
                    image[at] = char(value & 0xFF);
                    image[at + 1] = char(value >> 8);
                }
    return image;
}

} // namespace

TEST(Veldrin_II_DriverPWM, Payload)
{
    Veldrin_II_DriverPWM pwm;
    EXPECT_EQ(pwm.toPayload(), hex("023200"));
    pwm.setValue(Veldrin_II_DriverPWM::Duty, 75);
    pwm.setValue(Veldrin_II_DriverPWM::AuxByte, 0x1ff);
    pwm.setValue(Veldrin_II_DriverPWM::ModeOption, true);
    EXPECT_EQ(pwm.toPayload(), hex("024bff"));
    pwm.setValue(Veldrin_II_DriverPWM::Mode, 4);
    EXPECT_EQ(pwm.toPayload(), hex("054bff"));
}

TEST(Veldrin_II_DriverPWMFrequency, Payload)
{
    Veldrin_II_DriverPWMFrequency frequency;
    EXPECT_EQ(frequency.toPayload(), hex("10270000"));
    frequency.setValue(Veldrin_II_DriverPWMFrequency::Frequency, 200000);
    EXPECT_EQ(frequency.toPayload(), hex("400d0300"));
    frequency.setValue(Veldrin_II_DriverPWMFrequency::Frequency, -1);
    EXPECT_EQ(frequency.toPayload(), hex("ffffffff"));
}

TEST(Veldrin_II_DriverDAC, Payload)
{
    Veldrin_II_DriverDAC dac;
    EXPECT_EQ(dac.toPayload(), hex("02d007e8030000"));

    dac.setValue(Veldrin_II_DriverDAC::Frequency, 20000);
    dac.setValue(Veldrin_II_DriverDAC::Amplitude, -1.0);
    dac.setValue(Veldrin_II_DriverDAC::Offset, -4.095);
    EXPECT_EQ(dac.toPayload(), hex("02409c000001f0"));

    // The two-level form sends the span and the low level, without clamp.
    dac.setValue(Veldrin_II_DriverDAC::Frequency, 1000);
    dac.setValue(Veldrin_II_DriverDAC::Waveform, 3);
    EXPECT_EQ(dac.toPayload(), hex("03d007d00718fc"));
    dac.setValue(Veldrin_II_DriverDAC::LowLevel, 1.0);
    dac.setValue(Veldrin_II_DriverDAC::HighLevel, 0.5);
    EXPECT_EQ(dac.toPayload().mid(3), hex("0cfee803"));
    // Levels set in millivolts give exactly their difference.
    dac.setValue(Veldrin_II_DriverDAC::LowLevel, -0.013);
    dac.setValue(Veldrin_II_DriverDAC::HighLevel, 0.001);
    EXPECT_EQ(dac.toPayload().mid(3), hex("0e00f3ff"));

    // The frequency in half hertz is truncated, not snapped like millivolts:
    // just below 1000 Hz is 1999 half hertz.
    dac.setValue(Veldrin_II_DriverDAC::Frequency, 999.9999999);
    EXPECT_EQ(dac.toPayload().mid(1, 2), hex("cf07"));
}

TEST(Veldrin_II_DriverDAC, DecodeDescribesLevelsFromOffsetAndAmplitude)
{
    const Veldrin_II_DriverDAC dac = Veldrin_II_DriverDAC::fromDeviceData(hex("03d007e80318fc"));
    EXPECT_EQ(dac.keys(), (QList<int>{0, 2, 3, 4, 5, 6}));
    EXPECT_EQ(dac.value(Veldrin_II_DriverDAC::Waveform), QVariant(3));
    EXPECT_EQ(dac.value(Veldrin_II_DriverDAC::Frequency), QVariant(1000.0));
    EXPECT_EQ(dac.value(Veldrin_II_DriverDAC::Amplitude), QVariant(1.0));
    EXPECT_EQ(dac.value(Veldrin_II_DriverDAC::Offset), QVariant(-1.0));
    EXPECT_EQ(dac.value(Veldrin_II_DriverDAC::LowLevel), QVariant(-1.0));
    EXPECT_EQ(dac.value(Veldrin_II_DriverDAC::HighLevel), QVariant(0.0));

    const Veldrin_II_DriverDAC odd = Veldrin_II_DriverDAC::fromDeviceData(hex("00ffff00000000"));
    EXPECT_DOUBLE_EQ(odd.value(Veldrin_II_DriverDAC::Frequency).toDouble(), 32767.5);
#ifdef QT_NO_DEBUG
    const Veldrin_II_DriverDAC wrong = Veldrin_II_DriverDAC::fromDeviceData(hex("03d007"));
    EXPECT_EQ(wrong.toPayload(), Veldrin_II_DriverDAC().toPayload());
#else
    EXPECT_DEATH(Veldrin_II_DriverDAC::fromDeviceData(hex("03d007")), "data.count\\(\\) == 7");
#endif
}

TEST(Veldrin_II_DriverSampling, PayloadAndPeriod)
{
    Veldrin_II_DriverSampling sampling;
    EXPECT_EQ(sampling.toPayload(), hex("0600000000e8030000000000 00"));
    EXPECT_DOUBLE_EQ(sampling.samplePeriod(), 0.001);

    sampling.setValue(Veldrin_II_DriverSampling::Option6, true);
    EXPECT_EQ(sampling.toPayload().mid(7, 2), hex("204e"));

    sampling.setValue(Veldrin_II_DriverSampling::Period, 16);
    sampling.setValue(Veldrin_II_DriverSampling::Range1, 3);
    sampling.setValue(Veldrin_II_DriverSampling::Range2, 1);
    sampling.setValue(Veldrin_II_DriverSampling::ChannelFlag2, true);
    sampling.setValue(Veldrin_II_DriverSampling::SampleCount, 2);
    sampling.setValue(Veldrin_II_DriverSampling::ChannelMask, 3);
    sampling.setValue(Veldrin_II_DriverSampling::Option8, true);
    sampling.setValue(Veldrin_II_DriverSampling::Option9, 0x105);
    sampling.setValue(Veldrin_II_DriverSampling::Option10, QStringLiteral("true"));
    EXPECT_EQ(sampling.toPayload(), hex("10030100010200204e03010501"));
    EXPECT_DOUBLE_EQ(sampling.samplePeriod(), 2.0);

    const double seconds[] = {0.00001, 0.00002, 0.00005, 0.0001, 0.0002, 0.0005};
    for (int code = 0; code < 6; ++code) {
        sampling.setValue(Veldrin_II_DriverSampling::Period, code);
        EXPECT_DOUBLE_EQ(sampling.samplePeriod(), seconds[code]) << code;
    }
    for (int outside : {-1, 17}) {
        sampling.setValue(Veldrin_II_DriverSampling::Period, outside);
        EXPECT_EQ(sampling.samplePeriod(), 0.0) << outside;
    }
}

TEST(Veldrin_II_DriverSampling, EveryPeriodCodeAndOption8AsLowByte)
{
    const double seconds[17] = {0.00001, 0.00002, 0.00005, 0.0001, 0.0002, 0.0005,
                                0.001,   0.002,   0.005,   0.01,   0.02,   0.05,
                                0.1,     0.2,     0.5,     1.0,    2.0};
    Veldrin_II_DriverSampling sampling;
    for (int code = 0; code <= 16; ++code) {
        sampling.setValue(Veldrin_II_DriverSampling::Period, code);
        EXPECT_DOUBLE_EQ(sampling.samplePeriod(), seconds[code]) << code;
    }
    // Byte 10 is the low byte of Option8 read as an int, not a 0/1 flag.
    sampling.setValue(Veldrin_II_DriverSampling::Option8, 0x1A3);
    EXPECT_EQ(sampling.toPayload().mid(10, 1), hex("a3"));
}

TEST(Veldrin_II_Blocks, StreamsCarryABlockVersionExceptUserData)
{
    auto header = [](const auto &block) {
        QByteArray bytes;
        QDataStream out(&bytes, QIODevice::WriteOnly);
        block.writeTo(out);
        QDataStream in(bytes);
        qint32 first = 0, second = 0, third = 0;
        in >> first >> second >> third;
        return QVector<qint32>{first, second, third, qint32(in.atEnd())};
    };
    // Block version 1, template version 1, entry count.
    EXPECT_EQ(header(Veldrin_II_DriverSampling()), (QVector<qint32>{1, 1, 11, 0}));
    EXPECT_EQ(header(Veldrin_II_DriverPWM()), (QVector<qint32>{1, 1, 4, 0}));
    EXPECT_EQ(header(Veldrin_II_DriverPWMFrequency()), (QVector<qint32>{1, 1, 1, 0}));
    EXPECT_EQ(header(Veldrin_II_DriverDAC()), (QVector<qint32>{1, 1, 6, 0}));
    // The calibration block: template version 1 and an empty table, nothing more.
    EXPECT_EQ(header(Veldrin_II_DriverUserData()), (QVector<qint32>{1, 0, 0, 1}));
}

TEST(Veldrin_II_DriverUserData, DefaultCalibrationWithRangeAndPeriodFactors)
{
    const Veldrin_II_DriverUserData userData;
    EXPECT_TRUE(userData.keys().isEmpty());
    EXPECT_EQ(userData.scaleFor(0, 0, 0, false), 0.00244140625);
    EXPECT_EQ(userData.scaleFor(0, 0, 16, false), 0.000152587890625);
    for (int range = 0; range < 4; ++range)
        EXPECT_DOUBLE_EQ(userData.scaleFor(1, range, 3, true), RangeVoltsPerCount[range]);
    const struct { int code; double factor; } periods[] = {
        {0, 1}, {3, 1}, {4, 0.5}, {5, 0.25}, {6, 0.125}, {7, 0.0625}, {200, 0.0625}};
    for (const auto &p : periods) {
        EXPECT_DOUBLE_EQ(userData.scaleFor(0, 2, p.code, false), RangeVoltsPerCount[2] * p.factor)
            << p.code;
    }
    EXPECT_EQ(userData.scaleFor(0, 4, 0, false), 0.0);
    EXPECT_EQ(userData.scaleFor(0, -1, 0, false), 0.0);
    EXPECT_EQ(userData.scaleFor(2, 0, 0, false), 0.0);
    EXPECT_EQ(userData.scaleFor(0, 0, -1, false), 0.0) << "no period class below 0";
    EXPECT_EQ(userData.offsetFor(1, 3, 9, true), 0.0);
}

TEST(Veldrin_II_DriverUserData, DecodesCalibrationImage)
{
    const auto userData = Veldrin_II_DriverUserData::fromDeviceData(numberedImage());
    for (int c = 0; c < 2; ++c) {
        for (int r = 0; r < 4; ++r) {
            for (int q = 0; q < 2; ++q) {
                const int code = q == 0 ? 1 : 3;
                EXPECT_DOUBLE_EQ(userData.offsetFor(c, r, code, true),
                                 imageValue(c, r, q, 0) / 10.0);
                EXPECT_DOUBLE_EQ(userData.offsetFor(c, r, code, false),
                                 imageValue(c, r, q, 1) / 10.0);
                EXPECT_DOUBLE_EQ(userData.scaleFor(c, r, code, true),
                                 imageValue(c, r, q, 2) / 30000.0 * RangeVoltsPerCount[r]);
                EXPECT_DOUBLE_EQ(userData.scaleFor(c, r, code, false),
                                 imageValue(c, r, q, 3) / 30000.0 * RangeVoltsPerCount[r]);
            }
            // Slower codes use class 3 with their oversampling factor.
            EXPECT_DOUBLE_EQ(userData.scaleFor(c, r, 5, false),
                             imageValue(c, r, 1, 3) / 30000.0 * RangeVoltsPerCount[r] / 4);
            EXPECT_DOUBLE_EQ(userData.offsetFor(c, r, 5, false), imageValue(c, r, 1, 1) / 10.0 * 4);
        }
    }

    // The image fills classes 1 and 3 only; the stored tables say so.
    EXPECT_EQ(userData.scaleTable()[0][0].keys(), (QList<int>{1, 3}));
    EXPECT_EQ(userData.offsetTable()[1][3].keys(), (QList<int>{1, 3}));

    QByteArray negative(150, '\xff');
    negative[0] = 0x6B;
    const Veldrin_II_DriverUserData signs = Veldrin_II_DriverUserData::fromDeviceData(negative);
    EXPECT_DOUBLE_EQ(signs.offsetFor(0, 0, 1, true), -0.1);
    EXPECT_DOUBLE_EQ(signs.scaleFor(0, 0, 1, true), 65535 / 30000.0 * RangeVoltsPerCount[0]);
}

TEST(Veldrin_II_DriverUserData, DecodedImageCalibratesPeriodCodesZeroAndTwo)
{
    const auto userData = Veldrin_II_DriverUserData::fromDeviceData(numberedImage());
    for (int c = 0; c < 2; ++c) {
        for (int r = 0; r < 4; ++r) {
            for (bool flag : {false, true}) {
                EXPECT_GT(userData.scaleFor(c, r, 0, flag), 0.0);
                EXPECT_EQ(userData.scaleFor(c, r, 0, flag), userData.scaleFor(c, r, 1, flag));
                EXPECT_EQ(userData.offsetFor(c, r, 0, flag), userData.offsetFor(c, r, 1, flag));
                EXPECT_EQ(userData.scaleFor(c, r, 2, flag), userData.scaleFor(c, r, 3, flag));
                EXPECT_EQ(userData.offsetFor(c, r, 2, flag), userData.offsetFor(c, r, 3, flag));
            }
        }
    }
    // Where a table does hold classes 0 and 2 they are used as they are.
    Veldrin_II_DriverUserData defaults;
    defaults.assign(Veldrin_II_DriverUserData());
    EXPECT_EQ(defaults.scaleFor(0, 0, 2, false), 0.00244140625);
    EXPECT_EQ(userData.scaleFor(0, 0, -1, false), 0.0) << "no class below 0";
}

TEST(Veldrin_II_DriverUserData, MarkerCountAndAssignment)
{
    QByteArray image = numberedImage();
    image[0] = 0x43;
    const Veldrin_II_DriverUserData unmarked = Veldrin_II_DriverUserData::fromDeviceData(image);
    const Veldrin_II_DriverUserData defaults;
    EXPECT_EQ(unmarked.scaleTable(), defaults.scaleTable());
    EXPECT_EQ(unmarked.offsetTable(), defaults.offsetTable());
    EXPECT_EQ(defaults.scaleTable()[1][3][3].size(), 2);

    Veldrin_II_DriverUserData own;
    const auto decoded = Veldrin_II_DriverUserData::fromDeviceData(numberedImage());
    own.assign(decoded);
    EXPECT_EQ(own.scaleTable(), decoded.scaleTable());
    EXPECT_EQ(own.offsetFor(1, 2, 3, true), decoded.offsetFor(1, 2, 3, true));

#ifdef QT_NO_DEBUG
    const Veldrin_II_DriverUserData shortImage =
        Veldrin_II_DriverUserData::fromDeviceData(numberedImage().left(100));
    EXPECT_EQ(shortImage.scaleTable(), defaults.scaleTable());
#else
    EXPECT_DEATH(Veldrin_II_DriverUserData::fromDeviceData(QByteArray(100, 'k')),
                 "data.count\\(\\) == 150");
#endif
}

TEST(Veldrin_II_Blocks, StreamRoundTripKeepsValueTypes)
{
    Veldrin_II_DriverDAC dac;
    dac.setValue(Veldrin_II_DriverDAC::Frequency, 250);
    dac.setValue(Veldrin_II_DriverDAC::Waveform, 3);
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    dac.writeTo(out);

    Veldrin_II_DriverDAC restored;
    QDataStream in(bytes);
    restored.readFrom(in);
    EXPECT_EQ(restored.value(Veldrin_II_DriverDAC::Frequency).userType(), QMetaType::Int);
    EXPECT_EQ(restored.value(Veldrin_II_DriverDAC::Amplitude).userType(), QMetaType::Double);
    EXPECT_EQ(restored.toPayload(), dac.toPayload());

    Veldrin_II_DriverPWMFrequency frequency;
    frequency.setValue(Veldrin_II_DriverPWMFrequency::Frequency, 1);
    QByteArray frequencyBytes;
    QDataStream frequencyOut(&frequencyBytes, QIODevice::WriteOnly);
    frequency.writeTo(frequencyOut);
    Veldrin_II_DriverPWMFrequency frequencyRestored;
    QDataStream frequencyIn(frequencyBytes);
    frequencyRestored.readFrom(frequencyIn);
    EXPECT_EQ(frequencyRestored.toPayload(), hex("01000000"));
}
