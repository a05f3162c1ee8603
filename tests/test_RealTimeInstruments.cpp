// Instruments that take their real time, driven through the exported
// functions as a host drives them: exports while a stream is still arriving,
// new starts during sweeps, and instruments pulled out mid-measurement.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QThread>
#include <cmath>
#include <memory>

#include "FtdiBackend.h"
#include "SimulatedBus.h"
#include "SimulatedFtdiChip.h"
#include "SimulatedHost.h"
#include "SimulatedInstrumentII.h"
#include "VeldrinLib.h"

namespace {

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr qint64 closeMarginMs = 400;
#else
constexpr qint64 closeMarginMs = 150;
#endif

class RealTimeInstruments : public SimulatedHostTest
{
protected:
    std::shared_ptr<SimulatedFtdiChip> chip(int n) const { return bus->chips().at(n); }

    static QVector<double> result(int device, int channel)
    {
        int rows = 0, columns = 0;
        EXPECT_EQ(get2DResultSizes(device, channel, &rows, &columns), 0);
        QVector<double> values(std::max(rows * std::max(columns, 1), 1) + 50000);
        int count = -1;
        EXPECT_EQ(getResult(device, channel, &count, values.data()), 0);
        values.resize(std::max(count, 0));
        return values;
    }

    static bool allNear(const QVector<double> &values, double expected, double tolerance)
    {
        for (double v : values) {
            if (std::fabs(v - expected) > tolerance)
                return false;
        }
        return true;
    }

};

// Milliseconds an export call takes.
template <typename Call>
qint64 timed(Call call)
{
    QElapsedTimer timer;
    timer.start();
    call();
    return timer.elapsed();
}

TEST_F(RealTimeInstruments, ExportsReturnWhileAnAcquisitionStreams)
{
    start("gen2 signal=dc");
    ASSERT_EQ(setDACOffset(1, 1, 0), 0);
    // 1000 samples at 1 ms: the instrument needs a second.
    QElapsedTimer acquisition;
    acquisition.start();
    ASSERT_EQ(runMeasurement(1, 1, 6, 1000), 0);
    QThread::msleep(200);

    qint64 slowest = 0;
    int count = -1;
    bool complete = true;
    int rows = -1, columns = -1, devices = -1, index = -1;
    QVector<double> values(1000);
    slowest = std::max(slowest, timed([&] { EXPECT_EQ(isMeasurementComplete(1, &complete), 0); }));
    slowest = std::max(slowest, timed([&] { EXPECT_EQ(getResult(1, 1, &count, values.data()), 0); }));
    slowest = std::max(slowest, timed([&] { EXPECT_EQ(setDACOffset(1, 2, 100), 0); }));
    slowest = std::max(slowest, timed([&] { EXPECT_EQ(setADCProperties(1, 2, 1, 0), 0); }));
    slowest = std::max(slowest, timed([&] { EXPECT_EQ(get2DResultSizes(1, 1, &rows, &columns), 0); }));
    slowest = std::max(slowest, timed([&] { EXPECT_EQ(getDeviceCount(&devices), 0); }));
    slowest = std::max(slowest, timed([&] { EXPECT_EQ(getDeviceIndex("SYBH00801xxxx", &index), 0); }));
    EXPECT_LT(slowest, 100);
    // Partway: samples have arrived, not all of them.
    EXPECT_FALSE(complete);
    EXPECT_GT(count, 0);
    EXPECT_LT(count, 1000);
    EXPECT_EQ(rows, 1);

    ASSERT_EQ(waitForCompletion(1, 5000), 0);
    EXPECT_GE(acquisition.elapsed(), 1000);
    const QVector<double> all = result(1, 1);
    EXPECT_EQ(all.size(), 1000);
    EXPECT_TRUE(allNear(all, 1.25, 0.01));
}

// A new measurement during a sweep ends the sweep: the results hold the new
// measurement only and the instrument was last set for it.
TEST_F(RealTimeInstruments, ANewStartDuringSweepsWins)
{
    start("gen2 signal=dc");
    auto instrument = std::dynamic_pointer_cast<SimulatedInstrumentII>(chip(0)->peer());
    ASSERT_TRUE(instrument);
    ASSERT_EQ(setSweepProperties(1, 2, 0, 1000), 0);

    struct Sweep
    {
        const char *name;
        int (*run)();
    };
    const Sweep sweeps[] = {
        {"1D sweep of a second", [] { return run1DSweepMeasurement(1, 3, 6, 1000); }},
        {"2D sweep of 5 x 100 ms", [] { return run2DSweepMeasurement(1, 3, 4, 500, 5); }},
    };
    for (const Sweep &sweep : sweeps) {
        SCOPED_TRACE(sweep.name);
        ASSERT_EQ(sweep.run(), 0);
        QThread::msleep(250);
        bool complete = true;
        ASSERT_EQ(isMeasurementComplete(1, &complete), 0);
        ASSERT_FALSE(complete);

        ASSERT_EQ(runMeasurement(1, 2, 3, 100), 0);
        ASSERT_EQ(waitForCompletion(1, 5000), 0);
        // Whatever the sweep still had planned never comes.
        QThread::msleep(300);
        ASSERT_EQ(isMeasurementComplete(1, &complete), 0);
        EXPECT_TRUE(complete);
        EXPECT_TRUE(result(1, 1).isEmpty());
        int rows = -1, columns = -1;
        EXPECT_EQ(get2DResultSizes(1, 2, &rows, &columns), 0);
        EXPECT_EQ(rows, 1);
        const QVector<double> second = result(1, 2);
        EXPECT_EQ(second.size(), 100);
        EXPECT_TRUE(allNear(second, -0.75, 0.01));
        const QByteArray sampling = instrument->samplingSettings();
        EXPECT_EQ(quint8(sampling.at(0)), 3);           // period code
        EXPECT_EQ(quint8(sampling.at(5)), 100);         // samples
        EXPECT_EQ(quint8(sampling.at(9)), 2);           // channel mask
    }
}

// An instrument pulled out mid-measurement and mid-sweep: every export naming
// it reports it disconnected, soon; the other instrument measures on; a new
// initialise after plugging it back finds it again.
TEST_F(RealTimeInstruments, AnUnpluggedInstrumentIsReportedAndTheOtherMeasuresOn)
{
    const char *description = "gen1 signal=dc; gen2 signal=dc";
    start(description);
    // What closing costs with both instruments in use and plugged in: the
    // prescribed 200 ms pause, and each protocol's receiver ending within its
    // 50 ms read time-out.
    ASSERT_EQ(runMeasurement(2, 1, 3, 100), 0);
    ASSERT_EQ(runMeasurement(1, 3, 5, 100), 0);
    ASSERT_EQ(waitForCompletion(1, 5000), 0);
    ASSERT_EQ(waitForCompletion(2, 5000), 0);
    const qint64 plainClose = timed([] { closeLibrary(); });

    const auto unplugDuring = [&](int (*begin)()) {
        ASSERT_EQ(initialise(), 0);
        bus = std::dynamic_pointer_cast<SimulatedBus>(FtdiBackend::current());
        ASSERT_EQ(begin(), 0);
        QThread::msleep(100);
        chip(1)->setFault(SimulatedFtdiChip::Unplugged);
        QElapsedTimer noticed;
        noticed.start();
        EXPECT_EQ(waitForCompletion(2, 5000), 27);
        EXPECT_LE(noticed.elapsed(), 100);

        // What arrived before the loss stays readable; the rest gives 27.
        int count = -1, rows = -1, columns = -1;
        QVector<double> values(5000);
        EXPECT_EQ(getResult(2, 1, &count, values.data()), 0);
        EXPECT_LT(count, 1000);
        EXPECT_EQ(get2DResultSizes(2, 1, &rows, &columns), 0);
        EXPECT_EQ(setDACOffset(2, 1, 0), 27);
        EXPECT_EQ(runMeasurement(2, 1, 3, 10), 27);

        // The generation I instrument is not disturbed.
        ASSERT_EQ(runMeasurement(1, 3, 5, 200), 0);
        ASSERT_EQ(waitForCompletion(1, 5000), 0);
        EXPECT_EQ(result(1, 1).size(), 200);
        EXPECT_TRUE(allNear(result(1, 1), 1.25, 0.01));
        EXPECT_TRUE(allNear(result(1, 2), -0.75, 0.01));

        // No longer than that, give or take a read time-out each (more under
        // a race detector, which slows every thread down): the lost
        // instrument adds no wait of its own.
        EXPECT_LE(timed([] { EXPECT_EQ(closeLibrary(), 0); }), plainClose + closeMarginMs);

        // Plugged back in, found by the next initialise, measuring again.
        chip(1)->setFault(SimulatedFtdiChip::Unplugged, false);
        ASSERT_EQ(initialise(), 0);
        ASSERT_EQ(runMeasurement(2, 1, 3, 100), 0);
        ASSERT_EQ(waitForCompletion(2, 5000), 0);
        EXPECT_TRUE(allNear(result(2, 1), 1.25, 0.01));
        EXPECT_EQ(closeLibrary(), 0);
    };
    {
        SCOPED_TRACE("during a measurement");
        unplugDuring([] { return runMeasurement(2, 1, 6, 1000); });
    }
    {
        SCOPED_TRACE("during a 2D sweep");
        unplugDuring([] { return run2DSweepMeasurement(2, 1, 4, 500, 5); });
    }
}

} // namespace
