// Saves what the scope shows in the tool's measurement files (CSV or JSON
// Lines, by the file name as `veldrin --output` chooses), through the
// tool's own writer, with the metadata the tool writes.
#pragma once

#include "InstrumentWorker.h"

#include <QString>

class FrameFile
{
public:
    // The seconds between two samples of each period code.
    static double periodSeconds(int periodCode);
    // DAC 1 at each sample of a sweep's ramp, and DAC 2 at each set-point, in
    // volts (what the tool writes).
    static QVector<double> ramp(int startMv, int stopMv, int count);

    // Writes `frame` of `instrument` to `path`; provider names how the library
    // reached it ("the simulated bus: demo"). On failure returns false with
    // the reason in *error.
    static bool write(const QString &path, const AcquisitionFrame &frame, const InstrumentEntry &instrument,
                      const QString &provider, QString *error);
};
