#pragma once

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QThread>
#include <memory>

#include "FtdiBackend.h"
#include "SimulatedBus.h"
#include "VeldrinLib.h"

// A test that drives the exported functions as a host program does, on a
// simulated bus it can reach behind (to unplug a chip or inject a fault into
// an instrument). The library is closed and the vendor library selected again
// after each test.
class SimulatedHostTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        closeLibrary();
        useFtdiLibrary();
    }

    // Selects the simulated bus the description names and initialises.
    void start(const char *description)
    {
        ASSERT_EQ(useSimulatedBus(description), 0);
        ASSERT_EQ(initialise(), 0);
        bus = std::dynamic_pointer_cast<SimulatedBus>(FtdiBackend::current());
        ASSERT_TRUE(bus);
    }

    std::shared_ptr<SimulatedBus> bus;
};

// Polls as a host does: the status of the first call that does not succeed,
// 0 once the measurement is complete, or -1 when `timeoutMs` ran out.
inline int waitForCompletion(int device, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        bool complete = false;
        const int status = isMeasurementComplete(device, &complete);
        if (status != 0)
            return status;
        if (complete)
            return 0;
        if (timer.elapsed() > timeoutMs)
            return -1;
        QThread::msleep(1);
    }
}
