#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

// The urbs of one FTDI device in a usbmon capture: a pcap file (either byte
// order, micro- or nanosecond time stamps) with link type
// DLT_USB_LINUX_MMAPPED (220, 64-byte usbmon headers), as tcpdump on a
// usbmonN interface or UsbPcapRecorder write it. Pure: bytes in, transfers
// out, nothing else touched, so that any file a user hands the replay can be
// read safely (fuzz/fuzz_UsbmonCapture).
//
// A malformed file is refused whole with an error naming the byte offset
// where it goes wrong; a capture cut off in the middle of a record is
// malformed, not a shorter session.
class UsbmonCapture
{
public:
    struct ControlTransfer
    {
        QByteArray setup;  // 8 bytes
        QByteArray data;   // IN data at completion, OUT data at submit
        int status = 0;
    };
    // The data of one completed bulk IN urb.
    struct InChunk
    {
        QByteArray payload;     // without the per-packet status bytes
        QByteArray status;      // the two status bytes of its first packet
        qint64 outBefore = 0;   // OUT bytes completed before it in the capture
        int controlsBefore = 0; // non-standard control transfers completed before it
    };

    // The urbs of device `address` on bus `bus` in `file`; `maxPacket` is the
    // bulk IN endpoint's packet size, by which IN data is split into packets
    // each led by two status bytes.
    static UsbmonCapture read(const QByteArray &file, int bus, int address, int maxPacket);

    bool isValid() const { return m_error.isEmpty(); }
    QString errorText() const { return m_error; }

    // Whether a setup packet is a standard request (descriptors,
    // configuration, status) rather than a vendor or class request.
    static bool isStandard(const QByteArray &setup);

    const QVector<ControlTransfer> &controls() const { return m_controls; }
    const QByteArray &outStream() const { return m_outStream; }
    const QVector<InChunk> &chunks() const { return m_chunks; }
    // The status bytes of the first IN packet, empty without one.
    const QByteArray &firstStatus() const { return m_firstStatus; }
    qint64 inBytes() const { return m_inBytes; }

private:
    QString m_error;
    QVector<ControlTransfer> m_controls;
    QByteArray m_outStream;
    QVector<InChunk> m_chunks;
    QByteArray m_firstStatus;
    qint64 m_inBytes = 0;
};
