// The generation II device talking to the virtual generation II instrument on
// the simulated bus: opening, settings, per-channel ranges, measurements,
// sweeps and the decoding of the sample stream.
#include <gtest/gtest.h>

#include <QDataStream>
#include <QElapsedTimer>
#include <QThread>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <random>
#include <thread>

#include "InstrumentBusTest.h"
#include "SimulatedInstrumentII.h"
#include "Veldrin_II_DriverDevice.h"

namespace {

class GenerationIIDevice : public InstrumentBusTest
{
protected:
    void make(const QString &description = QStringLiteral("gen2 serial=SYBH008010004 pace=fast"))
    {
        attachBus(description);
        const auto usb = listed(0);
        ASSERT_TRUE(usb);
        device = std::make_shared<Veldrin_II_DriverDevice>(usb);
        instrument = instrumentAt<SimulatedInstrumentII>(0);
        ASSERT_TRUE(instrument);
    }

    void open(const QString &description = QStringLiteral("gen2 serial=SYBH008010004 pace=fast"))
    {
        make(description);
        ASSERT_EQ(device->openDevice(), 0);
        ASSERT_TRUE(becomesIdle(*device));
    }

    void measure(int mask, int period, int count)
    {
        ASSERT_EQ(device->runMeasurement(mask, period, count), 0);
        ASSERT_TRUE(completes(*device));
        ASSERT_TRUE(becomesIdle(*device));
    }

    // One count of input `channel` (1, 2) at its current range, flag and period, in volts.
    double resolution(int channel)
    {
        const auto sampling = device->samplingSettings();
        using S = Veldrin_II_DriverSampling;
        const int range = variantToInt(sampling.value(channel == 1 ? S::Range1 : S::Range2));
        const bool flag = sampling.value(channel == 1 ? S::ChannelFlag1 : S::ChannelFlag2).toBool();
        const int period = variantToInt(sampling.value(S::Period));
        return device->calibration().scaleFor(channel - 1, range, period, flag) * (1 + 1e-9);
    }

    double dac(int channel, Veldrin_II_DriverDAC::Key key)
    {
        return variantToDouble(device->dacSettings(channel).value(key));
    }

    void feed(const char *hex)
    {
        QByteArray data = QByteArray::fromHex(hex);
        device->packetReceived(0, data);
    }

    std::shared_ptr<Veldrin_II_DriverDevice> device;
    std::shared_ptr<SimulatedInstrumentII> instrument;
};

// A block's serialised form, to compare all of its values at once.
template <typename Block>
QByteArray streamed(const Block &block)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    block.writeTo(out);
    return bytes;
}

int rows(Veldrin_II_DriverDevice &device, int channel, int *columns = nullptr)
{
    int r = -1, c = -1;
    EXPECT_EQ(device.get2DResultSizes(channel, &r, &c), 0);
    if (columns)
        *columns = c;
    return r;
}

TEST_F(GenerationIIDevice, ConstructionReadsTheInformationRecord)
{
    make(QStringLiteral("gen2 serial=SYBH008010004; gen2 serial=SYBH008010005 fault=eeprom-fail"));
    const DeviceInfo &info = device->deviceInformation();
    EXPECT_TRUE(info.valid);
    EXPECT_EQ(info.serialNumber, QStringLiteral("SYBH008010004"));
    EXPECT_EQ(info.versionPair.first, 3);
    EXPECT_FALSE(chip(0)->isOpen());
    EXPECT_EQ(chip(0)->openCount(), 1);

    Veldrin_II_DriverDevice unopened(listed(1));
    EXPECT_TRUE(unopened.deviceInformation() == DeviceInfo());

    EXPECT_TRUE(device->isMeasurementComplete());
    EXPECT_TRUE(device->getResult(1).isEmpty());
    EXPECT_TRUE(device->get2DResult(1).isEmpty());
    int columns = -1;
    EXPECT_EQ(rows(*device, 1, &columns), 0);
    EXPECT_EQ(columns, 0);
    EXPECT_EQ(device->sweepBounds(1), qMakePair(-1.0, 1.0));
    EXPECT_EQ(device->sweepBounds(2), qMakePair(-1.0, 1.0));
    EXPECT_TRUE(device->acceptsPacket(0));
    EXPECT_FALSE(device->acceptsPacket(1));
}

TEST_F(GenerationIIDevice, ArgumentChecksRunInOrderAndChangeNothing)
{
    make();
    Veldrin_II_DriverDevice &d = *device;
    const QByteArray dac1Before = d.dacSettings(1).toPayload();
    const QByteArray dac2Before = d.dacSettings(2).toPayload();
    const QByteArray samplingBefore = d.samplingSettings().toPayload();
    const struct
    {
        const char *call;
        std::function<int()> run;
        int expected;
    } cases[] = {
        {"setPWM(0, 50)", [&] { return d.setPWM(0, 50); }, 11},
        {"setPWM(3, 101)", [&] { return d.setPWM(3, 101); }, 11},
        {"setPWM(1, -1)", [&] { return d.setPWM(1, -1); }, 12},
        {"setPWM(2, 101)", [&] { return d.setPWM(2, 101); }, 12},
        {"setPWMFrequency(0)", [&] { return d.setPWMFrequency(0); }, 14},
        {"setPWMFrequency(200001)", [&] { return d.setPWMFrequency(200001); }, 14},
        {"setDACWaveform(0, 0)", [&] { return d.setDACWaveform(0, 0); }, 16},
        {"setDACWaveform(3, 9)", [&] { return d.setDACWaveform(3, 9); }, 16},
        {"setDACWaveform(1, 3)", [&] { return d.setDACWaveform(1, 3); }, 15},
        {"setDACWaveform(2, -1)", [&] { return d.setDACWaveform(2, -1); }, 15},
        {"setDACOffset(3, 9999)", [&] { return d.setDACOffset(3, 9999); }, 16},
        {"setDACOffset(2, 4501)", [&] { return d.setDACOffset(2, 4501); }, 18},
        {"setDACOffset(1, -4501)", [&] { return d.setDACOffset(1, -4501); }, 18},
        {"setDACAmplitude(0, 0)", [&] { return d.setDACAmplitude(0, 0); }, 16},
        {"setDACAmplitude(2, 4501)", [&] { return d.setDACAmplitude(2, 4501); }, 19},
        {"setDACAmplitude(1, -4501)", [&] { return d.setDACAmplitude(1, -4501); }, 19},
        {"setDACFrequency(3, 100)", [&] { return d.setDACFrequency(3, 100); }, 16},
        {"setDACFrequency(1, 9)", [&] { return d.setDACFrequency(1, 9); }, 20},
        {"setDACFrequency(2, 20001)", [&] { return d.setDACFrequency(2, 20001); }, 20},
        {"setSweepProperties(0, 0, 0)", [&] { return d.setSweepProperties(0, 0, 0); }, 16},
        {"setSweepProperties(1, -4501, 9999)", [&] { return d.setSweepProperties(1, -4501, 9999); }, 19},
        {"setSweepProperties(2, 0, 4501)", [&] { return d.setSweepProperties(2, 0, 4501); }, 19},
        {"setADCProperties(3, 0, 0)", [&] { return d.setADCProperties(3, 0, 0); }, 25},
        {"setADCProperties(0, 9, 0)", [&] { return d.setADCProperties(0, 9, 0); }, 25},
        {"setADCProperties(1, 4, 0)", [&] { return d.setADCProperties(1, 4, 0); }, 24},
        {"setADCProperties(2, -1, 1)", [&] { return d.setADCProperties(2, -1, 1); }, 24},
        // The sweep starts check their own arguments before anything else:
        // sample count, then points, then the lower bound of the period code.
        {"run1DSweepMeasurement(3, 2, 1)", [&] { return d.run1DSweepMeasurement(3, 2, 1); }, 23},
        {"run1DSweepMeasurement(3, 3, 50001)", [&] { return d.run1DSweepMeasurement(3, 3, 50001); }, 23},
        {"run1DSweepMeasurement(3, 2, 100)", [&] { return d.run1DSweepMeasurement(3, 2, 100); }, 22},
        {"run2DSweepMeasurement(1, 2, 1, 1)", [&] { return d.run2DSweepMeasurement(1, 2, 1, 1); }, 23},
        {"run2DSweepMeasurement(1, 2, 100, 1)", [&] { return d.run2DSweepMeasurement(1, 2, 100, 1); }, 23},
        {"run2DSweepMeasurement(1, 3, 100, 50001)", [&] { return d.run2DSweepMeasurement(1, 3, 100, 50001); }, 23},
        {"run2DSweepMeasurement(1, 2, 100, 5)", [&] { return d.run2DSweepMeasurement(1, 2, 100, 5); }, 22},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.run(), c.expected) << c.call;
    EXPECT_EQ(d.dacSettings(1).toPayload(), dac1Before);
    EXPECT_EQ(d.dacSettings(2).toPayload(), dac2Before);
    EXPECT_EQ(d.samplingSettings().toPayload(), samplingBefore);
    EXPECT_EQ(d.sweepBounds(1), qMakePair(-1.0, 1.0));
    EXPECT_TRUE(d.isMeasurementComplete());
}

TEST_F(GenerationIIDevice, SettingsWithoutAnOpenDevice)
{
    make();
    // Refused submissions: the PWM setters report 13, the DAC setters 17
    // after changing their block.
    EXPECT_EQ(device->setPWM(2, 50), 13);
    EXPECT_EQ(device->setPWMFrequency(1000), 13);
    EXPECT_EQ(device->setDACAmplitude(2, 4500), 17);
    EXPECT_EQ(device->setDACOffset(2, -4500), 17);
    EXPECT_EQ(device->setDACFrequency(2, 20000), 17);
    EXPECT_EQ(device->setDACWaveform(2, 1), 17);
    EXPECT_DOUBLE_EQ(dac(2, Veldrin_II_DriverDAC::Amplitude), 4.5);
    EXPECT_DOUBLE_EQ(dac(2, Veldrin_II_DriverDAC::Offset), -4.5);
    EXPECT_EQ(device->dacSettings(2).toPayload(), QByteArray::fromHex("01 409C 9411 6CEE"));
    EXPECT_EQ(device->dacSettings(1).toPayload(), Veldrin_II_DriverDAC().toPayload());

    // Sweep bounds and input settings are kept, not sent.
    EXPECT_EQ(device->setSweepProperties(1, -4500, 4500), 0);
    EXPECT_EQ(device->sweepBounds(1), qMakePair(-4.5, 4.5));
    EXPECT_EQ(device->sweepBounds(2), qMakePair(-1.0, 1.0));
    EXPECT_EQ(device->setADCProperties(1, 0, 1), 0);
    EXPECT_EQ(device->setADCProperties(2, 2, 0), 0);
    const auto sampling = device->samplingSettings();
    EXPECT_EQ(sampling.value(Veldrin_II_DriverSampling::Range1), QVariant(3));
    EXPECT_EQ(sampling.value(Veldrin_II_DriverSampling::ChannelFlag1), QVariant(true));
    EXPECT_EQ(sampling.value(Veldrin_II_DriverSampling::Range2), QVariant(1));
    EXPECT_EQ(sampling.value(Veldrin_II_DriverSampling::ChannelFlag2), QVariant(false));
    EXPECT_EQ(device->setADCProperties(2, 3, -2), 0);
    EXPECT_EQ(device->samplingSettings().value(Veldrin_II_DriverSampling::ChannelFlag2), QVariant(true));
    EXPECT_EQ(chip(0)->openCount(), 1);
}

TEST_F(GenerationIIDevice, StartsResetTheResultsBeforeTheAcquisitionChecks)
{
    make();
    auto oneResult = [&] {
        ASSERT_EQ(device->runMeasurement(1, 3, 10), 0);
        feed("00 1000");
        ASSERT_EQ(device->getResult(1).size(), 1);
    };

    oneResult();
    EXPECT_EQ(device->runMeasurement(4, 3, 100), 21);
    EXPECT_TRUE(device->getResult(1).isEmpty());
    oneResult();
    EXPECT_EQ(device->runMeasurement(3, 17, 100), 22);
    EXPECT_TRUE(device->getResult(1).isEmpty());
    oneResult();
    EXPECT_EQ(device->runMeasurement(3, 3, 1), 23);
    EXPECT_TRUE(device->getResult(1).isEmpty());

    // A sweep whose own checks fail keeps everything; one whose acquisition
    // checks fail has already reset and programmed its DACs.
    oneResult();
    EXPECT_EQ(device->run1DSweepMeasurement(3, 2, 100), 22);
    EXPECT_EQ(device->getResult(1).size(), 1);
    ASSERT_EQ(device->setSweepProperties(1, -2000, 3000), 0);
    EXPECT_EQ(device->run1DSweepMeasurement(7, 3, 100), 21);
    EXPECT_TRUE(device->getResult(1).isEmpty());
    EXPECT_EQ(variantToInt(device->dacSettings(1).value(Veldrin_II_DriverDAC::Waveform)), 3);
    EXPECT_DOUBLE_EQ(dac(1, Veldrin_II_DriverDAC::LowLevel), -2.0);
    EXPECT_DOUBLE_EQ(dac(1, Veldrin_II_DriverDAC::HighLevel), 3.0);

    oneResult();
    ASSERT_EQ(device->setSweepProperties(2, 500, 1500), 0);
    EXPECT_EQ(device->run2DSweepMeasurement(4, 3, 100, 5), 21);
    EXPECT_TRUE(device->getResult(1).isEmpty());
    EXPECT_EQ(variantToInt(device->dacSettings(2).value(Veldrin_II_DriverDAC::Waveform)), 0);
    EXPECT_DOUBLE_EQ(dac(2, Veldrin_II_DriverDAC::Offset), 0.5);

    // A channel mask of 0 is a valid start.
    EXPECT_EQ(device->runMeasurement(0, 3, 100), 0);
    EXPECT_FALSE(device->isMeasurementComplete());
}

// Stream packets handed straight to the device, as the protocol thread does;
// the device is not open, so nothing else reaches it.
TEST_F(GenerationIIDevice, StreamPacketsFillRowsPerSweepPoint)
{
    make();
    const auto calibration = device->calibration();
    const double s1 = calibration.scaleFor(0, 0, 3, false); // offsets are 0
    const double s2 = calibration.scaleFor(1, 0, 3, false);

    ASSERT_EQ(device->runMeasurement(2, 3, 10), 0);
    feed("00 3412");
    EXPECT_EQ(device->getResult(2), QVector<double>{0x1234 * s2});
    EXPECT_TRUE(device->getResult(1).isEmpty());
    EXPECT_FALSE(device->isMeasurementComplete());
    feed("01 FFFF");
    EXPECT_TRUE(device->isMeasurementComplete());
    EXPECT_EQ(device->getResult(2), (QVector<double>{0x1234 * s2, -1 * s2}));

    // Both inputs: the samples alternate, input 1 first.
    ASSERT_EQ(device->runMeasurement(3, 3, 10), 0);
    feed("");
    feed("01 1000");           // half a block
    feed("01 1000 2000 11");   // a block and a byte
    EXPECT_TRUE(device->get2DResult(1).isEmpty());
    EXPECT_FALSE(device->isMeasurementComplete());
    feed("FE 1000 2000 1100 2100"); // bit 0 clear: not the last packet
    EXPECT_FALSE(device->isMeasurementComplete());
    EXPECT_EQ(device->getResult(1), (QVector<double>{16 * s1, 16 * s1}));
    EXPECT_EQ(device->getResult(2), (QVector<double>{32 * s2, 32 * s2}));
    feed("01");
    EXPECT_TRUE(device->isMeasurementComplete());
    EXPECT_EQ(rows(*device, 1), 1);

    // No input enabled: only the bare flag byte fits, and it ends the point.
    ASSERT_EQ(device->runMeasurement(0, 3, 10), 0);
    feed("01 1000 2000");
    EXPECT_FALSE(device->isMeasurementComplete());
    feed("01");
    EXPECT_TRUE(device->isMeasurementComplete());
    EXPECT_TRUE(device->get2DResult(1).isEmpty());

    // A two-dimensional sweep: one row per point, DAC 2 stepped from start to
    // stop, complete only after the last point.
    ASSERT_EQ(device->setSweepProperties(2, 0, 1000), 0);
    ASSERT_EQ(device->run2DSweepMeasurement(1, 3, 2, 5), 0);
    for (int point = 0; point < 5; ++point) {
        SCOPED_TRACE(point);
        EXPECT_DOUBLE_EQ(dac(2, Veldrin_II_DriverDAC::Offset), 0.25 * point);
        const QByteArray count = QByteArray(1, char(point + 1)).toHex();
        feed(("00 " + count + "00").constData());
        EXPECT_FALSE(device->isMeasurementComplete());
        feed(("01 " + count + "00").constData());
        EXPECT_EQ(device->isMeasurementComplete(), point == 4);
    }
    EXPECT_DOUBLE_EQ(dac(2, Veldrin_II_DriverDAC::Offset), 1.0);
    const auto table = device->get2DResult(1);
    ASSERT_EQ(table.size(), 5);
    for (int point = 0; point < 5; ++point)
        EXPECT_EQ(table.at(point), (QVector<double>{(point + 1) * s1, (point + 1) * s1})) << point;
    EXPECT_EQ(device->getResult(1), table.at(0));
    int columns = -1;
    EXPECT_EQ(rows(*device, 1, &columns), 5);
    EXPECT_EQ(columns, 2);
    EXPECT_TRUE(device->get2DResult(2).isEmpty());
    EXPECT_EQ(rows(*device, 2, &columns), 0);
    EXPECT_EQ(columns, 0);
}

TEST_F(GenerationIIDevice, OpeningReadsBackTheInstrumentAndSettingsReachIt)
{
    make();
    instrument->clearHostRequests();
    ASSERT_EQ(device->openDevice(), 0);
    ASSERT_TRUE(becomesIdle(*device));
    EXPECT_TRUE(chip(0)->isOpen());
    EXPECT_TRUE(device->lastResult().isSuccess()) << device->lastResult().message.toStdString();
    QVector<int> commands = commandsOf(*instrument);
    ASSERT_GE(commands.size(), 4);
    EXPECT_EQ(commands.first(), -3);
    EXPECT_EQ(commands.mid(commands.size() - 3), (QVector<int>{72, 69, 70}));

    using D = Veldrin_II_DriverDAC;
    EXPECT_EQ(variantToInt(device->dacSettings(1).value(D::Waveform)), 0);
    EXPECT_DOUBLE_EQ(dac(1, D::Frequency), 500.0);
    EXPECT_DOUBLE_EQ(dac(1, D::Amplitude), 1.5);
    EXPECT_DOUBLE_EQ(dac(1, D::Offset), 0.25);
    EXPECT_EQ(variantToInt(device->dacSettings(2).value(D::Waveform)), 1);
    EXPECT_DOUBLE_EQ(dac(2, D::Frequency), 250.0);
    EXPECT_DOUBLE_EQ(dac(2, D::Amplitude), 0.8);
    EXPECT_DOUBLE_EQ(dac(2, D::Offset), -0.3);

    const auto stored = instrument->calibration();
    const auto calibration = device->calibration();
    for (int c = 0; c < 2; ++c)
        for (int r = 0; r < 4; ++r)
            for (int code = 0; code <= 16; ++code)
                for (int f = 0; f < 2; ++f) {
                    const int q = code >= 2 ? 1 : 0;
                    const int n = SimulatedInstrumentII::conversionsPerSample(code);
                    EXPECT_DOUBLE_EQ(calibration.offsetFor(c, r, code, f), stored.offset[c][r][q][f] / 10.0 * n);
                    EXPECT_DOUBLE_EQ(calibration.scaleFor(c, r, code, f),
                                     stored.scale[c][r][q][f] / 30000.0 * SimulatedInstrumentII::rangeStep(r) / n);
                }

    const int requests = instrument->hostRequests().size();
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(device->openDevice(), 0);
    EXPECT_LT(timer.elapsed(), 100);
    EXPECT_EQ(instrument->hostRequests().size(), requests);

    // Each PWM setting is staged and then applied with 42.
    instrument->clearHostRequests();
    EXPECT_EQ(device->setPWM(2, 50), 0);
    EXPECT_EQ(device->setPWM(1, 10), 0);
    EXPECT_EQ(device->setPWMFrequency(2500), 0);
    ASSERT_TRUE(becomesIdle(*device));
    EXPECT_EQ(commandsOf(*instrument), (QVector<int>{36, 42, 35, 42, 34, 42}));
    EXPECT_EQ(instrument->pwmSettings(2), QByteArray::fromHex("023200"));
    EXPECT_EQ(instrument->pwmSettings(1), QByteArray::fromHex("020A00"));
    EXPECT_EQ(instrument->pwmFrequency(), 2500u);
    EXPECT_EQ(payloadsOf(*instrument, 34), QVector<QByteArray>{QByteArray::fromHex("C4090000")});

    // Each DAC change sends its channel's whole block, read-back fields included.
    instrument->clearHostRequests();
    EXPECT_EQ(device->setDACAmplitude(2, 4500), 0);
    EXPECT_EQ(device->setDACOffset(1, -4500), 0);
    EXPECT_EQ(device->setDACFrequency(1, 20000), 0);
    EXPECT_EQ(device->setDACWaveform(1, 2), 0);
    EXPECT_EQ(device->setSweepProperties(1, -4500, 4500), 0);
    EXPECT_EQ(device->setADCProperties(2, 1, 1), 0);
    ASSERT_TRUE(becomesIdle(*device));
    EXPECT_EQ(commandsOf(*instrument), (QVector<int>{38, 37, 37, 37}));
    EXPECT_EQ(payloadsOf(*instrument, 38).value(0), QByteArray::fromHex("01 F401 9411 D4FE"));
    EXPECT_EQ(payloadsOf(*instrument, 37).value(0), QByteArray::fromHex("00 E803 DC05 6CEE"));
    EXPECT_EQ(instrument->dacSettings(1), QByteArray::fromHex("02 409C DC05 6CEE"));
    EXPECT_EQ(instrument->dacSettings(2), QByteArray::fromHex("01 F401 9411 D4FE"));
    EXPECT_TRUE(device->lastResult().isSuccess());
}

TEST_F(GenerationIIDevice, MeasurementsUseEachChannelsRangeAndFlag)
{
    open(QStringLiteral("gen2 serial=SYBH008010004 signal=dc pace=fast"));

    // Input 1 on range code 1 with its switch on, input 2 on range code 0 with
    // it off; eight conversions are summed per sample at period code 6.
    ASSERT_EQ(device->setADCProperties(1, 2, 1), 0);
    ASSERT_EQ(device->setADCProperties(2, 3, 0), 0);
    for (const int mask : {3, 1, 2, 0}) {
        SCOPED_TRACE(mask);
        measure(mask, 6, 300);
        EXPECT_EQ(instrument->samplingSettings(),
                  QByteArray::fromHex("06 01 00 01 00 2C01 0000") + char(mask) + QByteArray::fromHex("000000"));
        const QVector<double> one = device->getResult(1);
        const QVector<double> two = device->getResult(2);
        EXPECT_EQ(one.size(), (mask & 1) ? 300 : 0);
        EXPECT_EQ(two.size(), (mask & 2) ? 300 : 0);
        EXPECT_TRUE(allNear(one, 1.25, resolution(1)));
        EXPECT_TRUE(allNear(two, -0.75, resolution(2)));
        int columns = -1;
        EXPECT_EQ(rows(*device, 2, &columns), (mask & 2) ? 1 : 0);
        EXPECT_EQ(columns, (mask & 2) ? 300 : 0);
        EXPECT_EQ(device->get2DResult(1).value(0), one);
    }

    // Finer ranges the other way round, switches swapped: each channel's own
    // entries convert its counts, at a period that sums four conversions.
    SimulatedSignal signal(SimulatedSignal::Kind::Dc);
    signal.setLevel(0, 0.3);
    signal.setLevel(1, -0.05);
    instrument->setSignal(signal);
    ASSERT_EQ(device->setADCProperties(1, 1, 0), 0);
    ASSERT_EQ(device->setADCProperties(2, 0, 1), 0);
    measure(3, 5, 200);
    EXPECT_EQ(instrument->samplingSettings(), QByteArray::fromHex("05 02 03 00 01 C800 0000 03 000000"));
    EXPECT_LT(resolution(2), 1e-5);
    EXPECT_TRUE(allNear(device->getResult(1), 0.3, resolution(1)));
    EXPECT_TRUE(allNear(device->getResult(2), -0.05, resolution(2)));

    // Period code 2 takes the calibration measured at code 3.
    measure(3, 2, 100);
    EXPECT_TRUE(allNear(device->getResult(1), 0.3, resolution(1)));
    EXPECT_TRUE(allNear(device->getResult(2), -0.05, resolution(2)));
    EXPECT_TRUE(device->lastResult().isSuccess());
}

TEST_F(GenerationIIDevice, SweepsProgramTheDacsAndCollectOneRowPerPoint)
{
    open();
    // One-dimensional, default bounds: DAC 1 ramps from -1 V to 1 V across
    // the acquisition and input 1 follows it.
    instrument->clearHostRequests();
    ASSERT_EQ(device->run1DSweepMeasurement(1, 3, 200), 0);
    ASSERT_TRUE(completes(*device));
    ASSERT_TRUE(becomesIdle(*device));
    EXPECT_EQ(commandsOf(*instrument), (QVector<int>{37, 32}));
    EXPECT_EQ(instrument->dacSettings(1), QByteArray::fromHex("03 E803 D007 18FC"));
    const QVector<double> ramp = device->getResult(1);
    ASSERT_EQ(ramp.size(), 200);
    const double tolerance = resolution(1) + 2.0 / 199;
    EXPECT_NEAR(ramp.first(), -1.0, tolerance);
    EXPECT_NEAR(ramp.last(), 1.0, 2 * tolerance); // the median trails by two samples
    for (int k = 1; k < ramp.size(); ++k)
        ASSERT_GE(ramp.at(k), ramp.at(k - 1)) << k;
    int columns = -1;
    EXPECT_EQ(rows(*device, 1, &columns), 1);
    EXPECT_EQ(columns, 200);

    // Two-dimensional: DAC 2 holds a level (no amplitude) that steps from 0 V
    // to 1 V over five points; input 2 reads each level back.
    ASSERT_EQ(device->setDACAmplitude(2, 0), 0);
    ASSERT_EQ(device->setSweepProperties(1, -500, 1500), 0);
    ASSERT_EQ(device->setSweepProperties(2, 0, 1000), 0);
    ASSERT_TRUE(becomesIdle(*device));
    instrument->clearHostRequests();
    const quint32 acquisitions = instrument->acquisitionCount();
    ASSERT_EQ(device->run2DSweepMeasurement(3, 3, 20, 5), 0);
    ASSERT_TRUE(completes(*device));
    ASSERT_TRUE(becomesIdle(*device));
    EXPECT_EQ(commandsOf(*instrument), (QVector<int>{37, 38, 32, 38, 32, 38, 32, 38, 32, 38, 32}));
    EXPECT_EQ(instrument->acquisitionCount(), acquisitions + 5);
    EXPECT_EQ(payloadsOf(*instrument, 37).value(0), QByteArray::fromHex("03 E803 D007 0CFE"));
    const QVector<QByteArray> steps = payloadsOf(*instrument, 38);
    ASSERT_EQ(steps.size(), 5);
    for (int point = 0; point < 5; ++point) {
        EXPECT_EQ(steps.at(point).left(5), QByteArray::fromHex("00 F401 0000")) << point;
        EXPECT_EQ(qint16(quint8(steps.at(point).at(5)) | quint8(steps.at(point).at(6)) << 8), 250 * point)
            << point;
    }

    const auto second = device->get2DResult(2);
    ASSERT_EQ(second.size(), 5);
    for (int point = 0; point < 5; ++point) {
        EXPECT_EQ(second.at(point).size(), 20);
        EXPECT_TRUE(allNear(second.at(point), 0.25 * point, resolution(2))) << "point " << point;
    }
    const auto first = device->get2DResult(1);
    ASSERT_EQ(first.size(), 5);
    for (const auto &row : first)
        EXPECT_NEAR(row.first(), -0.5, tolerance);
    EXPECT_EQ(device->getResult(1), first.at(0));
    EXPECT_EQ(rows(*device, 2, &columns), 5);
    EXPECT_EQ(columns, 20);
    EXPECT_TRUE(device->lastResult().isSuccess());

    // A new start discards the sweep's rows.
    ASSERT_NO_FATAL_FAILURE(measure(2, 3, 10));
    EXPECT_EQ(rows(*device, 2), 1);
    EXPECT_TRUE(device->get2DResult(1).isEmpty());
}

// A host start while the protocol thread is between deciding a sweep's next
// point and submitting it: the start waits for the submission and wins, so
// the instrument ends with the host's settings and the result holds the
// host's measurement only.
TEST_F(GenerationIIDevice, AHostStartCannotBeOvertakenByASweepStep)
{
    open(QStringLiteral("gen2 serial=SYBH008010004 signal=dc pace=fast"));
    std::mutex gate;
    std::condition_variable changed;
    bool held = false;
    bool released = false;
    device->setSweepStepHook([&] {
        std::unique_lock<std::mutex> lock(gate);
        if (held)
            return;
        held = true;
        changed.notify_all();
        changed.wait_for(lock, std::chrono::seconds(5), [&] { return released; });
    });

    instrument->clearHostRequests();
    ASSERT_EQ(device->run2DSweepMeasurement(1, 3, 50, 3), 0);
    {
        std::unique_lock<std::mutex> lock(gate);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(5), [&] { return held; }));
    }
    std::atomic<int> hostStatus{-1};
    std::thread host([&] { hostStatus = device->runMeasurement(2, 3, 40); });
    // Long enough for the host start to finish if nothing held it back.
    QThread::msleep(100);
    {
        std::lock_guard<std::mutex> lock(gate);
        released = true;
        changed.notify_all();
    }
    host.join();
    ASSERT_EQ(hostStatus, 0);
    ASSERT_TRUE(completes(*device));
    ASSERT_TRUE(becomesIdle(*device));

    EXPECT_EQ(commandsOf(*instrument), (QVector<int>{37, 38, 32, 38, 32, 32}));
    const QVector<QByteArray> starts = payloadsOf(*instrument, 32);
    EXPECT_EQ(quint8(starts.last().at(9)), 2);
    EXPECT_EQ(instrument->samplingSettings(), device->samplingSettings().toPayload());
    EXPECT_TRUE(device->get2DResult(1).isEmpty());
    const auto second = device->get2DResult(2);
    ASSERT_EQ(second.size(), 1);
    EXPECT_EQ(second.at(0).size(), 40);
    EXPECT_TRUE(allNear(second.at(0), -0.75, resolution(2)));
}

// The spike filter's window carries over from one packet to the next, and
// packets that come after the final one are still appended.
TEST_F(GenerationIIDevice, StreamDecodingAcrossPacketBoundaries)
{
    make();
    const double s1 = device->calibration().scaleFor(0, 0, 3, false);
    ASSERT_EQ(device->runMeasurement(1, 3, 10), 0);
    feed("00 6400 6400 6400 6400"); // four samples of 100 counts
    feed("00 FF7F 6400");           // a spike, whose neighbours came before
    EXPECT_EQ(device->getResult(1), QVector<double>(6, 100 * s1));
    feed("01 6400");
    EXPECT_TRUE(device->isMeasurementComplete());
    feed("00 6400");
    EXPECT_EQ(device->getResult(1).size(), 8);
    EXPECT_TRUE(device->isMeasurementComplete()); // only a final flag ends a point
}

// A falling sweep steps DAC 2 downwards, from start to stop.
TEST_F(GenerationIIDevice, DescendingSweepBounds)
{
    open(QStringLiteral("gen2 serial=SYBH008010004 pace=fast"));
    ASSERT_EQ(device->setDACAmplitude(2, 0), 0);
    ASSERT_EQ(device->setSweepProperties(2, 1500, -500), 0);
    ASSERT_EQ(device->run2DSweepMeasurement(2, 3, 10, 5), 0);
    ASSERT_TRUE(completes(*device));
    const auto table = device->get2DResult(2);
    ASSERT_EQ(table.size(), 5);
    for (int point = 0; point < 5; ++point)
        EXPECT_TRUE(allNear(table.at(point), 1.5 - 0.5 * point, resolution(2))) << point;
    EXPECT_DOUBLE_EQ(dac(2, Veldrin_II_DriverDAC::Offset), -0.5);
}

// A read-back that fails leaves the block as it was: a rejected status, or a
// reply of the wrong length.
TEST_F(GenerationIIDevice, FailedReadBacksLeaveTheBlocksUnchanged)
{
    make();
    const QByteArray defaults = device->dacSettings(1).toPayload();
    const QByteArray calibrationBefore = streamed(device->calibration());
    instrument->overrideStatus(69, 2, 1);
    instrument->shortenReplies(72, 1, 1);
    ASSERT_EQ(device->openDevice(), 0);
    ASSERT_TRUE(becomesIdle(*device));
    EXPECT_EQ(device->dacSettings(1).toPayload(), defaults);
    EXPECT_EQ(streamed(device->calibration()), calibrationBefore);
    // DAC 2 was read back: its block holds what the instrument reported.
    EXPECT_EQ(device->dacSettings(2).toPayload(), instrument->dacSettings(2));
    EXPECT_TRUE(device->lastResult().isSuccess());
}

// The start instruction lost on its way: the request times out after its
// 4000 ms, the measurement stays incomplete and the reason is kept.
TEST_F(GenerationIIDevice, AStartThatTimesOutLeavesTheMeasurementIncomplete)
{
    open();
    instrument->dropRequests(32, 1);
    QElapsedTimer timer;
    timer.start();
    ASSERT_EQ(device->runMeasurement(1, 3, 10), 0);
    ASSERT_TRUE(becomesIdle(*device, 10000));
    EXPECT_GE(timer.elapsed(), 3900);
    EXPECT_FALSE(device->isMeasurementComplete());
    EXPECT_EQ(device->lastResult().toString(), QStringLiteral("Communication timed out"));
    measure(1, 3, 10);
    EXPECT_EQ(device->getResult(1).size(), 10);
}

} // namespace

// Instruments pulled out at random moments of a fast stream (both channels
// every 10 us, in real time): a wait in progress ends with the loss soon after
// the unplug every time, whatever part of a packet the host had buffered. An
// FT-X bridge hands the stream over in 62-byte USB packets, whose ends fall
// anywhere in the stream's packets, headers included. The instruments are
// opened side by side, twenty at a time, since each opening takes its fixed
// pauses.
TEST_F(GenerationIIDevice, AWaitEndsWithTheLossAtAnyMomentOfAStream)
{
    constexpr int Instruments = 100;
    QStringList entries;
    for (int i = 0; i < Instruments; ++i)
        entries.append(QStringLiteral("gen2 chip=9 signal=sine"));
    attachBus(entries.join(QStringLiteral("; ")));
    const QVector<std::shared_ptr<USBDevice>> usb = USBDriver().devices(false);
    ASSERT_EQ(usb.size(), Instruments);

    const unsigned seed = std::random_device()();
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> momentUs(0, 20000);
    using Clock = std::chrono::steady_clock;
    int lost = 0;
    // Opened a batch at a time: a hundred idle instruments at once would keep
    // two hundred threads polling beside the one being measured.
    constexpr int Batch = 20;
    for (int first = 0; first < Instruments; first += Batch) {
        std::vector<std::shared_ptr<Veldrin_II_DriverDevice>> devices(Batch);
        std::vector<int> opened(Batch, -1);
        {
            std::vector<std::thread> openers;
            for (int j = 0; j < Batch; ++j)
                openers.emplace_back([&, j] {
                    devices[j] = std::make_shared<Veldrin_II_DriverDevice>(usb[first + j]);
                    opened[j] = devices[j]->openDevice();
                });
            for (std::thread &t : openers)
                t.join();
        }
        for (int j = 0; j < Batch; ++j) {
            const int i = first + j;
            ASSERT_EQ(opened[j], 0) << "instrument " << i;
            Veldrin_II_DriverDevice &device = *devices[j];
            ASSERT_TRUE(becomesIdle(device));
            ASSERT_EQ(device.runMeasurement(3, 0, 50000), 0);
            VeldrinDriverDevice::WaitOutcome outcome = VeldrinDriverDevice::WaitOutcome::Complete;
            Clock::time_point ended;
            std::thread waiter([&] {
                outcome = device.waitForMeasurement(2500);
                ended = Clock::now();
            });
            std::this_thread::sleep_for(std::chrono::microseconds(momentUs(random)));
            const Clock::time_point unplugged = Clock::now();
            chip(i)->setFault(SimulatedFtdiChip::Unplugged);
            waiter.join();
            EXPECT_EQ(int(outcome), int(VeldrinDriverDevice::WaitOutcome::Lost)) << "instrument " << i;
            EXPECT_LT(ended - unplugged, std::chrono::seconds(1)) << "instrument " << i;
            lost += outcome == VeldrinDriverDevice::WaitOutcome::Lost ? 1 : 0;
            devices[j].reset();
        }
    }
    EXPECT_EQ(lost, Instruments);
}

// A sweep step held on the protocol thread for longer than a close waits for
// the thread: the close goes on, the step's submissions are refused once it
// has begun (no request reaches the instrument), and the device is destroyed
// only after the step has let go.
TEST_F(GenerationIIDevice, ASweepStepHeldThroughACloseIsRefusedAndOutlived)
{
    open(QStringLiteral("gen2 serial=SYBH008010004 signal=dc pace=fast"));
    std::mutex gate;
    std::condition_variable changed;
    bool held = false;
    std::atomic<bool> stepReturned{false};
    device->setSweepStepHook([&] {
        {
            std::lock_guard<std::mutex> lock(gate);
            if (held)
                return;
            held = true;
        }
        changed.notify_all();
        QThread::msleep(1500);
        stepReturned = true;
    });
    ASSERT_EQ(device->run2DSweepMeasurement(1, 3, 50, 3), 0);
    {
        std::unique_lock<std::mutex> lock(gate);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(5), [&] { return held; }));
    }
    const int requestsBefore = instrument->hostRequests().size();
    device->shutdown();
    device.reset();
    EXPECT_TRUE(stepReturned);
    EXPECT_EQ(instrument->hostRequests().size(), requestsBefore);
}
