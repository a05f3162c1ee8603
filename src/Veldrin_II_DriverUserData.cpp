#include "Veldrin_II_DriverUserData.h"

#include "BlockPayload.h"

namespace {

const char CalibrationMarker = 0x6B;
const int ImageSize = 150;
const quint16 NominalScale = 30000;

// The instrument sums this many samples at the slower period codes.
int oversampling(int periodCode)
{
    switch (periodCode) {
    case 0:
    case 1:
    case 2:
    case 3:
        return 1;
    case 4:
        return 2;
    case 5:
        return 4;
    case 6:
        return 8;
    default:
        return 16;
    }
}

template <typename Value>
Value lookup(const QMap<int, QMap<int, QMap<int, QMap<bool, Value>>>> &table, int channel,
             int range, int periodClass, bool flag)
{
    const auto byChannel = table.constFind(channel);
    if (byChannel == table.constEnd())
        return 0;
    const auto byRange = byChannel->constFind(range);
    if (byRange == byChannel->constEnd())
        return 0;
    auto byClass = byRange->constFind(periodClass);
    // An instrument's image carries classes 1 and 3 only; the faster class
    // below each uses its neighbour's calibration rather than none.
    if (byClass == byRange->constEnd() && (periodClass == 0 || periodClass == 2))
        byClass = byRange->constFind(periodClass + 1);
    if (byClass == byRange->constEnd())
        return 0;
    return byClass->value(flag, 0);
}

} // namespace

Veldrin_II_DriverUserData::Veldrin_II_DriverUserData()
{
    for (int channel = 0; channel < 2; ++channel) {
        for (int range = 0; range < RangeCount; ++range) {
            for (int periodClass = 0; periodClass < PeriodClassCount; ++periodClass) {
                for (bool flag : {false, true}) {
                    m_offsetTable[channel][range][periodClass][flag] = 0;
                    m_scaleTable[channel][range][periodClass][flag] = NominalScale;
                }
            }
        }
    }
}

Veldrin_II_DriverUserData &
Veldrin_II_DriverUserData::operator=(const Veldrin_II_DriverUserData &other)
{
    assign(other);
    return *this;
}

Veldrin_II_DriverUserData::~Veldrin_II_DriverUserData() = default;

Veldrin_II_DriverUserData Veldrin_II_DriverUserData::fromDeviceData(const QByteArray &data)
{
    Q_ASSERT(data.count() == 150);
    Veldrin_II_DriverUserData block;
    if (data.count() != ImageSize || data.at(0) != CalibrationMarker)
        return block;
    block.m_stored = true;
    block.m_offsetTable.clear();
    block.m_scaleTable.clear();
    for (int channel = 0; channel < 2; ++channel) {
        for (int range = 0; range < RangeCount; ++range) {
            for (int q = 0; q < 2; ++q) {
                const int periodClass = q == 0 ? 1 : 3;
                const int start = 1 + 8 * (8 * channel + 2 * range + q);
                block.m_offsetTable[channel][range][periodClass][true] =
                    BlockPayload::readSignedLE16(data, start);
                block.m_offsetTable[channel][range][periodClass][false] =
                    BlockPayload::readSignedLE16(data, start + 2);
                block.m_scaleTable[channel][range][periodClass][true] =
                    BlockPayload::readLE16(data, start + 4);
                block.m_scaleTable[channel][range][periodClass][false] =
                    BlockPayload::readLE16(data, start + 6);
            }
        }
    }
    return block;
}

void Veldrin_II_DriverUserData::assign(const Veldrin_II_DriverUserData &other)
{
    Properties::assign(other);
    m_offsetTable = other.m_offsetTable;
    m_scaleTable = other.m_scaleTable;
    m_stored = other.m_stored;
}

double Veldrin_II_DriverUserData::offsetFor(int channel, int range, int periodCode, bool flag) const
{
    const qint16 raw = lookup(m_offsetTable, channel, range, periodClass(periodCode), flag);
    return raw / 10.0 * oversampling(periodCode);
}

double Veldrin_II_DriverUserData::scaleFor(int channel, int range, int periodCode, bool flag) const
{
    // Volts per count of each range: 10, 2, 0.4 and 0.1 V over 4096 counts.
    static const double rangeFactor[RangeCount] = {0.00244140625, 0.00048828125, 0.00009765625,
                                                   0.0000244140625};
    if (range < 0 || range >= RangeCount)
        return 0.0;
    const quint16 raw = lookup(m_scaleTable, channel, range, periodClass(periodCode), flag);
    return raw / 30000.0 * rangeFactor[range] / oversampling(periodCode);
}
