#include "ScopeWindow.h"

#include "FrameFile.h"
#include "SweepMapPlot.h"
#include "TracePlot.h"
#include "VeldrinLib.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDockWidget>
#include <QFileDialog>
#include <QFormLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTabWidget>
#include <QToolBar>
#include <QVBoxLayout>

namespace {

const char *const periodNames[] = {"10 us", "20 us", "50 us", "100 us", "200 us", "500 us", "1 ms", "2 ms", "5 ms",
                                   "10 ms", "20 ms", "50 ms", "100 ms", "200 ms", "500 ms", "1 s",  "2 s"};
const char *const rangeNames[] = {"0: 0.1 V", "1: 0.4 V", "2: 2 V / 2.5 V", "3: 10 V / 20 V"};

QSpinBox *spin(QWidget *parent, const char *name, int low, int high, int value, const QString &suffix = QString())
{
    auto *box = new QSpinBox(parent);
    box->setObjectName(QLatin1String(name));
    box->setRange(low, high);
    box->setValue(value);
    box->setSuffix(suffix);
    return box;
}

QComboBox *combo(QWidget *parent, const char *name, const QStringList &items, int current)
{
    auto *box = new QComboBox(parent);
    box->setObjectName(QLatin1String(name));
    box->addItems(items);
    box->setCurrentIndex(current);
    return box;
}

QString statusLine(const InstrumentEntry &e)
{
    QString line = QStringLiteral("%1  %2  gen %3  fw %4\n     ")
                       .arg(e.index)
                       .arg(e.serial)
                       .arg(e.generation == 1 ? QStringLiteral("I") : QStringLiteral("II"))
                       .arg(e.firmware);
    if (e.status == VELDRIN_OK)
        return line + (e.calibration == VELDRIN_CALIBRATION_STORED ? QStringLiteral("ready")
                                                                    : QStringLiteral("ready, uncalibrated"));
    line += QStringLiteral("%1 (%2)").arg(QLatin1String(getStatusText(e.status))).arg(e.status);
    if (!e.reason.isEmpty())
        line += QStringLiteral(": ") + e.reason;
    return line;
}

} // namespace

ScopeWindow::ScopeWindow(InstrumentWorker::Provider provider, QWidget *parent)
    : QMainWindow(parent), m_provider(provider), m_worker(new InstrumentWorker(provider))
{
    InstrumentWorker::registerTypes();
    setWindowTitle(tr("veldrin-scope"));
    m_worker->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    connect(m_worker, &InstrumentWorker::instrumentsListed, this, &ScopeWindow::showInstruments);
    connect(m_worker, &InstrumentWorker::frameReady, this, &ScopeWindow::showFrame);
    connect(m_worker, &InstrumentWorker::acquisitionEnded, this, &ScopeWindow::endAcquisition);
    connect(m_worker, &InstrumentWorker::settingApplied, this, [this](const QString &message) {
        showMessage(message);
        Q_EMIT settingDone(true, message);
    });
    connect(m_worker, &InstrumentWorker::settingFailed, this, [this](const QString &message) {
        showMessage(message);
        Q_EMIT settingDone(false, message);
    });

    m_plots = new QStackedWidget(this);
    m_trace = new TracePlot(m_plots);
    m_map = new SweepMapPlot(m_plots);
    m_plots->addWidget(m_trace);
    m_plots->addWidget(m_map);
    m_plots->setMinimumSize(480, 360);
    setCentralWidget(m_plots);
    buildPanels();

    m_thread.start();
    QMetaObject::invokeMethod(m_worker, "connectInstruments", Qt::QueuedConnection);
    resize(1280, 720);
}

ScopeWindow::~ScopeWindow()
{
    // The library is closed on its own thread, which the window waits for
    // only here, as the program ends.
    QMetaObject::invokeMethod(m_worker, "shutdown", Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
}

void ScopeWindow::buildPanels()
{
    auto *tools = addToolBar(tr("Acquisition"));
    tools->setObjectName(QStringLiteral("toolbar"));
    m_run = tools->addAction(tr("Run"), this, &ScopeWindow::runContinuous);
    m_single = tools->addAction(tr("Single"), this, &ScopeWindow::runSingle);
    m_stop = tools->addAction(tr("Stop"), this, &ScopeWindow::stop);
    tools->addSeparator();
    tools->addAction(tr("Save data..."), this, &ScopeWindow::saveDataDialog);
    tools->addAction(tr("Save plot..."), this, &ScopeWindow::savePlotDialog);
    tools->addAction(tr("Refresh instruments"), this, &ScopeWindow::refreshInstruments);
    m_stop->setEnabled(false);

    // The instrument picker.
    auto *pickerDock = new QDockWidget(tr("Instruments"), this);
    pickerDock->setObjectName(QStringLiteral("instrumentsDock"));
    auto *picker = new QWidget(pickerDock);
    auto *pickerLayout = new QVBoxLayout(picker);
    m_list = new QListWidget(picker);
    m_list->setObjectName(QStringLiteral("instruments"));
    m_list->setWordWrap(true);
    m_list->setMinimumWidth(280);
    m_note = new QLabel(picker);
    m_note->setObjectName(QStringLiteral("note"));
    m_note->setWordWrap(true);
    pickerLayout->addWidget(m_list);
    pickerLayout->addWidget(m_note);
    pickerDock->setWidget(picker);
    pickerDock->setFeatures(QDockWidget::NoDockWidgetFeatures);
    addDockWidget(Qt::LeftDockWidgetArea, pickerDock);

    // Acquisition, DAC and PWM panels.
    auto *panelsDock = new QDockWidget(tr("Settings"), this);
    panelsDock->setObjectName(QStringLiteral("settingsDock"));
    panelsDock->setFeatures(QDockWidget::NoDockWidgetFeatures);
    auto *tabs = new QTabWidget(panelsDock);

    auto *acquisition = new QWidget(tabs);
    auto *form = new QFormLayout(acquisition);
    m_kind = combo(acquisition, "kind", {tr("measurement"), tr("1D sweep"), tr("2D sweep")}, 0);
    form->addRow(tr("Kind"), m_kind);
    auto *channels = new QWidget(acquisition);
    auto *channelsLayout = new QHBoxLayout(channels);
    channelsLayout->setContentsMargins(0, 0, 0, 0);
    QStringList ranges;
    for (const char *name : rangeNames)
        ranges << QLatin1String(name);
    for (int c = 0; c < 2; ++c) {
        m_channel[c] = new QCheckBox(tr("input %1").arg(c + 1), channels);
        m_channel[c]->setObjectName(QStringLiteral("channel%1").arg(c + 1));
        m_channel[c]->setChecked(true);
        channelsLayout->addWidget(m_channel[c]);
        m_range[c] = combo(acquisition, c == 0 ? "range1" : "range2", ranges, 3);
    }
    form->addRow(tr("Inputs"), channels);
    QStringList periods;
    for (int code = 0; code <= 16; ++code)
        periods << QStringLiteral("%1: %2").arg(code).arg(QLatin1String(periodNames[code]));
    m_period = combo(acquisition, "period", periods, 5);
    form->addRow(tr("Period code"), m_period);
    m_samples = spin(acquisition, "samples", 2, 50000, 1000);
    form->addRow(tr("Samples"), m_samples);
    form->addRow(tr("Range, input 1"), m_range[0]);
    form->addRow(tr("Range, input 2"), m_range[1]);
    m_spikeFilter = new QCheckBox(tr("5-sample median"), acquisition);
    m_spikeFilter->setObjectName(QStringLiteral("spikeFilter"));
    m_spikeFilter->setChecked(true);
    form->addRow(tr("Spike filter"), m_spikeFilter);
    m_calibration = new QLabel(tr("unknown"), acquisition);
    m_calibration->setObjectName(QStringLiteral("calibration"));
    form->addRow(tr("Calibration"), m_calibration);
    m_sweepStart = spin(acquisition, "sweepStart", -4500, 4500, -1000, tr(" mV"));
    m_sweepStop = spin(acquisition, "sweepStop", -4500, 4500, 1000, tr(" mV"));
    m_sweepStart2 = spin(acquisition, "sweepStart2", -4500, 4500, -1000, tr(" mV"));
    m_sweepStop2 = spin(acquisition, "sweepStop2", -4500, 4500, 1000, tr(" mV"));
    m_points = spin(acquisition, "points", 2, 50000, 5);
    form->addRow(tr("DAC 1 sweep from"), m_sweepStart);
    form->addRow(tr("DAC 1 sweep to"), m_sweepStop);
    form->addRow(tr("DAC 2 set-points from"), m_sweepStart2);
    form->addRow(tr("DAC 2 set-points to"), m_sweepStop2);
    form->addRow(tr("DAC 2 set-points"), m_points);
    tabs->addTab(acquisition, tr("Acquisition"));

    auto *dac = new QWidget(tabs);
    auto *dacForm = new QFormLayout(dac);
    m_dacChannel = spin(dac, "dacChannel", 1, 2, 1);
    m_dacWaveform = combo(dac, "dacWaveform", {tr("sine"), tr("square"), tr("triangle")}, 0);
    m_dacAmplitude = spin(dac, "dacAmplitude", -5000, 5000, 1000, tr(" mV"));
    m_dacOffset = spin(dac, "dacOffset", -5000, 5000, 0, tr(" mV"));
    m_dacFrequency = spin(dac, "dacFrequency", 10, 20000, 100, tr(" Hz"));
    dacForm->addRow(tr("DAC"), m_dacChannel);
    dacForm->addRow(tr("Waveform"), m_dacWaveform);
    dacForm->addRow(tr("Amplitude (peak)"), m_dacAmplitude);
    dacForm->addRow(tr("Offset"), m_dacOffset);
    dacForm->addRow(tr("Frequency"), m_dacFrequency);
    auto *dacApply = new QPushButton(tr("Apply"), dac);
    dacApply->setObjectName(QStringLiteral("dacApply"));
    connect(dacApply, &QPushButton::clicked, this, &ScopeWindow::applyDac);
    dacForm->addRow(dacApply);
    tabs->addTab(dac, tr("DAC"));

    auto *pwm = new QWidget(tabs);
    auto *pwmForm = new QFormLayout(pwm);
    m_pwmChannel = spin(pwm, "pwmChannel", 1, 2, 1);
    m_pwmDuty = spin(pwm, "pwmDuty", 0, 100, 50, tr(" %"));
    m_pwmFrequency = spin(pwm, "pwmFrequency", 0, 200000, 0, tr(" Hz"));
    m_pwmFrequency->setSpecialValueText(tr("unchanged"));
    pwmForm->addRow(tr("PWM"), m_pwmChannel);
    pwmForm->addRow(tr("Duty cycle"), m_pwmDuty);
    pwmForm->addRow(tr("Frequency (both)"), m_pwmFrequency);
    auto *pwmApply = new QPushButton(tr("Apply"), pwm);
    pwmApply->setObjectName(QStringLiteral("pwmApply"));
    connect(pwmApply, &QPushButton::clicked, this, &ScopeWindow::applyPwm);
    pwmForm->addRow(pwmApply);
    tabs->addTab(pwm, tr("PWM"));

    tabs->setMaximumWidth(420);
    panelsDock->setWidget(tabs);
    addDockWidget(Qt::RightDockWidgetArea, panelsDock);

    m_progress = new QLabel(statusBar());
    m_progress->setObjectName(QStringLiteral("progress"));
    statusBar()->addPermanentWidget(m_progress);
}

AcquisitionSettings ScopeWindow::settings() const
{
    AcquisitionSettings s;
    s.kind = static_cast<AcquisitionKind>(m_kind->currentIndex());
    s.channelMask = (m_channel[0]->isChecked() ? 1 : 0) | (m_channel[1]->isChecked() ? 2 : 0);
    s.periodCode = m_period->currentIndex();
    s.samples = m_samples->value();
    s.range[0] = m_range[0]->currentIndex();
    s.range[1] = m_range[1]->currentIndex();
    s.spikeFilter = m_spikeFilter->isChecked();
    s.sweepStart = m_sweepStart->value();
    s.sweepStop = m_sweepStop->value();
    s.sweepStart2 = m_sweepStart2->value();
    s.sweepStop2 = m_sweepStop2->value();
    s.points = m_points->value();
    return s;
}

int ScopeWindow::currentDevice() const
{
    const QListWidgetItem *item = m_list->currentItem();
    return item ? item->data(Qt::UserRole).toInt() : 0;
}

void ScopeWindow::showMessage(const QString &message)
{
    statusBar()->showMessage(message, 10000);
}

void ScopeWindow::showInstruments(const QVector<InstrumentEntry> &entries, const QString &note)
{
    const int selected = currentDevice();
    m_instruments = entries;
    m_list->clear();
    for (const InstrumentEntry &e : entries) {
        auto *item = new QListWidgetItem(statusLine(e), m_list);
        item->setData(Qt::UserRole, e.index);
        if (e.status != VELDRIN_OK)
            item->setForeground(QColor(200, 40, 40));
        if (e.index == selected || (selected == 0 && e.index == 1))
            m_list->setCurrentItem(item);
    }
    m_note->setText(note);
    if (!note.isEmpty())
        showMessage(note.section(QLatin1Char('\n'), 0, 0));
    Q_EMIT instrumentsShown();
}

void ScopeWindow::start(bool continuous)
{
    const int device = currentDevice();
    if (device <= 0) {
        showMessage(tr("No instrument selected"));
        return;
    }
    setAcquiring(true);
    QMetaObject::invokeMethod(m_worker, "run", Qt::QueuedConnection, Q_ARG(int, device),
                              Q_ARG(AcquisitionSettings, settings()), Q_ARG(bool, continuous));
}

void ScopeWindow::runContinuous()
{
    start(true);
}

void ScopeWindow::runSingle()
{
    start(false);
}

void ScopeWindow::stop()
{
    QMetaObject::invokeMethod(m_worker, "stop", Qt::QueuedConnection);
}

void ScopeWindow::setAcquiring(bool acquiring)
{
    m_acquiring = acquiring;
    m_run->setEnabled(!acquiring);
    m_single->setEnabled(!acquiring);
    m_stop->setEnabled(acquiring);
}

void ScopeWindow::showFrame(const AcquisitionFrame &frame)
{
    m_frame = frame;
    const AcquisitionSettings &s = frame.settings;
    m_calibration->setText(frame.calibration == VELDRIN_CALIBRATION_STORED ? tr("stored in the instrument")
                                                                            : tr("missing: nominal factors"));
    m_progress->setText(tr("%1 / %2 values%3").arg(frame.received).arg(frame.expected)
                            .arg(frame.complete ? tr(", complete") : QString()));
    if (s.kind == AcquisitionKind::Sweep2D) {
        m_plots->setCurrentWidget(m_map);
        const int channel = (s.channelMask & 1) ? 0 : 1;
        m_map->setTitle(tr("input %1").arg(channel + 1));
        m_map->setRows(frame.rows[channel], s.points, s.samples, s.sweepStart / 1000.0, s.sweepStop / 1000.0,
                       s.sweepStart2 / 1000.0, s.sweepStop2 / 1000.0);
    } else {
        m_plots->setCurrentWidget(m_trace);
        QVector<double> x;
        if (s.kind == AcquisitionKind::Sweep1D) {
            m_trace->setAxisName(tr("DAC 1 (V)"));
            x = FrameFile::ramp(s.sweepStart, s.sweepStop, s.samples);
        } else {
            m_trace->setAxisName(tr("time (s)"));
            const double period = FrameFile::periodSeconds(s.periodCode);
            x.resize(s.samples);
            for (int k = 0; k < s.samples; ++k)
                x[k] = k * period;
        }
        const QVector<double> none;
        m_trace->setTraces(x, frame.rows[0].isEmpty() ? none : frame.rows[0][0],
                           frame.rows[1].isEmpty() ? none : frame.rows[1][0]);
    }
    Q_EMIT frameShown();
}

void ScopeWindow::endAcquisition(int, const QString &message)
{
    setAcquiring(false);
    if (!message.isEmpty())
        showMessage(message);
    Q_EMIT acquisitionEnded(message);
}

void ScopeWindow::applyDac()
{
    QMetaObject::invokeMethod(m_worker, "setDac", Qt::QueuedConnection, Q_ARG(int, currentDevice()),
                              Q_ARG(int, m_dacChannel->value()), Q_ARG(int, m_dacWaveform->currentIndex()),
                              Q_ARG(int, m_dacAmplitude->value()), Q_ARG(int, m_dacOffset->value()),
                              Q_ARG(int, m_dacFrequency->value()));
}

void ScopeWindow::applyPwm()
{
    QMetaObject::invokeMethod(m_worker, "setPwm", Qt::QueuedConnection, Q_ARG(int, currentDevice()),
                              Q_ARG(int, m_pwmChannel->value()), Q_ARG(int, m_pwmDuty->value()),
                              Q_ARG(int, m_pwmFrequency->value()));
}

void ScopeWindow::refreshInstruments()
{
    QMetaObject::invokeMethod(m_worker, "refreshStatuses", Qt::QueuedConnection);
}

bool ScopeWindow::saveData(const QString &path)
{
    if (m_frame.device <= 0) {
        showMessage(tr("Nothing measured yet"));
        return false;
    }
    InstrumentEntry instrument;
    for (const InstrumentEntry &e : m_instruments)
        if (e.index == m_frame.device)
            instrument = e;
    const QString provider = m_provider.name()
        + (m_provider.simulated.isEmpty() ? QString() : QStringLiteral(": ") + m_provider.simulated);
    QString error;
    if (!FrameFile::write(path, m_frame, instrument, provider, &error)) {
        showMessage(error);
        return false;
    }
    showMessage(tr("Saved %1").arg(path));
    return true;
}

bool ScopeWindow::savePlot(const QString &path)
{
    const bool saved = m_plots->currentWidget()->grab().save(path, "PNG");
    showMessage(saved ? tr("Saved %1").arg(path) : tr("Could not save %1").arg(path));
    return saved;
}

void ScopeWindow::saveDataDialog()
{
    const QString path = QFileDialog::getSaveFileName(this, tr("Save data"), QStringLiteral("measurement.csv"),
                                                      tr("CSV (*.csv);;JSON Lines (*.jsonl *.json)"));
    if (!path.isEmpty())
        saveData(path);
}

void ScopeWindow::savePlotDialog()
{
    const QString path =
        QFileDialog::getSaveFileName(this, tr("Save plot"), QStringLiteral("plot.png"), tr("PNG image (*.png)"));
    if (!path.isEmpty())
        savePlot(path);
}
