// A recorded USB session replayed through the real libftdi1 + libusb stack
// with no virtual chip: the fixture (fixtures/) holds a usbmon capture of the C
// API listing both instruments, opening a generation I (FT232R) and a
// generation II (FT232H) instrument and measuring once on each, the device
// description, and the values the C API gave. Replayed, the same steps must
// list the same serial numbers and give the same values, the host must send
// exactly the recorded bytes, and the recorded IN data must be used up.
//
//     test_UsbReplay --record DIR    records the session afresh on virtual chips
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

#include <fcntl.h>
#include <unistd.h>
// <linux/usbdevice_fs.h> uses _IOR and friends without including them.
#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "UsbPcapRecorder.h"
#include "UsbReplayTestbed.h"
#include "VeldrinLib.h"
#include "VirtualUsbTestbed.h"

namespace {

// Measured in real time, so that the capture holds the host's idle polling
// as a session with hardware does.
const char *const Bus = "gen1 signal=sine; gen2 signal=sine";
const int Samples = 300;

// What the C API reported: one line per item, values at full precision.
QStringList runSession(QString *failure)
{
    QStringList lines;
    auto check = [&](int status, const char *what) {
        if (status != 0 && failure->isEmpty())
            *failure = QStringLiteral("%1: %2").arg(what, getStatusText(status));
        return status == 0;
    };
    if (!check(useLibFtdi(), "useLibFtdi") || !check(initialise(), "initialise"))
        return lines;
    int count = 0;
    check(getDeviceCount(&count), "getDeviceCount");
    for (int i = 1; i <= count; ++i) { // instruments count from 1
        char serial[32] = {};
        check(getDeviceSerialNumber(i, serial, sizeof serial), "getDeviceSerialNumber");
        lines << QStringLiteral("serial %1").arg(QString::fromLatin1(serial));
    }
    int devices[2] = {0, 0};
    if (!check(getDeviceIndex("SYAH00401xxxx", &devices[0]), "getDeviceIndex gen1")
        || !check(getDeviceIndex("SYBH00801xxxx", &devices[1]), "getDeviceIndex gen2"))
        return lines;
    check(setDACAmplitude(devices[0], 1, 1500), "setDACAmplitude");
    for (int generation = 1; generation <= 2; ++generation) {
        const int device = devices[generation - 1];
        if (!check(runMeasurement(device, 3, 6, Samples), "runMeasurement"))
            continue;
        VeldrinBool complete = false;
        if (!check(waitForMeasurement(device, 20000, &complete), "waitForMeasurement") || !complete)
            continue;
        for (int channel = 1; channel <= 2; ++channel) {
            int n = 0;
            std::vector<double> values(Samples * 2);
            check(getResult(device, channel, &n, values.data()), "getResult");
            QString line = QStringLiteral("gen%1 channel %2 %3").arg(generation).arg(channel).arg(n);
            for (int i = 0; i < n; ++i)
                line += QLatin1Char(' ') + QString::number(values[std::size_t(i)], 'g', 17);
            lines << line;
        }
    }
    check(closeLibrary(), "closeLibrary");
    return lines;
}

QString fixture(const char *name) { return QStringLiteral(VELDRIN_REPLAY_FIXTURES "/") + name; }

TEST(UsbReplay, ARecordedSessionReplaysWithTheSameValues)
{
    ASSERT_TRUE(VirtualUsbTestbed::inMockEnvironment()) << "run with umockdev's preload library";
    QFile valuesFile(fixture("values.txt"));
    ASSERT_TRUE(valuesFile.open(QIODevice::ReadOnly | QIODevice::Text));
    const QStringList recorded = QString::fromUtf8(valuesFile.readAll()).split('\n', Qt::SkipEmptyParts);

    UsbReplayTestbed replay(fixture("session.pcap"), fixture("devices.umockdev"));
    ASSERT_TRUE(replay.isValid()) << replay.errorText().toStdString();
    ASSERT_EQ(replay.deviceCount(), 2);
    QString failure;
    const QStringList replayed = runSession(&failure);
    EXPECT_TRUE(failure.isEmpty()) << failure.toStdString();
    EXPECT_EQ(replayed.size(), recorded.size());
    for (int i = 0; i < std::min(replayed.size(), recorded.size()); ++i)
        EXPECT_EQ(replayed[i].toStdString(), recorded[i].toStdString()) << "line " << i + 1;
    EXPECT_EQ(replay.mismatches().join('\n').toStdString(), "");
    for (int i = 0; i < replay.deviceCount(); ++i) {
        EXPECT_EQ(replay.device(i).inBytesLeft(), 0) << replay.deviceNode(i).toStdString();
        EXPECT_EQ(replay.device(i).outBytesLeft(), 0) << replay.deviceNode(i).toStdString();
        EXPECT_EQ(replay.device(i).controlTransfersLeft(), 0) << replay.deviceNode(i).toStdString();
    }
}

// The replay's own rules, on a hand-made recording of an FT232R: latency set,
// "PING" sent, "PONG" answered. The answer waits for the command (an IN urb
// before it gets the status bytes alone), OUT bytes are compared as a stream
// whatever the urbs, and bytes beyond the recording are reported.
TEST(UsbReplay, TheAnswerWaitsForItsCommandAndOutIsComparedAsAStream)
{
    ASSERT_TRUE(VirtualUsbTestbed::inMockEnvironment()) << "run with umockdev's preload library";
    QTemporaryDir directory;
    const QString pcap = directory.filePath("session.pcap"), devices = directory.filePath("d.umockdev");
    {
        UsbPcapRecorder recorder(pcap);
        ASSERT_TRUE(recorder.isValid()) << recorder.errorText().toStdString();
        const std::uint8_t latency[8] = {0x40, 0x09, 2, 0, 0, 0, 0, 0};
        recorder.submitted(1, 2, 1, UsbPcapRecorder::Control, 0x00, latency, nullptr, 0);
        recorder.completed(1, 2, 1, UsbPcapRecorder::Control, 0x00, 0, nullptr, 0);
        const std::uint8_t idle[2] = {0x01, 0x60}, pong[6] = {0x01, 0x60, 'P', 'O', 'N', 'G'};
        recorder.submitted(1, 2, 2, UsbPcapRecorder::Bulk, 0x81, nullptr, nullptr, 64);
        recorder.completed(1, 2, 2, UsbPcapRecorder::Bulk, 0x81, 0, idle, 2);
        recorder.submitted(1, 2, 3, UsbPcapRecorder::Bulk, 0x02, nullptr,
                           reinterpret_cast<const std::uint8_t *>("PING"), 4);
        recorder.completed(1, 2, 3, UsbPcapRecorder::Bulk, 0x02, 0, nullptr, 4);
        recorder.submitted(1, 2, 4, UsbPcapRecorder::Bulk, 0x81, nullptr, nullptr, 64);
        recorder.completed(1, 2, 4, UsbPcapRecorder::Bulk, 0x81, 0, pong, 6);
    }
    QFile description(devices);
    ASSERT_TRUE(description.open(QIODevice::WriteOnly));
    description.write("P: /devices/pci0000:00/0000:00:14.0/usb1/1-1\nN: bus/usb/001/002\n"
                      "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: BUSNUM=001\nE: DEVNUM=002\n"
                      "A: busnum=1\\n\nA: devnum=2\\n\nH: descriptors=120100020000000803040160000601020301"
                      "09022000010100802D0904000002FFFFFF020705810240000007050202400000\n");
    description.close();
    UsbReplayTestbed replay(pcap, devices);
    ASSERT_TRUE(replay.isValid()) << replay.errorText().toStdString();
    const int fd = ::open("/dev/bus/usb/001/002", O_RDWR);
    ASSERT_GE(fd, 0);

    usbdevfs_ctrltransfer setLatency{0x40, 0x09, 2, 0, 0, 1000, nullptr};
    ASSERT_EQ(::ioctl(fd, USBDEVFS_CONTROL, &setLatency), 0);
    unsigned char in[64] = {};
    auto transfer = [fd, &in](unsigned char endpoint, const char *out, int length) {
        usbdevfs_urb urb = {};
        urb.type = USBDEVFS_URB_TYPE_BULK;
        urb.endpoint = endpoint;
        urb.buffer = out ? const_cast<char *>(out) : static_cast<void *>(in);
        urb.buffer_length = out ? length : int(sizeof in);
        if (::ioctl(fd, USBDEVFS_SUBMITURB, &urb) != 0)
            return -1;
        usbdevfs_urb *reaped = nullptr;
        for (int tries = 0; tries < 1000; ++tries) {
            if (::ioctl(fd, USBDEVFS_REAPURBNDELAY, &reaped) == 0)
                return reaped->actual_length;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return -1;
    };
    EXPECT_EQ(transfer(0x81, nullptr, 0), 2) << "answered before the command";
    EXPECT_EQ(transfer(0x02, "PI", 2), 2);
    EXPECT_EQ(transfer(0x02, "NG", 2), 2);
    ASSERT_EQ(transfer(0x81, nullptr, 0), 6);
    EXPECT_EQ(QByteArray(reinterpret_cast<char *>(in), 6), QByteArray("\x01\x60PONG", 6));
    EXPECT_EQ(replay.device(0).inBytesLeft(), 0);
    EXPECT_TRUE(replay.mismatches().isEmpty()) << replay.mismatches().join('\n').toStdString();
    EXPECT_EQ(transfer(0x02, "X", 1), 1);
    EXPECT_EQ(replay.mismatches().size(), 1);
    ::close(fd);
}

int record(const QString &directory)
{
    QDir().mkpath(directory);
    VirtualUsbTestbed testbed(Bus);
    if (!testbed.isValid()) {
        std::fprintf(stderr, "%s\n", qPrintable(testbed.errorText()));
        return 1;
    }
    auto recorder = std::make_shared<UsbPcapRecorder>(directory + "/session.pcap");
    if (!recorder->isValid()) {
        std::fprintf(stderr, "%s\n", qPrintable(recorder->errorText()));
        return 1;
    }
    testbed.setRecorder(recorder);
    QString failure;
    const QStringList lines = runSession(&failure);
    testbed.setRecorder(nullptr);
    recorder.reset();
    if (!failure.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(failure));
        return 1;
    }
    QFile devices(directory + "/devices.umockdev");
    QFile values(directory + "/values.txt");
    if (!devices.open(QIODevice::WriteOnly) || !values.open(QIODevice::WriteOnly))
        return 1;
    devices.write(testbed.deviceDescription().toUtf8());
    values.write((lines.join('\n') + '\n').toUtf8());
    std::printf("recorded in %s\n", qPrintable(directory));
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    // Run by hand, the program starts itself again with the preload it needs.
    VirtualUsbTestbed::restartPreloaded(argv);
    if (argc == 3 && std::strcmp(argv[1], "--record") == 0)
        return record(QString::fromLocal8Bit(argv[2]));
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
