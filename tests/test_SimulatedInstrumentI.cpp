// The generation I firmware of the virtual instrument, driven with raw bytes.
#include <gtest/gtest.h>

#include <QSet>

#include <cmath>

#include "InstrumentWire.h"
#include "SimulatedInstrumentI.h"

using namespace instrumentwire;

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

// 8-byte start payload: period, range, count, mask, options 0 1 0.
QByteArray sampling(int period, int range, int count, int mask)
{
    QByteArray p;
    p.append(char(period));
    p.append(char(range));
    p.append(char(count & 0xFF));
    p.append(char(count >> 8));
    p.append(char(mask));
    p.append(hex("000100"));
    return p;
}

struct Measurement
{
    Packet reply;
    QVector<Packet> packets;
    QVector<double> counts[2];
    bool wellFormed = true;
};

// Starts a measurement and unpacks the stream the way its layout says:
// size, final flag, then the samples of each enabled input in turn.
Measurement measure(SimulatedInstrumentI &instrument, CollectingLink &link, const QByteArray &payload)
{
    Measurement m;
    const QVector<Packet> all = exchange(instrument, link, 77, 32, payload);
    if (all.isEmpty())
        return m;
    m.reply = all.first();
    m.packets = all.mid(1);
    const int mask = quint8(payload.at(4));
    const int enabled = (mask & 1) + ((mask >> 1) & 1);
    for (int i = 0; i < m.packets.size(); ++i) {
        const QByteArray &d = m.packets[i].data;
        const int size = quint8(d.at(0));
        const bool last = i + 1 == m.packets.size();
        if (m.packets[i].id != 0 || d.size() != 2 + 2 * size || d.at(1) != char(last ? 1 : 0))
            m.wellFormed = false;
        if (enabled == 0)
            continue;
        const int per = size / enabled;
        int pos = 2;
        for (int c = 0; c < 2; ++c) {
            if (!(mask & (1 << c)))
                continue;
            for (int k = 0; k < per; ++k, pos += 2)
                m.counts[c].append(le16s(d, pos));
        }
    }
    return m;
}

// Volts from a count, the way the host converts: (count - offset) * scale with
// the offset in tenths and the scale in microvolts, read from the image.
double volts(const QByteArray &image, int channel, int range, int periodCode, double count)
{
    const int slot = 8 * qMin(periodCode, 4) + 4 * channel + 2 * range;
    return (count - le16s(image, 1 + slot) / 10.0) * (le16(image, 41 + slot) / 1e6);
}

class GenerationI : public ::testing::Test
{
protected:
    void SetUp() override { instrument.hostWrote(hex("03"), link); }

    QByteArray image()
    {
        return exchange(instrument, link, 68, 68).value(0).data;
    }

    SimulatedInstrumentI instrument;
    CollectingLink link;
};

} // namespace

TEST_F(GenerationI, InstructionRepliesAndStatuses)
{
    struct Case { quint8 command; QByteArray payload; int status; int size; };
    const Case cases[] = {
        {32, sampling(5, 0, 10, 0), 0, 0},
        {33, QByteArray(), 0, 0}, {34, hex("0102"), 0, 0}, {37, QByteArray(), 0, 0},
        {38, QByteArray(), 0, 0},
        {35, hex("0264"), 0, 0}, {36, hex("02E803E8030000"), 0, 0},
        {64, QByteArray(), 0, 8}, {65, QByteArray(), 0, 5}, {66, QByteArray(), 0, 2},
        {67, QByteArray(), 0, 7}, {68, QByteArray(), 0, 100},
        // Not generation I instructions.
        {31, QByteArray(), 1, 0}, {39, QByteArray(), 1, 0}, {42, QByteArray(), 1, 0},
        {63, QByteArray(), 1, 0}, {69, QByteArray(), 1, 0}, {72, QByteArray(), 1, 0},
        {255, QByteArray(), 1, 0},
        // Payloads of the wrong length.
        {32, sampling(5, 0, 10, 1).left(7), 3, 0}, {35, hex("026400"), 3, 0},
        {36, hex("02E803E80300"), 3, 0},
        // Settings the instrument cannot take.
        {32, sampling(17, 0, 10, 1), 100, 0}, {32, sampling(5, 2, 10, 1), 100, 0},
        {32, sampling(5, 0, 10, 4), 100, 0}, {35, hex("0265"), 100, 0},
        {36, hex("03E803E8030000"), 100, 0},
    };
    for (const Case &c : cases) {
        const QVector<Packet> packets = exchange(instrument, link, 500 + c.command, c.command, c.payload);
        ASSERT_FALSE(packets.isEmpty()) << int(c.command);
        EXPECT_EQ(packets[0].type, 0x05);
        EXPECT_EQ(packets[0].id, 500u + c.command);
        EXPECT_EQ(packets[0].status, c.status) << int(c.command);
        EXPECT_EQ(packets[0].data.size(), c.size) << int(c.command);
        // Only an accepted start is followed by samples.
        EXPECT_EQ(packets.size(), c.command == 32 && c.status == 0 ? 2 : 1) << int(c.command);
    }
}

TEST_F(GenerationI, SettingsReadBack)
{
    // Power-on: sine, 500 Hz, 1500 mV, +250 mV; PWM mode 2 at 25 %.
    EXPECT_EQ(exchange(instrument, link, 1, 67).value(0).data, hex("00F401DC05FA00"));
    EXPECT_EQ(exchange(instrument, link, 2, 66).value(0).data, hex("0219"));

    exchange(instrument, link, 3, 36, hex("010A00881378EC"));
    exchange(instrument, link, 4, 36, hex("050A00881378EC"));   // refused: waveform 5
    EXPECT_EQ(exchange(instrument, link, 5, 67).value(0).data, hex("010A00881378EC"));
    exchange(instrument, link, 6, 35, hex("0264"));
    EXPECT_EQ(exchange(instrument, link, 7, 66).value(0).data, hex("0264"));

    measure(instrument, link, sampling(9, 1, 300, 2));
    EXPECT_EQ(exchange(instrument, link, 8, 64).value(0).data, sampling(9, 1, 300, 2));
    EXPECT_EQ(exchange(instrument, link, 9, 65).value(0).data, hex("0100 2C01 02"));
}

TEST_F(GenerationI, CalibrationImageLayout)
{
    const QByteArray data = image();
    ASSERT_EQ(data.size(), 100);
    EXPECT_EQ(quint8(data.at(0)), 0x43);
    // Input 1, range 0, class 0: offset 2.5 counts, scale 4889 uV.
    EXPECT_EQ(data.mid(1, 2), hex("1900"));
    EXPECT_EQ(data.mid(41, 2), hex("1913"));
    EXPECT_EQ(data.mid(81), QByteArray(19, '\0'));

    const SimulatedInstrumentI::Calibration cal = instrument.calibration();
    QSet<int> offsets, scales;
    for (int i = 0; i < 5; ++i) {
        for (int c = 0; c < 2; ++c) {
            for (int r = 0; r < 2; ++r) {
                const int slot = 8 * i + 4 * c + 2 * r;
                EXPECT_EQ(le16s(data, 1 + slot), cal.offset[c][r][i]);
                EXPECT_EQ(le16(data, 41 + slot), cal.scale[c][r][i]);
                offsets.insert(cal.offset[c][r][i]);
                scales.insert(cal.scale[c][r][i]);
            }
        }
    }
    // Every entry differs, so using the wrong one shows in the volts.
    EXPECT_EQ(offsets.size(), 20);
    EXPECT_EQ(scales.size(), 20);
    EXPECT_FALSE(offsets.contains(0));
    EXPECT_FALSE(scales.contains(4882) || scales.contains(610));

    instrument.setCalibrationStored(false);
    EXPECT_EQ(image(), QByteArray(100, char(0xFF)));
}

TEST_F(GenerationI, StreamPacketsForEveryChannelMask)
{
    SimulatedSignal dc(SimulatedSignal::Kind::Dc);
    instrument.setSignal(dc);

    // Nothing to sample: one final packet of size 0, in the short form.
    for (const QByteArray &payload : {sampling(5, 0, 100, 0), sampling(5, 0, 0, 3)}) {
        const QVector<Packet> all = exchange(instrument, link, 1, 32, payload);
        ASSERT_EQ(all.size(), 2);
        EXPECT_EQ(all[1].type, 0x07);
        EXPECT_EQ(all[1].data, hex("0001"));
    }

    struct Case { int mask; int count; QVector<int> sizes; };
    const Case cases[] = {
        {1, 600, {255, 255, 90}},
        {2, 255, {255}},
        {3, 300, {254, 254, 92}},
        {3, 1, {2}},
    };
    for (const Case &c : cases) {
        const Measurement m = measure(instrument, link, sampling(5, 0, c.count, c.mask));
        EXPECT_EQ(m.reply.status, 0);
        EXPECT_TRUE(m.wellFormed) << c.mask;
        QVector<int> sizes;
        for (const Packet &p : m.packets) {
            sizes.append(quint8(p.data.at(0)));
            EXPECT_EQ(p.type, p.data.size() > 255 ? 0x05 : 0x07);
        }
        EXPECT_EQ(sizes, c.sizes) << c.mask;
        for (int ch = 0; ch < 2; ++ch) {
            const bool on = c.mask & (1 << ch);
            ASSERT_EQ(m.counts[ch].size(), on ? c.count : 0);
            if (!on)
                continue;
            // A constant level gives one count per input; the inputs' levels
            // differ, so any mixing of the two groups would show.
            const double expected = instrument.countFor(ch, 0, 5, ch == 0 ? 1.25 : -0.75);
            for (double count : m.counts[ch])
                ASSERT_EQ(count, expected);
        }
    }
}

TEST_F(GenerationI, InputsRecoverTheirVoltageThroughTheCalibration)
{
    const QByteArray cal = image();
    SimulatedSignal dc(SimulatedSignal::Kind::Dc);
    const double levels[2][2] = {{4.321, -7.5}, {0.987, -1.2}};   // per range, per input
    for (int range = 0; range < 2; ++range) {
        dc.setLevel(0, levels[range][0]);
        dc.setLevel(1, levels[range][1]);
        instrument.setSignal(dc);
        for (int period : {5, 16}) {
            const Measurement m = measure(instrument, link, sampling(period, range, 20, 3));
            for (int ch = 0; ch < 2; ++ch) {
                ASSERT_EQ(m.counts[ch].size(), 20);
                const double step = le16(cal, 41 + 32 + 4 * ch + 2 * range) / 1e6;
                EXPECT_NEAR(volts(cal, ch, range, period, m.counts[ch][0]), levels[range][ch], step / 2 + 1e-9)
                    << range << " " << ch;
            }
        }
    }
}

TEST_F(GenerationI, LoopbackFollowsTheDacAndThePwm)
{
    const QByteArray cal = image();
    // 2000 mV peak around +500 mV at 100 Hz; PWM at 40 %.
    struct Shape { char code; double (*at)(double phase); };
    const Shape shapes[] = {
        {0, [](double p) { return std::sin(2 * 3.14159265358979323846 * p); }},
        {1, [](double p) { return p < 0.5 ? 1.0 : -1.0; }},
        {2, [](double p) { return p < 0.25 ? 4 * p : p < 0.75 ? 2 - 4 * p : 4 * p - 4; }},
    };
    exchange(instrument, link, 1, 35, hex("0228"));
    for (const Shape &shape : shapes) {
        QByteArray dac = hex("006400D007F401");
        dac[0] = shape.code;
        ASSERT_EQ(exchange(instrument, link, 2, 36, dac).value(0).status, 0);
        // Period code 6: one sample per millisecond, ten per DAC period.
        const Measurement m = measure(instrument, link, sampling(6, 0, 25, 3));
        ASSERT_EQ(m.counts[0].size(), 25);
        const double step = le16(cal, 41 + 32) / 1e6;
        for (int k = 0; k < 25; ++k) {
            const double phase = std::fmod(k * 0.1, 1.0);
            EXPECT_NEAR(volts(cal, 0, 0, 6, m.counts[0][k]), 0.5 + 2.0 * shape.at(phase), step)
                << int(shape.code) << " " << k;
            EXPECT_NEAR(volts(cal, 1, 0, 6, m.counts[1][k]), 2.0, step);
        }
    }
}

TEST_F(GenerationI, SineAndNoiseSignals)
{
    const QByteArray cal = image();
    instrument.setSignal(SimulatedSignal(SimulatedSignal::Kind::Sine));
    // Period code 5 (0.5 ms): input 1 at 50 Hz peaks at sample 10.
    Measurement m = measure(instrument, link, sampling(5, 1, 11, 1));
    EXPECT_NEAR(volts(cal, 0, 1, 5, m.counts[0][10]), 1.0, 0.001);
    EXPECT_NEAR(volts(cal, 0, 1, 5, m.counts[0][0]), 0.0, 0.001);

    SimulatedSignal noise(SimulatedSignal::Kind::Noise);
    noise.setNoise(0.1, 42);
    instrument.setSignal(noise);
    const Measurement first = measure(instrument, link, sampling(5, 1, 2000, 3));
    double sum = 0, squares = 0;
    for (double c : first.counts[0]) {
        const double v = volts(cal, 0, 1, 5, c);
        sum += v;
        squares += v * v;
    }
    const double mean = sum / 2000;
    EXPECT_NEAR(mean, 0.0, 0.01);
    EXPECT_NEAR(std::sqrt(squares / 2000 - mean * mean), 0.1, 0.01);
    EXPECT_NE(first.counts[0], first.counts[1]);

    // The same seed replays the same noise on another instrument at the same
    // acquisition number; the next acquisition draws new values.
    SimulatedInstrumentI twin;
    CollectingLink twinLink;
    twin.hostWrote(hex("03"), twinLink);
    twin.setSignal(noise);
    measure(twin, twinLink, sampling(5, 1, 1, 0));
    EXPECT_EQ(measure(twin, twinLink, sampling(5, 1, 2000, 3)).counts[0], first.counts[0]);
    EXPECT_NE(measure(instrument, link, sampling(5, 1, 2000, 3)).counts[0], first.counts[0]);
}
