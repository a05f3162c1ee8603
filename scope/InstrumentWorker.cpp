#include "InstrumentWorker.h"

#include "Doctor.h"
#include "VeldrinLib.h"

#include <QDateTime>
#include <QTimer>

#include <vector>

namespace {

// How long one poll may wait on the instrument, and the pause between polls:
// short enough that a stop or a setting queued behind it is taken promptly.
constexpr int pollWaitMs = 15;
constexpr int pollIntervalMs = 15;

bool measures(const AcquisitionSettings &settings, int channel)
{
    return (settings.channelMask & (1 << channel)) != 0;
}

// Every value of one row, however many arrived: the copy checks its buffer's
// size and asks again when more came meanwhile.
int copyRow(int device, int channel, int row, QVector<double> &values)
{
    for (;;) {
        int count = 0;
        const int status = get2DResultRow(device, channel, row, values.data(), values.size(), &count);
        if (status == VELDRIN_BUFFER_TOO_SMALL) {
            values.resize(count);
            continue;
        }
        if (status == VELDRIN_OK)
            values.resize(count);
        // Before its first value arrives a row does not exist yet.
        if (status == VELDRIN_INVALID_ARGUMENT) {
            values.clear();
            return VELDRIN_OK;
        }
        return status;
    }
}

} // namespace

QString InstrumentWorker::Provider::name() const
{
    if (!simulated.isEmpty())
        return QStringLiteral("the simulated bus");
    return libFtdi ? QStringLiteral("libftdi1") : QStringLiteral("FTDI's D2XX library");
}

InstrumentWorker::InstrumentWorker(Provider provider, QObject *parent)
    : QObject(parent), m_provider(std::move(provider)), m_poll(new QTimer(this))
{
    m_poll->setInterval(pollIntervalMs);
    connect(m_poll, &QTimer::timeout, this, &InstrumentWorker::poll);
}

InstrumentWorker::~InstrumentWorker() = default;

void InstrumentWorker::registerTypes()
{
    qRegisterMetaType<InstrumentEntry>();
    qRegisterMetaType<QVector<InstrumentEntry>>();
    qRegisterMetaType<AcquisitionSettings>();
    qRegisterMetaType<AcquisitionFrame>();
}

QString InstrumentWorker::lastError(int device)
{
    std::vector<char> text(256);
    for (;;) {
        const int status = getLastErrorText(device, text.data(), static_cast<int>(text.size()));
        if (status == VELDRIN_BUFFER_TOO_SMALL && text.size() < 65536) {
            text.resize(text.size() * 4);
            continue;
        }
        return status == VELDRIN_OK ? QString::fromUtf8(text.data()) : QString();
    }
}

QString InstrumentWorker::failure(const char *what, int status, int device)
{
    QString text = QStringLiteral("%1: %2 (%3)").arg(QLatin1String(what)).arg(status).arg(QLatin1String(getStatusText(status)));
    const QString reason = device > 0 ? lastError(device) : QString();
    if (!reason.isEmpty())
        text += QStringLiteral(": ") + reason;
    return text;
}

InstrumentEntry InstrumentWorker::entryFor(int index) const
{
    InstrumentEntry entry;
    entry.index = index;
    char serial[64] = "";
    if (getDeviceSerialNumber(index, serial, sizeof serial) == VELDRIN_OK)
        entry.serial = QString::fromLatin1(serial);
    getDeviceGeneration(index, &entry.generation);
    getFirmwareVersion(index, &entry.firmware);
    // Opens the instrument when it is not open yet, and answers 27 once it
    // went away, so it is also the status of the instrument.
    int calibration = -1;
    entry.status = getCalibrationState(index, &calibration);
    if (entry.status == VELDRIN_OK)
        entry.calibration = calibration;
    else
        entry.reason = lastError(index);
    return entry;
}

void InstrumentWorker::connectInstruments()
{
    int status = VELDRIN_OK;
    if (!m_provider.simulated.isEmpty())
        status = useSimulatedBus(m_provider.simulated.toUtf8().constData());
    else if (m_provider.libFtdi)
        status = useLibFtdi();
    else
        status = useFtdiLibrary();
    if (status != VELDRIN_OK) {
        char reason[512] = "";
        getLibraryErrorText(reason, sizeof reason);
        Q_EMIT instrumentsListed({}, QStringLiteral("The simulated bus description is not valid: %1 (see %2/simulated-bus.md)")
                                         .arg(QString::fromUtf8(reason), QString::fromStdString(documentationFolder())));
        return;
    }
    status = initialise();
    if (status != VELDRIN_OK) {
        Q_EMIT instrumentsListed({}, failure("initialise", status, 0));
        return;
    }
    m_connected = true;
    int opened = 0;
    openDevices(&opened);
    refreshStatuses();
}

void InstrumentWorker::refreshStatuses()
{
    if (!m_connected)
        return;
    int count = 0;
    getDeviceCount(&count);
    QVector<InstrumentEntry> entries;
    for (int index = 1; index <= count; ++index)
        entries.append(entryFor(index));
    QString note;
    if (count == 0) {
        note = m_provider.name() + QStringLiteral(" found no instrument");
        if (!m_provider.simulated.isEmpty()) {
            note += QStringLiteral(": the description names no gen1 or gen2 device (see %1/simulated-bus.md)")
                        .arg(QString::fromStdString(documentationFolder()));
        } else {
            for (const std::string &line :
                 explainNoInstruments(m_provider.libFtdi ? UsbProvider::LibFtdi : UsbProvider::D2xx))
                note += QStringLiteral("\n  ") + QString::fromStdString(line);
            note += QStringLiteral("\n  `veldrin %1doctor` checks this machine and prints the fixes")
                        .arg(m_provider.libFtdi ? QStringLiteral("--libftdi ") : QString());
        }
    }
    Q_EMIT instrumentsListed(entries, note);
}

void InstrumentWorker::run(int device, AcquisitionSettings settings, bool continuous)
{
    if (m_running)
        end(QString());
    const auto fail = [this, device](const char *what, int status) {
        Q_EMIT acquisitionEnded(device, failure(what, status, device));
        return;
    };
    int status = setSpikeFilter(device, settings.spikeFilter);
    if (status != VELDRIN_OK)
        return fail("setSpikeFilter", status);
    for (int channel = 0; channel < 2; ++channel)
        if (measures(settings, channel)
            && (status = setADCProperties(device, channel + 1, settings.range[channel], 0)) != VELDRIN_OK)
            return fail("setADCProperties", status);
    if (settings.kind != AcquisitionKind::Measure
        && (status = setSweepProperties(device, 1, settings.sweepStart, settings.sweepStop)) != VELDRIN_OK)
        return fail("setSweepProperties", status);
    if (settings.kind == AcquisitionKind::Sweep2D
        && (status = setSweepProperties(device, 2, settings.sweepStart2, settings.sweepStop2)) != VELDRIN_OK)
        return fail("setSweepProperties", status);
    int calibration = -1;
    if ((status = getCalibrationState(device, &calibration)) != VELDRIN_OK)
        return fail("getCalibrationState", status);

    m_frame = AcquisitionFrame();
    m_frame.device = device;
    m_frame.settings = settings;
    m_frame.calibration = calibration;
    m_continuous = continuous;
    if (startOne()) {
        m_running = true;
        m_poll->start();
    }
}

bool InstrumentWorker::startOne()
{
    const AcquisitionSettings &s = m_frame.settings;
    const int device = m_frame.device;
    for (auto &rows : m_frame.rows)
        rows.clear();
    m_frame.complete = false;
    m_frame.received = m_frame.expected = 0;
    m_frame.pointStarts.clear();
    m_seenAt = 0;
    m_frame.startedUtc = QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ssZ"));
    m_lastReceived = -1;
    int status;
    const char *what;
    if (s.kind == AcquisitionKind::Measure) {
        what = "runMeasurement";
        status = runMeasurement(device, s.channelMask, s.periodCode, s.samples);
    } else if (s.kind == AcquisitionKind::Sweep1D) {
        what = "run1DSweepMeasurement";
        status = run1DSweepMeasurement(device, s.channelMask, s.periodCode, s.samples);
    } else {
        what = "run2DSweepMeasurement";
        status = run2DSweepMeasurement(device, s.channelMask, s.periodCode, s.samples, s.points);
    }
    if (status != VELDRIN_OK) {
        m_running = false;
        m_poll->stop();
        Q_EMIT acquisitionEnded(device, failure(what, status, device));
        return false;
    }
    m_started.start();
    return true;
}

// Copies what arrived of the one row of a measurement or 1D sweep; the last
// copy (final) comes after completion.
bool InstrumentWorker::fetch(bool final)
{
    const int device = m_frame.device;
    int received = 0, expected = 0;
    m_fetchStatus = getMeasurementProgress(device, &received, &expected);
    if (m_fetchStatus != VELDRIN_OK)
        return false;
    m_frame.expected = expected;
    m_changed = received != m_lastReceived || final;
    if (!m_changed)
        return true;
    m_frame.received = received;
    m_lastReceived = received;
    if (m_frame.settings.kind == AcquisitionKind::Sweep2D)
        return fetchSweepRows();
    // Values go on arriving between the calls: the count shown is that of
    // the values copied.
    m_frame.received = 0;
    for (int channel = 0; channel < 2; ++channel) {
        if (!measures(m_frame.settings, channel))
            continue;
        m_frame.rows[channel].resize(1);
        m_fetchStatus = copyRow(device, channel + 1, 0, m_frame.rows[channel][0]);
        if (m_fetchStatus != VELDRIN_OK)
            return false;
        m_frame.received += m_frame.rows[channel][0].size();
    }
    return true;
}

// A 2D sweep's rows, each taken once it is complete (the map fills in point
// by point) and then released: the frame holds them, the library need not.
bool InstrumentWorker::fetchSweepRows()
{
    const AcquisitionSettings &s = m_frame.settings;
    int completed = 0, firstHeld = 0;
    m_fetchStatus = getCompletedRows(m_frame.device, &completed, &firstHeld);
    if (m_fetchStatus != VELDRIN_OK)
        return false;
    for (int channel = 0; channel < 2; ++channel) {
        if (!measures(s, channel))
            continue;
        QVector<QVector<double>> &rows = m_frame.rows[channel];
        for (int row = rows.size(); row < completed; ++row) {
            QVector<double> values(s.samples);
            m_fetchStatus = copyRow(m_frame.device, channel + 1, row, values);
            if (m_fetchStatus != VELDRIN_OK)
                return false;
            rows.append(values);
        }
    }
    // The first new row began when the one before it was seen complete; the
    // others with it were seen complete now.
    const double now = m_started.nsecsElapsed() / 1e9;
    const int before = m_frame.pointStarts.size();
    for (int row = before; row < completed; ++row)
        m_frame.pointStarts.append(row == 0 ? 0.0 : row == before ? m_seenAt : now);
    if (completed > before)
        m_seenAt = now;
    if (completed > firstHeld)
        releaseResultRows(m_frame.device, completed);
    return true;
}

void InstrumentWorker::poll()
{
    if (!m_running)
        return;
    const int device = m_frame.device;
    VeldrinBool complete = false;
    int status;
    if (m_frame.settings.kind == AcquisitionKind::Sweep2D) {
        // Woken by the next complete row, not only by the sweep's end.
        const int held = qMax(m_frame.rows[0].size(), m_frame.rows[1].size());
        int completed = 0;
        status = waitForCompletedRows(device, held + 1, pollWaitMs, &completed);
        if (status == VELDRIN_OK)
            status = waitForMeasurement(device, 0, &complete);
    } else {
        status = waitForMeasurement(device, pollWaitMs, &complete);
    }
    if (status != VELDRIN_OK) {
        // Gone (27) or ended by a close: what arrived until then stays shown.
        fetch(true);
        Q_EMIT frameReady(m_frame);
        end(failure("waiting for the measurement", status, device));
        refreshStatuses();
        return;
    }
    if (!fetch(complete)) {
        end(failure("reading the results", m_fetchStatus, device));
        refreshStatuses();
        return;
    }
    m_frame.complete = complete;
    if (m_changed)
        Q_EMIT frameReady(m_frame);
    if (!complete)
        return;
    if (m_continuous)
        startOne();
    else
        end(QString());
}

void InstrumentWorker::stop()
{
    if (!m_running)
        return;
    const int device = m_frame.device;
    // What arrived so far stays in view (and can be saved).
    VeldrinBool complete = false;
    waitForMeasurement(device, 0, &complete);
    fetch(true);
    m_frame.complete = complete;
    Q_EMIT frameReady(m_frame);
    if (!complete) {
        // The library has no call that ends a measurement; a start that
        // measures no input replaces it and completes at once, so the
        // instrument stops streaming.
        runMeasurement(device, 0, m_frame.settings.periodCode, 2);
    }
    end(QString());
}

void InstrumentWorker::end(const QString &message)
{
    m_poll->stop();
    const bool wasRunning = m_running;
    m_running = false;
    if (wasRunning || !message.isEmpty())
        Q_EMIT acquisitionEnded(m_frame.device, message);
}

void InstrumentWorker::setDac(int device, int channel, int waveform, int amplitude, int offset, int frequency)
{
    int status = setDACWaveform(device, channel, waveform);
    const char *what = "setDACWaveform";
    if (status == VELDRIN_OK && (status = setDACAmplitude(device, channel, amplitude)) != VELDRIN_OK)
        what = "setDACAmplitude";
    if (status == VELDRIN_OK && (status = setDACOffset(device, channel, offset)) != VELDRIN_OK)
        what = "setDACOffset";
    if (status == VELDRIN_OK && (status = setDACFrequency(device, channel, frequency)) != VELDRIN_OK)
        what = "setDACFrequency";
    if (status == VELDRIN_OK)
        Q_EMIT settingApplied(QStringLiteral("DAC %1 of device %2 set").arg(channel).arg(device));
    else
        Q_EMIT settingFailed(failure(what, status, device));
}

void InstrumentWorker::setPwm(int device, int channel, int duty, int frequency)
{
    int status = VELDRIN_OK;
    const char *what = "setPWMFrequency";
    if (frequency > 0)
        status = setPWMFrequency(device, frequency);
    if (status == VELDRIN_OK && (status = setPWM(device, channel, duty)) != VELDRIN_OK)
        what = "setPWM";
    if (status == VELDRIN_OK)
        Q_EMIT settingApplied(QStringLiteral("PWM %1 of device %2 set").arg(channel).arg(device));
    else
        Q_EMIT settingFailed(failure(what, status, device));
}

void InstrumentWorker::shutdown()
{
    stop();
    if (m_connected)
        closeLibrary();
    m_connected = false;
}
