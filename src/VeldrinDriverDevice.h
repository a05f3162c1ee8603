#pragma once

#include <QVector>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "DeviceInfo.h"
#include "ResultRows.h"
#include "USBDriver.h"
#include "USBResult.h"

class USBDevice;
class USBICommRequest;
class USBPacketProtocol;

// The status of a device operation and of every export: 0 is success; the
// codes are those of the public header.
using ApiStatus = int;

// The contract both instrument generations keep, and the USB stack each
// instrument owns: the enumerated USB device, a driver bound to a packet
// protocol, and the information record read when the device is made.
class VeldrinDriverDevice
{
public:
    // Opens the USB device once, reads the information record through the boot
    // firmware and closes it again; failures leave the record empty.
    // `shape` is how the generation holds its results (ResultRows).
    VeldrinDriverDevice(std::shared_ptr<USBDevice> usbDevice, ResultRows::Shape shape);
    virtual ~VeldrinDriverDevice();

    VeldrinDriverDevice(const VeldrinDriverDevice &) = delete;
    VeldrinDriverDevice &operator=(const VeldrinDriverDevice &) = delete;

    virtual ApiStatus openDevice() = 0;
    // openDevice, where an exception (out of memory, no thread to be had)
    // ends the attempt as a failure like any other: the connection closed
    // again, the reason kept as the opening result, 2 returned.
    ApiStatus tryOpenDevice();
    virtual ApiStatus setPWM(int channel, int dutyCycle) = 0;
    virtual ApiStatus setPWMFrequency(int frequency) = 0;
    virtual ApiStatus setDACWaveform(int channel, int waveform) = 0;
    virtual ApiStatus setDACOffset(int channel, int offset) = 0;
    virtual ApiStatus setDACAmplitude(int channel, int amplitude) = 0;
    virtual ApiStatus setDACFrequency(int channel, int frequency) = 0;
    virtual ApiStatus setSweepProperties(int channel, int start, int stop) = 0;
    virtual ApiStatus setADCProperties(int channel, int range, int flag) = 0;
    virtual ApiStatus runMeasurement(int channelMask, int periodCode, int sampleCount) = 0;
    virtual ApiStatus run1DSweepMeasurement(int channelMask, int periodCode, int sampleCount) = 0;
    virtual ApiStatus run2DSweepMeasurement(int channelMask, int periodCode, int sampleCount, int points) = 0;
    virtual bool isMeasurementComplete() = 0;
    // Copies of the held results (row 0, and every held row) for C++ users.
    virtual QVector<double> getResult(int channel);
    virtual QVector<QVector<double>> get2DResult(int channel);
    virtual ApiStatus get2DResultSizes(int channel, int *rows, int *columns);

    // The result copies of the exports, made under the device lock straight
    // from the held rows into the caller's buffer (ResultRows gives each
    // one's codes). copyResult copies row 0; a capacity of INT_MAX stands for
    // a buffer that holds every value.
    ApiStatus copyResult(int channel, double *values, int capacity, int *count);
    ApiStatus copyResultRow(int channel, int row, double *values, int capacity, int *count);
    ApiStatus copyHeldRows(int channel, double *values);
    // Complete rows of the current measurement and the first row still held.
    void completedRows(int &completed, int &firstHeld);
    // Frees every row below `row`; 26 outside first held .. complete rows.
    // Takes the submit lock (through rowsReleased), so it runs on a host
    // thread holding no device lock.
    ApiStatus releaseRows(int row);
    // The current measurement could not be held: an allocation for its
    // values failed, and it ended there (its rows kept).
    bool outOfMemory();
    // What getLastErrorText says about that until the next start: the rows
    // kept; empty when the measurement was held.
    QString outOfMemoryText();

    // 1 or 2.
    virtual int generation() const = 0;
    // The last outcome the protocol thread reported for this instrument
    // (success when there was none).
    virtual USBResult lastResult() = 0;
    // Values stored so far for the current measurement, over all channels
    // and sweep points, and the number it holds once complete (samples x
    // enabled channels x points); 0 and 0 before any measurement. Both are
    // read together under the device lock, so a start that supersedes a
    // running measurement is seen whole.
    void measurementProgress(qint64 &received, qint64 &expected);
    // The 5-sample median spike filter (on by default). The setting is taken
    // when an acquisition starts, so a measurement already streaming keeps
    // the one it started with; off, every sample is only calibrated.
    virtual void setSpikeFilter(bool enabled) = 0;
    virtual bool spikeFilter() = 0;
    // Whether the calibration in use was read from the instrument's stored
    // image; false while the defaults apply (not read yet, missing, erased).
    virtual bool calibrationStored() = 0;

    // Identity as enumeration read it; never opens the instrument.
    QString serialNumber() const;
    int firmwareVersion() const { return deviceInfo.versionPair.first; }
    // Why the last opening attempt failed (success when it did not). Set by
    // the opening thread: a host thread under the API lock, or a thread that
    // DeviceManager::openAll starts and joins while it holds that lock. Read
    // under the API lock.
    USBResult openingResult() const { return m_openingResult; }
    // Why the last setter or measurement start refused its arguments, naming
    // the argument and its accepted range; empty when it accepted them. Set
    // and read on host threads under the API lock.
    QString refusal() const { return m_refusal; }
    void setRefusal(const QString &text) { m_refusal = text; }

    // How a wait for the measurement ended.
    enum class WaitOutcome { Complete, TimedOut, Lost, OutOfMemory, ShutDown };
    // Waits until the current measurement is complete, the open instrument
    // went away, the measurement could not be held, the device is shut down,
    // or `timeoutMs` have passed. Needs no API lock and takes none: it sleeps
    // on a condition that completion, each completed row, every outcome the
    // protocol thread reports and shutdown signal. The caller holds a shared
    // reference to the device for the wait.
    WaitOutcome waitForMeasurement(int timeoutMs);
    // The same wait, until at least `rows` rows are complete or the
    // measurement is (both Complete); `completed` gets the number of complete
    // rows when it ends.
    WaitOutcome waitForRows(int rows, int timeoutMs, int &completed);

    // The status of every operation on an instrument that went away while
    // open (a vendor call on its handle failed), until the next enumeration.
    static constexpr ApiStatus Disconnected = 27;

    // The USB connection is open (also when the instrument went away since).
    bool isOpen() const { return driver->isOpen(); }
    // Idle when no USB device is open or the protocol's queue is empty.
    bool isIdle() const;
    // The open instrument went away (unplugged, or its USB link failed).
    bool isLost() const;
    // Closes the USB connection: clears the queue, ends the protocol thread and
    // closes the vendor handle. A wait in progress ends with ShutDown.
    void shutdown();

    const DeviceInfo &deviceInformation() const { return deviceInfo; }

protected:
    // Rows were released: a generation whose sweep waits for the host to
    // take rows goes on. Called on the host thread with no device lock held.
    virtual void rowsReleased() {}

    // Wakes the waits to look again. The generations call it when a row or
    // a measurement completes and when the protocol thread reports an outcome
    // (which is how an instrument that went away shows); it may be called
    // under the device lock, which is taken before the wait lock.
    void measurementChanged();

    // Under the device lock, when an allocation for the values failed: ends
    // the measurement there, keeping its rows.
    void ranOutOfMemory();

    // The device lock: the measurement state, the results and the property
    // blocks that the protocol thread writes.
    std::mutex m_mutex;
    ResultRows m_results; // guarded by m_mutex
    // False from a measurement start until its last values arrived; guarded
    // by m_mutex.
    bool m_measurementComplete = true;

    // The opening steps both generations share: open at 500000 baud (3), purge,
    // boot firmware start step (4), 600 ms, information record (7), validity
    // (8), firmware version accepted for the hardware (9), 50 ms. Every failure
    // after the open closes the connection again, so the next call repeats the
    // checks instead of using an instrument that never passed them. The caller
    // has checked that no device is open yet.
    ApiStatus openAndVerify();

    // What openDevice answers for a device that is already open: 0, or
    // Disconnected once it went away.
    ApiStatus openedStatus() const { return isLost() ? Disconnected : 0; }

    // One instruction of the generation's request class, with an optional
    // payload.
    template <typename Request>
    static std::shared_ptr<USBICommRequest> makeInstruction(quint8 command, const QByteArray &payload)
    {
        auto request = std::make_shared<Request>(command);
        if (!payload.isEmpty())
            request->setPayload(payload);
        return request;
    }

    // Submits a request for the protocol thread; false when refused (no
    // device open). Outcomes arrive through the direct packet handler.
    bool submit(const std::shared_ptr<USBICommRequest> &request)
    {
        return driver->submit(request, nullptr).isSuccess();
    }

    template <typename Request>
    bool submitInstruction(quint8 command, const QByteArray &payload)
    {
        return submit(makeInstruction<Request>(command, payload));
    }

    // Stream packets of a superseded acquisition. A measurement start records
    // the id of its start request (under the device lock); until the reply to
    // that request has been parsed, stream packets still belong to the
    // acquisition it replaced and are dropped, so a result never mixes two
    // acquisitions. Both calls expect the generation's device lock held.
    void awaitStartReply(int requestId) { m_awaitedStartId = requestId; }
    // In packetReceived: whether the packet belongs to the current acquisition.
    bool streamIsCurrent();
    // In requestFinished: the start request has been answered (or given up).
    void requestAnswered(int requestId)
    {
        if (requestId == m_awaitedStartId)
            m_awaitedStartId = 0;
    }

    // Serialises what host threads send (measurement starts, DAC settings)
    // with the restarts a sweep makes on the protocol thread, from the
    // decision to the submission: a host start can never be overtaken by a
    // restart decided before it, and the instrument ends up with the settings
    // the device holds. Taken before the device lock, never under it.
    std::mutex m_submitMutex;

    std::shared_ptr<USBDevice> usbDevice;
    std::shared_ptr<USBDriver> driver;
    std::shared_ptr<USBPacketProtocol> protocol;
    DeviceInfo deviceInfo;

private:
    // The wait of both waits: `reached` is asked under the device lock.
    template <typename Reached>
    WaitOutcome waitUntil(int timeoutMs, Reached reached);

    int m_awaitedStartId = 0; // guarded by the generation's device lock
    USBResult m_openingResult;
    QString m_refusal;

    // The wait's own lock and condition. Under m_waitMutex: a count of
    // changes, whether the device has been shut down, and the USB device
    // opened for use (whose lost flag may be read from any thread; it is
    // dropped before shutdown closes it, so a waiter never reads it while it
    // closes). The waiter takes no other lock while it holds m_waitMutex.
    std::mutex m_waitMutex;
    std::condition_variable m_waitChanged;
    quint64 m_waitEvents = 0;
    bool m_shutDown = false;
    std::shared_ptr<USBDevice> m_openedUsbDevice;
};
