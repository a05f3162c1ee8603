#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// The information page that an instrument's boot firmware keeps in its flash:
// identity, label and version numbers, all numbers big-endian.
//
//   0   3  marker 35 72 D1
//   3   1  layout (1 or 2)
//   4  40  label, Latin-1, zero-terminated when shorter
//  44  16  serial number, Latin-1, zero-terminated when shorter
//  60   2  hardware model          62  2  hardware revision
//  64   2  firmware version        66  2  firmware build
//  68   2  boot firmware version   70  2  page size
//  72   2  first application page  74  2  calibration page (layout 2 only)
//
// Bytes that no field covers read 0xFF, as erased flash does; so does word 74
// on a layout 1 page. A page may be made shorter than its fields (down to
// nothing) or carry a wrong marker or layout, to play a damaged instrument.
class SimulatedInformationPage
{
public:
    static const int DefaultSize = 128;
    static const int FieldsEnd = 76;

    SimulatedInformationPage();
    // A page as shipped: the given identity, layout 2, words filled in.
    static SimulatedInformationPage forInstrument(int model, int revision, int firmwareVersion,
                                                  const QString &serialNumber, const QString &label);

    static QByteArray standardMarker();

    int size() const { return m_size; }
    void setSize(int size);
    QByteArray marker() const { return m_marker; }
    void setMarker(const QByteArray &marker);
    int layout() const { return m_layout; }
    void setLayout(int layout) { m_layout = layout & 0xFF; }
    QString label() const { return m_label; }
    void setLabel(const QString &label) { m_label = label; }
    QString serialNumber() const { return m_serialNumber; }
    void setSerialNumber(const QString &serialNumber) { m_serialNumber = serialNumber; }

    // The 16-bit words at the even offsets 60 to 74; other offsets are ignored
    // (and read 0).
    quint16 word(int offset) const;
    void setWord(int offset, quint16 value);
    quint16 firmwareVersion() const { return word(64); }
    void setFirmwareVersion(quint16 version) { setWord(64, version); }

    // The page image, exactly size() bytes.
    QByteArray toBytes() const;

private:
    static int wordIndex(int offset);

    int m_size = DefaultSize;
    QByteArray m_marker;
    int m_layout = 2;
    QString m_label;
    QString m_serialNumber;
    quint16 m_words[8] = {};
};
