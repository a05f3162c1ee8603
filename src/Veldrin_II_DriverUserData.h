#pragma once

#include <Properties>

// The calibration block stores no keys; its data are the two tables below.
class Veldrin_II_DriverUserDataTraits
{
};

// The calibration data stored in a generation II instrument: per channel
// (0, 1), input range (0 to 3), period class (0 to 3, the period code capped
// at 3) and channel flag an offset in tenths of an ADC count and a raw scale
// (30000 stands for the nominal scale of the range). The value table stays
// empty and the tables are not part of the streamed form.
class Veldrin_II_DriverUserData : public Veldrin_II_DriverUserDataTraits,
                                  public Properties<Veldrin_II_DriverUserDataTraits>
{
public:
    // channel -> range -> period class -> flag -> raw 16-bit value
    using OffsetTable = QMap<int, QMap<int, QMap<int, QMap<bool, qint16>>>>;
    using ScaleTable = QMap<int, QMap<int, QMap<int, QMap<bool, quint16>>>>;

    static constexpr int RangeCount = 4;
    static constexpr int PeriodClassCount = 4;

    // Every offset 0 and every scale 30000.
    Veldrin_II_DriverUserData();
    Veldrin_II_DriverUserData(const Veldrin_II_DriverUserData &other) = default;
    Veldrin_II_DriverUserData &operator=(const Veldrin_II_DriverUserData &other);
    ~Veldrin_II_DriverUserData() override;

    // Decodes the 150-byte calibration image. Byte 0 must be 'k' (0x6B);
    // otherwise the defaults apply. Bytes 1 to 128 are 16 groups of 8 bytes,
    // group 8c + 2r + q for channel c, range r and period class 1 (q = 0) or
    // 3 (q = 1), each holding offset(flag true), offset(false), scale(true),
    // scale(false). The image holds no classes 0 and 2; the lookups take
    // those from classes 1 and 3. Any other byte count is a caller error
    // (asserted); without assertions it gives the defaults and reads nothing.
    static Veldrin_II_DriverUserData fromDeviceData(const QByteArray &data);

    // True when the values were decoded from a marked image; false for the
    // defaults (no image read yet, or an image without the marker: missing or
    // erased).
    bool isStored() const { return m_stored; }

    // The template's assignment, then shared copies of both tables.
    void assign(const Veldrin_II_DriverUserData &other);

    static int periodClass(int periodCode) { return periodCode < 3 ? periodCode : 3; }

    // Offset in ADC counts: the stored tenths / 10, times the number of
    // samples the instrument sums at that period code (1 for codes 0 to 3,
    // 2, 4, 8 for codes 4, 5, 6, and 16 for any other code).
    double offsetFor(int channel, int range, int periodCode, bool flag) const;
    // Volts per ADC count: the stored scale / 30000, times the range's volts
    // per count (10, 2, 0.4, 0.1 V over 4096 for ranges 0 to 3), divided by
    // the number of summed samples. A range outside 0 to 3 gives 0.
    double scaleFor(int channel, int range, int periodCode, bool flag) const;
    // An index that is not stored gives 0 in both lookups, except that a period
    // class 0 or 2 missing from the table (as after decoding an image) is read
    // from class 1 or 3.

    const OffsetTable &offsetTable() const { return m_offsetTable; }
    const ScaleTable &scaleTable() const { return m_scaleTable; }

private:
    OffsetTable m_offsetTable;
    ScaleTable m_scaleTable;
    bool m_stored = false;
};
