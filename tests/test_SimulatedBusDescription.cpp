// The text that describes a simulated bus, and the instruments built from it.
#include <gtest/gtest.h>

#include "InstrumentWire.h"
#include "SimulatedBusDescription.h"
#include "SimulatedInstrument.h"

using namespace instrumentwire;
using Kind = SimulatedDeviceRecord::Kind;

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

QList<SimulatedDeviceRecord> devicesOf(const QString &text)
{
    const SimulatedBusDescription bus = SimulatedBusDescription::parse(text);
    EXPECT_TRUE(bus.isValid()) << qPrintable(text) << ": " << qPrintable(bus.errorText());
    return bus.devices();
}

QString serials(const QList<SimulatedDeviceRecord> &devices)
{
    QStringList list;
    for (const SimulatedDeviceRecord &d : devices)
        list.append(d.serialNumber);
    return list.join(QLatin1Char(' '));
}

} // namespace

TEST(SimulatedBusDescription, EmptyTextsAndTheDemoPreset)
{
    EXPECT_TRUE(devicesOf(QString()).isEmpty());
    EXPECT_TRUE(devicesOf(QStringLiteral(" \t\n ")).isEmpty());

    const QList<SimulatedDeviceRecord> demo = devicesOf(QStringLiteral("  demo "));
    ASSERT_EQ(demo.size(), 3);
    EXPECT_EQ(serials(demo), QStringLiteral("SYAH004010001 SYBH008010002 FT000001"));
    EXPECT_EQ(demo[0].kind, Kind::GenerationI);
    EXPECT_EQ(demo[1].kind, Kind::GenerationII);
    EXPECT_EQ(demo[2].kind, Kind::Ftdi);
}

TEST(SimulatedBusDescription, DefaultsPerKind)
{
    const QList<SimulatedDeviceRecord> d =
        devicesOf(QStringLiteral("gen1 ; gen1;gen2\t;ftdi; gen2 serial=SYBP00801XXXX ;ftdi; gen1"));
    ASSERT_EQ(d.size(), 7);
    // The n-th device of a kind defaults to unit n, whether or not an earlier
    // one chose its own serial number.
    EXPECT_EQ(serials(d), QStringLiteral("SYAH004010001 SYAH004010002 SYBH008010001 FT000001 "
                                         "SYBP00801XXXX FT000002 SYAH004010003"));
    EXPECT_EQ(d[0].chipType, 5);
    EXPECT_EQ(d[2].chipType, 8);
    EXPECT_EQ(d[3].chipType, 5);
    EXPECT_EQ(d[0].description, QStringLiteral("Veldrin I"));
    EXPECT_EQ(d[2].description, QStringLiteral("Veldrin II"));
    EXPECT_EQ(d[3].description, QStringLiteral("FT232R USB UART"));
    EXPECT_EQ(d[0].firmwareVersion, 1);
    EXPECT_EQ(d[2].firmwareVersion, 3);
    for (int i : {0, 2, 4}) {
        EXPECT_EQ(d[i].layout, 2);
        EXPECT_EQ(d[i].pageSerialNumber, d[i].serialNumber);
        EXPECT_EQ(d[i].signal, SimulatedSignal::Kind::Loopback);
        EXPECT_TRUE(d[i].faults.isEmpty());
    }
    EXPECT_TRUE(d[3].pageSerialNumber.isEmpty());
}

TEST(SimulatedBusDescription, EverySetting)
{
    const QList<SimulatedDeviceRecord> d = devicesOf(QStringLiteral(
        "gen2 serial=SYBH008010007 chip=9 description=Bench_box__2 firmware=65535 layout=1 "
        "page-serial=sybq0 signal=noise fault=busy fault=no-calibration fault=busy;"
        "ftdi fault=unplugged fault=eeprom-fail fault=short-write description= serial="));
    ASSERT_EQ(d.size(), 2);
    EXPECT_EQ(d[0].serialNumber, QStringLiteral("SYBH008010007"));
    EXPECT_EQ(d[0].chipType, 9);
    EXPECT_EQ(d[0].description, QStringLiteral("Bench box  2"));
    EXPECT_EQ(d[0].firmwareVersion, 65535);
    EXPECT_EQ(d[0].layout, 1);
    EXPECT_EQ(d[0].pageSerialNumber, QStringLiteral("sybq0"));
    EXPECT_EQ(d[0].signal, SimulatedSignal::Kind::Noise);
    EXPECT_EQ(d[0].faults, (QList<SimulatedFault>{SimulatedFault::Busy, SimulatedFault::NoCalibration}));
    EXPECT_EQ(d[1].faults, (QList<SimulatedFault>{SimulatedFault::Unplugged, SimulatedFault::EepromFail,
                                                  SimulatedFault::ShortWrite}));
    EXPECT_TRUE(d[1].description.isEmpty());
    EXPECT_TRUE(d[1].serialNumber.isEmpty());
}

TEST(SimulatedBusDescription, MalformedTextsAreRefusedWithAReason)
{
    const char *texts[] = {
        "gen3", "GEN1", "gen1 colour=red", "gen1 serial", "gen1 =x", "gen1 serial=A serial=B",
        "gen1 layout=3", "gen1 layout=", "gen1 firmware=65536", "gen1 firmware=-1", "gen1 firmware=+1",
        "gen1 chip=abc", "gen1 chip=", "gen1 signal=square", "gen1 fault=melt", "gen1 fault=",
        "gen1 serial=SYAH0040100011234", "gen1 page-serial=SYAH00401000112345",
        "ftdi firmware=1", "ftdi layout=2", "ftdi signal=dc", "ftdi page-serial=x", "ftdi fault=busy",
        "gen2 fault=busy fault=unknown-instruction", "gen1;;gen2", "gen1;", ";gen1", "demo; gen1",
        "gen1 demo", "gen1 serial=\xC3\xA9",
    };
    for (const char *text : texts) {
        const SimulatedBusDescription bus = SimulatedBusDescription::parse(QString::fromUtf8(text));
        EXPECT_FALSE(bus.isValid()) << text;
        EXPECT_TRUE(bus.devices().isEmpty()) << text;
        EXPECT_TRUE(bus.errorText().startsWith(QLatin1String("device "))) << text;
    }
    // 64 characters: one more than the chip keeps.
    EXPECT_FALSE(SimulatedBusDescription::parse(QStringLiteral("gen1 description=") + QString(62, QLatin1Char('_'))
                                                + QStringLiteral("64")).isValid());
    EXPECT_TRUE(SimulatedBusDescription::parse(QStringLiteral("gen1 description=") + QString(61, QLatin1Char('_'))
                                               + QStringLiteral("63")).isValid());
    const SimulatedBusDescription second = SimulatedBusDescription::parse(QStringLiteral("gen1; gen2 layout=0"));
    EXPECT_TRUE(second.errorText().startsWith(QLatin1String("device 2: "))) << qPrintable(second.errorText());
}

TEST(SimulatedBusDescription, InstrumentsCarryTheirSettingsAndFaults)
{
    const QList<SimulatedDeviceRecord> d = devicesOf(QStringLiteral(
        "ftdi; gen1 firmware=9 layout=1 page-serial=SYBH00401 fault=bad-marker fault=corrupt-page;"
        "gen2 fault=short-page fault=unknown-instruction fault=no-calibration signal=dc;"
        "gen2 fault=busy; gen1 fault=no-reply; gen1 signal=noise; gen1 signal=noise"));
    ASSERT_EQ(d.size(), 7);
    EXPECT_EQ(SimulatedBusDescription::createInstrument(d[0]), nullptr);

    CollectingLink link;
    auto first = SimulatedBusDescription::createInstrument(d[1]);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->model(), 4);
    const QByteArray page = exchange(*first, link, 1, 0x12).value(0).data;
    ASSERT_EQ(page.size(), 130);
    EXPECT_EQ(page.left(4), hex("D1723501"));
    EXPECT_EQ(page.mid(44, 10), QByteArray("SYBH00401\0", 10));
    EXPECT_EQ(page.mid(64, 2), hex("0009"));
    EXPECT_EQ(page.right(2), hex("FF00"));

    auto second = SimulatedBusDescription::createInstrument(d[2]);
    EXPECT_EQ(second->model(), 8);
    EXPECT_EQ(second->signal().kind(), SimulatedSignal::Kind::Dc);
    EXPECT_EQ(exchange(*second, link, 2, 0x14).value(0).status, 1);
    second->setBootStatus(0);
    EXPECT_EQ(exchange(*second, link, 3, 0x14).value(0).data, hex("0063"));
    second->hostWrote(hex("03"), link);
    EXPECT_EQ(exchange(*second, link, 4, 72).value(0).data, QByteArray(150, char(0xFF)));

    auto busy = SimulatedBusDescription::createInstrument(d[3]);
    EXPECT_EQ(exchange(*busy, link, 5, 0x12).value(0).status, 2);
    EXPECT_EQ(exchange(*busy, link, 6, 0x12).value(0).data.size(), 0);

    auto silent = SimulatedBusDescription::createInstrument(d[4]);
    silent->hostWrote(request(7, 0x14), link);
    EXPECT_TRUE(link.take().isEmpty());

    // Noisy instruments draw different noise, each the same on every run.
    auto noisy = SimulatedBusDescription::createInstrument(d[5]);
    EXPECT_EQ(noisy->signal().kind(), SimulatedSignal::Kind::Noise);
    EXPECT_NE(noisy->signal().seed(), SimulatedBusDescription::createInstrument(d[6])->signal().seed());
    EXPECT_EQ(noisy->signal().seed(), SimulatedBusDescription::createInstrument(d[5])->signal().seed());
}

TEST(SimulatedBusDescription, PaceAndReplyDelay)
{
    const QList<SimulatedDeviceRecord> d = devicesOf(QStringLiteral(
        "gen1; gen2 pace=fast reply-delay=2500; ftdi pace=fast; gen1 pace=real reply-delay=0"));
    ASSERT_EQ(d.size(), 4);
    EXPECT_TRUE(d[0].paced);
    EXPECT_EQ(d[0].replyDelayUs, 100);
    EXPECT_FALSE(d[1].paced);
    EXPECT_EQ(d[1].replyDelayUs, 2500);
    EXPECT_FALSE(d[2].paced);
    EXPECT_TRUE(d[3].paced);
    EXPECT_EQ(d[3].replyDelayUs, 0);

    auto instrument = SimulatedBusDescription::createInstrument(d[1]);
    EXPECT_FALSE(instrument->isPaced());
    EXPECT_EQ(instrument->replyDelayUs(), 2500);
    EXPECT_TRUE(SimulatedBusDescription::createInstrument(d[0])->isPaced());

    // The preset takes settings for each of its devices.
    const QList<SimulatedDeviceRecord> demo = devicesOf(QStringLiteral(" demo  pace=fast "));
    ASSERT_EQ(demo.size(), 3);
    EXPECT_EQ(serials(demo), QStringLiteral("SYAH004010001 SYBH008010002 FT000001"));
    for (const SimulatedDeviceRecord &record : demo)
        EXPECT_FALSE(record.paced);

    for (const char *text : {"gen1 pace=slow", "gen1 pace=", "gen1 reply-delay=-1",
                             "gen1 reply-delay=1000001", "ftdi reply-delay=5", "gen1 pace=fast pace=real",
                             "demo colour=red", "demo pace=fast; gen1"})
        EXPECT_FALSE(SimulatedBusDescription::parse(QString::fromLatin1(text)).isValid()) << text;
}
