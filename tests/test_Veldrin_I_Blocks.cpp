#include <gtest/gtest.h>

#include "Veldrin_I_DriverDAC.h"
#include "Veldrin_I_DriverPWM.h"
#include "Veldrin_I_DriverSampling.h"
#include "Veldrin_I_DriverUserData.h"

#include <QDataStream>

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

// A calibration image whose every 16-bit field holds a value telling where it is.
QByteArray numberedImage()
{
    QByteArray image(100, '\0');
    image[0] = 0x43;
    for (int i = 1; i + 1 < 81; i += 2) {
        const int value = 1000 + i;
        image[i] = char(value & 0xFF);
        image[i + 1] = char(value >> 8);
    }
    return image;
}

} // namespace

TEST(Veldrin_I_DriverPWM, Payload)
{
    Veldrin_I_DriverPWM pwm;
    EXPECT_EQ(pwm.toPayload(), hex("0232"));
    EXPECT_EQ(pwm.keys(), (QList<int>{0, 2, 3}));

    pwm.setValue(Veldrin_I_DriverPWM::Duty, 100);
    pwm.setValue(Veldrin_I_DriverPWM::ModeOption, true);
    EXPECT_EQ(pwm.toPayload(), hex("0264")) << "the option needs bit 2 of the mode";
    pwm.setValue(Veldrin_I_DriverPWM::Mode, 0x106);
    EXPECT_EQ(pwm.toPayload(), hex("0764"));
    pwm.setValue(Veldrin_I_DriverPWM::ModeOption, false);
    EXPECT_EQ(pwm.toPayload(), hex("0664"));
}

TEST(Veldrin_I_DriverDAC, PayloadAndClamps)
{
    Veldrin_I_DriverDAC dac;
    EXPECT_EQ(dac.toPayload(), hex("02e803e8030000"));
    EXPECT_EQ(dac.value(Veldrin_I_DriverDAC::Frequency).userType(), QMetaType::Double);

    dac.setValue(Veldrin_I_DriverDAC::Frequency, 5000);
    dac.setValue(Veldrin_I_DriverDAC::Amplitude, -2.5);
    dac.setValue(Veldrin_I_DriverDAC::Offset, -2.5);
    EXPECT_EQ(dac.toPayload(), hex("02881300003cf6"));

    // Millivolts stored as volts come back as the same millivolts.
    for (int mv = -5000; mv <= 5000; ++mv) {
        dac.setValue(Veldrin_I_DriverDAC::Amplitude, mv / 1000.0);
        dac.setValue(Veldrin_I_DriverDAC::Offset, mv / 1000.0);
        const QByteArray payload = dac.toPayload();
        const qint16 offset = qint16(quint8(payload[5]) | (quint8(payload[6]) << 8));
        const int amplitude = quint8(payload[3]) | (quint8(payload[4]) << 8);
        ASSERT_EQ(offset, mv);
        ASSERT_EQ(amplitude, mv < 0 ? 0 : mv);
    }
    // Fractions of a millivolt are truncated toward zero.
    dac.setValue(Veldrin_I_DriverDAC::Offset, -0.0019);
    EXPECT_EQ(dac.toPayload().mid(5), hex("ffff"));

    // Absent keys encode as 0.
    QByteArray emptyTable;
    QDataStream(&emptyTable, QIODevice::WriteOnly) << qint32(1) << qint32(1) << qint32(0);
    QDataStream in(emptyTable);
    dac.readFrom(in);
    EXPECT_TRUE(dac.keys().isEmpty());
    EXPECT_EQ(dac.toPayload(), hex("00000000000000"));
}

TEST(Veldrin_I_DriverDAC, DecodesInstrumentSettings)
{
    const Veldrin_I_DriverDAC dac = Veldrin_I_DriverDAC::fromDeviceData(hex("02e803e8033cf6"));
    EXPECT_EQ(dac.keys(), (QList<int>{0, 2, 3, 4}));
    EXPECT_EQ(dac.value(Veldrin_I_DriverDAC::Waveform), QVariant(2));
    EXPECT_EQ(dac.value(Veldrin_I_DriverDAC::Frequency), QVariant(1000));
    // Variants compare across number types; the stored type is an int.
    EXPECT_EQ(dac.value(Veldrin_I_DriverDAC::Frequency).userType(), QMetaType::Int);
    EXPECT_EQ(dac.value(Veldrin_I_DriverDAC::Amplitude), QVariant(1.0));
    EXPECT_EQ(dac.value(Veldrin_I_DriverDAC::Offset), QVariant(-2.5));
    EXPECT_EQ(dac.toPayload(), hex("02e803e8033cf6"));

    const Veldrin_I_DriverDAC high = Veldrin_I_DriverDAC::fromDeviceData(hex("ffffffffff ff7f"));
    EXPECT_EQ(high.value(Veldrin_I_DriverDAC::Frequency).toInt(), 65535);
    EXPECT_DOUBLE_EQ(high.value(Veldrin_I_DriverDAC::Amplitude).toDouble(), 65.535);
    EXPECT_DOUBLE_EQ(high.value(Veldrin_I_DriverDAC::Offset).toDouble(), 32.767);
}

TEST(Veldrin_I_DriverDAC, WrongByteCount)
{
#ifdef QT_NO_DEBUG
    for (int size : {0, 6, 8, 100}) {
        const auto dac = Veldrin_I_DriverDAC::fromDeviceData(QByteArray(size, '\x7f'));
        EXPECT_EQ(dac.toPayload(), Veldrin_I_DriverDAC().toPayload()) << size;
    }
#else
    EXPECT_DEATH(Veldrin_I_DriverDAC::fromDeviceData(QByteArray(6, '\0')), "data.count\\(\\) == 7");
#endif
}

TEST(Veldrin_I_DriverSampling, PayloadAndPeriod)
{
    Veldrin_I_DriverSampling sampling;
    EXPECT_EQ(sampling.toPayload(), hex("0300e80300000100"));
    EXPECT_DOUBLE_EQ(sampling.samplePeriod(), 0.005);

    sampling.setValue(Veldrin_I_DriverSampling::ChannelMask, 3);
    sampling.setValue(Veldrin_I_DriverSampling::Period, 11);
    sampling.setValue(Veldrin_I_DriverSampling::SampleCount, 50000);
    sampling.setValue(Veldrin_I_DriverSampling::Range, 1);
    EXPECT_EQ(sampling.toPayload(), hex("0b0150c303000100"));
    EXPECT_DOUBLE_EQ(sampling.samplePeriod(), 2.0);

    const double seconds[12] = {0.0005, 0.001, 0.002, 0.005, 0.01, 0.02,
                                0.05,   0.1,   0.2,   0.5,   1.0,  2.0};
    for (int code = 0; code < 12; ++code) {
        sampling.setValue(Veldrin_I_DriverSampling::Period, code);
        EXPECT_DOUBLE_EQ(sampling.samplePeriod(), seconds[code]) << code;
    }
    for (int outside : {-1, 12, 16}) {
        sampling.setValue(Veldrin_I_DriverSampling::Period, outside);
        EXPECT_EQ(sampling.samplePeriod(), 0.0) << outside;
    }

    // Bytes 5 to 7 are the low bytes of the three option keys.
    sampling.setValue(Veldrin_I_DriverSampling::Option4, 0x1C5);
    sampling.setValue(Veldrin_I_DriverSampling::Option5, 0x2D6);
    sampling.setValue(Veldrin_I_DriverSampling::Option6, 0x3E7);
    EXPECT_EQ(sampling.toPayload().mid(5), hex("c5d6e7"));
}

TEST(Veldrin_I_DriverUserData, DefaultCalibration)
{
    const Veldrin_I_DriverUserData userData;
    EXPECT_TRUE(userData.keys().isEmpty());
    EXPECT_DOUBLE_EQ(userData.scaleFor(0, 0, 3), 0.004882);
    EXPECT_DOUBLE_EQ(userData.scaleFor(1, 1, 0), 0.00061);
    EXPECT_DOUBLE_EQ(userData.scaleFor(0, 0, 9), 0.004882) << "class 4 serves every code above 4";
    EXPECT_EQ(userData.scaleFor(0, 2, 0), 0.0);
    EXPECT_EQ(userData.scaleFor(2, 0, 0), 0.0);
    EXPECT_EQ(userData.scaleFor(0, 0, -1), 0.0);
    EXPECT_EQ(userData.offsetFor(1, 1, 4), 0.0);
}

TEST(Veldrin_I_DriverUserData, DecodesCalibrationImage)
{
    const QByteArray image = numberedImage();
    const Veldrin_I_DriverUserData userData = Veldrin_I_DriverUserData::fromDeviceData(image);
    for (int c = 0; c < 2; ++c) {
        for (int r = 0; r < 2; ++r) {
            for (int i = 0; i < 5; ++i) {
                const int position = 8 * i + 4 * c + 2 * r;
                EXPECT_DOUBLE_EQ(userData.offsetFor(c, r, i), (1000 + 1 + position) / 10.0);
                EXPECT_DOUBLE_EQ(userData.scaleFor(c, r, i), (1000 + 41 + position) / 1e6);
            }
        }
    }
    EXPECT_DOUBLE_EQ(userData.scaleFor(1, 1, 16), userData.scaleFor(1, 1, 4));

    // Offsets are signed, scales unsigned.
    QByteArray signs(100, '\xff');
    signs[0] = 0x43;
    const Veldrin_I_DriverUserData negative = Veldrin_I_DriverUserData::fromDeviceData(signs);
    EXPECT_DOUBLE_EQ(negative.offsetFor(0, 0, 0), -0.1);
    EXPECT_DOUBLE_EQ(negative.scaleFor(0, 0, 0), 0.065535);
}

TEST(Veldrin_I_DriverUserData, ImageWithoutMarkerGivesDefaults)
{
    QByteArray image = numberedImage();
    image[0] = 'c';
    const Veldrin_I_DriverUserData userData = Veldrin_I_DriverUserData::fromDeviceData(image);
    const Veldrin_I_DriverUserData defaults;
    EXPECT_EQ(userData.offsetTable(), defaults.offsetTable());
    EXPECT_EQ(userData.scaleTable(), defaults.scaleTable());
#ifdef QT_NO_DEBUG
    const Veldrin_I_DriverUserData shortImage =
        Veldrin_I_DriverUserData::fromDeviceData(numberedImage().left(99));
    EXPECT_EQ(shortImage.scaleTable(), defaults.scaleTable());
#else
    EXPECT_DEATH(Veldrin_I_DriverUserData::fromDeviceData(QByteArray(99, 'C')),
                 "data.count\\(\\) == 100");
#endif
}

TEST(Veldrin_I_DriverUserData, AssignTakesOverTheTables)
{
    Veldrin_I_DriverUserData own;
    const auto decoded = Veldrin_I_DriverUserData::fromDeviceData(numberedImage());
    own.assign(decoded);
    EXPECT_EQ(own.scaleTable(), decoded.scaleTable());
    EXPECT_EQ(own.offsetTable(), decoded.offsetTable());

    Veldrin_I_DriverUserData viaOperator;
    viaOperator = decoded;
    EXPECT_DOUBLE_EQ(viaOperator.scaleFor(1, 0, 2), decoded.scaleFor(1, 0, 2));
}

TEST(Veldrin_I_Blocks, StreamRoundTrip)
{
    Veldrin_I_DriverSampling sampling;
    sampling.setValue(Veldrin_I_DriverSampling::Period, 9);
    sampling.setValue(Veldrin_I_DriverSampling::ChannelMask, 2);
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    sampling.writeTo(out);

    Veldrin_I_DriverSampling restored;
    restored.setValue(Veldrin_I_DriverSampling::Option5, 0);
    QDataStream in(bytes);
    restored.readFrom(in);
    EXPECT_EQ(in.status(), QDataStream::Ok);
    EXPECT_EQ(restored.toPayload(), sampling.toPayload());

    Veldrin_I_DriverPWM pwm;
    pwm.setValue(Veldrin_I_DriverPWM::Duty, 17);
    QByteArray pwmBytes;
    QDataStream pwmOut(&pwmBytes, QIODevice::WriteOnly);
    pwm.writeTo(pwmOut);
    Veldrin_I_DriverPWM pwmRestored;
    QDataStream pwmIn(pwmBytes);
    pwmRestored.readFrom(pwmIn);
    EXPECT_EQ(pwmRestored.toPayload(), hex("0211"));
}
