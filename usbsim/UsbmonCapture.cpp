#include "UsbmonCapture.h"

#include <QHash>

#include <algorithm>
#include <cstdint>

namespace {

const quint32 MicrosecondMagic = 0xa1b2c3d4;
const quint32 NanosecondMagic = 0xa1b23c4d;
const quint32 PcapngMagic = 0x0a0d0d0a;
const quint32 LinkTypeUsbLinuxMmapped = 220;
const int FileHeaderSize = 24;
const int RecordHeaderSize = 16;
const int UsbmonHeaderSize = 64;
const std::uint8_t UsbmonControl = 2;
const std::uint8_t UsbmonBulk = 3;

// Reads the capture's fields in the byte order its magic number gives.
class Fields
{
public:
    Fields(const QByteArray &bytes, bool swapped) : m_bytes(bytes), m_swapped(swapped) {}

    std::uint8_t u8(qint64 at) const { return std::uint8_t(m_bytes[int(at)]); }
    quint64 unsignedValue(qint64 at, int size) const
    {
        quint64 value = 0;
        for (int i = 0; i < size; ++i) {
            const int shift = 8 * (m_swapped ? size - 1 - i : i);
            value |= quint64(u8(at + i)) << shift;
        }
        return value;
    }
    quint32 u32(qint64 at) const { return quint32(unsignedValue(at, 4)); }

private:
    const QByteArray &m_bytes;
    const bool m_swapped;
};

} // namespace

bool UsbmonCapture::isStandard(const QByteArray &setup)
{
    return !setup.isEmpty() && (std::uint8_t(setup[0]) & 0x60) == 0x00;
}

UsbmonCapture UsbmonCapture::read(const QByteArray &file, int bus, int address, int maxPacket)
{
    UsbmonCapture capture;
    auto fail = [&capture](qint64 at, const QString &what) {
        capture = UsbmonCapture();
        capture.m_error = QStringLiteral("byte %1: %2").arg(at).arg(what);
        return capture;
    };
    if (file.size() < FileHeaderSize)
        return fail(file.size(), QStringLiteral("the file ends within the pcap file header (24 bytes)"));
    const quint32 magic = Fields(file, false).u32(0);
    const quint32 swappedMagic = Fields(file, true).u32(0);
    bool swapped = false;
    if (magic == MicrosecondMagic || magic == NanosecondMagic) {
        swapped = false;
    } else if (swappedMagic == MicrosecondMagic || swappedMagic == NanosecondMagic) {
        swapped = true;
    } else if (magic == PcapngMagic) {
        return fail(0, QStringLiteral("a pcapng file; write it as pcap (tcpdump -w, or editcap -F pcap)"));
    } else {
        return fail(0, QStringLiteral("not a pcap file (magic number %1)").arg(magic, 8, 16, QLatin1Char('0')));
    }
    const Fields fields(file, swapped);
    const quint32 linkType = fields.u32(20) & 0x0fffffff; // the top bits carry FCS information
    if (linkType != LinkTypeUsbLinuxMmapped)
        return fail(20, QStringLiteral("link type %1, not a usbmon capture with 64-byte headers (%2)")
                            .arg(linkType)
                            .arg(LinkTypeUsbLinuxMmapped));
    maxPacket = std::max(maxPacket, 8);

    // Urbs in flight by id: their setup packet and OUT data, from the submit.
    QHash<quint64, QByteArray> setups, outData;
    int vendorControls = 0;
    for (qint64 at = FileHeaderSize; at < file.size();) {
        if (file.size() - at < RecordHeaderSize)
            return fail(at, QStringLiteral("the file ends within a record header (%1 of 16 bytes)")
                                .arg(file.size() - at));
        const qint64 length = fields.u32(at + 8);
        const qint64 h = at + RecordHeaderSize;
        if (length > file.size() - h)
            return fail(at + 8, QStringLiteral("a record of %1 bytes runs past the end of the file "
                                               "(%2 bytes left)")
                                    .arg(length)
                                    .arg(file.size() - h));
        if (length < UsbmonHeaderSize)
            return fail(at + 8, QStringLiteral("a record of %1 bytes, shorter than its 64-byte usbmon header")
                                    .arg(length));
        at = h + length;
        if (fields.unsignedValue(h + 12, 2) != quint64(bus) || fields.u8(h + 11) != address)
            continue;
        const quint64 id = fields.unsignedValue(h, 8);
        const char event = char(fields.u8(h + 8));
        const std::uint8_t type = fields.u8(h + 9);
        const bool in = fields.u8(h + 10) & 0x80;
        const char setupFlag = char(fields.u8(h + 14));
        const int status = int(fields.u32(h + 28));
        const quint32 urbLength = fields.u32(h + 32);
        const qint64 captured = std::min<qint64>(fields.u32(h + 36), length - UsbmonHeaderSize);
        const QByteArray data = file.mid(int(h + UsbmonHeaderSize), int(captured));
        if (event == 'S') {
            if (type == UsbmonControl && setupFlag == 0)
                setups.insert(id, file.mid(int(h + 40), 8));
            if (!in)
                outData.insert(id, data);
            continue;
        }
        if (event != 'C' && event != 'E')
            continue;
        if (type == UsbmonControl) {
            if (!setups.contains(id))
                continue; // a transfer the capture saw no submit of
            ControlTransfer transfer;
            transfer.setup = setups.take(id);
            transfer.data = in ? data : outData.take(id);
            transfer.status = status;
            if (!isStandard(transfer.setup))
                ++vendorControls;
            capture.m_controls.append(transfer);
        } else if (type == UsbmonBulk && !in) {
            // What the device took, also of an urb that ended early.
            const QByteArray sent = outData.take(id);
            capture.m_outStream.append(sent.left(int(std::min<quint32>(urbLength, quint32(sent.size())))));
        } else if (type == UsbmonBulk) {
            // Each packet of an FTDI chip's IN data starts with two status bytes.
            InChunk chunk;
            for (int offset = 0; offset + 2 <= data.size(); offset += maxPacket) {
                if (chunk.status.isEmpty())
                    chunk.status = data.mid(offset, 2);
                chunk.payload.append(data.mid(offset + 2, maxPacket - 2));
            }
            if (!chunk.status.isEmpty() && capture.m_firstStatus.isEmpty())
                capture.m_firstStatus = chunk.status;
            if (chunk.payload.isEmpty())
                continue;
            chunk.outBefore = capture.m_outStream.size();
            chunk.controlsBefore = vendorControls;
            capture.m_inBytes += chunk.payload.size();
            capture.m_chunks.append(chunk);
        }
    }
    return capture;
}
