#include "Veldrin_I_DriverPWM.h"

#include "BlockPayload.h"

Veldrin_I_DriverPWM::Veldrin_I_DriverPWM()
{
    setValue(Mode, 2);
    setValue(Duty, 50);
    setValue(ModeOption, false);
}

Veldrin_I_DriverPWM::~Veldrin_I_DriverPWM() = default;

void Veldrin_I_DriverPWM::writeTo(QDataStream &stream) const
{
    stream << qint32(1);
    Properties::writeTo(stream);
}

void Veldrin_I_DriverPWM::readFrom(QDataStream &stream)
{
    readBlockVersion(stream, __FILE__, __LINE__);
    Properties::readFrom(stream);
}

QByteArray Veldrin_I_DriverPWM::toPayload() const
{
    QByteArray payload;
    BlockPayload::appendByte(payload,
                             BlockPayload::pwmModeByte(variantToInt(value(Mode)), value(ModeOption).toBool()));
    BlockPayload::appendByte(payload, variantToInt(value(Duty)));
    return payload;
}
