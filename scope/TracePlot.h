// Both inputs in volts against time (a measurement) or against the DAC 1
// level (a 1D sweep), one curve per channel, redrawn whenever new values come.
#pragma once

#include <QVector>

#include <qwt_plot.h>

class QwtPlotCurve;

class TracePlot : public QwtPlot
{
    Q_OBJECT
public:
    explicit TracePlot(QWidget *parent = nullptr);

    // The horizontal axis' title ("time (s)", "DAC 1 (V)").
    void setAxisName(const QString &name);
    // x for every sample; channel's values (fewer than x while they arrive,
    // empty for a channel not measured). Redraws at once.
    void setTraces(const QVector<double> &x, const QVector<double> &channel1, const QVector<double> &channel2);
    // The curve of channel 1 or 2.
    const QwtPlotCurve *curve(int channel) const;

private:
    QwtPlotCurve *m_curves[2];
};
