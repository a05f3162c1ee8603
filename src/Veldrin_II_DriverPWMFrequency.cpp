#include "Veldrin_II_DriverPWMFrequency.h"

#include "BlockPayload.h"

Veldrin_II_DriverPWMFrequency::Veldrin_II_DriverPWMFrequency()
{
    setValue(Frequency, 10000);
}

Veldrin_II_DriverPWMFrequency::~Veldrin_II_DriverPWMFrequency() = default;

void Veldrin_II_DriverPWMFrequency::writeTo(QDataStream &stream) const
{
    stream << qint32(1);
    Properties::writeTo(stream);
}

void Veldrin_II_DriverPWMFrequency::readFrom(QDataStream &stream)
{
    readBlockVersion(stream, __FILE__, __LINE__);
    Properties::readFrom(stream);
}

QByteArray Veldrin_II_DriverPWMFrequency::toPayload() const
{
    QByteArray payload;
    BlockPayload::appendLE32(payload, variantToInt(value(Frequency)));
    return payload;
}
