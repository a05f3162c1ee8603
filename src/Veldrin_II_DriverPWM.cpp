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
    int mode = variantToInt(value(Mode)) & 0xFF;
    if ((mode & 0x04) && value(ModeOption).toBool())
        mode |= 0x01;
    QByteArray payload;
    BlockPayload::appendByte(payload, mode);
    BlockPayload::appendByte(payload, variantToInt(value(Duty)));
    BlockPayload::appendByte(payload, variantToInt(value(AuxByte)));
    return payload;
}
