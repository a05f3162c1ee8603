/* Lists the simulated demo bus and measures on its generation II instrument,
 * through the installed header and library only. */
#include <VeldrinLib.h>

#include <stdio.h>
#include <time.h>

static int check(int status, const char *what)
{
    if (status != VELDRIN_OK)
        fprintf(stderr, "%s: %d (%s)\n", what, status, getStatusText(status));
    return status == VELDRIN_OK;
}

int main(void)
{
    int count = 0, device = 0, values = 0;
    bool complete = false;
    double volts[100];
    struct timespec pause = {0, 2 * 1000 * 1000};

    if (!check(useSimulatedBus("demo"), "useSimulatedBus") || !check(initialise(), "initialise")
        || !check(getDeviceCount(&count), "getDeviceCount")
        || !check(getDeviceIndex("SYBH00801xxxx", &device), "getDeviceIndex")
        || !check(runMeasurement(device, 1, 6, 100), "runMeasurement"))
        return 1;
    while (!complete) {
        if (!check(isMeasurementComplete(device, &complete), "isMeasurementComplete"))
            return 1;
        nanosleep(&pause, NULL);
    }
    if (!check(getResult(device, 1, &values, volts), "getResult"))
        return 1;
    printf("%d devices; device %d measured %d values\n", count, device, values);
    closeLibrary();
    return count == 2 && values == 100 ? 0 : 1;
}
