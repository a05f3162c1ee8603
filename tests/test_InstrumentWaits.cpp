// Waiting for a measurement and reading why an instrument failed, through the
// exported functions, with faults injected into the simulated instruments: a
// stream that stalls, an instrument pulled out during a wait, an instruction
// the instrument refuses.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <chrono>
#include <QThread>
#include <QVector>
#include <memory>
#include <string>
#include <thread>

#include "FtdiBackend.h"
#include "SimulatedBus.h"
#include "SimulatedFtdiChip.h"
#include "SimulatedInstrument.h"
#include "ProtocolDoubles.h"
#include "SimulatedHost.h"
#include "VeldrinLib.h"

namespace {

class InstrumentWaits : public SimulatedHostTest
{
protected:
    // The instrument opened before the test reaches behind it.
    void open(const char *description)
    {
        ASSERT_NO_FATAL_FAILURE(start(description));
        bool complete = false;
        ASSERT_EQ(isMeasurementComplete(1, &complete), 0);
    }

    std::shared_ptr<SimulatedFtdiChip> chip() const { return bus->chips().at(0); }
    std::shared_ptr<SimulatedInstrument> instrument() const
    {
        return std::dynamic_pointer_cast<SimulatedInstrument>(chip()->peer());
    }

    static std::string lastError()
    {
        char text[256] = "unchanged";
        EXPECT_EQ(getLastErrorText(1, text, sizeof text), 0);
        return text;
    }
};

// A stream that stops partway: the wait ends at its time-out with the
// measurement incomplete and the progress stuck below its expected value.
TEST_F(InstrumentWaits, TimesOutWhileTheStreamIsStalled)
{
    open("gen2 signal=dc");
    instrument()->stopStreamAfter(2);
    ASSERT_EQ(runMeasurement(1, 1, 4, 1000), 0);
    QElapsedTimer timer;
    timer.start();
    bool complete = true;
    EXPECT_EQ(waitForMeasurement(1, 700, &complete), 0);
    EXPECT_FALSE(complete);
    EXPECT_GE(timer.elapsed(), 700);
    EXPECT_LT(timer.elapsed(), 1500);
    int received = 0, expected = 0;
    ASSERT_EQ(getMeasurementProgress(1, &received, &expected), 0);
    EXPECT_EQ(expected, 1000);
    EXPECT_GT(received, 0);
    EXPECT_LT(received, 1000);
}

// Pulled out while a thread waits: the wait ends soon with 27, and the
// last error text tells what failed.
TEST_F(InstrumentWaits, EndsWithDisconnectedWhenUnplugged)
{
    open("gen2 signal=dc");
    // Ten seconds of samples.
    ASSERT_EQ(runMeasurement(1, 1, 9, 1000), 0);
    QThread::msleep(100);
    using Clock = std::chrono::steady_clock;
    int status = -1;
    Clock::time_point ended;
    std::thread waiter([&] {
        bool complete = false;
        status = waitForMeasurement(1, 20000, &complete);
        ended = Clock::now();
    });
    QThread::msleep(100);
    const Clock::time_point unplugged = Clock::now();
    chip()->setFault(SimulatedFtdiChip::Unplugged);
    waiter.join();
    EXPECT_EQ(status, 27);
    EXPECT_LT(ended - unplugged, std::chrono::milliseconds(500));
    EXPECT_FALSE(lastError().empty());
    bool complete = false;
    EXPECT_EQ(waitForMeasurement(1, 0, &complete), 27);
}

// What arrived before a loss stays readable: a completed measurement's values
// and progress, with completion reported as true; a measurement cut short
// gives its partial values and 27 for completion. Everything that talks to
// the instrument gives 27.
TEST_F(InstrumentWaits, ValuesReceivedBeforeALossCanStillBeRead)
{
    for (const bool completed : {true, false}) {
        SCOPED_TRACE(completed ? "completed" : "cut short");
        open("gen2 signal=dc pace=fast");
        if (!completed)
            instrument()->stopStreamAfter(2);
        ASSERT_EQ(runMeasurement(1, 1, 4, 1000), 0);
        // All of it, or the two packets of 120 samples the stream stops after.
        const int arriving = completed ? 1000 : 240;
        int before = 0, expected = 0;
        ASSERT_TRUE(eventually([&] { return getMeasurementProgress(1, &before, &expected) == 0 && before == arriving; }));
        QVector<double> values(1000, -99.0);
        int count = -1;
        ASSERT_EQ(getResult(1, 1, &count, values.data()), 0);
        values.resize(count);

        chip()->setFault(SimulatedFtdiChip::Unplugged);
        ASSERT_TRUE(eventually([] { return setPWM(1, 1, 10) == 27; }, 2000));

        int received = -1;
        EXPECT_EQ(getMeasurementProgress(1, &received, &expected), 0);
        EXPECT_EQ(received, before);
        EXPECT_EQ(expected, 1000);
        EXPECT_EQ(received == 1000, completed);
        QVector<double> copy(1000, -1.0);
        count = -1;
        EXPECT_EQ(getResult(1, 1, &count, copy.data()), 0);
        EXPECT_EQ(copy.mid(0, count), values);
        count = -1;
        EXPECT_EQ(getResultChecked(1, 1, copy.data(), copy.size(), &count), 0);
        EXPECT_EQ(count, values.size());
        int rows = -1, columns = -1;
        EXPECT_EQ(get2DResultSizes(1, 1, &rows, &columns), 0);
        EXPECT_EQ(rows, 1);
        EXPECT_EQ(columns, values.size());
        copy.fill(-1.0);
        EXPECT_EQ(get2DResult(1, 1, copy.data()), 0);
        EXPECT_EQ(copy.mid(0, values.size()), values);
        count = -1;
        EXPECT_EQ(get2DResultRow(1, 1, 0, copy.data(), copy.size(), &count), 0);
        EXPECT_EQ(count, values.size());

        bool complete = false;
        EXPECT_EQ(isMeasurementComplete(1, &complete), completed ? 0 : 27);
        EXPECT_EQ(complete, completed);
        EXPECT_EQ(waitForMeasurement(1, 0, &complete), completed ? 0 : 27);
        EXPECT_EQ(complete, completed);
        EXPECT_EQ(runMeasurement(1, 1, 4, 10), 27);
        int generation = 0;
        EXPECT_EQ(getDeviceGeneration(1, &generation), 0);
        EXPECT_EQ(getResult(1, 1, nullptr, nullptr), 26);
        closeLibrary();
    }
}

// A refused argument's text lasts until the next setter, also one that
// fails because the instrument went away.
TEST_F(InstrumentWaits, ARefusalIsForgottenByASetterThatMeetsALoss)
{
    open("gen2 pace=fast");
    EXPECT_EQ(setPWM(1, 5, 0), 11);
    EXPECT_EQ(lastError(), "PWM channel 5 is above generation II's maximum 2");
    chip()->setFault(SimulatedFtdiChip::Unplugged);
    int state = 0;
    ASSERT_TRUE(eventually([&] { return getCalibrationState(1, &state) == 27; }, 2000));
    EXPECT_EQ(setDACWaveform(1, 1, 0), 27);
    EXPECT_EQ(lastError().find("PWM"), std::string::npos) << lastError();
}

// An instruction the instrument refuses: the export succeeded when it
// submitted it; the refusal shows in the last error text until the next
// exchange succeeds.
TEST_F(InstrumentWaits, LastErrorTextHoldsTheInstrumentsRefusal)
{
    open("gen2 pace=fast");
    EXPECT_EQ(lastError(), "");
    // Instruction 37 sets DAC 1; status 2 means busy.
    instrument()->overrideStatus(37, 2, 1);
    EXPECT_EQ(setDACOffset(1, 1, 100), 0);
    // A call that names the instrument waits until its queue is empty, so
    // the answer has arrived after it.
    bool complete = false;
    ASSERT_EQ(isMeasurementComplete(1, &complete), 0);
    EXPECT_EQ(lastError(), "Target device is busy");
    EXPECT_EQ(setDACOffset(1, 1, 100), 0);
    ASSERT_EQ(isMeasurementComplete(1, &complete), 0);
    EXPECT_EQ(lastError(), "");
}

} // namespace
