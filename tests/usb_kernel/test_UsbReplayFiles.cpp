// The readers of the files a user hands the replay: a malformed capture or
// device description is refused with an error naming the byte or the line,
// and a good one reads the same in either byte order.
#include <gtest/gtest.h>

#include <QFile>
#include <QtEndian>

#include "UsbDeviceDescription.h"
#include "UsbmonCapture.h"

namespace {

QByteArray fixture(const char *name)
{
    QFile file(QStringLiteral(VELDRIN_REPLAY_FIXTURES "/") + QLatin1String(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The same capture written by a big-endian host: every header field swapped.
QByteArray swapped(const QByteArray &capture)
{
    QByteArray out = capture;
    auto swap = [&out](int at, int size) { std::reverse(out.begin() + at, out.begin() + at + size); };
    for (int at : {0, 8, 12, 16, 20})
        swap(at, 4);
    swap(4, 2), swap(6, 2);
    for (int at = 24; at + 16 <= out.size();) {
        const int length = int(qFromLittleEndian<quint32>(capture.constData() + at + 8));
        for (int field : {0, 4, 8, 12})
            swap(at + field, 4);
        const int h = at + 16;
        swap(h, 8), swap(h + 12, 2), swap(h + 16, 8);
        for (int field : {24, 28, 32, 36, 48, 52, 56, 60})
            swap(h + field, 4);
        at = h + length;
    }
    return out;
}

TEST(UsbReplayFiles, ARecordedCaptureReadsTheSameInEitherByteOrder)
{
    const QByteArray file = fixture("session.pcap");
    ASSERT_FALSE(file.isEmpty());
    const UsbmonCapture little = UsbmonCapture::read(file, 1, 2, 64);
    const UsbmonCapture big = UsbmonCapture::read(swapped(file), 1, 2, 64);
    ASSERT_TRUE(little.isValid()) << little.errorText().toStdString();
    ASSERT_TRUE(big.isValid()) << big.errorText().toStdString();
    EXPECT_GT(little.controls().size(), 10);
    EXPECT_GT(little.inBytes(), 1000);
    EXPECT_EQ(big.outStream(), little.outStream());
    EXPECT_EQ(big.inBytes(), little.inBytes());
    ASSERT_EQ(big.chunks().size(), little.chunks().size());
    EXPECT_EQ(big.chunks().last().payload, little.chunks().last().payload);
    EXPECT_EQ(big.controls().last().setup, little.controls().last().setup);
}

TEST(UsbReplayFiles, AMalformedCaptureIsRefusedNamingTheByte)
{
    const QByteArray file = fixture("session.pcap");
    ASSERT_GT(file.size(), 200);
    const int firstLength = int(qFromLittleEndian<quint32>(file.constData() + 32));
    QByteArray otherLink = file;
    otherLink[20] = 1;
    QByteArray overlong = file;
    overlong.replace(32, 4, QByteArray("\xff\xff\xff\x7f", 4));
    QByteArray shortRecord = file;
    shortRecord.replace(32, 4, QByteArray("\x0a\0\0\0", 4));
    const struct
    {
        QByteArray bytes;
        QString error;
    } cases[] = {
        {file.left(10), QStringLiteral("byte 10: the file ends within the pcap file header")},
        {QByteArray("\x0a\x0d\x0d\x0a", 4) + file.mid(4), QStringLiteral("byte 0: a pcapng file")},
        {QByteArray(24, 'x') + file.mid(24), QStringLiteral("byte 0: not a pcap file (magic number 78787878)")},
        {otherLink, QStringLiteral("byte 20: link type 1, not a usbmon capture")},
        // Cut off within a record: refused, not read as a shorter session.
        {file.left(file.size() - 5), QStringLiteral("runs past the end of the file (")},
        {file.left(24 + 16 + firstLength + 7), QStringLiteral("the file ends within a record header (7 of 16")},
        {overlong, QStringLiteral("byte 32: a record of 2147483647 bytes runs past the end")},
        {shortRecord, QStringLiteral("byte 32: a record of 10 bytes, shorter than its 64-byte usbmon header")},
    };
    for (const auto &c : cases) {
        const UsbmonCapture capture = UsbmonCapture::read(c.bytes, 1, 2, 64);
        EXPECT_FALSE(capture.isValid()) << c.error.toStdString();
        EXPECT_TRUE(capture.errorText().contains(c.error))
            << capture.errorText().toStdString() << " lacks " << c.error.toStdString();
        EXPECT_TRUE(capture.controls().isEmpty() && capture.chunks().isEmpty());
    }
}

TEST(UsbReplayFiles, DeviceDescriptionsGiveEachNodeItsPacketSizeOrTheFaultyLine)
{
    const QByteArray recorded = fixture("devices.umockdev");
    const UsbDeviceDescription good = UsbDeviceDescription::parse(recorded);
    ASSERT_TRUE(good.isValid()) << good.errorText().toStdString();
    ASSERT_EQ(good.devices().size(), 2);
    EXPECT_EQ(good.devices()[0].node, QStringLiteral("/dev/bus/usb/001/002"));
    EXPECT_EQ(good.devices()[0].bulkInPacketSize, 64);  // the FT232R
    EXPECT_EQ(good.devices()[1].bulkInPacketSize, 512); // the FT232H

    const QByteArray node = "P: /devices/usb1/1-1\nN: bus/usb/001/002\n";
    const struct
    {
        QByteArray text;
        QString error;
    } cases[] = {
        {"P: /devices/usb1/1-1\nE: A=1\n", QStringLiteral("line 3: no USB device node")},
        {"P: /x\nN: bus/usb/001/999999999999\n", QStringLiteral("line 2: the device node is not bus/usb/BBB/DDD")},
        {"P: /x\nN: bus/usb/0/2\n", QStringLiteral("line 2: the device node is not")},
        {node + "H: descriptors=12010G\n", QStringLiteral("line 3: the descriptors are not an even number")},
        {node + "H: descriptors=120\n", QStringLiteral("line 3: the descriptors are not an even number")},
        {node + "H: descriptors=1201000200\n", QStringLiteral("line 3: the descriptor at byte 0 of")},
        {node + "H: descriptors=0201" "00\n", QStringLiteral("line 3: the descriptor at byte 2 of")},
        {node + "N: bus/usb/001/003\n", QStringLiteral("line 3: a second device node in one record (the first on line 2)")},
        {node + "H: descriptors=0201\nH: descriptors=0201\n", QStringLiteral("line 4: a second descriptors line")},
    };
    for (const auto &c : cases) {
        const UsbDeviceDescription description = UsbDeviceDescription::parse(c.text);
        EXPECT_FALSE(description.isValid()) << c.text.toStdString();
        EXPECT_TRUE(description.errorText().contains(c.error))
            << description.errorText().toStdString() << " lacks " << c.error.toStdString();
    }
}

} // namespace
