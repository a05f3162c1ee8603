// The scope's one client of the library: every call into the C API happens on
// the thread this object lives on, never on the GUI thread. The window talks
// to it by queued slots and hears back by signals; a wait on an instrument
// lasts at most one poll slice, so a stop or a setting reaches the instrument
// promptly while a measurement runs.
#pragma once

#include <QElapsedTimer>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QVector>

class QTimer;

// One listed instrument and how it answers.
struct InstrumentEntry
{
    int index = 0;
    QString serial;
    int generation = 0;
    int firmware = 0;
    int status = 0;        // of opening it (0 when it is usable)
    QString reason;        // the library's last error text for it
    int calibration = -1;  // VELDRIN_CALIBRATION_*, -1 when unknown
};

enum class AcquisitionKind { Measure, Sweep1D, Sweep2D };

struct AcquisitionSettings
{
    AcquisitionKind kind = AcquisitionKind::Measure;
    int channelMask = 3;
    int periodCode = 8;
    int samples = 1000;
    int range[2] = {3, 3};
    bool spikeFilter = true;
    int sweepStart = -1000, sweepStop = 1000;   // DAC 1, mV
    int sweepStart2 = -1000, sweepStop2 = 1000; // DAC 2, mV
    int points = 5;
};

// What arrived of one measurement: rows (sweep points) per channel, channel 1
// in rows[0], channel 2 in rows[1]; a channel not measured has none.
struct AcquisitionFrame
{
    int device = 0;
    AcquisitionSettings settings;
    QVector<QVector<double>> rows[2];
    int received = 0, expected = 0;
    bool complete = false;
    int calibration = -1;
    QString startedUtc;
    // 2D sweep: when each point began, in seconds since the sweep started, as
    // seen here (when the point before it was seen complete; 0 for the first).
    QVector<double> pointStarts;
};

Q_DECLARE_METATYPE(InstrumentEntry)
Q_DECLARE_METATYPE(QVector<InstrumentEntry>)
Q_DECLARE_METATYPE(AcquisitionSettings)
Q_DECLARE_METATYPE(AcquisitionFrame)

class InstrumentWorker : public QObject
{
    Q_OBJECT
public:
    // How the library reaches the instruments: the simulated bus of that
    // description when it is not empty, else libftdi1 or FTDI's D2XX library.
    struct Provider
    {
        QString simulated;
        bool libFtdi = false;
        QString name() const;
    };

    explicit InstrumentWorker(Provider provider, QObject *parent = nullptr);
    ~InstrumentWorker() override;

    // Registers the types that cross threads in queued connections.
    static void registerTypes();
    // The library's text for an instrument's last failure (empty when none).
    static QString lastError(int device);
    // "what: 27 (text): reason" for a failed call.
    static QString failure(const char *what, int status, int device);

public Q_SLOTS:
    // initialise, then every instrument opened at once, then the list.
    void connectInstruments();
    // Lists the instruments with their current status again.
    void refreshStatuses();
    // Starts measuring on `device`; continuous repeats until stop().
    void run(int device, AcquisitionSettings settings, bool continuous);
    // Ends the acquisition: what arrived stays shown and the instrument's
    // running measurement is ended.
    void stop();
    // One DAC output's settings (waveform 0 sine, 1 square, 2 triangle; mV; Hz).
    void setDac(int device, int channel, int waveform, int amplitude, int offset, int frequency);
    // One PWM output's duty cycle and, when frequency > 0, both outputs' frequency.
    void setPwm(int device, int channel, int duty, int frequency);
    // Stops and closes the library (the thread's last call).
    void shutdown();

Q_SIGNALS:
    void instrumentsListed(QVector<InstrumentEntry> entries, QString note);
    void frameReady(AcquisitionFrame frame);
    // The acquisition ended: by stop, after a single one, or by a failure
    // (message not empty).
    void acquisitionEnded(int device, QString message);
    void settingApplied(QString message);
    void settingFailed(QString message);

private:
    void poll();
    bool startOne();
    bool fetch(bool final);
    bool fetchSweepRows();
    void end(const QString &message);
    InstrumentEntry entryFor(int index) const;

    Provider m_provider;
    QTimer *m_poll = nullptr;
    bool m_connected = false;
    bool m_running = false;
    bool m_continuous = false;
    AcquisitionFrame m_frame;
    int m_lastReceived = -1;
    bool m_changed = false; // the last fetch found new values
    int m_fetchStatus = 0;  // the status a failed fetch ended with
    QElapsedTimer m_started;  // since the acquisition's start
    double m_seenAt = 0;      // when the last row taken was seen complete (s)
};
