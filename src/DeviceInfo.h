#pragma once

#include <QByteArray>
#include <QPair>
#include <QString>
#include <QtGlobal>

// The device information record, read from the instrument's information page
// by the bootloader client. A default-constructed record is the empty record:
// not valid, not recognised, every field zero or empty.
class DeviceInfo
{
public:
    bool valid = false;
    int recognised = 0; // 1 when the page had a known layout
    int word60 = 0;
    int word62 = 0;
    QString label;
    QString serialNumber;
    QPair<int, int> versionPair{0, 0}; // firmware version, second number
    int word68 = 0;
    int word70 = 0;
    int word72 = 0;
    quint16 word74 = 0; // layout 2 only

    // Decodes an information page (without its two end bytes). A page shorter
    // than 100 bytes, without the marker or with an unknown layout yields the
    // empty record; any other page is recognised, and valid unless its serial
    // number fails the checks of its layout.
    static DeviceInfo fromPage(const QByteArray &page);

    bool operator==(const DeviceInfo &other) const;
    bool operator!=(const DeviceInfo &other) const { return !(*this == other); }
};
