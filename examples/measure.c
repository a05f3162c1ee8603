/* A complete host program in C: picks the simulated bus, finds the generation
 * II instrument by serial number, sets its DAC, runs a measurement and prints
 * a summary of each channel. Build against src/VeldrinLib.h and link
 * libVeldrinLib; with the library installed:
 *     cc measure.c $(pkg-config --cflags --libs veldrinlib) -o measure
 */
#define _POSIX_C_SOURCE 199309L /* nanosleep, also under -std=c99 */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "VeldrinLib.h"

static int fail(const char *what, int status)
{
    fprintf(stderr, "%s: %d (%s)\n", what, status, getStatusText(status));
    closeLibrary();
    return 1;
}

int main(void)
{
    int status, device = 0, count = 0, channel;
    bool complete = false;
    double *values;
    struct timespec pause = {0, 5 * 1000 * 1000};

    if ((status = useSimulatedBus("demo")) != 0)
        return fail("useSimulatedBus", status);
    if ((status = initialise()) != 0)
        return fail("initialise", status);
    if ((status = getDeviceIndex("SYBH00801xxxx", &device)) != 0)
        return fail("getDeviceIndex", status);
    printf("generation II instrument at index %d\n", device);

    if ((status = setDACWaveform(device, 1, 0)) != 0)
        return fail("setDACWaveform", status);
    if ((status = setDACAmplitude(device, 1, 2000)) != 0)
        return fail("setDACAmplitude", status);
    if ((status = setDACFrequency(device, 1, 10)) != 0)
        return fail("setDACFrequency", status);
    if ((status = runMeasurement(device, 3, 6, 400)) != 0)
        return fail("runMeasurement", status);
    while (!complete) {
        if ((status = isMeasurementComplete(device, &complete)) != 0)
            return fail("isMeasurementComplete", status);
        nanosleep(&pause, NULL);
    }

    values = malloc(sizeof(double) * 50000);
    if (!values)
        return fail("malloc", 26);
    for (channel = 1; channel <= 2; ++channel) {
        double minimum = 0, maximum = 0;
        int i;
        if ((status = getResult(device, channel, &count, values)) != 0) {
            free(values);
            return fail("getResult", status);
        }
        for (i = 0; i < count; ++i) {
            if (i == 0 || values[i] < minimum) minimum = values[i];
            if (i == 0 || values[i] > maximum) maximum = values[i];
        }
        printf("channel %d: %d samples from %.3f V to %.3f V\n", channel, count, minimum, maximum);
        if (count != 400) {
            free(values);
            return fail("unexpected sample count", 26);
        }
    }
    free(values);
    closeLibrary();
    return 0;
}
