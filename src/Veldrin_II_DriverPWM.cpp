#include "Veldrin_II_DriverPWM.h"

#include "BlockPayload.h"

Veldrin_II_DriverPWM::Veldrin_II_DriverPWM()
{
    setValue(Mode, 2);
    setValue(Duty, 50);
    setValue(ModeOption, false);
    setValue(AuxByte, 0);
}

Veldrin_II_DriverPWM::~Veldrin_II_DriverPWM() = default;

void Veldrin_II_DriverPWM::writeTo(QDataStream &stream) const
{
    stream << qint32(1);
    Properties::writeTo(stream);
}

void Veldrin_II_DriverPWM::readFrom(QDataStream &stream)
{
    readBlockVersion(stream, __FILE__, __LINE__);
    Properties::readFrom(stream);
}

QByteArray Veldrin_II_DriverPWM::toPayload() const
{
    QByteArray payload;
    BlockPayload::appendByte(payload,
                             BlockPayload::pwmModeByte(variantToInt(value(Mode)), value(ModeOption).toBool()));
    BlockPayload::appendByte(payload, variantToInt(value(Duty)));
    BlockPayload::appendByte(payload, variantToInt(value(AuxByte)));
    return payload;
}
