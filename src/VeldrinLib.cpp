// The exported C functions: a thin, serialised front over the one device
// manager. Every export holds the process-wide lock from start to end, and no
// exception leaves an export.
#include "VeldrinLib.h"

#include <mutex>

#include <QString>
#include <memory>
#include <new>

#include "DeviceManager.h"
#include "LibraryState.h"

namespace {

// Status for an exception that reached the boundary; code 2 is otherwise
// never produced.
constexpr int internalFailure = 2;

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

// The call frame of every export that names a device: library initialised (5),
// pointers the export writes through present (26), device index valid and
// device open and idle (1, 3, 4, 7, 8, 9); then the action on a shared
// reference to the device.
template <typename Action>
int withDevice(int deviceIndex, bool pointersPresent, Action action) noexcept
{
    return guarded([&](LibraryState &state) -> int {
        if (!state.manager)
            return VELDRIN_NOT_INITIALISED;
        if (!pointersPresent)
            return VELDRIN_INVALID_ARGUMENT;
        const int status = state.manager->checkDevice(deviceIndex);
        if (status != VELDRIN_OK)
            return status;
        const std::shared_ptr<VeldrinDriverDevice> device = state.manager->deviceAt(deviceIndex);
        return action(*device);
    });
}

int closeManager() noexcept
{
    return guarded([](LibraryState &state) -> int {
        state.manager.reset();
        return VELDRIN_OK;
    });
}

} // namespace

extern "C" {

int initialise(void)
{
    return guarded([](LibraryState &state) -> int {
        state.installSelectedProvider();
        // The old list goes first. Its instruments may be open, and a USB
        // device has one owner at a time: a new list built beside it could
        // not read their information records, and their serial numbers would
        // be unknown to getDeviceIndex until the next initialise.
        state.manager.reset();
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
    return withDevice(deviceIndex, true, [&](VeldrinDriverDevice &d) -> int { return d.setPWM(channel, dutyCycle); });
}

int setPWMFrequency(int deviceIndex, int frequency)
{
    return withDevice(deviceIndex, true, [&](VeldrinDriverDevice &d) -> int { return d.setPWMFrequency(frequency); });
}

int setDACWaveform(int deviceIndex, int channel, int waveform)
{
    return withDevice(deviceIndex, true, [&](VeldrinDriverDevice &d) -> int { return d.setDACWaveform(channel, waveform); });
}

int setDACOffset(int deviceIndex, int channel, int offset)
{
    return withDevice(deviceIndex, true, [&](VeldrinDriverDevice &d) -> int { return d.setDACOffset(channel, offset); });
}

int setDACAmplitude(int deviceIndex, int channel, int amplitude)
{
    return withDevice(deviceIndex, true, [&](VeldrinDriverDevice &d) -> int { return d.setDACAmplitude(channel, amplitude); });
}

int setDACFrequency(int deviceIndex, int channel, int frequency)
{
    return withDevice(deviceIndex, true, [&](VeldrinDriverDevice &d) -> int { return d.setDACFrequency(channel, frequency); });
}

int setSweepProperties(int deviceIndex, int channel, int start, int stop)
{
    return withDevice(deviceIndex, true,
                      [&](VeldrinDriverDevice &d) -> int { return d.setSweepProperties(channel, start, stop); });
}

int setADCProperties(int deviceIndex, int channel, int range, int flag)
{
    return withDevice(deviceIndex, true,
                      [&](VeldrinDriverDevice &d) -> int { return d.setADCProperties(channel, range, flag); });
}

int runMeasurement(int deviceIndex, int channelMask, int periodCode, int sampleCount)
{
    return withDevice(deviceIndex, true, [&](VeldrinDriverDevice &d) -> int {
        return d.runMeasurement(channelMask, periodCode, sampleCount);
    });
}

int run1DSweepMeasurement(int deviceIndex, int channelMask, int periodCode, int sampleCount)
{
    return withDevice(deviceIndex, true, [&](VeldrinDriverDevice &d) -> int {
        return d.run1DSweepMeasurement(channelMask, periodCode, sampleCount);
    });
}

int run2DSweepMeasurement(int deviceIndex, int channelMask, int periodCode, int sampleCount, int points)
{
    return withDevice(deviceIndex, true, [&](VeldrinDriverDevice &d) -> int {
        return d.run2DSweepMeasurement(channelMask, periodCode, sampleCount, points);
    });
}

int isMeasurementComplete(int deviceIndex, bool *complete)
{
    return withDevice(deviceIndex, complete != nullptr, [&](VeldrinDriverDevice &d) -> int {
        *complete = d.isMeasurementComplete();
        return VELDRIN_OK;
    });
}

int getResult(int deviceIndex, int channel, int *count, double *values)
{
    return withDevice(deviceIndex, count != nullptr, [&](VeldrinDriverDevice &d) -> int {
        // One snapshot: the count written and the values copied agree even while
        // samples keep arriving.
        const QVector<double> result = d.getResult(channel);
        if (!result.isEmpty() && !values)
            return VELDRIN_INVALID_ARGUMENT;
        *count = result.size();
        for (int i = 0; i < result.size(); ++i)
            values[i] = result.at(i);
        return VELDRIN_OK;
    });
}

int get2DResult(int deviceIndex, int channel, double *values)
{
    return withDevice(deviceIndex, true, [&](VeldrinDriverDevice &d) -> int {
        const QVector<QVector<double>> rows = d.get2DResult(channel);
        bool any = false;
        for (const auto &row : rows)
            any = any || !row.isEmpty();
        if (any && !values)
            return VELDRIN_INVALID_ARGUMENT;
        double *out = values;
        for (const auto &row : rows)
            for (double v : row)
                *out++ = v;
        return VELDRIN_OK;
    });
}

int get2DResultSizes(int deviceIndex, int channel, int *rows, int *columns)
{
    return withDevice(deviceIndex, rows != nullptr && columns != nullptr,
                      [&](VeldrinDriverDevice &d) -> int { return d.get2DResultSizes(channel, rows, columns); });
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
        if (!description)
            return VELDRIN_INVALID_ARGUMENT;
        return state.selectSimulatedBus(QString::fromUtf8(description)) ? VELDRIN_OK
                                                                         : VELDRIN_INVALID_ARGUMENT;
    });
}

} // extern "C"
