#include "Veldrin_I_DriverDAC.h"

#include "BlockPayload.h"

Veldrin_I_DriverDAC::Veldrin_I_DriverDAC()
{
    setValue(Waveform, 2);
    setValue(Frequency, 1000.0);
    setValue(Amplitude, 1.0);
    setValue(Offset, 0.0);
}

Veldrin_I_DriverDAC::~Veldrin_I_DriverDAC() = default;

Veldrin_I_DriverDAC Veldrin_I_DriverDAC::fromDeviceData(const QByteArray &data)
{
    Q_ASSERT(data.count() == 7);
    Veldrin_I_DriverDAC block;
    if (data.count() != 7)
        return block;
    block.setValue(Waveform, int(BlockPayload::byteAt(data, 0)));
    block.setValue(Frequency, int(BlockPayload::readLE16(data, 1)));
    block.setValue(Amplitude, BlockPayload::readLE16(data, 3) / 1000.0);
    block.setValue(Offset, BlockPayload::readSignedLE16(data, 5) / 1000.0);
    return block;
}

void Veldrin_I_DriverDAC::writeTo(QDataStream &stream) const
{
    stream << qint32(1);
    Properties::writeTo(stream);
}

void Veldrin_I_DriverDAC::readFrom(QDataStream &stream)
{
    readBlockVersion(stream, __FILE__, __LINE__);
    Properties::readFrom(stream);
}

QByteArray Veldrin_I_DriverDAC::toPayload() const
{
    double amplitude = variantToDouble(value(Amplitude)) * 1000.0;
    if (amplitude < 0.0)
        amplitude = 0.0;
    QByteArray payload;
    BlockPayload::appendByte(payload, variantToInt(value(Waveform)));
    BlockPayload::appendLE16(payload, variantToInt(value(Frequency)));
    const double offset = variantToDouble(value(Offset)) * 1000.0;
    BlockPayload::appendLE16(payload, BlockPayload::truncateScaled(amplitude));
    BlockPayload::appendLE16(payload, BlockPayload::truncateScaled(offset));
    return payload;
}
