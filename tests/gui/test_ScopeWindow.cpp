// veldrin-scope's window driven through its widgets on the simulated bus (on
// the offscreen platform): what it plots is what the library measured, stop
// ends a run, saving writes the tool's file, an unplugged instrument shows
// its status while another keeps measuring, a 2D sweep fills its map point by
// point, and the window's thread never waits on an instrument. Screenshots of
// the main views go to SCOPE_SCREENSHOTS for a person to look at.
#include "ScopeWindow.h"
#include "SimulatedBus.h"
#include "SimulatedFtdiChip.h"
#include "FtdiBackend.h"
#include "SweepMapPlot.h"
#include "TracePlot.h"
#include "VeldrinLib.h"

#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTest>
#include <QTimer>

#include <qwt_plot_curve.h>

#include <algorithm>
#include <cmath>
#include <memory>

namespace {

std::unique_ptr<ScopeWindow> openScope(const QString &description)
{
    InstrumentWorker::Provider provider;
    provider.simulated = description;
    auto window = std::make_unique<ScopeWindow>(provider);
    window->show();
    QSignalSpy shown(window.get(), &ScopeWindow::instrumentsShown);
    if (!shown.wait(20000))
        return nullptr;
    return window;
}

template <typename Widget> Widget *child(ScopeWindow &w, const char *name)
{
    return w.findChild<Widget *>(QLatin1String(name));
}

void screenshot(QWidget &widget, const char *name)
{
    QDir().mkpath(QStringLiteral(SCOPE_SCREENSHOTS));
    QVERIFY(widget.grab().save(QStringLiteral(SCOPE_SCREENSHOTS "/%1.png").arg(QLatin1String(name))));
}

// Runs one acquisition with the panels' settings and waits for its end.
bool single(ScopeWindow &w, int timeoutMs = 20000)
{
    QSignalSpy ended(&w, &ScopeWindow::acquisitionEnded);
    w.runSingle();
    return ended.wait(timeoutMs) && ended.first().first().toString().isEmpty();
}

// The file's lines but those that name when and by what it was written, and
// without the times at which a host saw each sweep point begin.
QStringList fileLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {QStringLiteral("cannot read ") + path};
    QStringList lines;
    int startColumn = -1;
    for (const QByteArray &line : file.readAll().split('\n')) {
        QString text = QString::fromUtf8(line);
        QStringList cells = text.split(QLatin1Char(','));
        if (cells.contains(QLatin1String("point_start_s")))
            startColumn = cells.indexOf(QLatin1String("point_start_s"));
        else if (startColumn >= 0 && cells.size() > startColumn)
            cells[startColumn].clear();
        text = cells.join(QLatin1Char(','));
        text.replace(QRegularExpression(QStringLiteral("\"start_s\":[^,]*")), QString());
        text.replace(QRegularExpression(QStringLiteral("\"started_utc\":\"[^\"]*\"|\"tool\":\"[^\"]*\"")), QString());
        if (!text.startsWith(QLatin1String("# started_utc:")) && !text.startsWith(QLatin1String("# tool:")))
            lines << text;
    }
    return lines;
}

} // namespace

class ScopeWindowTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void plotsTheLibrarysValuesOfADacSine();
    void stopEndsARunningAcquisitionAndTheWindowNeverWaits();
    void savesTheFileTheToolWrites_data();
    void savesTheFileTheToolWrites();
    void unpluggedInstrumentShowsItsStatusWhileAnotherMeasures();
    void sweep2DFillsTheMapPointByPoint();
};

void ScopeWindowTest::plotsTheLibrarysValuesOfADacSine()
{
    auto w = openScope(QStringLiteral("gen2 signal=loopback pace=fast"));
    QVERIFY(w);
    child<QComboBox>(*w, "dacWaveform")->setCurrentIndex(0);
    child<QSpinBox>(*w, "dacAmplitude")->setValue(2000);
    child<QSpinBox>(*w, "dacFrequency")->setValue(10);
    QSignalSpy set(w.get(), &ScopeWindow::settingDone);
    QTest::mouseClick(child<QPushButton>(*w, "dacApply"), Qt::LeftButton);
    QVERIFY(set.wait(10000));
    QVERIFY2(set.first().first().toBool(), qPrintable(set.first().last().toString()));
    child<QComboBox>(*w, "period")->setCurrentIndex(6); // 1 ms: 10 periods of 10 Hz in 1000 samples
    child<QSpinBox>(*w, "samples")->setValue(1000);
    QVERIFY(single(*w));

    std::vector<double> library(1000);
    int count = 0;
    QCOMPARE(getResultChecked(1, 1, library.data(), 1000, &count), 0);
    const QwtPlotCurve *curve = w->tracePlot()->curve(1);
    QCOMPARE(int(curve->dataSize()), count);
    double peak = 0;
    for (int k = 0; k < count; ++k) {
        QCOMPARE(curve->sample(size_t(k)).y(), library[size_t(k)]);
        QCOMPARE(curve->sample(size_t(k)).x(), k * 0.001);
        peak = std::max(peak, std::fabs(library[size_t(k)]));
    }
    QVERIFY2(peak > 1.8 && peak < 2.2, qPrintable(QString::number(peak))); // a 2 V sine, not a flat line
    screenshot(*w, "scope-traces");
}

void ScopeWindowTest::stopEndsARunningAcquisitionAndTheWindowNeverWaits()
{
    // The window's thread keeps turning while an instrument measures in real
    // time and stops: the longest gap between two of its timer ticks is
    // measured once the window is up (its first drawing loads fonts).
    QElapsedTimer sinceTick;
    qint64 longestGap = 0;
    QTimer ticker;
    ticker.setInterval(5);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        longestGap = std::max(longestGap, sinceTick.restart());
    });
    ticker.start();
    sinceTick.start();
    auto w = openScope(QStringLiteral("gen2 signal=sine pace=real"));
    QVERIFY(w);
    QVERIFY(QTest::qWaitForWindowExposed(w.get()));
    QTest::qWait(50);
    longestGap = 0;
    child<QComboBox>(*w, "period")->setCurrentIndex(9); // 10 ms x 1000: 10 s per acquisition
    w->runContinuous();
    QTRY_VERIFY_WITH_TIMEOUT(w->lastFrame().received > 0, 10000);
    QVERIFY(w->isAcquiring());
    QSignalSpy ended(w.get(), &ScopeWindow::acquisitionEnded);
    QElapsedTimer stopping;
    stopping.start();
    w->stop();
    QVERIFY(ended.wait(2000));
    QVERIFY2(stopping.elapsed() < 1000, qPrintable(QString::number(stopping.elapsed())));
    QVERIFY(!w->isAcquiring());
    const AcquisitionFrame frame = w->lastFrame();
    QVERIFY(!frame.complete);
    QVERIFY(frame.received > 0 && frame.received < frame.expected);
    // What arrived before the stop stays in view: 2 channels' partial rows.
    QCOMPARE(frame.rows[0].first().size() + frame.rows[1].first().size(), frame.received);
    // The instrument's acquisition was ended, not left streaming.
    VeldrinBool complete = false;
    QCOMPARE(isMeasurementComplete(1, &complete), 0);
    QVERIFY(complete);
    // A wait on the instrument would hold it for most of the 10 s
    // acquisition; a machine busy with other work delays it by far less.
    QVERIFY2(longestGap < 2000, qPrintable(QStringLiteral("the window's thread stood still for %1 ms").arg(longestGap)));
    screenshot(*w, "scope-stopped");
}

void ScopeWindowTest::savesTheFileTheToolWrites_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("toolArguments");
    QTest::newRow("measure csv") << 0 << "measure.csv" << QStringList{"measure"};
    QTest::newRow("sweep1d json") << 1 << "sweep1d.jsonl" << QStringList{"sweep1d", "--start", "-500", "--stop", "1500"};
    QTest::newRow("sweep2d csv") << 2 << "sweep2d.csv"
                                 << QStringList{"sweep2d", "--start", "-500", "--stop", "1500", "--start2", "-1000",
                                                "--stop2", "1000", "--points", "3"};
}

void ScopeWindowTest::savesTheFileTheToolWrites()
{
    QFETCH(int, kind);
    QFETCH(QString, name);
    QFETCH(QStringList, toolArguments);
    const QString bus = QStringLiteral("gen2 signal=noise pace=fast");
    auto w = openScope(bus);
    QVERIFY(w);
    child<QComboBox>(*w, "kind")->setCurrentIndex(kind);
    child<QComboBox>(*w, "period")->setCurrentIndex(8);
    child<QSpinBox>(*w, "samples")->setValue(50);
    child<QSpinBox>(*w, "sweepStart")->setValue(-500);
    child<QSpinBox>(*w, "sweepStop")->setValue(1500);
    child<QSpinBox>(*w, "points")->setValue(3);
    QVERIFY(single(*w));
    const QString scopeFile = QDir::temp().filePath(QStringLiteral("scope-") + name);
    const QString toolFile = QDir::temp().filePath(QStringLiteral("tool-") + name);
    QVERIFY(w->saveData(scopeFile));

    QProcess tool;
    tool.start(QStringLiteral(VELDRIN_TOOL),
               QStringList{"--simulated", bus, "--device", "1"} + toolArguments
                   + QStringList{"--period", "8", "--samples", "50", "--no-progress", "--output", toolFile});
    QVERIFY(tool.waitForFinished(30000));
    QVERIFY2(tool.exitCode() == 0, tool.readAllStandardError().constData());
    const QStringList scope = fileLines(scopeFile), expected = fileLines(toolFile);
    QVERIFY(expected.size() > 3);
    QCOMPARE(scope, expected);
}

void ScopeWindowTest::unpluggedInstrumentShowsItsStatusWhileAnotherMeasures()
{
    auto w = openScope(QStringLiteral("gen2 signal=sine pace=real; gen2 signal=dc pace=real"));
    QVERIFY(w);
    QCOMPARE(w->instruments().size(), 2);
    child<QComboBox>(*w, "period")->setCurrentIndex(8);
    QSignalSpy ended(w.get(), &ScopeWindow::acquisitionEnded);
    w->runContinuous();
    QTRY_VERIFY_WITH_TIMEOUT(w->lastFrame().received > 0, 10000);
    QSignalSpy listed(w.get(), &ScopeWindow::instrumentsShown);
    const auto bus = std::dynamic_pointer_cast<SimulatedBus>(FtdiBackend::current());
    QVERIFY(bus);
    bus->chips().first()->setFault(SimulatedFtdiChip::Unplugged);
    QVERIFY(ended.wait(5000));
    QVERIFY2(ended.first().first().toString().contains(QLatin1String(": 27 (")),
             qPrintable(ended.first().first().toString()));
    QTRY_VERIFY_WITH_TIMEOUT(listed.count() > 0, 5000);
    QCOMPARE(w->instruments()[0].status, int(VELDRIN_INSTRUMENT_DISCONNECTED));
    QCOMPARE(w->instruments()[1].status, 0);
    auto *list = child<QListWidget>(*w, "instruments");
    QVERIFY(list->item(0)->text().contains(QLatin1String("(27)")));
    screenshot(*w, "scope-unplugged");

    // The other instrument measures on.
    list->setCurrentRow(1);
    child<QComboBox>(*w, "period")->setCurrentIndex(3);
    child<QSpinBox>(*w, "samples")->setValue(200);
    QVERIFY(single(*w));
    QCOMPARE(w->lastFrame().device, 2);
    QCOMPARE(w->lastFrame().rows[0].first().size(), 200);
    QVERIFY(std::fabs(w->lastFrame().rows[0].first().last() - 1.25) < 0.05); // the dc signal's input 1
}

void ScopeWindowTest::sweep2DFillsTheMapPointByPoint()
{
    auto w = openScope(QStringLiteral("gen2 signal=loopback pace=real"));
    QVERIFY(w);
    child<QComboBox>(*w, "kind")->setCurrentIndex(2);
    child<QComboBox>(*w, "period")->setCurrentIndex(3); // 100 us x 200: 20 ms a point
    child<QSpinBox>(*w, "samples")->setValue(200);
    child<QSpinBox>(*w, "points")->setValue(8);
    child<QSpinBox>(*w, "sweepStart")->setValue(-2000);
    child<QSpinBox>(*w, "sweepStop")->setValue(2000);
    // Points seen in the frames shown, as they came.
    QVector<int> seen;
    QObject::connect(w.get(), &ScopeWindow::frameShown, [&] {
        const int rows = w->lastFrame().rows[0].size();
        if (seen.isEmpty() || seen.last() != rows)
            seen.append(rows);
    });
    QVERIFY(single(*w));
    QCOMPARE(seen.last(), 8);
    QVERIFY2(seen.size() >= 3, "the map was not filled in point by point");
    // Each cell holds its point's value; input 1 sees the DAC 1 ramp.
    const AcquisitionFrame frame = w->lastFrame();
    for (int p = 0; p < 8; ++p)
        for (int k : {0, 100, 199})
            QCOMPARE(w->sweepMap()->valueAt(p, k), frame.rows[0][p][k]);
    QVERIFY(frame.rows[0][3][199] > frame.rows[0][3][20] + 3.0);
    // Each point began after the one before it (seen from here).
    QCOMPARE(frame.pointStarts.size(), 8);
    QVERIFY(std::is_sorted(frame.pointStarts.begin(), frame.pointStarts.end()) && frame.pointStarts.last() > 0);
    screenshot(*w, "scope-sweep2d");
}

QTEST_MAIN(ScopeWindowTest)
#include "test_ScopeWindow.moc"
