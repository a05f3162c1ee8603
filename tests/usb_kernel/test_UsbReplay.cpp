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
#include <QTextStream>

#include <cstdio>
#include <cstring>
#include <memory>
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
