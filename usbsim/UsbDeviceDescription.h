#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

// The USB device nodes of a umockdev device description (as umockdev-record
// or VirtualUsbTestbed::deviceDescription() write it): for each record with
// a node `N: bus/usb/BBB/DDD` (umockdev-record may append "=" and the node's
// contents), its bus and device number and the descriptors of its
// `H: descriptors=` line. Pure: text in, devices out, so that any file a user
// hands the replay can be read safely (fuzz/fuzz_UsbDeviceDescription).
//
// A malformed node or descriptors line is refused with an error naming its
// line; the rest of the format is umockdev's to read.
class UsbDeviceDescription
{
public:
    struct Device
    {
        int line = 0;   // of its N: line, 1-based
        QString node;   // /dev/bus/usb/BBB/DDD
        int bus = 0;
        int address = 0;
        QByteArray descriptors; // device descriptor, then the configuration's
        int bulkInPacketSize = 64; // of the first bulk IN endpoint (FTDI's: 64 or 512)
    };

    static UsbDeviceDescription parse(const QByteArray &text);

    bool isValid() const { return m_error.isEmpty(); }
    QString errorText() const { return m_error; }
    const QVector<Device> &devices() const { return m_devices; }

private:
    QString m_error;
    QVector<Device> m_devices;
};
