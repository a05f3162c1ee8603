#include "VeldrinStreamInterpreterScaleSignedSpikeFilterOperator.h"

#include <algorithm>

VeldrinStreamInterpreterScaleSignedSpikeFilterOperator::
    VeldrinStreamInterpreterScaleSignedSpikeFilterOperator(double scale, double offset,
                                                           QVector<double> *window, bool filter)
    : m_scale(scale), m_offset(offset), m_window(window), m_filter(filter)
{
}

namespace {

inline void orderPair(double &a, double &b)
{
    const double low = std::min(a, b);
    b = std::max(a, b);
    a = low;
}

} // namespace

double VeldrinStreamInterpreterScaleSignedSpikeFilterOperator::apply(qint16 sample)
{
    const double x = (static_cast<double>(sample) - m_offset) * m_scale;
    if (!m_filter)
        return x;
    QVector<double> &window = *m_window;

    int count = window.size();
    if (count > WindowSize) {
        window.remove(0, count - WindowSize);
        count = WindowSize;
    }

    double v[WindowSize];
    if (count == WindowSize) {
        // Steady state: shift in place, so the window keeps its storage and
        // no sample allocates.
        double *d = window.data();
        d[0] = d[1];
        d[1] = d[2];
        d[2] = d[3];
        d[3] = d[4];
        d[4] = x;
        std::copy(d, d + WindowSize, v);
        // The median of five needs only part of a sort: this network leaves
        // the third smallest value in v[2].
        orderPair(v[0], v[1]);
        orderPair(v[3], v[4]);
        orderPair(v[0], v[3]);
        orderPair(v[1], v[4]);
        orderPair(v[1], v[2]);
        orderPair(v[2], v[3]);
        orderPair(v[1], v[2]);
        return v[2];
    }

    if (window.capacity() < WindowSize)
        window.reserve(WindowSize);
    window.append(x);
    ++count;
    // Fewer than five values: only at the start of a measurement.
    const double *d = window.constData();
    for (int i = 0; i < count; ++i) {
        int j = i;
        for (; j > 0 && v[j - 1] > d[i]; --j)
            v[j] = v[j - 1];
        v[j] = d[i];
    }
    return v[(count - 1) / 2];
}
