#include "SweepMapPlot.h"

#include <qwt_color_map.h>
#include <qwt_matrix_raster_data.h>
#include <qwt_plot_spectrogram.h>
#include <qwt_scale_widget.h>

#include <cmath>
#include <limits>

namespace {

QwtLinearColorMap *voltsColours()
{
    auto *map = new QwtLinearColorMap(QColor(10, 20, 90), QColor(255, 240, 120));
    map->addColorStop(0.35, QColor(40, 110, 220));
    map->addColorStop(0.7, QColor(230, 90, 40));
    return map;
}

} // namespace

SweepMapPlot::SweepMapPlot(QWidget *parent) : QwtPlot(parent)
{
    setAxisTitle(QwtPlot::xBottom, tr("DAC 1 (V)"));
    setAxisTitle(QwtPlot::yLeft, tr("DAC 2 set-point (V)"));
    m_map = new QwtPlotSpectrogram;
    m_map->setColorMap(voltsColours());
    m_data = new QwtMatrixRasterData;
    m_map->setData(m_data);
    m_map->attach(this);
    enableAxis(QwtPlot::yRight);
    axisWidget(QwtPlot::yRight)->setColorBarEnabled(true);
    axisWidget(QwtPlot::yRight)->setTitle(tr("volts"));
    setAutoReplot(false);
}

void SweepMapPlot::setRows(const QVector<QVector<double>> &rows, int points, int samples, double dac1Start,
                           double dac1Stop, double dac2Start, double dac2Stop)
{
    m_columns = samples;
    m_values.fill(std::numeric_limits<double>::quiet_NaN(), points * samples);
    double low = 0, high = 0;
    bool any = false;
    for (int p = 0; p < rows.size() && p < points; ++p)
        for (int k = 0; k < rows[p].size() && k < samples; ++k) {
            const double v = rows[p][k];
            m_values[p * samples + k] = v;
            if (!std::isfinite(v))
                continue;
            low = any ? qMin(low, v) : v;
            high = any ? qMax(high, v) : v;
            any = true;
        }
    if (high <= low)
        high = low + 1e-3;
    // Each cell is centred on its set-point and sample.
    const double dx = samples > 1 ? (dac1Stop - dac1Start) / (samples - 1) : 1;
    const double dy = points > 1 ? (dac2Stop - dac2Start) / (points - 1) : 1;
    const double x0 = qMin(dac1Start, dac1Stop) - std::fabs(dx) / 2, x1 = qMax(dac1Start, dac1Stop) + std::fabs(dx) / 2;
    const double y0 = qMin(dac2Start, dac2Stop) - std::fabs(dy) / 2, y1 = qMax(dac2Start, dac2Stop) + std::fabs(dy) / 2;
    // A falling sweep's first row and column lie at the high end.
    QVector<double> ordered = m_values;
    if (dx < 0 || dy < 0)
        for (int p = 0; p < points; ++p)
            for (int k = 0; k < samples; ++k)
                ordered[(dy < 0 ? points - 1 - p : p) * samples + (dx < 0 ? samples - 1 - k : k)] =
                    m_values[p * samples + k];
    m_data->setInterval(Qt::XAxis, QwtInterval(x0, x1));
    m_data->setInterval(Qt::YAxis, QwtInterval(y0, y1));
    m_data->setInterval(Qt::ZAxis, QwtInterval(low, high));
    m_data->setValueMatrix(ordered, samples);
    setAxisScale(QwtPlot::xBottom, x0, x1);
    setAxisScale(QwtPlot::yLeft, y0, y1);
    setAxisScale(QwtPlot::yRight, low, high);
    axisWidget(QwtPlot::yRight)->setColorMap(QwtInterval(low, high), voltsColours());
    m_map->invalidateCache();
    replot();
}

double SweepMapPlot::valueAt(int point, int sample) const
{
    if (m_columns <= 0 || point < 0 || sample < 0 || sample >= m_columns
        || point * m_columns + sample >= m_values.size())
        return std::numeric_limits<double>::quiet_NaN();
    return m_values[point * m_columns + sample];
}
