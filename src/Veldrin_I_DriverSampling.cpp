#include "Veldrin_I_DriverSampling.h"

#include "BlockPayload.h"

Veldrin_I_DriverSampling::Veldrin_I_DriverSampling()
{
    setValue(Period, 3);
    setValue(Range, 0);
    setValue(SampleCount, 1000);
    setValue(ChannelMask, 0);
    setValue(Option4, 0);
    setValue(Option5, 1);
    setValue(Option6, 0);
}

Veldrin_I_DriverSampling::~Veldrin_I_DriverSampling() = default;

void Veldrin_I_DriverSampling::writeTo(QDataStream &stream) const
{
    stream << qint32(1);
    Properties::writeTo(stream);
}

void Veldrin_I_DriverSampling::readFrom(QDataStream &stream)
{
    readBlockVersion(stream, __FILE__, __LINE__);
    Properties::readFrom(stream);
}

QByteArray Veldrin_I_DriverSampling::toPayload() const
{
    QByteArray payload;
    BlockPayload::appendByte(payload, variantToInt(value(Period)));
    BlockPayload::appendByte(payload, variantToInt(value(Range)));
    BlockPayload::appendLE16(payload, variantToInt(value(SampleCount)));
    BlockPayload::appendByte(payload, variantToInt(value(ChannelMask)));
    BlockPayload::appendByte(payload, variantToInt(value(Option4)));
    BlockPayload::appendByte(payload, variantToInt(value(Option5)));
    BlockPayload::appendByte(payload, variantToInt(value(Option6)));
    return payload;
}

double Veldrin_I_DriverSampling::samplePeriod() const
{
    static const double seconds[] = {0.0005, 0.001, 0.002, 0.005, 0.01, 0.02,
                                     0.05,   0.1,   0.2,   0.5,   1.0,  2.0};
    const int code = variantToInt(value(Period));
    if (code < 0 || code >= int(sizeof(seconds) / sizeof(seconds[0])))
        return 0.0;
    return seconds[code];
}
