#include "Veldrin_I_DriverUserData.h"

#include "BlockPayload.h"

namespace {

const char CalibrationMarker = 0x43;
const int ImageSize = 100;
const int OffsetStart = 1;
const int ScaleStart = 41;

template <typename Value>
Value lookup(const QMap<int, QMap<int, QMap<int, Value>>> &table, int channel, int range,
             int periodClass)
{
    const auto byChannel = table.constFind(channel);
    if (byChannel == table.constEnd())
        return 0;
    const auto byRange = byChannel->constFind(range);
    if (byRange == byChannel->constEnd())
        return 0;
    return byRange->value(periodClass, 0);
}

} // namespace

Veldrin_I_DriverUserData::Veldrin_I_DriverUserData()
{
    for (int channel = 0; channel < 2; ++channel) {
        for (int range = 0; range < 2; ++range) {
            for (int periodClass = 0; periodClass < PeriodClassCount; ++periodClass) {
                m_offsetTable[channel][range][periodClass] = 0;
                m_scaleTable[channel][range][periodClass] = range == 0 ? 4882 : 610;
            }
        }
    }
}

Veldrin_I_DriverUserData &Veldrin_I_DriverUserData::operator=(const Veldrin_I_DriverUserData &other)
{
    assign(other);
    return *this;
}

Veldrin_I_DriverUserData::~Veldrin_I_DriverUserData() = default;

Veldrin_I_DriverUserData Veldrin_I_DriverUserData::fromDeviceData(const QByteArray &data)
{
    Q_ASSERT(data.count() == 100);
    Veldrin_I_DriverUserData block;
    if (data.count() != ImageSize || data.at(0) != CalibrationMarker)
        return block;
    block.m_stored = true;
    for (int periodClass = 0; periodClass < PeriodClassCount; ++periodClass) {
        for (int channel = 0; channel < 2; ++channel) {
            for (int range = 0; range < 2; ++range) {
                const int position = 8 * periodClass + 4 * channel + 2 * range;
                block.m_offsetTable[channel][range][periodClass] =
                    BlockPayload::readSignedLE16(data, OffsetStart + position);
                block.m_scaleTable[channel][range][periodClass] =
                    BlockPayload::readLE16(data, ScaleStart + position);
            }
        }
    }
    return block;
}

void Veldrin_I_DriverUserData::assign(const Veldrin_I_DriverUserData &other)
{
    Properties::assign(other);
    m_offsetTable = other.m_offsetTable;
    m_scaleTable = other.m_scaleTable;
    m_stored = other.m_stored;
}

double Veldrin_I_DriverUserData::offsetFor(int channel, int range, int periodCode) const
{
    return lookup(m_offsetTable, channel, range, periodClass(periodCode)) / 10.0;
}

double Veldrin_I_DriverUserData::scaleFor(int channel, int range, int periodCode) const
{
    return lookup(m_scaleTable, channel, range, periodClass(periodCode)) / 1000000.0;
}
