/*
 * VeldrinLib: C interface for Veldrin USB measurement instruments.
 *
 * Every function returns a status code (0 is success; getStatusText names each
 * code). Voltages cross the interface as integers in millivolts, frequencies in
 * hertz, duty cycles in percent; results are doubles in volts. Devices are
 * numbered from 1, channels from 1.
 *
 * Checks run in the order of the parameters: library initialised (5), device
 * index (1), the instrument opened and usable (3, 4, 7, 8, 9, 27), then the
 * other arguments (26 for a null pointer the function writes through, or a
 * value outside its range; the setters' own codes 10 to 25). The result
 * exports take any channel number: one without results reads empty (see
 * Results). A function that fails writes nothing through its pointers unless
 * it says otherwise.
 *
 * Threads: every function may be called from any thread. They take one
 * process-wide lock for their whole duration, so calls from different threads
 * run one at a time; waitForMeasurement holds that lock only for its checks and
 * not while it waits, so other threads' calls go on meanwhile. The instruments'
 * own work runs on threads of the library. Do not call the library from a
 * signal handler.
 *
 * The header compiles as C89 and later and as C++98 and later.
 */
#ifndef VELDRINLIB_H
#define VELDRINLIB_H

/* The library's version; getLibraryVersion reports the one it was built as. */
#define VELDRIN_VERSION_MAJOR 3
#define VELDRIN_VERSION_MINOR 0
#define VELDRIN_VERSION_PATCH 0

/* VeldrinBool: the one-byte boolean that isMeasurementComplete and
 * waitForMeasurement write (0 false, 1 true). It is bool in C++ and in C99 and
 * later, and unsigned char for compilers without <stdbool.h>. */
#if defined(__cplusplus)
typedef bool VeldrinBool;
#elif (defined(__STDC_VERSION__) && __STDC_VERSION__ >= 199901L) || (defined(_MSC_VER) && _MSC_VER >= 1800)
#  include <stdbool.h>
typedef bool VeldrinBool;
#else
typedef unsigned char VeldrinBool;
#endif

#if defined(_WIN32)
#  if defined(VELDRIN_BUILDING_LIBRARY)
#    define VELDRIN_API __declspec(dllexport)
#  else
#    define VELDRIN_API __declspec(dllimport)
#  endif
#  define VELDRIN_CALL __cdecl
#elif defined(__GNUC__)
#  define VELDRIN_API __attribute__((visibility("default")))
#  define VELDRIN_CALL
#else
#  define VELDRIN_API
#  define VELDRIN_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Status codes. */
enum VeldrinStatus {
    VELDRIN_OK = 0,
    VELDRIN_BAD_DEVICE_INDEX = 1,
    /* An unexpected failure inside the library (such as running out of
     * memory); the call had no effect that can be relied on. */
    VELDRIN_INTERNAL_FAILURE = 2,
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
     * failed): every call that must talk to it returns this until initialise
     * finds it again. What it sent before the loss stays readable: the result
     * copies (getResult, getResultChecked, get2DResultSizes, get2DResult,
     * get2DResultRow) and getMeasurementProgress return 0 with the values
     * received until then; isMeasurementComplete returns 0 and true when the
     * measurement had completed before the loss, and this code otherwise, so
     * a polling loop ends; the identity queries answer as always. */
    VELDRIN_INSTRUMENT_DISCONNECTED = 27,
    /* The caller's buffer cannot hold the whole answer; see the function. */
    VELDRIN_BUFFER_TOO_SMALL = 28,
    /* The row asked for was released by releaseResultRows: its values are
     * gone. */
    VELDRIN_ROW_RELEASED = 29,
    /* The library could not allocate room for the measurement's values: the
     * measurement ended there. The rows already complete stay readable (and
     * those released were handed over before); getLastErrorText says how
     * many rows were kept. */
    VELDRIN_OUT_OF_MEMORY = 30
};

/* Writes the library's version: 3, 0 and the patch number. Works before
 * initialise. */
VELDRIN_API int VELDRIN_CALL getLibraryVersion(int *major, int *minor, int *patch);

/* Library state. initialise enumerates the attached instruments (again, when
 * called twice); closeLibrary shuts every instrument down. */
VELDRIN_API int VELDRIN_CALL initialise(void);
VELDRIN_API int VELDRIN_CALL closeLibrary(void);
/* The Windows library also exports closeLibrary under the name `close`. That
 * name clashes with close(int) from <io.h> and <unistd.h>, so it is declared
 * only for a host that defines VELDRIN_DECLARE_CLOSE before including this
 * header; prefer closeLibrary everywhere. On other platforms a global `close`
 * would take the place of the C library's, and only closeLibrary exists. */
#if defined(_WIN32) && defined(VELDRIN_DECLARE_CLOSE)
VELDRIN_API int VELDRIN_CALL close(void);
#endif

VELDRIN_API int VELDRIN_CALL getDeviceCount(int *count);
/* Serial number of 9 or 13 characters; "xxxx" as the last four matches any
 * unit. NULL counts as empty text. Writes -1 and returns 6 when none matches. */
VELDRIN_API int VELDRIN_CALL getDeviceIndex(const char *serialNumber, int *deviceIndex);

/* Identity, from what initialise read: these never open the instrument, never
 * wait, and answer also for an instrument that cannot be opened or went away
 * (5 before initialise, 1 for an index out of range).
 * getDeviceSerialNumber writes the USB serial number as NUL-terminated text;
 * when capacity is less than its length + 1 it returns 28 and writes only an
 * empty string (nothing when capacity is 0; text may then be NULL). A serial
 * number has at most 16 characters. getDeviceGeneration writes 1 or 2.
 * getFirmwareVersion writes the firmware version from the instrument's
 * information record (0 when it could not be read). */
VELDRIN_API int VELDRIN_CALL getDeviceSerialNumber(int deviceIndex, char *text, int capacity);
VELDRIN_API int VELDRIN_CALL getDeviceGeneration(int deviceIndex, int *generation);
VELDRIN_API int VELDRIN_CALL getFirmwareVersion(int deviceIndex, int *version);

/* Why the instrument's last operation failed, as English text: the outcome of
 * its last exchange with the library ("Communication timed out", the text of a
 * status the instrument answered with, ...) or, for an instrument that has not
 * been opened, why opening it failed. An empty string when that outcome was
 * success or there is none. After a setter or measurement start refused its
 * arguments (10 to 25), the text names the argument and its accepted range
 * ("period code 2 is below the sweeps' minimum 3"), until the next setter or
 * start on that instrument. Never opens the instrument; capacity as for
 * getDeviceSerialNumber (28 when too small). */
VELDRIN_API int VELDRIN_CALL getLastErrorText(int deviceIndex, char *text, int capacity);

/* Opens every listed instrument that is not open yet, all at once: each
 * opening waits out its own pauses on a thread of its own, so several
 * instruments are ready in about the time one takes. Each ends as if its first
 * export had opened it; one that fails stays closed with its reason kept for
 * getLastErrorText, and its next export tries again and returns the failure's
 * status (3, 4, 7, 8 or 9). Writes the number of listed instruments that are
 * open afterwards, those opened before included and those that went away (27)
 * not. 5 before initialise, 26 when opened is NULL. */
VELDRIN_API int VELDRIN_CALL openDevices(int *opened);

/* Outputs and inputs. The setters check their arguments and send the setting
 * to the instrument at once (setADCProperties and setSweepProperties only store
 * theirs for the next measurement). A refused argument changes nothing; the
 * accepted ranges differ by generation:
 *
 *                          generation I            generation II
 *   PWM channel            1                       1, 2
 *   PWM duty cycle         0..100 percent          0..100 percent
 *   PWM frequency          (not supported: 10)     1..200000 Hz, both outputs
 *   DAC channel            1                       1, 2
 *   DAC waveform           0 sine, 1 square, 2 triangle (both)
 *   DAC amplitude          -5000..5000 mV peak     -4500..4500 mV peak
 *   DAC offset             -5000..5000 mV          -4500..4500 mV
 *   DAC frequency          10..5000 Hz             10..20000 Hz
 *   ADC channel            1, 2                    1, 2
 *   ADC range              2 (2.5 V), 3 (20 V)     0 (0.1 V), 1 (0.4 V),
 *                          one range for both      2 (2 V), 3 (10 V) per channel
 *   ADC flag               ignored                 input switch, 0 off, else on
 *   sweep channel, bounds  (not supported: 10)     1, 2; -4500..4500 mV
 *
 * ADC ranges are named by their full scale over the converter's 4096 counts
 * (generation I: 4.88 mV and 0.61 mV per count; generation II: 2.44 mV,
 * 0.49 mV, 98 uV and 24 uV per count). Each range and input switch has its own
 * calibration. Until setADCProperties is called an instrument measures on its
 * widest range (3).
 *
 * Codes: a channel outside the table gives 11 (PWM), 16 (DAC, sweep) or 25
 * (ADC); a value outside it the setter's own code (12, 14, 15, 18, 19, 20, 24;
 * 19 also for a sweep bound); 13 or 17 when the instrument is not open; 10 for
 * what the generation lacks. setPWMFrequency sets the frequency of both PWM
 * outputs. The DAC setters change one property and keep the others. */
VELDRIN_API int VELDRIN_CALL setPWM(int deviceIndex, int channel, int dutyCycle);
VELDRIN_API int VELDRIN_CALL setPWMFrequency(int deviceIndex, int frequency);
VELDRIN_API int VELDRIN_CALL setDACWaveform(int deviceIndex, int channel, int waveform);
VELDRIN_API int VELDRIN_CALL setDACOffset(int deviceIndex, int channel, int offset);
VELDRIN_API int VELDRIN_CALL setDACAmplitude(int deviceIndex, int channel, int amplitude);
VELDRIN_API int VELDRIN_CALL setDACFrequency(int deviceIndex, int channel, int frequency);
/* The bounds, in millivolts, that the next sweep drives DAC `channel` between
 * (see the sweeps below); start may exceed stop (a falling sweep). Both are
 * 0 until set. */
VELDRIN_API int VELDRIN_CALL setSweepProperties(int deviceIndex, int channel, int start, int stop);
/* The input range (table above) and input switch of one ADC channel for the
 * measurements started afterwards. */
VELDRIN_API int VELDRIN_CALL setADCProperties(int deviceIndex, int channel, int range, int flag);

/* Measurements. channelMask selects the inputs: bit 0 (1) channel 1, bit 1 (2)
 * channel 2, 3 both; 0 measures nothing and completes at once. Other bits give
 * 21. periodCode is the time between two samples of a channel:
 *
 *   code    0     1     2     3      4      5      6    7    8    9     10
 *   time   10us  20us  50us  100us  200us  500us  1ms  2ms  5ms  10ms  20ms
 *   code   11    12     13     14     15  16
 *   time   50ms  100ms  200ms  500ms  1s  2s
 *
 * Accepted (else 22): generation I 5..16, generation II 0..16, the sweeps
 * 3..16. At codes 4 and above a generation II sample is the mean of 2 (code
 * 4), 4 (5), 8 (6) or 16 (7 and above) conversions. sampleCount is the number
 * of samples per enabled channel (else 23): generation I 0..50000, generation
 * II and the sweeps 2..50000; points (2D sweep) 2..50000 (23).
 *
 * Every value passes through the calibration of its channel's range, input
 * switch and period code, then, unless setSpikeFilter turned it off, through
 * the spike filter: the median of the channel's last five calibrated values
 * (of fewer at the start: the lower middle one). It removes isolated spikes
 * (one or two wrong samples among five) and keeps steps, but it delays a
 * signal by two samples (a ramp reads two samples late, and its first values
 * are those of its start) and it distorts any signal that changes much within
 * five samples: a sine sampled at twenty points per period loses 5 % of its
 * peaks, at fewer points more, and at four points per period (0, peak, 0,
 * -peak) it reads 0 throughout. Turn it off to see the signal as converted.
 *
 * Measurement starts return at once; the results arrive while the instrument
 * measures (samples x period, plus the transfer). A new start ends the
 * measurement that runs and discards its results.
 *
 * runMeasurement: one acquisition; each channel's result is one row.
 * run1DSweepMeasurement (generation II): DAC 1 ramps linearly from its sweep
 *   start to its sweep stop across one acquisition, first sample at start,
 *   last at stop; each channel's result is one row, sample k taken at
 *   start + k x (stop - start) / (sampleCount - 1). DAC 1 is left as a ramp.
 * run2DSweepMeasurement (generation II): that ramp of DAC 1, repeated at
 *   `points` set-points of DAC 2 spaced evenly from DAC 2's sweep start to its
 *   sweep stop (point p at start + p x (stop - start) / (points - 1)); DAC 2
 *   keeps its waveform 0 and amplitude, with the set-point as its offset (set
 *   its amplitude to 0 for a constant level). Row p of a channel's result
 *   holds point p.
 * The 1D and 2D sweeps check sampleCount, points and periodCode before they
 * change anything; a generation II start with a bad channel mask has already
 * discarded the previous results (and a sweep's DAC settings have been sent). */
VELDRIN_API int VELDRIN_CALL runMeasurement(int deviceIndex, int channelMask, int periodCode, int sampleCount);
VELDRIN_API int VELDRIN_CALL run1DSweepMeasurement(int deviceIndex, int channelMask, int periodCode, int sampleCount);
VELDRIN_API int VELDRIN_CALL run2DSweepMeasurement(int deviceIndex, int channelMask, int periodCode, int sampleCount, int points);
/* Writes whether the current measurement is complete (true before any).
 * Returns 30 instead when the measurement could not be held and ended
 * incomplete, and 27 when the instrument went away before it completed. */
VELDRIN_API int VELDRIN_CALL isMeasurementComplete(int deviceIndex, VeldrinBool *complete);

/* Writes the number of values stored so far for the current measurement, over
 * all channels and sweep points, and the number it holds when complete
 * (samples x enabled channels x points); 0 and 0 before any measurement. */
VELDRIN_API int VELDRIN_CALL getMeasurementProgress(int deviceIndex, int *received, int *expected);

/* Waits until the current measurement is complete (0, *complete true), the
 * instrument goes away (27; a measurement completed before that is complete,
 * as isMeasurementComplete reports it), the measurement could not be held
 * (30), or timeoutMs milliseconds have passed (0, *complete false); timeoutMs
 * 0 only looks. Does not hold the library's lock
 * while it waits. When closeLibrary or initialise on another thread ends the
 * instrument's session meanwhile, the wait ends at once with 5. A negative
 * timeoutMs gives 26. */
VELDRIN_API int VELDRIN_CALL waitForMeasurement(int deviceIndex, int timeoutMs, VeldrinBool *complete);

/* Results. While a measurement runs, values keep arriving, so a size asked for
 * in one call can be too small in the next: getResultChecked and
 * get2DResultRow check the caller's capacity and are the safe way to copy.
 * Each copy takes time in proportion to the values it copies.
 *
 * A channel without results reads empty, with status 0: a channel the
 * measurement did not enable, and any channel number other than 1 and 2
 * (0, 3, -1, ...). getResult and getResultChecked give count 0, get2DResult
 * copies nothing, get2DResultSizes gives 0 rows and 0 columns; get2DResultRow
 * gives 26 for every row of such a channel on generation II (it has no rows)
 * and count 0 for row 0 on generation I.
 *
 * getResult writes the number of values to *count, then copies them into
 * values, which must hold them all. values may be NULL when there are none.
 * It copies row 0: after a 2D sweep, the first point's values (see
 * get2DResultRow for the others). */
VELDRIN_API int VELDRIN_CALL getResult(int deviceIndex, int channel, int *count, double *values);
/* Copies every row of the channel's two-dimensional result, row after row
 * without gaps: values must hold the sum of the row lengths. That is rows x
 * columns from get2DResultSizes for a complete generation II result; for
 * generation I, whose single row holds every value, get2DResultSizes reports
 * the value count as rows and 0 columns. Prefer get2DResultRow. */
VELDRIN_API int VELDRIN_CALL get2DResult(int deviceIndex, int channel, double *values);
/* Generation II: the number of sweep points (rows) and the length of the first
 * row. Generation I: the number of values as rows, and 0 columns. */
VELDRIN_API int VELDRIN_CALL get2DResultSizes(int deviceIndex, int channel, int *rows, int *columns);

/* getResult (row 0) with a capacity: writes the number of values to *count; when
 * capacity is less than that it returns 28 and copies no value (values may be
 * NULL when capacity is 0, which asks for the count alone). */
VELDRIN_API int VELDRIN_CALL getResultChecked(int deviceIndex, int channel, double *values, int capacity, int *count);
/* One row (sweep point) of the channel's two-dimensional result, rows counted
 * from 0, with the capacity rule of getResultChecked. Generation I has one row
 * (row 0) that holds every value. A row outside 0 to rows-1 gives 26. */
VELDRIN_API int VELDRIN_CALL get2DResultRow(int deviceIndex, int channel, int row, double *values, int capacity,
                                            int *count);

/* Streaming results: a host can take each row (sweep point) as soon as it is
 * complete and let the library release it, so a measurement of any size runs
 * in bounded memory. A row is complete when every enabled channel holds all
 * its samples: a 2D sweep completes its rows point by point; runMeasurement,
 * the 1D sweep and generation I complete their one row when the measurement
 * completes. Rows keep their numbers when rows before them are released.
 *
 * After a release:
 *   get2DResultRow on a released row gives 29 and copies nothing;
 *   get2DResult copies the rows still held, row after row (values must hold
 *     the sum of their lengths), and get2DResultSizes reports every row
 *     measured so far, released ones included, and the length of the first
 *     row still held (0 columns when none is held);
 *   getResult and getResultChecked (row 0) copy nothing once row 0 is
 *     released (count 0);
 *   getMeasurementProgress keeps counting released values as received.
 * A host that never releases sees every result as before. A new measurement
 * start discards every row and releases nothing in advance.
 *
 * getCompletedRows writes the number of complete rows of the current
 * measurement (0 before any) and the first row still held (rows below it are
 * released; 0 when none is). */
VELDRIN_API int VELDRIN_CALL getCompletedRows(int deviceIndex, int *completed, int *firstHeld);
/* Waits until at least `rows` rows are complete, the measurement is complete,
 * the instrument goes away (27), the measurement could not be held (30), or
 * timeoutMs milliseconds have passed; then writes the number of complete rows
 * to *completed (on 0, also when the time ran out with fewer). Like
 * waitForMeasurement it does not hold the library's lock while it waits, ends
 * with 5 when the session is ended meanwhile, and gives 26 for a negative
 * timeoutMs or a NULL completed. */
VELDRIN_API int VELDRIN_CALL waitForCompletedRows(int deviceIndex, int rows, int timeoutMs, int *completed);
/* Releases every row below `row` on every channel: their values are freed and
 * can no longer be copied (29). `row` must lie between the first row still
 * held and the number of complete rows (26 otherwise); releasing up to the
 * first row still held changes nothing.
 * Once a host has released a row of a 2D sweep, the sweep keeps pace with it:
 * while the complete rows it holds come to 4194304 values (32 MiB) or more,
 * the instrument waits before its next point until the host releases rows.
 * So a sweep of any size runs in bounded memory however slowly the host
 * writes; a host that never releases gets every point at the instrument's
 * own pace, as before. */
VELDRIN_API int VELDRIN_CALL releaseResultRows(int deviceIndex, int row);

/* The spike filter of one instrument (on after initialise): enabled 0 makes
 * every value only calibrated and scaled, as converted; nonzero restores the
 * 5-sample median described with the measurements. Takes effect at the next
 * measurement start (a 2D sweep: at its next point); a running measurement
 * keeps the setting it started with. Opens the instrument like the setters. */
VELDRIN_API int VELDRIN_CALL setSpikeFilter(int deviceIndex, VeldrinBool enabled);

/* Calibration states that getCalibrationState writes. */
enum VeldrinCalibrationState {
    /* No valid calibration image in the instrument (missing, erased or
     * unreadable): the library converts with nominal values (generation I:
     * 4.882 mV or 0.610 mV per count, generation II: the range's full scale
     * over 4096 counts; offsets 0), which can be off by a few percent. */
    VELDRIN_CALIBRATION_DEFAULTS = 0,
    /* The instrument's own calibration image is in use. */
    VELDRIN_CALIBRATION_STORED = 1
};
/* Writes the calibration state of the instrument (opening it first, which
 * reads its calibration image). */
VELDRIN_API int VELDRIN_CALL getCalibrationState(int deviceIndex, int *state);

/* A static English text for a status code (never NULL). */
VELDRIN_API const char *VELDRIN_CALL getStatusText(int status);

/* Provider selection, taking effect at the next initialise. The default is the
 * FTDI D2XX library (libftd2xx.so, ftd2xx.dll, libftd2xx.dylib), loaded at run
 * time; where it cannot be loaded, no device is found. useSimulatedBus selects
 * the built-in simulated bus with the devices the description names (see
 * docs/simulated-bus.md; an empty text is a bus with no device); a malformed
 * description or NULL returns 26 and changes nothing but the text
 * getLibraryErrorText gives. */
VELDRIN_API int VELDRIN_CALL useFtdiLibrary(void);
/* useLibFtdi selects the open-source libftdi1 (libftdi1.so.2, libftdi1.2.dylib)
 * instead of FTDI's library, loaded at run time at the next initialise; where
 * it cannot be loaded, no device is found. It comes with Linux distributions
 * and macOS package managers and needs no vendor driver; see
 * docs/hardware-linux.md for when to prefer which. */
VELDRIN_API int VELDRIN_CALL useLibFtdi(void);
VELDRIN_API int VELDRIN_CALL useSimulatedBus(const char *description);
/* Why the last provider selection failed, as English text: for a description
 * useSimulatedBus refused, the parser's reason ("device 1: unknown key
 * \"colour\""); an empty string after a selection that succeeded. Works
 * before initialise; capacity as for getDeviceSerialNumber (28 when too
 * small, 26 for a negative capacity or a NULL text with capacity > 0). */
VELDRIN_API int VELDRIN_CALL getLibraryErrorText(char *text, int capacity);

#ifdef __cplusplus
}
#endif

#endif /* VELDRINLIB_H */
