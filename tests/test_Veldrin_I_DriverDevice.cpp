// The generation I device talking to the virtual generation I instrument on
// the simulated bus: information record, opening, settings, measurements and
// the decoding of the sample stream.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <functional>

#include "InstrumentBusTest.h"
#include "SimulatedInstrumentI.h"
#include "Veldrin_I_DriverDevice.h"

namespace {

class GenerationIDevice : public InstrumentBusTest
{
protected:
    void make(const QString &description = QStringLiteral("gen1 serial=SYAH004010007 pace=fast"))
    {
        attachBus(description);
        const auto usb = listed(0);
        ASSERT_TRUE(usb);
        device = std::make_shared<Veldrin_I_DriverDevice>(usb);
        instrument = instrumentAt<SimulatedInstrumentI>(0);
        ASSERT_TRUE(instrument);
    }

    void open(const QString &description = QStringLiteral("gen1 serial=SYAH004010007 pace=fast"))
    {
        make(description);
        ASSERT_EQ(device->openDevice(), 0);
        ASSERT_TRUE(becomesIdle(*device));
    }

    // Starts a measurement and waits for its end, as a host polling for it would.
    void measure(int mask, int period, int count)
    {
        ASSERT_EQ(device->runMeasurement(mask, period, count), 0);
        ASSERT_TRUE(completes(*device));
        ASSERT_TRUE(becomesIdle(*device));
    }

    // One count of input `channel` (1, 2) at the current range and period, in volts.
    double resolution(int channel)
    {
        const auto sampling = device->samplingSettings();
        const int range = variantToInt(sampling.value(Veldrin_I_DriverSampling::Range));
        const int period = variantToInt(sampling.value(Veldrin_I_DriverSampling::Period));
        return device->calibration().scaleFor(channel - 1, range, period) * (1 + 1e-9);
    }

    double dac(Veldrin_I_DriverDAC::Key key) { return variantToDouble(device->dacSettings().value(key)); }

    std::shared_ptr<Veldrin_I_DriverDevice> device;
    std::shared_ptr<SimulatedInstrumentI> instrument;
};

TEST_F(GenerationIDevice, ConstructionReadsTheInformationRecordAndClosesAgain)
{
    make(QStringLiteral("gen1 serial=SYAH004010007; gen1 serial=SYAH004010008 fault=eeprom-fail"));
    const DeviceInfo &info = device->deviceInformation();
    EXPECT_TRUE(info.valid);
    EXPECT_EQ(info.serialNumber, QStringLiteral("SYAH004010007"));
    EXPECT_EQ(info.label, QStringLiteral("Veldrin I measurement unit"));
    EXPECT_EQ(info.versionPair.first, 1);
    EXPECT_FALSE(chip(0)->isOpen());
    EXPECT_EQ(chip(0)->openCount(), 1);

    // A chip that cannot be opened leaves the record empty.
    Veldrin_I_DriverDevice unopened(listed(1));
    EXPECT_TRUE(unopened.deviceInformation() == DeviceInfo());
    EXPECT_TRUE(unopened.deviceInformation().serialNumber.isEmpty());

    // Nothing measured yet.
    EXPECT_TRUE(device->isMeasurementComplete());
    EXPECT_TRUE(device->getResult(1).isEmpty());
    EXPECT_TRUE(device->getResult(3).isEmpty());
    EXPECT_EQ(device->get2DResult(1), QVector<QVector<double>>{QVector<double>()});
    int rows = -1, columns = -1;
    EXPECT_EQ(device->get2DResultSizes(2, &rows, &columns), 0);
    EXPECT_EQ(rows, 0);
    EXPECT_EQ(columns, 0);
    EXPECT_TRUE(device->acceptsPacket(0));
    EXPECT_FALSE(device->acceptsPacket(1));
}

TEST_F(GenerationIDevice, ArgumentChecksRunInParameterOrderAndChangeNothing)
{
    make();
    Veldrin_I_DriverDevice &d = *device;
    const QByteArray dacBefore = d.dacSettings().toPayload();
    const QByteArray samplingBefore = d.samplingSettings().toPayload();
    const struct
    {
        const char *call;
        std::function<int()> run;
        int expected;
    } cases[] = {
        {"setPWM(0, 50)", [&] { return d.setPWM(0, 50); }, 11},
        {"setPWM(2, 101)", [&] { return d.setPWM(2, 101); }, 11},
        {"setPWM(1, -1)", [&] { return d.setPWM(1, -1); }, 12},
        {"setPWM(1, 101)", [&] { return d.setPWM(1, 101); }, 12},
        {"setPWMFrequency(1000)", [&] { return d.setPWMFrequency(1000); }, 10},
        {"setDACWaveform(2, 0)", [&] { return d.setDACWaveform(2, 0); }, 16},
        {"setDACWaveform(0, 9)", [&] { return d.setDACWaveform(0, 9); }, 16},
        {"setDACWaveform(1, 3)", [&] { return d.setDACWaveform(1, 3); }, 15},
        {"setDACWaveform(1, -1)", [&] { return d.setDACWaveform(1, -1); }, 15},
        {"setDACOffset(2, 0)", [&] { return d.setDACOffset(2, 0); }, 16},
        {"setDACOffset(1, 5001)", [&] { return d.setDACOffset(1, 5001); }, 18},
        {"setDACOffset(1, -5001)", [&] { return d.setDACOffset(1, -5001); }, 18},
        {"setDACAmplitude(2, 0)", [&] { return d.setDACAmplitude(2, 0); }, 16},
        {"setDACAmplitude(1, 5001)", [&] { return d.setDACAmplitude(1, 5001); }, 19},
        {"setDACAmplitude(1, -5001)", [&] { return d.setDACAmplitude(1, -5001); }, 19},
        {"setDACFrequency(2, 100)", [&] { return d.setDACFrequency(2, 100); }, 16},
        {"setDACFrequency(1, 9)", [&] { return d.setDACFrequency(1, 9); }, 20},
        {"setDACFrequency(1, 5001)", [&] { return d.setDACFrequency(1, 5001); }, 20},
        {"setSweepProperties(1, 0, 100)", [&] { return d.setSweepProperties(1, 0, 100); }, 10},
        {"setADCProperties(3, 2, 0)", [&] { return d.setADCProperties(3, 2, 0); }, 25},
        {"setADCProperties(0, 4, 0)", [&] { return d.setADCProperties(0, 4, 0); }, 25},
        {"setADCProperties(1, 4, 0)", [&] { return d.setADCProperties(1, 4, 0); }, 24},
        {"setADCProperties(1, 1, 0)", [&] { return d.setADCProperties(1, 1, 0); }, 24},
        {"runMeasurement(4, 5, 100)", [&] { return d.runMeasurement(4, 5, 100); }, 21},
        {"runMeasurement(-1, 4, 50001)", [&] { return d.runMeasurement(-1, 4, 50001); }, 21},
        {"runMeasurement(3, 4, 100)", [&] { return d.runMeasurement(3, 4, 100); }, 22},
        {"runMeasurement(3, 17, -1)", [&] { return d.runMeasurement(3, 17, -1); }, 22},
        {"runMeasurement(3, 5, 50001)", [&] { return d.runMeasurement(3, 5, 50001); }, 23},
        {"runMeasurement(3, 16, -1)", [&] { return d.runMeasurement(3, 16, -1); }, 23},
        {"run1DSweepMeasurement(3, 5, 100)", [&] { return d.run1DSweepMeasurement(3, 5, 100); }, 10},
        {"run2DSweepMeasurement(3, 5, 100, 5)", [&] { return d.run2DSweepMeasurement(3, 5, 100, 5); }, 10},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.run(), c.expected) << c.call;
    EXPECT_EQ(d.dacSettings().toPayload(), dacBefore);
    EXPECT_EQ(d.samplingSettings().toPayload(), samplingBefore);
    EXPECT_TRUE(d.isMeasurementComplete());
}

TEST_F(GenerationIDevice, RefusedSubmissionsKeepTheNewSettings)
{
    make();
    // No device is open: every instruction is refused after the block changed.
    EXPECT_EQ(device->setPWM(1, 100), 13);
    EXPECT_EQ(device->setDACWaveform(1, 1), 17);
    EXPECT_EQ(device->setDACOffset(1, -5000), 17);
    EXPECT_EQ(device->setDACAmplitude(1, 5000), 17);
    EXPECT_EQ(device->setDACFrequency(1, 10), 17);
    EXPECT_EQ(variantToInt(device->dacSettings().value(Veldrin_I_DriverDAC::Waveform)), 1);
    EXPECT_DOUBLE_EQ(dac(Veldrin_I_DriverDAC::Offset), -5.0);
    EXPECT_DOUBLE_EQ(dac(Veldrin_I_DriverDAC::Amplitude), 5.0);
    EXPECT_EQ(device->dacSettings().value(Veldrin_I_DriverDAC::Frequency), QVariant(10));
    EXPECT_EQ(device->dacSettings().toPayload(), QByteArray::fromHex("01 0A00 8813 78EC"));

    // One range for both inputs, whichever channel names it; the flag is ignored.
    EXPECT_EQ(device->setADCProperties(2, 3, 0), 0);
    EXPECT_EQ(device->samplingSettings().value(Veldrin_I_DriverSampling::Range), QVariant(0));
    EXPECT_EQ(device->setADCProperties(1, 2, 7), 0);
    EXPECT_EQ(device->samplingSettings().value(Veldrin_I_DriverSampling::Range), QVariant(1));
    EXPECT_EQ(chip(0)->openCount(), 1);
}

TEST_F(GenerationIDevice, OpeningReadsBackTheInstrumentAndSettingsReachIt)
{
    make();
    instrument->clearHostRequests();
    ASSERT_EQ(device->openDevice(), 0);
    ASSERT_TRUE(becomesIdle(*device));
    EXPECT_TRUE(chip(0)->isOpen());
    EXPECT_TRUE(device->lastResult().isSuccess()) << device->lastResult().message.toStdString();

    const QVector<int> commands = commandsOf(*instrument);
    ASSERT_GE(commands.size(), 3);
    EXPECT_EQ(commands.first(), -3) << "the start step comes first";
    EXPECT_EQ(commands.mid(commands.size() - 2), (QVector<int>{68, 67}));
    EXPECT_EQ(commands.count(68), 1);
    EXPECT_EQ(commands.count(67), 1);

    // The DAC block holds the instrument's power-on settings.
    EXPECT_EQ(variantToInt(device->dacSettings().value(Veldrin_I_DriverDAC::Waveform)), 0);
    EXPECT_DOUBLE_EQ(dac(Veldrin_I_DriverDAC::Frequency), 500.0);
    EXPECT_DOUBLE_EQ(dac(Veldrin_I_DriverDAC::Amplitude), 1.5);
    EXPECT_DOUBLE_EQ(dac(Veldrin_I_DriverDAC::Offset), 0.25);

    // The calibration block holds the instrument's own tables, every entry.
    const auto stored = instrument->calibration();
    const auto calibration = device->calibration();
    for (int c = 0; c < 2; ++c)
        for (int r = 0; r < 2; ++r)
            for (int code = 0; code <= 16; ++code) {
                const int i = qMin(code, 4);
                EXPECT_DOUBLE_EQ(calibration.scaleFor(c, r, code), stored.scale[c][r][i] / 1e6);
                EXPECT_DOUBLE_EQ(calibration.offsetFor(c, r, code), stored.offset[c][r][i] / 10.0);
            }

    // Opening an open device does nothing.
    const int requests = instrument->hostRequests().size();
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(device->openDevice(), 0);
    EXPECT_LT(timer.elapsed(), 100);
    EXPECT_EQ(instrument->hostRequests().size(), requests);

    EXPECT_EQ(device->setPWM(1, 100), 0);
    ASSERT_TRUE(becomesIdle(*device));
    EXPECT_EQ(payloadsOf(*instrument, 35), QVector<QByteArray>{QByteArray::fromHex("0264")});
    EXPECT_EQ(instrument->pwmSettings(), QByteArray::fromHex("0264"));

    // Each DAC change sends the whole block, the read-back fields included.
    EXPECT_EQ(device->setDACOffset(1, -5000), 0);
    ASSERT_TRUE(becomesIdle(*device));
    EXPECT_EQ(payloadsOf(*instrument, 36).value(0), QByteArray::fromHex("00 F401 DC05 78EC"));
    EXPECT_EQ(device->setDACWaveform(1, 2), 0);
    EXPECT_EQ(device->setDACAmplitude(1, 0), 0);
    EXPECT_EQ(device->setDACFrequency(1, 5000), 0);
    ASSERT_TRUE(becomesIdle(*device));
    EXPECT_EQ(payloadsOf(*instrument, 36).size(), 4);
    EXPECT_EQ(instrument->dacSettings(), QByteArray::fromHex("02 8813 0000 78EC"));
    EXPECT_TRUE(device->lastResult().isSuccess());

    // The input range travels with the next start only.
    const int before = instrument->hostRequests().size();
    EXPECT_EQ(device->setADCProperties(1, 2, 0), 0);
    EXPECT_EQ(instrument->hostRequests().size(), before);
}

TEST_F(GenerationIDevice, MeasurementsDeliverCalibratedVoltsPerChannel)
{
    open(QStringLiteral("gen1 serial=SYAH004010007 signal=dc pace=fast"));
    const quint32 acquisitionsBefore = instrument->acquisitionCount();

    // 300 samples per input take several stream packets; each measurement
    // replaces the results of the one before.
    for (const int mask : {3, 1, 2, 0}) {
        SCOPED_TRACE(mask);
        measure(mask, 8, 300);
        const QByteArray expectedSampling = QByteArray::fromHex("08 00 2C01") + char(mask) + QByteArray::fromHex("000100");
        EXPECT_EQ(instrument->samplingSettings(), expectedSampling);
        const QVector<double> one = device->getResult(1);
        const QVector<double> two = device->getResult(2);
        EXPECT_EQ(one.size(), (mask & 1) ? 300 : 0);
        EXPECT_EQ(two.size(), (mask & 2) ? 300 : 0);
        EXPECT_TRUE(allNear(one, 1.25, resolution(1)));
        EXPECT_TRUE(allNear(two, -0.75, resolution(2)));
        EXPECT_EQ(device->get2DResult(2), QVector<QVector<double>>{two});
        int rows = -1, columns = -1;
        EXPECT_EQ(device->get2DResultSizes(1, &rows, &columns), 0);
        EXPECT_EQ(rows, one.size());
        EXPECT_EQ(columns, 0);
    }
    EXPECT_EQ(instrument->acquisitionCount(), acquisitionsBefore + 4);

    // The finer range: its own calibration entries convert the counts.
    ASSERT_EQ(device->setADCProperties(2, 2, 0), 0);
    measure(3, 16, 250);
    EXPECT_EQ(instrument->samplingSettings(), QByteArray::fromHex("10 01 FA00 03 000100"));
    EXPECT_LT(resolution(1), 0.001);
    EXPECT_TRUE(allNear(device->getResult(1), 1.25, resolution(1)));
    EXPECT_TRUE(allNear(device->getResult(2), -0.75, resolution(2)));
    int rows = -1, columns = -1;
    device->get2DResultSizes(2, &rows, &columns);
    EXPECT_EQ(rows, 250);
    EXPECT_EQ(columns, 0);

    // Without samples the instrument still ends the measurement.
    measure(3, 5, 0);
    EXPECT_TRUE(device->getResult(1).isEmpty());

    // Looped back: input 1 sees the DAC, input 2 the mean of the PWM output.
    instrument->setSignal(SimulatedSignal(SimulatedSignal::Kind::Loopback));
    ASSERT_EQ(device->setDACAmplitude(1, 0), 0);
    ASSERT_EQ(device->setDACOffset(1, 1234), 0);
    ASSERT_EQ(device->setPWM(1, 40), 0);
    ASSERT_EQ(device->setADCProperties(1, 3, 0), 0);
    ASSERT_TRUE(becomesIdle(*device));
    measure(3, 5, 100);
    EXPECT_TRUE(allNear(device->getResult(1), 1.234, resolution(1)));
    EXPECT_TRUE(allNear(device->getResult(2), 2.0, resolution(2)));
    EXPECT_TRUE(device->lastResult().isSuccess());
}

// Stream packets handed straight to the device, as the protocol thread does;
// the device is not open, so nothing else reaches it.
TEST_F(GenerationIDevice, StreamPacketsThatBreakTheLayoutAreDropped)
{
    make();
    const double volts = device->calibration().scaleFor(0, 0, 5); // offsets are 0
    auto feed = [&](const char *hex) {
        QByteArray data = QByteArray::fromHex(hex);
        device->packetReceived(0, data);
    };
    ASSERT_EQ(device->runMeasurement(3, 5, 10), 0);
    EXPECT_FALSE(device->isMeasurementComplete());
    feed("");
    feed("04");
    feed("04 01 1000 1100 2000");          // one sample short
    feed("03 01 1000 1100 2000");          // three samples cannot split over two inputs
    feed("02 01 1000 1100 2000 2100");     // size smaller than the data
    EXPECT_TRUE(device->getResult(1).isEmpty());
    EXPECT_TRUE(device->getResult(2).isEmpty());
    EXPECT_FALSE(device->isMeasurementComplete());

    // Input 1's samples come first, then input 2's; counts are signed.
    feed("04 00 1000 FFFF 2000 0080");
    EXPECT_FALSE(device->isMeasurementComplete());
    feed("00 01");
    EXPECT_TRUE(device->isMeasurementComplete());
    EXPECT_EQ(device->getResult(1), (QVector<double>{16 * volts, -1 * volts}));
    EXPECT_EQ(device->getResult(2), (QVector<double>{32 * device->calibration().scaleFor(1, 0, 5),
                                                     -32768 * device->calibration().scaleFor(1, 0, 5)}));

    // With no input enabled only an empty packet fits; it ends the measurement.
    ASSERT_EQ(device->runMeasurement(0, 5, 10), 0);
    EXPECT_TRUE(device->getResult(1).isEmpty());
    feed("02 01 1000 1100");
    EXPECT_FALSE(device->isMeasurementComplete());
    feed("00 01");
    EXPECT_TRUE(device->isMeasurementComplete());
    EXPECT_TRUE(device->getResult(1).isEmpty());
    EXPECT_TRUE(device->getResult(2).isEmpty());
}

// The spike filter's window carries over from one packet to the next; packets
// after the final one are still appended, and one without the final flag
// marks the measurement incomplete again.
TEST_F(GenerationIDevice, StreamDecodingAcrossPacketBoundaries)
{
    make();
    const double s1 = device->calibration().scaleFor(0, 0, 5); // offsets are 0
    auto feed = [&](const char *hex) {
        QByteArray data = QByteArray::fromHex(hex);
        device->packetReceived(0, data);
    };
    ASSERT_EQ(device->runMeasurement(1, 5, 10), 0);
    feed("04 00 6400 6400 6400 6400"); // four samples of 100 counts
    feed("02 00 FF7F 6400");           // a spike, whose neighbours came before
    EXPECT_EQ(device->getResult(1), QVector<double>(6, 100 * s1));
    feed("01 01 6400");
    EXPECT_TRUE(device->isMeasurementComplete());
    feed("01 01 6400");
    EXPECT_EQ(device->getResult(1).size(), 8);
    EXPECT_TRUE(device->isMeasurementComplete());
    feed("01 00 6400");
    EXPECT_EQ(device->getResult(1).size(), 9);
    EXPECT_FALSE(device->isMeasurementComplete());
}

} // namespace
