#pragma once

#include <gtest/gtest.h>

#include <QVector>
#include <cmath>
#include <memory>

#include "FtdiBackend.h"
#include "ProtocolDoubles.h"
#include "SimulatedBus.h"
#include "SimulatedBusFactory.h"
#include "SimulatedFtdiChip.h"
#include "SimulatedInstrument.h"
#include "USBDevice.h"
#include "USBDriver.h"
#include "VeldrinDriverDevice.h"

// A fixture that builds a simulated bus of virtual instruments from a bus
// description and makes it the process's vendor provider for one test.
class InstrumentBusTest : public ::testing::Test
{
protected:
    void TearDown() override { FtdiBackend::useFtdiLibrary(); }

    void attachBus(const QString &description)
    {
        QString error;
        bus = SimulatedBusFactory::build(description, &error);
        ASSERT_TRUE(bus) << error.toStdString();
        FtdiBackend::setCurrent(bus);
    }

    std::shared_ptr<SimulatedFtdiChip> chip(int n) const { return bus->chips().at(n); }

    template <typename Instrument>
    std::shared_ptr<Instrument> instrumentAt(int n) const
    {
        return std::dynamic_pointer_cast<Instrument>(chip(n)->peer());
    }

    // The USB device listed `n`-th (from 0), every device counted.
    static std::shared_ptr<USBDevice> listed(int n) { return USBDriver().devices(false).value(n); }

    std::shared_ptr<SimulatedBus> bus;
};

// The framed commands the instrument received, in order; raw actions appear
// negated (the start step, raw 03, as -3).
inline QVector<int> commandsOf(const SimulatedInstrument &instrument)
{
    QVector<int> commands;
    for (const auto &request : instrument.hostRequests())
        commands.append(request.raw ? -int(request.command) : int(request.command));
    return commands;
}

// The payloads of every framed request with `command`, in order.
inline QVector<QByteArray> payloadsOf(const SimulatedInstrument &instrument, int command)
{
    QVector<QByteArray> payloads;
    for (const auto &request : instrument.hostRequests())
        if (!request.raw && request.command == command)
            payloads.append(request.payload);
    return payloads;
}

// What the device manager does before every operation: wait until the
// device's queued requests have all been answered and handled.
inline bool becomesIdle(VeldrinDriverDevice &device, int timeoutMs = 10000)
{
    return eventually([&] { return device.isIdle(); }, timeoutMs);
}

inline bool completes(VeldrinDriverDevice &device, int timeoutMs = 10000)
{
    return eventually([&] { return device.isMeasurementComplete(); }, timeoutMs);
}

// Every value lies within `tolerance` of `expected`; names the first that does not.
inline ::testing::AssertionResult allNear(const QVector<double> &values, double expected,
                                          double tolerance)
{
    for (int i = 0; i < values.size(); ++i) {
        if (!(std::fabs(values.at(i) - expected) <= tolerance))
            return ::testing::AssertionFailure() << "value " << i << " is " << values.at(i)
                                                 << ", expected " << expected << " +- " << tolerance;
    }
    return ::testing::AssertionSuccess();
}
