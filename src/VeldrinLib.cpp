// The exported C functions: a thin, serialised front over the one device
// manager. Every export holds the process-wide lock from start to end (a wait
// for a measurement only for its checks), and no exception leaves an export.

// The library defines the Windows export `close` too, so it needs its
// declaration; its own sources never include <io.h> or <unistd.h>.
#define VELDRIN_DECLARE_CLOSE
#include "VeldrinLib.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <mutex>

#include <QByteArray>
#include <QString>
#include <memory>
#include <new>

#include "ArgumentRanges.h"
#include "DeviceManager.h"
#include "LibraryState.h"

#if defined(VELDRIN_BUILD_VERSION_MAJOR)
static_assert(VELDRIN_VERSION_MAJOR == VELDRIN_BUILD_VERSION_MAJOR
                  && VELDRIN_VERSION_MINOR == VELDRIN_BUILD_VERSION_MINOR
                  && VELDRIN_VERSION_PATCH == VELDRIN_BUILD_VERSION_PATCH,
              "the public header's version differs from the project's");
#endif

namespace {

// Status for an exception that reached the boundary.
constexpr int internalFailure = VELDRIN_INTERNAL_FAILURE;

// Runs one export's body under the lock, keeping every exception inside.
template <typename Body>
int guarded(Body body) noexcept
{
    try {
        std::lock_guard<std::mutex> locker(LibraryState::instance().apiMutex);
        return body(LibraryState::instance());
    } catch (...) {
        return internalFailure;
    }
}

// The call frame of every export that names a device, under the lock: library
// initialised (5), device index valid and device open and idle (1, 3, 4, 7, 8,
// 9, 27), then the export's own arguments (26). On success `device` is a
// shared reference to the device.
int openedDevice(LibraryState &state, int deviceIndex, bool argumentsValid,
                 std::shared_ptr<VeldrinDriverDevice> &device)
{
    if (!state.manager)
        return VELDRIN_NOT_INITIALISED;
    // Opening starts the instrument's threads.
    state.holdModule();
    const int status = state.manager->checkDevice(deviceIndex);
    if (status != VELDRIN_OK)
        return status;
    if (!argumentsValid)
        return VELDRIN_INVALID_ARGUMENT;
    device = state.manager->deviceAt(deviceIndex);
    return VELDRIN_OK;
}

// The call frame, then the action on the device, all under the lock.
template <typename Action>
int withDevice(int deviceIndex, bool argumentsValid, Action action) noexcept
{
    return guarded([&](LibraryState &state) -> int {
        std::shared_ptr<VeldrinDriverDevice> device;
        const int status = openedDevice(state, deviceIndex, argumentsValid, device);
        if (status != VELDRIN_OK)
            return status;
        return action(*device);
    });
}

// The call frame of the exports that read what the instrument has sent
// (results, progress, completion, the wait): as openedDevice, except that an
// instrument that went away still gives what arrived before the loss; `lost`
// tells so.
int receivingDevice(LibraryState &state, int deviceIndex, bool argumentsValid,
                    std::shared_ptr<VeldrinDriverDevice> &device, bool &lost)
{
    if (!state.manager)
        return VELDRIN_NOT_INITIALISED;
    // Opening starts the instrument's threads, as in openedDevice.
    state.holdModule();
    const int status = state.manager->checkDevice(deviceIndex);
    if (status != VELDRIN_OK && status != VELDRIN_INSTRUMENT_DISCONNECTED)
        return status;
    if (!argumentsValid)
        return VELDRIN_INVALID_ARGUMENT;
    device = state.manager->deviceAt(deviceIndex);
    lost = status == VELDRIN_INSTRUMENT_DISCONNECTED;
    return VELDRIN_OK;
}

template <typename Action>
int withReceivedData(int deviceIndex, bool argumentsValid, Action action) noexcept
{
    return guarded([&](LibraryState &state) -> int {
        std::shared_ptr<VeldrinDriverDevice> device;
        bool lost = false;
        const int status = receivingDevice(state, deviceIndex, argumentsValid, device, lost);
        if (status != VELDRIN_OK)
            return status;
        return action(*device, lost);
    });
}

// withDevice for a setter or a measurement start: when the device refuses the
// arguments, the explanation (the argument and its accepted range) becomes
// the device's last error text; anything else clears it.
template <typename Action>
int withCheckedDevice(int deviceIndex, ArgumentRanges::Call call, std::initializer_list<int> arguments,
                      Action action) noexcept
{
    return guarded([&](LibraryState &state) -> int {
        std::shared_ptr<VeldrinDriverDevice> device;
        const int status = openedDevice(state, deviceIndex, true, device);
        if (status != VELDRIN_OK) {
            // Still the latest setter or start: a refusal before it no
            // longer explains the last failure.
            if (state.manager && state.manager->deviceAt(deviceIndex))
                state.manager->deviceAt(deviceIndex)->setRefusal(QString());
            return status;
        }
        const int result = action(*device);
        device->setRefusal(ArgumentRanges::explain(device->generation(), call, result, arguments));
        return result;
    });
}

// The frame of the exports that answer from what enumeration read: library
// initialised (5), index valid (1), arguments (26); never opens the instrument
// and never waits for its queue.
template <typename Action>
int withListedDevice(int deviceIndex, bool argumentsValid, Action action) noexcept
{
    return guarded([&](LibraryState &state) -> int {
        if (!state.manager)
            return VELDRIN_NOT_INITIALISED;
        const std::shared_ptr<VeldrinDriverDevice> device = state.manager->deviceAt(deviceIndex);
        if (!device)
            return VELDRIN_BAD_DEVICE_INDEX;
        if (!argumentsValid)
            return VELDRIN_INVALID_ARGUMENT;
        return action(*device);
    });
}

// A caller's buffer of `capacity` elements: present unless empty, and not of
// negative size.
bool bufferValid(const void *buffer, int capacity)
{
    return capacity >= 0 && (buffer || capacity == 0);
}

// Copies NUL-terminated text into a caller's buffer; 28 (and an empty string
// where one fits) when it cannot hold it all.
int copyText(const QByteArray &text, char *buffer, int capacity)
{
    if (capacity < text.size() + 1) {
        if (capacity > 0)
            buffer[0] = '\0';
        return VELDRIN_BUFFER_TOO_SMALL;
    }
    std::memcpy(buffer, text.constData(), size_t(text.size()));
    buffer[text.size()] = '\0';
    return VELDRIN_OK;
}

// The frame of the waits: the call frame under the lock, then the wait on the
// device without it. The shared reference keeps the device alive even if
// closeLibrary or initialise drops it meanwhile, which shuts it down and ends
// the wait. `done(reached)` writes the outcome of a wait that ended with 0.
template <typename Wait, typename Done>
int waitOnDevice(int deviceIndex, bool argumentsValid, Wait wait, Done done) noexcept
{
    // A measurement completed before a loss is complete, as
    // isMeasurementComplete reports it: the device's wait looks at
    // completion before the loss, so a lost device is waited on too.
    std::shared_ptr<VeldrinDriverDevice> device;
    const int status = guarded([&](LibraryState &state) -> int {
        bool lost = false;
        return receivingDevice(state, deviceIndex, argumentsValid, device, lost);
    });
    if (status != VELDRIN_OK)
        return status;
    try {
        const VeldrinDriverDevice::WaitOutcome outcome = wait(*device);
        device.reset();
        switch (outcome) {
        case VeldrinDriverDevice::WaitOutcome::Complete:
            done(true);
            return VELDRIN_OK;
        case VeldrinDriverDevice::WaitOutcome::TimedOut:
            done(false);
            return VELDRIN_OK;
        case VeldrinDriverDevice::WaitOutcome::Lost:
            return VELDRIN_INSTRUMENT_DISCONNECTED;
        case VeldrinDriverDevice::WaitOutcome::OutOfMemory:
            return VELDRIN_OUT_OF_MEMORY;
        case VeldrinDriverDevice::WaitOutcome::ShutDown:
            return VELDRIN_NOT_INITIALISED;
        }
        return internalFailure;
    } catch (...) {
        return internalFailure;
    }
}

int clampToInt(qint64 value)
{
    return int(std::min<qint64>(value, INT_MAX));
}

int closeManager() noexcept
{
    return guarded([](LibraryState &state) -> int {
        state.manager.reset();
        state.releaseModule();
        return VELDRIN_OK;
    });
}

} // namespace

extern "C" {

int getLibraryVersion(int *major, int *minor, int *patch)
{
    if (!major || !minor || !patch)
        return VELDRIN_INVALID_ARGUMENT;
    *major = VELDRIN_VERSION_MAJOR;
    *minor = VELDRIN_VERSION_MINOR;
    *patch = VELDRIN_VERSION_PATCH;
    return VELDRIN_OK;
}

int initialise(void)
{
    return guarded([](LibraryState &state) -> int {
        state.installSelectedProvider();
        // The old list goes first. Its instruments may be open, and a USB
        // device has one owner at a time: a new list built beside it could
        // not read their information records, and their serial numbers would
        // be unknown to getDeviceIndex until the next initialise.
        state.manager.reset();
        state.releaseModule();
        state.manager.reset(new DeviceManager);
        return VELDRIN_OK;
    });
}

int closeLibrary(void)
{
    return closeManager();
}

#if defined(_WIN32)
int close(void)
{
    return closeManager();
}
#endif

int getDeviceCount(int *count)
{
    return guarded([&](LibraryState &state) -> int {
        if (!state.manager)
            return VELDRIN_NOT_INITIALISED;
        if (!count)
            return VELDRIN_INVALID_ARGUMENT;
        *count = state.manager->deviceCount();
        return VELDRIN_OK;
    });
}

int getDeviceIndex(const char *serialNumber, int *deviceIndex)
{
    return guarded([&](LibraryState &state) -> int {
        if (!state.manager)
            return VELDRIN_NOT_INITIALISED;
        if (!deviceIndex)
            return VELDRIN_INVALID_ARGUMENT;
        const QString text = serialNumber ? QString::fromLocal8Bit(serialNumber) : QString();
        int index = -1;
        const int status = state.manager->indexOfSerialNumber(text, index);
        *deviceIndex = index;
        return status;
    });
}

int setPWM(int deviceIndex, int channel, int dutyCycle)
{
    return withCheckedDevice(deviceIndex, ArgumentRanges::Call::SetPWM, {channel, dutyCycle}, [&](VeldrinDriverDevice &d) -> int { return d.setPWM(channel, dutyCycle); });
}

int setPWMFrequency(int deviceIndex, int frequency)
{
    return withCheckedDevice(deviceIndex, ArgumentRanges::Call::SetPWMFrequency, {frequency}, [&](VeldrinDriverDevice &d) -> int { return d.setPWMFrequency(frequency); });
}

int setDACWaveform(int deviceIndex, int channel, int waveform)
{
    return withCheckedDevice(deviceIndex, ArgumentRanges::Call::SetDACWaveform, {channel, waveform}, [&](VeldrinDriverDevice &d) -> int { return d.setDACWaveform(channel, waveform); });
}

int setDACOffset(int deviceIndex, int channel, int offset)
{
    return withCheckedDevice(deviceIndex, ArgumentRanges::Call::SetDACOffset, {channel, offset}, [&](VeldrinDriverDevice &d) -> int { return d.setDACOffset(channel, offset); });
}

int setDACAmplitude(int deviceIndex, int channel, int amplitude)
{
    return withCheckedDevice(deviceIndex, ArgumentRanges::Call::SetDACAmplitude, {channel, amplitude}, [&](VeldrinDriverDevice &d) -> int { return d.setDACAmplitude(channel, amplitude); });
}

int setDACFrequency(int deviceIndex, int channel, int frequency)
{
    return withCheckedDevice(deviceIndex, ArgumentRanges::Call::SetDACFrequency, {channel, frequency}, [&](VeldrinDriverDevice &d) -> int { return d.setDACFrequency(channel, frequency); });
}

int setSweepProperties(int deviceIndex, int channel, int start, int stop)
{
    return withCheckedDevice(deviceIndex, ArgumentRanges::Call::SetSweepProperties, {channel, start, stop},
                      [&](VeldrinDriverDevice &d) -> int { return d.setSweepProperties(channel, start, stop); });
}

int setADCProperties(int deviceIndex, int channel, int range, int flag)
{
    return withCheckedDevice(deviceIndex, ArgumentRanges::Call::SetADCProperties, {channel, range, flag},
                      [&](VeldrinDriverDevice &d) -> int { return d.setADCProperties(channel, range, flag); });
}

int runMeasurement(int deviceIndex, int channelMask, int periodCode, int sampleCount)
{
    return withCheckedDevice(deviceIndex, ArgumentRanges::Call::RunMeasurement, {channelMask, periodCode, sampleCount}, [&](VeldrinDriverDevice &d) -> int {
        return d.runMeasurement(channelMask, periodCode, sampleCount);
    });
}

int run1DSweepMeasurement(int deviceIndex, int channelMask, int periodCode, int sampleCount)
{
    return withCheckedDevice(deviceIndex, ArgumentRanges::Call::Run1DSweepMeasurement, {channelMask, periodCode, sampleCount}, [&](VeldrinDriverDevice &d) -> int {
        return d.run1DSweepMeasurement(channelMask, periodCode, sampleCount);
    });
}

int run2DSweepMeasurement(int deviceIndex, int channelMask, int periodCode, int sampleCount, int points)
{
    return withCheckedDevice(deviceIndex, ArgumentRanges::Call::Run2DSweepMeasurement, {channelMask, periodCode, sampleCount, points}, [&](VeldrinDriverDevice &d) -> int {
        return d.run2DSweepMeasurement(channelMask, periodCode, sampleCount, points);
    });
}

int isMeasurementComplete(int deviceIndex, bool *complete)
{
    return withReceivedData(deviceIndex, complete != nullptr, [&](VeldrinDriverDevice &d, bool lost) -> int {
        // After a loss or an allocation failure only a measurement completed
        // before it is complete; an unfinished one never will be, so a
        // polling host gets the reason and stops.
        const bool done = d.isMeasurementComplete();
        if (!done && d.outOfMemory())
            return VELDRIN_OUT_OF_MEMORY;
        if (lost && !done)
            return VELDRIN_INSTRUMENT_DISCONNECTED;
        *complete = done;
        return VELDRIN_OK;
    });
}

int setSpikeFilter(int deviceIndex, bool enabled)
{
    return withDevice(deviceIndex, true, [&](VeldrinDriverDevice &d) -> int {
        d.setSpikeFilter(enabled);
        return VELDRIN_OK;
    });
}

int getCalibrationState(int deviceIndex, int *state)
{
    // The call frame opens the instrument and waits for its queue, so the
    // read-back of the calibration image queued at opening has been answered.
    return withDevice(deviceIndex, state != nullptr, [&](VeldrinDriverDevice &d) -> int {
        *state = d.calibrationStored() ? VELDRIN_CALIBRATION_STORED : VELDRIN_CALIBRATION_DEFAULTS;
        return VELDRIN_OK;
    });
}

int getMeasurementProgress(int deviceIndex, int *received, int *expected)
{
    return withReceivedData(deviceIndex, received && expected, [&](VeldrinDriverDevice &d, bool) -> int {
        qint64 stored = 0, total = 0;
        d.measurementProgress(stored, total);
        *received = clampToInt(stored);
        *expected = clampToInt(total);
        return VELDRIN_OK;
    });
}

int waitForMeasurement(int deviceIndex, int timeoutMs, bool *complete)
{
    return waitOnDevice(deviceIndex, timeoutMs >= 0 && complete,
                        [&](VeldrinDriverDevice &d) { return d.waitForMeasurement(timeoutMs); },
                        [&](bool reached) { *complete = reached; });
}

int waitForCompletedRows(int deviceIndex, int rows, int timeoutMs, int *completed)
{
    int count = 0;
    return waitOnDevice(deviceIndex, timeoutMs >= 0 && completed,
                        [&](VeldrinDriverDevice &d) { return d.waitForRows(rows, timeoutMs, count); },
                        [&](bool) { *completed = count; });
}

int getCompletedRows(int deviceIndex, int *completed, int *firstHeld)
{
    return withReceivedData(deviceIndex, completed && firstHeld, [&](VeldrinDriverDevice &d, bool) -> int {
        d.completedRows(*completed, *firstHeld);
        return VELDRIN_OK;
    });
}

int releaseResultRows(int deviceIndex, int row)
{
    return withReceivedData(deviceIndex, true, [&](VeldrinDriverDevice &d, bool) -> int { return d.releaseRows(row); });
}

int getResult(int deviceIndex, int channel, int *count, double *values)
{
    return withReceivedData(deviceIndex, count != nullptr, [&](VeldrinDriverDevice &d, bool) -> int {
        // The count written and the values copied agree even while samples
        // keep arriving: both come from one look under the device lock.
        int copied = 0;
        const int status = d.copyResult(channel, values, values ? INT_MAX : 0, &copied);
        if (status == VELDRIN_BUFFER_TOO_SMALL)
            return VELDRIN_INVALID_ARGUMENT;
        *count = copied;
        return status;
    });
}

int get2DResult(int deviceIndex, int channel, double *values)
{
    return withReceivedData(deviceIndex, true,
                            [&](VeldrinDriverDevice &d, bool) -> int { return d.copyHeldRows(channel, values); });
}

int get2DResultSizes(int deviceIndex, int channel, int *rows, int *columns)
{
    return withReceivedData(deviceIndex, rows != nullptr && columns != nullptr,
                            [&](VeldrinDriverDevice &d, bool) -> int { return d.get2DResultSizes(channel, rows, columns); });
}

int getResultChecked(int deviceIndex, int channel, double *values, int capacity, int *count)
{
    return withReceivedData(deviceIndex, count && bufferValid(values, capacity), [&](VeldrinDriverDevice &d, bool) -> int {
        return d.copyResult(channel, values, capacity, count);
    });
}

int get2DResultRow(int deviceIndex, int channel, int row, double *values, int capacity, int *count)
{
    return withReceivedData(deviceIndex, count && bufferValid(values, capacity), [&](VeldrinDriverDevice &d, bool) -> int {
        return d.copyResultRow(channel, row, values, capacity, count);
    });
}

int getDeviceSerialNumber(int deviceIndex, char *text, int capacity)
{
    return withListedDevice(deviceIndex, bufferValid(text, capacity), [&](VeldrinDriverDevice &d) -> int {
        return copyText(d.serialNumber().toUtf8(), text, capacity);
    });
}

int getDeviceGeneration(int deviceIndex, int *generation)
{
    return withListedDevice(deviceIndex, generation != nullptr, [&](VeldrinDriverDevice &d) -> int {
        *generation = d.generation();
        return VELDRIN_OK;
    });
}

int getFirmwareVersion(int deviceIndex, int *version)
{
    return withListedDevice(deviceIndex, version != nullptr, [&](VeldrinDriverDevice &d) -> int {
        *version = d.firmwareVersion();
        return VELDRIN_OK;
    });
}

int getLastErrorText(int deviceIndex, char *text, int capacity)
{
    return withListedDevice(deviceIndex, bufferValid(text, capacity), [&](VeldrinDriverDevice &d) -> int {
        // A refused setting or start is the caller's last failure.
        if (!d.refusal().isEmpty())
            return copyText(d.refusal().toUtf8(), text, capacity);
        // A measurement that could not be held, until the next start.
        const QString unheld = d.outOfMemoryText();
        if (!unheld.isEmpty())
            return copyText(unheld.toUtf8(), text, capacity);
        // An instrument that is not open has talked to nobody since its last
        // opening attempt: that attempt's outcome is its last.
        const USBResult last = d.isOpen() ? d.lastResult() : d.openingResult();
        return copyText(last.isSuccess() ? QByteArray() : last.message.toUtf8(), text, capacity);
    });
}

int openDevices(int *opened)
{
    return guarded([&](LibraryState &state) -> int {
        if (!state.manager)
            return VELDRIN_NOT_INITIALISED;
        if (!opened)
            return VELDRIN_INVALID_ARGUMENT;
        // Opening starts the instruments' threads, as in openedDevice.
        state.holdModule();
        *opened = state.manager->openAll();
        return VELDRIN_OK;
    });
}

const char *getStatusText(int status)
{
    static const char *const texts[] = {
        "success",                                                            // 0
        "device index out of range",                                          // 1
        "internal failure",                                                   // 2
        "opening the USB connection to the device failed",                    // 3
        "starting the device's firmware failed",                              // 4
        "library not initialised",                                            // 5
        "no device has this serial number",                                   // 6
        "reading the device information failed",                              // 7
        "the device reports no usable firmware",                              // 8
        "the firmware version is not accepted for this hardware",             // 9
        "operation not supported by this device generation",                  // 10
        "PWM channel invalid",                                                // 11
        "PWM duty cycle out of range",                                        // 12
        "PWM instruction could not be submitted (device not open)",           // 13
        "PWM frequency out of range",                                         // 14
        "DAC waveform out of range",                                          // 15
        "DAC channel invalid",                                                // 16
        "DAC instruction could not be submitted (device not open)",           // 17
        "DAC offset out of range",                                            // 18
        "DAC amplitude or sweep bound out of range",                          // 19
        "DAC frequency out of range",                                         // 20
        "measurement channel selection invalid",                              // 21
        "measurement period code out of range",                               // 22
        "sample count or sweep point count out of range",                     // 23
        "ADC range selection invalid",                                        // 24
        "ADC channel invalid",                                                // 25
        "invalid argument",                                                   // 26
        "instrument disconnected",                                            // 27
        "buffer too small",                                                   // 28
        "row released",                                                       // 29
        "out of memory: the measurement could not be held",                   // 30
    };
    if (status < 0 || status >= int(sizeof(texts) / sizeof(texts[0])))
        return "unknown status code";
    return texts[status];
}

int useFtdiLibrary(void)
{
    return guarded([](LibraryState &state) -> int {
        state.selectVendorLibrary();
        return VELDRIN_OK;
    });
}

int useLibFtdi(void)
{
    return guarded([](LibraryState &state) -> int {
        state.selectLibFtdi();
        return VELDRIN_OK;
    });
}

int useSimulatedBus(const char *description)
{
    return guarded([&](LibraryState &state) -> int {
        return state.selectSimulatedBus(description ? QString::fromUtf8(description) : QString(), description == nullptr)
                   ? VELDRIN_OK
                   : VELDRIN_INVALID_ARGUMENT;
    });
}

int getLibraryErrorText(char *text, int capacity)
{
    return guarded([&](LibraryState &state) -> int {
        if (!bufferValid(text, capacity))
            return VELDRIN_INVALID_ARGUMENT;
        return copyText(state.selectionError().toUtf8(), text, capacity);
    });
}

} // extern "C"
