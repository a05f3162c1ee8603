#pragma once

#include <Properties>

// The calibration block stores no keys; its data are the two tables below.
class Veldrin_I_DriverUserDataTraits
{
};

// The calibration data stored in a generation I instrument: per channel
// (0, 1), input range (0, 1) and period class (0 to 4, the period code capped
// at 4) an offset in tenths of an ADC count and a scale in millionths of a
// volt per count. The value table stays empty and the tables are not part of
// the streamed form.
class Veldrin_I_DriverUserData : public Veldrin_I_DriverUserDataTraits,
                                 public Properties<Veldrin_I_DriverUserDataTraits>
{
public:
    // channel -> range -> period class -> raw 16-bit value
    using OffsetTable = QMap<int, QMap<int, QMap<int, qint16>>>;
    using ScaleTable = QMap<int, QMap<int, QMap<int, quint16>>>;

    static constexpr int PeriodClassCount = 5;

    // Every offset 0; every scale 4882 on range 0 and 610 on range 1.
    Veldrin_I_DriverUserData();
    Veldrin_I_DriverUserData(const Veldrin_I_DriverUserData &other) = default;
    Veldrin_I_DriverUserData &operator=(const Veldrin_I_DriverUserData &other);
    ~Veldrin_I_DriverUserData() override;

    // Decodes the 100-byte calibration image. Byte 0 must be 'C' (0x43);
    // otherwise the instrument holds no calibration and the defaults apply.
    // The offset of channel c, range r, class i is the 16-bit value at byte
    // 1 + 8i + 4c + 2r, its scale the one at byte 41 + 8i + 4c + 2r. Any other
    // byte count is a caller error (asserted); without assertions it gives the
    // defaults and reads nothing.
    static Veldrin_I_DriverUserData fromDeviceData(const QByteArray &data);

    // True when the values were decoded from a marked image; false for the
    // defaults (no image read yet, or an image without the marker: missing or
    // erased).
    bool isStored() const { return m_stored; }

    // The template's assignment, then shared copies of both tables.
    void assign(const Veldrin_I_DriverUserData &other);

    static int periodClass(int periodCode) { return periodCode < 4 ? periodCode : 4; }

    // Offset in ADC counts (the stored tenths divided by 10). An index that is
    // not stored gives 0.
    double offsetFor(int channel, int range, int periodCode) const;
    // Volts per ADC count (the stored millionths divided by 1 000 000). An
    // index that is not stored, such as a range other than 0 or 1, gives 0.
    double scaleFor(int channel, int range, int periodCode) const;

    const OffsetTable &offsetTable() const { return m_offsetTable; }
    const ScaleTable &scaleTable() const { return m_scaleTable; }

private:
    OffsetTable m_offsetTable;
    ScaleTable m_scaleTable;
    bool m_stored = false;
};
