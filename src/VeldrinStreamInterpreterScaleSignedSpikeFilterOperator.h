#pragma once

#include "VeldrinIStreamInterpreterOperator.h"

#include <QVector>

// Calibrates a signed count, (sample - offset) * scale, and suppresses
// isolated spikes by returning the median of the channel's last five
// calibrated values (the lower middle one while fewer than five, an even
// number, have arrived).
//
// The window holds those values, oldest first. It belongs to the caller, one
// per channel, and carries the filter state from one operator to the next, so
// the median runs across packet boundaries; the caller empties it when a new
// measurement starts. A window handed over with more than five values is cut
// to the most recent ones first.
//
// With the filter switched off the operator only calibrates: every value is
// returned as converted and the window is left untouched.
class VeldrinStreamInterpreterScaleSignedSpikeFilterOperator final
    : public VeldrinIStreamInterpreterOperator
{
public:
    static constexpr int WindowSize = 5;

    // scale in volts per count, offset in counts; `window` is not touched here
    // and must outlive the operator.
    VeldrinStreamInterpreterScaleSignedSpikeFilterOperator(double scale, double offset,
                                                           QVector<double> *window, bool filter = true);

    double apply(qint16 sample) override;

private:
    double m_scale;
    double m_offset;
    QVector<double> *m_window;
    bool m_filter;
};
