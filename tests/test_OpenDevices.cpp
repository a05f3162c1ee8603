// openDevices: every listed instrument opened at once, on real-time
// instruments, each ending as if its own first export had opened it.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <atomic>
#include <stdexcept>
#include <string>

#include "SimulatedFtdiChip.h"
#include "SimulatedInstrument.h"
#include "SimulatedHost.h"

namespace {

std::string lastError(int device)
{
    char text[256] = "unchanged";
    EXPECT_EQ(getLastErrorText(device, text, sizeof text), 0);
    return text;
}

class OpenDevices : public SimulatedHostTest
{
};

// Removes a chip's queue-status hook before what it refers to goes.
struct HookRemover
{
    std::shared_ptr<SimulatedFtdiChip> chip;
    ~HookRemover() { chip->setQueueStatusHook({}); }
};

// Six openings of 650 ms each take 3.9 s one after another.
TEST_F(OpenDevices, OpensEveryInstrumentInAboutTheTimeOfOne)
{
    int opened = -1;
    EXPECT_EQ(openDevices(&opened), 5);
    start("");
    EXPECT_EQ(openDevices(nullptr), 26);
    ASSERT_EQ(openDevices(&opened), 0);
    EXPECT_EQ(opened, 0);

    const int count = 6;
    start("gen2 signal=dc; gen2 signal=dc; gen2 signal=dc; gen2 signal=dc; gen2 signal=dc; gen1 signal=dc");
    QElapsedTimer timer;
    timer.start();
    ASSERT_EQ(openDevices(&opened), 0);
    EXPECT_LT(timer.elapsed(), 2000);
    EXPECT_EQ(opened, count);

    // Open, idle and usable: no export opens again, and all measure at once.
    timer.restart();
    for (int device = 1; device <= count; ++device) {
        EXPECT_EQ(lastError(device), "") << device;
        EXPECT_EQ(runMeasurement(device, 3, device == count ? 5 : 0, 2000), 0) << device;
    }
    EXPECT_LT(timer.elapsed(), 500);
    for (int device = 1; device <= count; ++device) {
        bool complete = false;
        ASSERT_EQ(waitForMeasurement(device, 5000, &complete), 0);
        EXPECT_TRUE(complete) << device;
        for (int channel = 1; channel <= 2; ++channel) {
            int values = 0;
            EXPECT_EQ(getResultChecked(device, channel, nullptr, 0, &values), 28);
            EXPECT_EQ(values, 2000) << device << " channel " << channel;
        }
    }

    timer.restart();
    ASSERT_EQ(openDevices(&opened), 0);
    EXPECT_EQ(opened, count);
    EXPECT_LT(timer.elapsed(), 500);
}

// One instrument unplugged after listing and one fallen silent fail beside
// instruments that open; each failing one keeps its reason, and its own export
// tries again and gives the status a first export would have given. The
// unplugged chip leaves a gap in the vendor's list: the instruments listed
// after it are opened on their own chips all the same.
TEST_F(OpenDevices, FailuresLeaveTheOthersOpenAndKeepTheirOwnStatus)
{
    start("gen2 signal=dc; gen2 signal=dc; gen2 signal=dc; gen1 signal=dc");
    bus->chips().at(1)->setFault(SimulatedFtdiChip::Unplugged);
    std::dynamic_pointer_cast<SimulatedInstrument>(bus->chips().at(2)->peer())->setReplying(false);

    int opened = -1;
    ASSERT_EQ(openDevices(&opened), 0);
    EXPECT_EQ(opened, 2);
    const std::string unplugged = lastError(2), silent = lastError(3);
    EXPECT_NE(silent, "");
    EXPECT_EQ(unplugged, "Device not found");

    const struct
    {
        int device;
        int status;
    } rows[] = {{1, 0}, {4, 0}, {2, 3}, {3, 7}};
    for (const auto &row : rows) {
        bool complete = false;
        EXPECT_EQ(isMeasurementComplete(row.device, &complete), row.status) << row.device;
    }
    EXPECT_EQ(lastError(1), "");
    EXPECT_EQ(lastError(4), "");
    EXPECT_EQ(lastError(2), unplugged);
    EXPECT_EQ(lastError(3), silent);
    EXPECT_TRUE(bus->chips().at(3)->isOpen());
}

// An opening that throws fails as that instrument's own first export would
// (2, its reason kept, the connection closed again) and the others open;
// once the cause is gone, its next export opens it.
TEST_F(OpenDevices, AnOpeningThatThrowsFailsAloneWithItsOwnStatus)
{
    start("gen2 signal=dc pace=fast; gen1 signal=dc pace=fast; gen2 signal=dc pace=fast");
    const auto chip = bus->chips().at(1);
    std::atomic<bool> throwing{true};
    const HookRemover remover{chip};
    chip->setQueueStatusHook([&](SimulatedLink &) {
        if (throwing)
            throw std::runtime_error("no memory left");
    });
    int opened = -1;
    ASSERT_EQ(openDevices(&opened), 0);
    EXPECT_EQ(opened, 2);
    EXPECT_EQ(lastError(2), "Internal failure while opening: no memory left");
    EXPECT_FALSE(chip->isOpen());
    bool complete = false;
    EXPECT_EQ(isMeasurementComplete(2, &complete), 2);
    throwing = false;
    EXPECT_EQ(isMeasurementComplete(2, &complete), 0);
    EXPECT_EQ(lastError(2), "");
    ASSERT_EQ(openDevices(&opened), 0);
    EXPECT_EQ(opened, 3);
}

// An instrument lost during the read-backs its opening queued (its chip
// fails while the calibration image comes back) is not counted as open.
TEST_F(OpenDevices, OneLostDuringItsOpeningReadBackIsNotCounted)
{
    start("gen2 signal=dc pace=fast; gen2 signal=dc pace=fast");
    const auto chip = bus->chips().at(0);
    const auto instrument = std::dynamic_pointer_cast<SimulatedInstrument>(chip->peer());
    std::atomic<bool> armed{true};
    const HookRemover remover{chip};
    chip->setQueueStatusHook([&](SimulatedLink &) {
        // Instruction 72 reads the calibration image back.
        for (const auto &request : instrument->hostRequests()) {
            if (request.command == 72 && armed.exchange(false))
                chip->failNextRead(Ftdi::IoError);
        }
    });
    int opened = -1;
    ASSERT_EQ(openDevices(&opened), 0);
    EXPECT_FALSE(armed);
    EXPECT_EQ(opened, 1);
    int state = 0;
    EXPECT_EQ(getCalibrationState(1, &state), 27);
}

} // namespace
