#include <gtest/gtest.h>

#include "VeldrinStreamInterpreterScaleSignedSpikeFilterOperator.h"

#include <QVector>

#include <algorithm>
#include <random>
#include <vector>

using SpikeFilter = VeldrinStreamInterpreterScaleSignedSpikeFilterOperator;

namespace {

std::vector<double> filter(SpikeFilter &op, const std::vector<int> &samples)
{
    std::vector<double> out;
    for (int s : samples)
        out.push_back(op.apply(qint16(s)));
    return out;
}

} // namespace

TEST(SpikeFilter, IsolatedSpikeIsNeverReturned)
{
    QVector<double> window;
    SpikeFilter op(1.0, 0.0, &window);
    EXPECT_EQ(filter(op, {10, 1000, 12, 11, 13}), (std::vector<double>{10, 10, 12, 11, 12}));
}

TEST(SpikeFilter, CalibratesSignedCounts)
{
    QVector<double> window;
    SpikeFilter half(0.5, 1.0, &window);
    EXPECT_EQ(half.apply(qint16(0xFFFF)), -1.0);

    window.clear();
    SpikeFilter centred(0.001, 2048.0, &window);
    EXPECT_EQ(centred.apply(2048), 0.0);
    EXPECT_DOUBLE_EQ(window.last(), 0.0);

    window.clear();
    SpikeFilter extremes(1.0, 0.0, &window);
    EXPECT_EQ(extremes.apply(-32768), -32768.0);
}

TEST(SpikeFilter, WindowKeepsTheLastFiveInArrivalOrder)
{
    QVector<double> window;
    SpikeFilter op(1.0, 0.0, &window);
    filter(op, {1, 2, 3, 4, 5});
    EXPECT_EQ(op.apply(100), 4.0);
    EXPECT_EQ(window, (QVector<double>{2, 3, 4, 5, 100}));
    EXPECT_EQ(op.apply(-7), 4.0);
    EXPECT_EQ(window, (QVector<double>{3, 4, 5, 100, -7}));
}

TEST(SpikeFilter, WindowCarriesAcrossOperators)
{
    // One operator per packet, as the devices build them, with one window.
    QVector<double> window;
    std::vector<double> results;
    const std::vector<std::vector<int>> packets = {{5, 9}, {1}, {7, 3, 8}, {2}};
    for (const auto &packet : packets) {
        SpikeFilter op(2.0, 1.0, &window);
        for (double v : filter(op, packet))
            results.push_back(v);
    }
    QVector<double> single;
    SpikeFilter whole(2.0, 1.0, &single);
    EXPECT_EQ(results, filter(whole, {5, 9, 1, 7, 3, 8, 2}));
    EXPECT_EQ(window, single);
    EXPECT_EQ(window.size(), 5);
}

TEST(SpikeFilter, MatchesSortedMedianOnRandomStreams)
{
    std::mt19937 random(7);
    std::uniform_int_distribution<int> counts(-32768, 32767);
    std::uniform_int_distribution<int> small(-3, 3);
    QVector<double> window;
    SpikeFilter op(0.25, -3.0, &window);
    std::vector<double> history;
    for (int i = 0; i < 5000; ++i) {
        // Alternate wide values with runs of near-equal ones to exercise ties.
        const int sample = (i / 50) % 2 ? counts(random) : small(random);
        const double got = op.apply(qint16(sample));
        history.push_back((sample + 3.0) * 0.25);
        const size_t n = std::min<size_t>(5, history.size());
        std::vector<double> last(history.end() - n, history.end());
        std::sort(last.begin(), last.end());
        ASSERT_EQ(got, last[(last.size() - 1) / 2]) << i;
    }
}

TEST(SpikeFilter, OverfullWindowIsCutToTheMostRecent)
{
    QVector<double> window{100, 100, 100, 1, 2, 3, 4};
    SpikeFilter op(1.0, 0.0, &window);
    EXPECT_EQ(op.apply(5), 3.0);
    EXPECT_EQ(window, (QVector<double>{1, 2, 3, 4, 5}));
}
