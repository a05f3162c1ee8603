#pragma once

#include <QtGlobal>

// The one time base of the simulated bus: a monotonic clock in nanoseconds.
// Virtual instruments stamp what they produce with it and virtual chips decide
// with it when the host can see those bytes; both must read the same clock.
class SimulatedClock
{
public:
    static qint64 nowNs();

    static constexpr qint64 NsPerUs = 1000;
    static constexpr qint64 NsPerMs = 1000 * 1000;
};
