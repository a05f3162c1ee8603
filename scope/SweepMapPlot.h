// A 2D sweep as a colour map: one row per DAC 2 set-point, one column per
// sample of the DAC 1 ramp, the colour the measured volts. Rows not measured
// yet stay empty, so the map fills in point by point.
#pragma once

#include <QVector>

#include <qwt_plot.h>

class QwtMatrixRasterData;
class QwtPlotSpectrogram;

class SweepMapPlot : public QwtPlot
{
    Q_OBJECT
public:
    explicit SweepMapPlot(QWidget *parent = nullptr);

    // rows[p][k]: point p, sample k; `points` rows in all, of `samples`
    // values, DAC 1 from dac1Start to dac1Stop and DAC 2 from dac2Start to
    // dac2Stop (volts). Redraws at once.
    void setRows(const QVector<QVector<double>> &rows, int points, int samples, double dac1Start, double dac1Stop,
                 double dac2Start, double dac2Stop);
    // The value drawn at point p, sample k (NaN when not measured).
    double valueAt(int point, int sample) const;

private:
    QwtPlotSpectrogram *m_map;
    QwtMatrixRasterData *m_data;
    QVector<double> m_values;
    int m_columns = 0;
};
