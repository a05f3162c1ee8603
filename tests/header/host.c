/* A C host of the public header: every declaration used as a host uses it. */
#include "VeldrinLib.h"

typedef char bool_is_one_byte[sizeof(VeldrinBool) == 1 ? 1 : -1];

int host_measure(void);

int host_measure(void)
{
    VeldrinBool complete = 0;
    double values[16];
    char serial[17];
    int count = 0, received = 0, expected = 0, major = 0, minor = 0, patch = 0;
    if (getLibraryVersion(&major, &minor, &patch) != VELDRIN_OK || initialise() != VELDRIN_OK)
        return 1;
    getDeviceSerialNumber(1, serial, (int)sizeof serial);
    openDevices(&count);
    runMeasurement(1, 3, 8, 16);
    waitForMeasurement(1, 1000, &complete);
    isMeasurementComplete(1, &complete);
    getMeasurementProgress(1, &received, &expected);
    if (getResultChecked(1, 1, values, 16, &count) == VELDRIN_BUFFER_TOO_SMALL)
        return 2;
    get2DResultRow(1, 1, 0, values, 16, &count);
    return closeLibrary() + (complete ? 0 : 1);
}
