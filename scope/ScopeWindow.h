// The scope's main window: the instrument picker, the acquisition, DAC and
// PWM panels, the traces (or a 2D sweep's map) and saving. Every call into the
// library goes to the InstrumentWorker on its own thread; the window only
// sends it requests and shows what comes back.
#pragma once

#include "InstrumentWorker.h"

#include <QMainWindow>
#include <QThread>

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QListWidget;
class QSpinBox;
class QStackedWidget;
class SweepMapPlot;
class TracePlot;

class ScopeWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit ScopeWindow(InstrumentWorker::Provider provider, QWidget *parent = nullptr);
    ~ScopeWindow() override;

    TracePlot *tracePlot() const { return m_trace; }
    SweepMapPlot *sweepMap() const { return m_map; }
    // What was shown last: the values of the last frame.
    const AcquisitionFrame &lastFrame() const { return m_frame; }
    const QVector<InstrumentEntry> &instruments() const { return m_instruments; }
    bool isAcquiring() const { return m_acquiring; }
    // The settings the panels show.
    AcquisitionSettings settings() const;

public Q_SLOTS:
    void runContinuous();
    void runSingle();
    void stop();
    void applyDac();
    void applyPwm();
    void refreshInstruments();
    // Saves the values shown in the tool's format (CSV, or JSON Lines for a
    // name ending in .json/.jsonl); false with a message in the status bar.
    bool saveData(const QString &path);
    // Saves the plot shown as a PNG image.
    bool savePlot(const QString &path);

Q_SIGNALS:
    void instrumentsShown();
    void frameShown();
    void acquisitionEnded(QString message);
    void settingDone(bool ok, QString message);

private:
    void buildPanels();
    void showInstruments(const QVector<InstrumentEntry> &entries, const QString &note);
    void showFrame(const AcquisitionFrame &frame);
    void endAcquisition(int device, const QString &message);
    void start(bool continuous);
    void setAcquiring(bool acquiring);
    int currentDevice() const;
    void showMessage(const QString &message);
    void saveDataDialog();
    void savePlotDialog();

    InstrumentWorker::Provider m_provider;
    QThread m_thread;
    InstrumentWorker *m_worker;
    QVector<InstrumentEntry> m_instruments;
    AcquisitionFrame m_frame;
    bool m_acquiring = false;

    QListWidget *m_list;
    QStackedWidget *m_plots;
    TracePlot *m_trace;
    SweepMapPlot *m_map;
    QLabel *m_calibration, *m_progress, *m_note;
    QComboBox *m_kind, *m_period, *m_range[2], *m_dacWaveform;
    QCheckBox *m_channel[2], *m_spikeFilter;
    QSpinBox *m_samples, *m_sweepStart, *m_sweepStop, *m_sweepStart2, *m_sweepStop2, *m_points;
    QSpinBox *m_dacChannel, *m_dacAmplitude, *m_dacOffset, *m_dacFrequency;
    QSpinBox *m_pwmChannel, *m_pwmDuty, *m_pwmFrequency;
    QAction *m_run, *m_single, *m_stop;
};
