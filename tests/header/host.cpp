// A C++ host of the public header: bool is the one-byte boolean the library writes.
#include "VeldrinLib.h"

int host_measure()
{
    bool complete = false;
    double values[16];
    int count = 0;
    if (initialise() != VELDRIN_OK)
        return 1;
    runMeasurement(1, 3, 8, 16);
    waitForMeasurement(1, 1000, &complete);
    isMeasurementComplete(1, &complete);
    getResultChecked(1, 1, values, 16, &count);
    return closeLibrary() + (complete ? 0 : 1);
}
