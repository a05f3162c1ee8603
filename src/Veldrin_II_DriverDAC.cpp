#include "Veldrin_II_DriverDAC.h"

#include "BlockPayload.h"

Veldrin_II_DriverDAC::Veldrin_II_DriverDAC()
{
    setValue(Waveform, 2);
    setValue(Frequency, 1000.0);
    setValue(Amplitude, 1.0);
    setValue(Offset, 0.0);
    setValue(LowLevel, -1.0);
    setValue(HighLevel, 1.0);
}

Veldrin_II_DriverDAC::~Veldrin_II_DriverDAC() = default;

Veldrin_II_DriverDAC Veldrin_II_DriverDAC::fromDeviceData(const QByteArray &data)
{
    Q_ASSERT(data.count() == 7);
    Veldrin_II_DriverDAC block;
    if (data.count() != 7)
        return block;
    block.setValue(Waveform, int(BlockPayload::byteAt(data, 0)));
    block.setValue(Frequency, BlockPayload::readLE16(data, 1) * 0.5);
    block.setValue(Amplitude, BlockPayload::readLE16(data, 3) / 1000.0);
    block.setValue(Offset, BlockPayload::readSignedLE16(data, 5) / 1000.0);
    const double offset = variantToDouble(block.value(Offset));
    block.setValue(LowLevel, offset);
    block.setValue(HighLevel, variantToDouble(block.value(Amplitude)) + offset);
    return block;
}

void Veldrin_II_DriverDAC::writeTo(QDataStream &stream) const
{
    stream << qint32(1);
    Properties::writeTo(stream);
}

void Veldrin_II_DriverDAC::readFrom(QDataStream &stream)
{
    readBlockVersion(stream, __FILE__, __LINE__);
    Properties::readFrom(stream);
}

QByteArray Veldrin_II_DriverDAC::toPayload() const
{
    int span;
    int base;
    if (variantToInt(value(Waveform)) == 3) {
        const double low = variantToDouble(value(LowLevel));
        span = BlockPayload::truncateScaled((variantToDouble(value(HighLevel)) - low) * 1000.0);
        base = BlockPayload::truncateScaled(low * 1000.0);
    } else {
        double amplitude = variantToDouble(value(Amplitude)) * 1000.0;
        if (amplitude < 0.0)
            amplitude = 0.0;
        span = BlockPayload::truncateScaled(amplitude);
        base = BlockPayload::truncateScaled(variantToDouble(value(Offset)) * 1000.0);
    }
    QByteArray payload;
    BlockPayload::appendByte(payload, variantToInt(value(Waveform)));
    // Half hertz, truncated: the frequency is not a millivolt figure, so it
    // does not get the millivolt fields' snap to a nearby integer.
    const double halfHertz = variantToDouble(value(Frequency)) * 2.0;
    BlockPayload::appendLE16(payload, truncateToInt(halfHertz));
    BlockPayload::appendLE16(payload, span);
    BlockPayload::appendLE16(payload, base);
    return payload;
}
