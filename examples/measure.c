/* A complete host program in C: picks the simulated bus, finds the generation
 * II instrument by serial number, sets its DAC, runs a measurement, waits for
 * it and prints a summary of each channel. Build against src/VeldrinLib.h and link
 * libVeldrinLib; with the library installed:
 *     cc measure.c $(pkg-config --cflags --libs veldrinlib) -o measure
 */
#include <stdio.h>
#include <stdlib.h>

#include "VeldrinLib.h"

static int fail(const char *what, int status)
{
    fprintf(stderr, "%s: %d (%s)\n", what, status, getStatusText(status));
    closeLibrary();
    return 1;
}

int main(void)
{
    int status, device = 0, count = 0, channel, generation = 0;
    bool complete = false;
    double *values;
    char serial[32];

    if ((status = useSimulatedBus("demo")) != 0)
        return fail("useSimulatedBus", status);
    if ((status = initialise()) != 0)
        return fail("initialise", status);
    if ((status = getDeviceIndex("SYBH00801xxxx", &device)) != 0)
        return fail("getDeviceIndex", status);
    if ((status = getDeviceSerialNumber(device, serial, (int)sizeof serial)) != 0
        || (status = getDeviceGeneration(device, &generation)) != 0)
        return fail("identity", status);
    printf("generation %d instrument %s at index %d\n", generation, serial, device);

    if ((status = setDACWaveform(device, 1, 0)) != 0)
        return fail("setDACWaveform", status);
    if ((status = setDACAmplitude(device, 1, 2000)) != 0)
        return fail("setDACAmplitude", status);
    if ((status = setDACFrequency(device, 1, 10)) != 0)
        return fail("setDACFrequency", status);
    if ((status = runMeasurement(device, 3, 6, 400)) != 0)
        return fail("runMeasurement", status);
    /* Sleeps until the measurement is complete, at most 10 s. */
    if ((status = waitForMeasurement(device, 10000, &complete)) != 0)
        return fail("waitForMeasurement", status);
    if (!complete)
        return fail("measurement not complete after 10 s", 0);

    for (channel = 1; channel <= 2; ++channel) {
        double minimum = 0, maximum = 0;
        int i;
        /* Ask for the count, then copy into a buffer of that size. */
        if ((status = getResultChecked(device, channel, NULL, 0, &count)) != 0 && status != VELDRIN_BUFFER_TOO_SMALL)
            return fail("getResultChecked", status);
        values = malloc(sizeof(double) * (size_t)(count > 0 ? count : 1));
        if (!values)
            return fail("malloc", 26);
        if ((status = getResultChecked(device, channel, values, count, &count)) != 0) {
            free(values);
            return fail("getResultChecked", status);
        }
        for (i = 0; i < count; ++i) {
            if (i == 0 || values[i] < minimum) minimum = values[i];
            if (i == 0 || values[i] > maximum) maximum = values[i];
        }
        printf("channel %d: %d samples from %.3f V to %.3f V\n", channel, count, minimum, maximum);
        free(values);
        if (count != 400)
            return fail("unexpected sample count", 26);
    }
    closeLibrary();
    return 0;
}
