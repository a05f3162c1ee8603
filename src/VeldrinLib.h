/*
 * VeldrinLib: C interface for Veldrin USB measurement instruments.
 *
 * Every function returns a status code (0 is success; getStatusText names each
 * code). Calls are serialised by one process-wide lock; do not call back into
 * the library from another call. Voltages cross the interface as integers in
 * millivolts, frequencies in hertz, duty cycles in percent; results are doubles
 * in volts. Devices are numbered from 1, channels from 1.
 */
#ifndef VELDRINLIB_H
#define VELDRINLIB_H

#include <stdbool.h>

#if defined(_WIN32)
#  if defined(VELDRIN_BUILDING_LIBRARY)
#    define VELDRIN_API __declspec(dllexport)
#  else
#    define VELDRIN_API __declspec(dllimport)
#  endif
#  define VELDRIN_CALL __cdecl
#else
#  define VELDRIN_API __attribute__((visibility("default")))
#  define VELDRIN_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Status codes. */
enum VeldrinStatus {
    VELDRIN_OK = 0,
    VELDRIN_BAD_DEVICE_INDEX = 1,
    VELDRIN_OPEN_FAILED = 3,
    VELDRIN_START_FAILED = 4,
    VELDRIN_NOT_INITIALISED = 5,
    VELDRIN_UNKNOWN_SERIAL_NUMBER = 6,
    VELDRIN_INFO_READ_FAILED = 7,
    VELDRIN_NO_USABLE_FIRMWARE = 8,
    VELDRIN_FIRMWARE_NOT_ACCEPTED = 9,
    VELDRIN_NOT_SUPPORTED = 10,
    VELDRIN_BAD_PWM_CHANNEL = 11,
    VELDRIN_BAD_DUTY_CYCLE = 12,
    VELDRIN_PWM_SUBMIT_FAILED = 13,
    VELDRIN_BAD_PWM_FREQUENCY = 14,
    VELDRIN_BAD_DAC_WAVEFORM = 15,
    VELDRIN_BAD_DAC_CHANNEL = 16,
    VELDRIN_DAC_SUBMIT_FAILED = 17,
    VELDRIN_BAD_DAC_OFFSET = 18,
    VELDRIN_BAD_DAC_AMPLITUDE = 19,
    VELDRIN_BAD_DAC_FREQUENCY = 20,
    VELDRIN_BAD_CHANNEL_MASK = 21,
    VELDRIN_BAD_PERIOD_CODE = 22,
    VELDRIN_BAD_SAMPLE_COUNT = 23,
    VELDRIN_BAD_ADC_RANGE = 24,
    VELDRIN_BAD_ADC_CHANNEL = 25,
    VELDRIN_INVALID_ARGUMENT = 26,
    /* The instrument went away while open (unplugged, or its USB link
     * failed): every call naming it returns this until initialise finds it
     * again. */
    VELDRIN_INSTRUMENT_DISCONNECTED = 27
};

/* Library state. initialise enumerates the attached instruments (again, when
 * called twice); closeLibrary shuts every instrument down. */
VELDRIN_API int VELDRIN_CALL initialise(void);
/* On ELF and Mach-O platforms a global `close` would interpose the C library's
 * close(2), so the library exports it as closeLibrary there; Windows has both. */
VELDRIN_API int VELDRIN_CALL closeLibrary(void);
#if defined(_WIN32)
VELDRIN_API int VELDRIN_CALL close(void);
#endif

VELDRIN_API int VELDRIN_CALL getDeviceCount(int *count);
/* Serial number of 9 or 13 characters; "xxxx" as the last four matches any
 * unit. NULL counts as empty text. Writes -1 and returns 6 when none matches. */
VELDRIN_API int VELDRIN_CALL getDeviceIndex(const char *serialNumber, int *deviceIndex);

VELDRIN_API int VELDRIN_CALL setPWM(int deviceIndex, int channel, int dutyCycle);
VELDRIN_API int VELDRIN_CALL setPWMFrequency(int deviceIndex, int frequency);
VELDRIN_API int VELDRIN_CALL setDACWaveform(int deviceIndex, int channel, int waveform);
VELDRIN_API int VELDRIN_CALL setDACOffset(int deviceIndex, int channel, int offset);
VELDRIN_API int VELDRIN_CALL setDACAmplitude(int deviceIndex, int channel, int amplitude);
VELDRIN_API int VELDRIN_CALL setDACFrequency(int deviceIndex, int channel, int frequency);
VELDRIN_API int VELDRIN_CALL setSweepProperties(int deviceIndex, int channel, int start, int stop);
VELDRIN_API int VELDRIN_CALL setADCProperties(int deviceIndex, int channel, int range, int flag);

VELDRIN_API int VELDRIN_CALL runMeasurement(int deviceIndex, int channelMask, int periodCode, int sampleCount);
VELDRIN_API int VELDRIN_CALL run1DSweepMeasurement(int deviceIndex, int channelMask, int periodCode, int sampleCount);
VELDRIN_API int VELDRIN_CALL run2DSweepMeasurement(int deviceIndex, int channelMask, int periodCode, int sampleCount, int points);
VELDRIN_API int VELDRIN_CALL isMeasurementComplete(int deviceIndex, bool *complete);

/* Writes the number of values to *count, then copies them into values, which
 * must hold them all (ask once with a large enough buffer, or size it from
 * get2DResultSizes). */
VELDRIN_API int VELDRIN_CALL getResult(int deviceIndex, int channel, int *count, double *values);
/* Copies every row of the channel's two-dimensional result, row after row;
 * values must hold rows x columns doubles (see get2DResultSizes). */
VELDRIN_API int VELDRIN_CALL get2DResult(int deviceIndex, int channel, double *values);
VELDRIN_API int VELDRIN_CALL get2DResultSizes(int deviceIndex, int channel, int *rows, int *columns);

/* A static English text for a status code (never NULL). */
VELDRIN_API const char *VELDRIN_CALL getStatusText(int status);

/* Provider selection, taking effect at the next initialise. The default is the
 * FTDI D2XX library (libftd2xx.so, ftd2xx.dll, libftd2xx.dylib), loaded at run
 * time; where it cannot be loaded, no device is found. useSimulatedBus selects
 * the built-in simulated bus with the devices the description names (see
 * docs/simulated-bus.md); a malformed description returns 26 and changes
 * nothing. */
VELDRIN_API int VELDRIN_CALL useFtdiLibrary(void);
/* useLibFtdi selects the open-source libftdi1 (libftdi1.so.2, libftdi1.2.dylib)
 * instead of FTDI's library, loaded at run time at the next initialise; where
 * it cannot be loaded, no device is found. It comes with Linux distributions
 * and macOS package managers and needs no vendor driver; see
 * docs/hardware-linux.md for when to prefer which. */
VELDRIN_API int VELDRIN_CALL useLibFtdi(void);
VELDRIN_API int VELDRIN_CALL useSimulatedBus(const char *description);

#ifdef __cplusplus
}
#endif

#endif /* VELDRINLIB_H */
