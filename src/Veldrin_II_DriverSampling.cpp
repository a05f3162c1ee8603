#include "Veldrin_II_DriverSampling.h"

#include "BlockPayload.h"

Veldrin_II_DriverSampling::Veldrin_II_DriverSampling()
{
    setValue(Period, 6);
    setValue(Range1, 0);
    setValue(Range2, 0);
    setValue(ChannelFlag1, false);
    setValue(ChannelFlag2, false);
    setValue(SampleCount, 1000);
    setValue(Option6, false);
    setValue(ChannelMask, 0);
    setValue(Option8, false);
    setValue(Option9, 0);
    setValue(Option10, false);
}

Veldrin_II_DriverSampling::~Veldrin_II_DriverSampling() = default;

void Veldrin_II_DriverSampling::writeTo(QDataStream &stream) const
{
    stream << qint32(1);
    Properties::writeTo(stream);
}

void Veldrin_II_DriverSampling::readFrom(QDataStream &stream)
{
    readBlockVersion(stream, __FILE__, __LINE__);
    Properties::readFrom(stream);
}

QByteArray Veldrin_II_DriverSampling::toPayload() const
{
    QByteArray payload;
    BlockPayload::appendByte(payload, variantToInt(value(Period)));
    BlockPayload::appendByte(payload, variantToInt(value(Range1)));
    BlockPayload::appendByte(payload, variantToInt(value(Range2)));
    BlockPayload::appendByte(payload, variantToInt(value(ChannelFlag1)));
    BlockPayload::appendByte(payload, variantToInt(value(ChannelFlag2)));
    BlockPayload::appendLE16(payload, variantToInt(value(SampleCount)));
    BlockPayload::appendLE16(payload, value(Option6).toBool() ? 20000 : 0);
    BlockPayload::appendByte(payload, variantToInt(value(ChannelMask)));
    BlockPayload::appendByte(payload, variantToInt(value(Option8)));
    BlockPayload::appendByte(payload, variantToInt(value(Option9)));
    BlockPayload::appendByte(payload, value(Option10).toBool() ? 1 : 0);
    return payload;
}

double Veldrin_II_DriverSampling::samplePeriod() const
{
    static const double seconds[] = {0.00001, 0.00002, 0.00005, 0.0001, 0.0002, 0.0005,
                                     0.001,   0.002,   0.005,   0.01,   0.02,   0.05,
                                     0.1,     0.2,     0.5,     1.0,    2.0};
    const int code = variantToInt(value(Period));
    if (code < 0 || code >= int(sizeof(seconds) / sizeof(seconds[0])))
        return 0.0;
    return seconds[code];
}
