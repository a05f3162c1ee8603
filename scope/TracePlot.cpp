#include "TracePlot.h"

#include <QPen>

#include <qwt_legend.h>
#include <qwt_plot_canvas.h>
#include <qwt_plot_curve.h>
#include <qwt_plot_grid.h>

TracePlot::TracePlot(QWidget *parent) : QwtPlot(parent)
{
    setCanvasBackground(QColor(20, 24, 28));
    setAxisTitle(QwtPlot::yLeft, tr("volts"));
    setAxisName(tr("time (s)"));
    auto *grid = new QwtPlotGrid;
    grid->setPen(QColor(70, 76, 84), 0, Qt::DotLine);
    grid->attach(this);
    const QColor colours[2] = {QColor(255, 200, 40), QColor(60, 200, 255)};
    for (int channel = 0; channel < 2; ++channel) {
        m_curves[channel] = new QwtPlotCurve(tr("channel %1").arg(channel + 1));
        m_curves[channel]->setPen(colours[channel], 0);
        // Thousands of points per pixel column: drawn as the columns' extents.
        m_curves[channel]->setPaintAttribute(QwtPlotCurve::FilterPoints, true);
        m_curves[channel]->setPaintAttribute(QwtPlotCurve::ClipPolygons, true);
        m_curves[channel]->attach(this);
    }
    insertLegend(new QwtLegend, QwtPlot::BottomLegend);
    setAutoReplot(false);
}

void TracePlot::setAxisName(const QString &name)
{
    setAxisTitle(QwtPlot::xBottom, name);
}

void TracePlot::setTraces(const QVector<double> &x, const QVector<double> &channel1,
                          const QVector<double> &channel2)
{
    const QVector<double> *values[2] = {&channel1, &channel2};
    for (int channel = 0; channel < 2; ++channel) {
        const int count = qMin(x.size(), values[channel]->size());
        m_curves[channel]->setSamples(x.constData(), values[channel]->constData(), count);
        m_curves[channel]->setVisible(count > 0);
    }
    if (!x.isEmpty())
        setAxisScale(QwtPlot::xBottom, qMin(x.first(), x.last()), qMax(x.first(), x.last()));
    replot();
}

const QwtPlotCurve *TracePlot::curve(int channel) const
{
    return m_curves[channel - 1];
}
