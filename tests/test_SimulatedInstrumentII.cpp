// The generation II firmware of the virtual instrument, driven with raw bytes.
#include <gtest/gtest.h>

#include <QSet>

#include <cmath>

#include "InstrumentWire.h"
#include "SimulatedClock.h"
#include "SimulatedInstrumentII.h"

#include <limits>

using namespace instrumentwire;

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

// 13-byte start payload.
QByteArray sampling(int period, int range1, int range2, bool on1, bool on2, int count, int mask)
{
    QByteArray p;
    for (int b : {period, range1, range2, int(on1), int(on2), count & 0xFF, count >> 8, 0x20, 0x4E,
                  mask, 0, 0, 0})
        p.append(char(b));
    return p;
}

struct Acquisition
{
    Packet reply;
    QVector<Packet> packets;
    QVector<double> counts[2];
    bool wellFormed = true;
};

// Starts an acquisition and unpacks the stream the way its layout says: a flag
// byte, then blocks of one sample per enabled input, input 1 first.
Acquisition acquire(SimulatedInstrumentII &instrument, CollectingLink &link, const QByteArray &payload)
{
    Acquisition a;
    const QVector<Packet> all = exchange(instrument, link, 88, 32, payload);
    if (all.isEmpty())
        return a;
    a.reply = all.first();
    a.packets = all.mid(1);
    const int mask = quint8(payload.at(9));
    QVector<int> enabled;
    for (int c = 0; c < 2; ++c) {
        if (mask & (1 << c))
            enabled.append(c);
    }
    for (int i = 0; i < a.packets.size(); ++i) {
        const QByteArray &d = a.packets[i].data;
        const bool last = i + 1 == a.packets.size();
        if (a.packets[i].id != 0 || d.isEmpty() || d.at(0) != char(last ? 1 : 0))
            a.wellFormed = false;
        if (enabled.isEmpty())
            continue;
        if ((d.size() - 1) % (2 * enabled.size()) != 0)
            a.wellFormed = false;
        for (int pos = 1; pos + 2 * enabled.size() <= d.size();) {
            for (int c : enabled) {
                a.counts[c].append(le16s(d, pos));
                pos += 2;
            }
        }
    }
    return a;
}

int summed(int code)
{
    return code <= 3 ? 1 : code == 4 ? 2 : code == 5 ? 4 : code == 6 ? 8 : 16;
}

// Volts from a count the way the host converts, with the entry of period
// class min(code, 3) read from the image (classes 1 and 3 only).
double volts(const QByteArray &image, int ch, int range, int code, bool on, double count)
{
    static const double fullScale[] = {10.0, 2.0, 0.4, 0.1};
    const int group = 8 * ch + 2 * range + (qMin(code, 3) == 3 ? 1 : 0);
    const int at = 1 + 8 * group;
    const double offset = le16s(image, at + (on ? 0 : 2)) / 10.0 * summed(code);
    const double scale = le16(image, at + (on ? 4 : 6)) / 30000.0 * fullScale[range] / 4096 / summed(code);
    return (count - offset) * scale;
}

double step(const QByteArray &image, int ch, int range, int code, bool on)
{
    return volts(image, ch, range, code, on, 1) - volts(image, ch, range, code, on, 0);
}

class GenerationII : public ::testing::Test
{
protected:
    void SetUp() override { instrument.hostWrote(hex("03"), link); }

    QByteArray image() { return exchange(instrument, link, 72, 72).value(0).data; }
    QByteArray ask(quint8 command, const QByteArray &payload = QByteArray())
    {
        return exchange(instrument, link, 900 + command, command, payload).value(0).data;
    }

    SimulatedInstrumentII instrument;
    CollectingLink link;
};

} // namespace

TEST_F(GenerationII, InstructionRepliesAndStatuses)
{
    struct Case { quint8 command; QByteArray payload; int status; int size; };
    const Case cases[] = {
        {32, sampling(6, 0, 0, false, false, 10, 0), 0, 0},
        {33, QByteArray(), 0, 0}, {39, hex("00"), 0, 0}, {40, QByteArray(), 0, 0},
        {41, QByteArray(), 0, 0}, {43, QByteArray(), 0, 0}, {44, QByteArray(), 0, 0},
        {34, hex("10270000"), 0, 0}, {35, hex("023200"), 0, 0}, {36, hex("023200"), 0, 0},
        {37, hex("02D007E8030000"), 0, 0}, {38, hex("03D00718FC0000"), 0, 0}, {42, QByteArray(), 0, 0},
        {64, QByteArray(), 0, 13}, {65, QByteArray(), 0, 4}, {66, QByteArray(), 0, 4},
        {67, QByteArray(), 0, 3}, {68, QByteArray(), 0, 3}, {69, QByteArray(), 0, 7},
        {70, QByteArray(), 0, 7}, {71, QByteArray(), 0, 6}, {72, QByteArray(), 0, 150},
        {73, QByteArray(), 0, 4},
        // Not generation II instructions.
        {31, QByteArray(), 1, 0}, {45, QByteArray(), 1, 0}, {63, QByteArray(), 1, 0},
        {74, QByteArray(), 1, 0}, {0x80, QByteArray(), 1, 0},
        // Payloads of the wrong length.
        {32, sampling(6, 0, 0, false, false, 10, 1).left(8), 3, 0}, {34, hex("102700"), 3, 0},
        {35, hex("0232"), 3, 0}, {38, hex("02D007E803000000"), 3, 0},
        // Settings the instrument cannot take.
        {32, sampling(17, 0, 0, false, false, 10, 1), 100, 0},
        {32, sampling(6, 4, 0, false, false, 10, 1), 100, 0},
        {32, sampling(6, 0, 4, false, false, 10, 1), 100, 0},
        {32, sampling(6, 0, 0, false, false, 10, 7), 100, 0},
        {34, hex("00000000"), 100, 0}, {34, hex("410D0300"), 100, 0},
        {36, hex("026500"), 100, 0}, {37, hex("04D007E8030000"), 100, 0},
    };
    for (const Case &c : cases) {
        const QVector<Packet> packets = exchange(instrument, link, 700 + c.command, c.command, c.payload);
        ASSERT_FALSE(packets.isEmpty()) << int(c.command);
        EXPECT_EQ(packets[0].id, 700u + c.command);
        EXPECT_EQ(packets[0].status, c.status) << int(c.command);
        EXPECT_EQ(packets[0].data.size(), c.size) << int(c.command);
        EXPECT_EQ(packets.size(), c.command == 32 && c.status == 0 ? 2 : 1) << int(c.command);
    }
}

TEST_F(GenerationII, SettingsReadBack)
{
    EXPECT_EQ(ask(69), hex("00E803DC05FA00"));
    EXPECT_EQ(ask(70), hex("01F4012003D4FE"));

    // The two DACs are independent.
    ask(37, hex("02409C881378EC"));
    EXPECT_EQ(ask(69), hex("02409C881378EC"));
    EXPECT_EQ(ask(70), hex("01F4012003D4FE"));
    ask(38, hex("0364003075C8EF"));
    EXPECT_EQ(ask(70), hex("0364003075C8EF"));

    // PWM settings wait for 42 before they take effect.
    ask(34, hex("A0860100"));
    ask(36, hex("025A07"));
    EXPECT_EQ(ask(65), hex("A0860100"));
    EXPECT_EQ(ask(66), hex("10270000"));
    EXPECT_EQ(ask(68), hex("024B00"));
    ask(42);
    EXPECT_EQ(ask(66), hex("A0860100"));
    EXPECT_EQ(ask(67), hex("021900"));
    EXPECT_EQ(ask(68), hex("025A07"));
    EXPECT_EQ(instrument.pwmFrequency(), 100000u);

    SimulatedSignal dc(SimulatedSignal::Kind::Dc);
    instrument.setSignal(dc);
    const QByteArray start = sampling(9, 2, 1, true, false, 300, 3);
    const Acquisition a = acquire(instrument, link, start);
    EXPECT_EQ(ask(64), start);
    EXPECT_EQ(ask(71), hex("0100 2C01 03 09"));
    const QByteArray last = ask(73);
    EXPECT_EQ(le16s(last, 0), a.counts[0].last());
    EXPECT_EQ(le16s(last, 2), a.counts[1].last());
}

TEST_F(GenerationII, CalibrationImageLayout)
{
    const QByteArray data = image();
    ASSERT_EQ(data.size(), 150);
    EXPECT_EQ(quint8(data.at(0)), 0x6B);
    // Group 0 (input 1, range 0, class 1): offset on 2.2, off 1.5 counts;
    // scale on 29713, off 29700.
    EXPECT_EQ(data.mid(1, 8), hex("1600 0F00 1174 0474"));
    EXPECT_EQ(data.mid(129), QByteArray(21, '\0'));

    const SimulatedInstrumentII::Calibration cal = instrument.calibration();
    QSet<int> offsets, scales;
    for (int c = 0; c < 2; ++c) {
        for (int r = 0; r < 4; ++r) {
            for (int q = 0; q < 2; ++q) {
                const int at = 1 + 8 * (8 * c + 2 * r + q);
                EXPECT_EQ(le16s(data, at), cal.offset[c][r][q][1]);
                EXPECT_EQ(le16s(data, at + 2), cal.offset[c][r][q][0]);
                EXPECT_EQ(le16(data, at + 4), cal.scale[c][r][q][1]);
                EXPECT_EQ(le16(data, at + 6), cal.scale[c][r][q][0]);
                for (int f = 0; f < 2; ++f) {
                    offsets.insert(cal.offset[c][r][q][f]);
                    scales.insert(cal.scale[c][r][q][f]);
                }
            }
        }
    }
    EXPECT_EQ(offsets.size(), 32);
    EXPECT_EQ(scales.size(), 32);
    EXPECT_FALSE(offsets.contains(0) || scales.contains(30000));

    instrument.setCalibrationStored(false);
    EXPECT_EQ(image(), QByteArray(150, char(0xFF)));
}

TEST_F(GenerationII, StreamPacketsForEveryChannelMask)
{
    instrument.setSignal(SimulatedSignal(SimulatedSignal::Kind::Dc));

    for (const QByteArray &payload : {sampling(6, 0, 0, false, false, 100, 0),
                                      sampling(6, 0, 0, false, false, 0, 3)}) {
        const QVector<Packet> all = exchange(instrument, link, 1, 32, payload);
        ASSERT_EQ(all.size(), 2);
        EXPECT_EQ(all[1].type, 0x07);
        EXPECT_EQ(all[1].data, hex("01"));
    }

    struct Case { int mask; int count; QVector<int> lengths; };
    const Case cases[] = {
        {1, 250, {241, 241, 21}},
        {2, 120, {241}},
        {3, 250, {481, 481, 41}},
        {3, 2, {9}},
    };
    for (const Case &c : cases) {
        const Acquisition a = acquire(instrument, link, sampling(6, 0, 0, false, false, c.count, c.mask));
        EXPECT_EQ(a.reply.status, 0);
        EXPECT_TRUE(a.wellFormed) << c.mask;
        QVector<int> lengths;
        for (const Packet &p : a.packets) {
            lengths.append(p.data.size());
            EXPECT_EQ(p.type, p.data.size() > 255 ? 0x05 : 0x07);
        }
        EXPECT_EQ(lengths, c.lengths) << c.mask;
        for (int ch = 0; ch < 2; ++ch) {
            const bool on = c.mask & (1 << ch);
            ASSERT_EQ(a.counts[ch].size(), on ? c.count : 0);
            if (!on)
                continue;
            const double expected = instrument.countFor(ch, 0, 6, false, ch == 0 ? 1.25 : -0.75);
            for (double count : a.counts[ch])
                ASSERT_EQ(count, expected) << c.mask;
        }
    }
}

TEST_F(GenerationII, InputsRecoverTheirVoltageThroughTheCalibration)
{
    const QByteArray cal = image();
    SimulatedSignal dc(SimulatedSignal::Kind::Dc);
    const double fullScale[] = {10.0, 2.0, 0.4, 0.1};
    for (int range = 0; range < 4; ++range) {
        // Levels that stay within the count range even when 16 conversions add up.
        const double levels[2] = {0.23 * fullScale[range] / 2, -0.41 * fullScale[range] / 2};
        dc.setLevel(0, levels[0]);
        dc.setLevel(1, levels[1]);
        instrument.setSignal(dc);
        for (int code : {1, 3, 4, 5, 6, 7, 16}) {
            for (bool on : {false, true}) {
                const Acquisition a = acquire(instrument, link, sampling(code, range, range, on, on, 3, 3));
                for (int ch = 0; ch < 2; ++ch) {
                    ASSERT_EQ(a.counts[ch].size(), 3);
                    EXPECT_NEAR(volts(cal, ch, range, code, on, a.counts[ch][0]), levels[ch],
                                step(cal, ch, range, code, on) / 2 + 1e-12)
                        << "range " << range << " code " << code << " on " << on << " input " << ch;
                }
            }
        }
    }

    // The classes the image does not carry use the nearest measured set:
    // code 0 the one measured at code 1, code 2 the one measured at code 3.
    dc.setLevel(0, 1.0);
    instrument.setSignal(dc);
    const double atCode1 = acquire(instrument, link, sampling(1, 0, 0, false, false, 2, 1)).counts[0][0];
    const double atCode3 = acquire(instrument, link, sampling(3, 0, 0, false, false, 2, 1)).counts[0][0];
    ASSERT_NE(atCode1, atCode3);
    EXPECT_EQ(acquire(instrument, link, sampling(0, 0, 0, false, false, 2, 1)).counts[0][0], atCode1);
    EXPECT_EQ(acquire(instrument, link, sampling(2, 0, 0, false, false, 2, 1)).counts[0][0], atCode3);

    // Beyond the count range the samples clamp instead of wrapping.
    dc.setLevel(0, 9.0);
    dc.setLevel(1, -9.0);
    instrument.setSignal(dc);
    const Acquisition clipped = acquire(instrument, link, sampling(16, 3, 3, false, false, 2, 3));
    EXPECT_EQ(clipped.counts[0][0], 32767);
    EXPECT_EQ(clipped.counts[1][0], -32768);
}

TEST_F(GenerationII, LoopbackFollowsBothDacs)
{
    const QByteArray cal = image();
    // DAC 1: sine, 200 half-hertz (100 Hz), 2000 mV peak, -500 mV offset.
    // DAC 2: triangle, 100 Hz, 1000 mV peak, +1000 mV offset.
    ask(37, hex("00C800D0070CFE"));
    ask(38, hex("02C800E803E803"));
    // Period code 5: one sample every 0.5 ms, twenty per period.
    const Acquisition a = acquire(instrument, link, sampling(5, 0, 0, false, false, 40, 3));
    ASSERT_EQ(a.counts[0].size(), 40);
    for (int k = 0; k < 40; ++k) {
        const double phase = std::fmod(k * 0.05, 1.0);
        const double tri = phase < 0.25 ? 4 * phase : phase < 0.75 ? 2 - 4 * phase : 4 * phase - 4;
        EXPECT_NEAR(volts(cal, 0, 0, 5, false, a.counts[0][k]),
                    -0.5 + 2.0 * std::sin(2 * 3.14159265358979323846 * phase), step(cal, 0, 0, 5, false))
            << k;
        EXPECT_NEAR(volts(cal, 1, 0, 5, false, a.counts[1][k]), 1.0 + tri, step(cal, 1, 0, 5, false)) << k;
    }
}

TEST_F(GenerationII, TwoLevelFormRampsAcrossTheAcquisition)
{
    const QByteArray cal = image();
    struct Case { const char *dac; double from; double to; };
    const Case cases[] = {
        {"03D007D00718FC", -1.0, 1.0},    // span 2000 mV up from -1000 mV
        {"03D00730F8E803", 1.0, -1.0},    // span -2000 mV: a falling sweep
    };
    for (const Case &c : cases) {
        ask(37, hex(c.dac));
        for (int count : {5, 1001}) {
            const Acquisition a = acquire(instrument, link, sampling(12, 0, 0, false, false, count, 1));
            ASSERT_EQ(a.counts[0].size(), count);
            for (int k = 0; k < count; k += count / 4) {
                const double expected = c.from + (c.to - c.from) * k / (count - 1);
                EXPECT_NEAR(volts(cal, 0, 0, 12, false, a.counts[0][k]), expected,
                            step(cal, 0, 0, 12, false) / 2 + 1e-12)
                    << c.dac << " " << k;
            }
        }
    }
}

namespace {

// Records what a paced instrument hands over, with the time it was produced.
class TimedLink : public SimulatedLink
{
public:
    struct Sent
    {
        qint64 producedNs;
        QByteArray bytes;
    };
    void sendToHost(const QByteArray &bytes) override { sent.append(Sent{-1, bytes}); }
    void sendToHostProducedAt(qint64 producedNs, const QByteArray &bytes) override
    {
        sent.append(Sent{producedNs, bytes});
    }
    QVector<Packet> packets() const
    {
        QByteArray all;
        for (const Sent &s : sent)
            all += s.bytes;
        return readPackets(all);
    }
    QVector<Sent> sent;
};

} // namespace

// A paced instrument answers after its reply delay and streams each packet
// when its last sample is taken; nothing leaves before its time.
TEST(PacedGenerationII, TakesItsRealTime)
{
    SimulatedInstrumentII instrument;
    instrument.setPaced(true);
    instrument.setReplyDelayUs(500);
    TimedLink link;
    instrument.hostWrote(hex("03"), link);

    // 240 samples of both inputs at period code 3 (100 us): two packets of 120.
    const qint64 before = SimulatedClock::nowNs();
    instrument.hostWrote(request(41, 32, sampling(3, 0, 0, false, false, 240, 3)), link);
    const qint64 after = SimulatedClock::nowNs();
    EXPECT_TRUE(link.sent.isEmpty());
    const qint64 replyAt = instrument.nextOutputNs();
    EXPECT_GE(replyAt, before + 500000);
    EXPECT_LE(replyAt, after + 500000);

    instrument.advance(replyAt - 1, link);
    EXPECT_TRUE(link.sent.isEmpty());
    instrument.advance(replyAt, link);
    ASSERT_EQ(link.sent.size(), 1);
    EXPECT_EQ(link.sent[0].producedNs, replyAt);
    EXPECT_EQ(instrument.plannedStreamPackets(), 2);
    EXPECT_EQ(instrument.nextOutputNs(), replyAt + 12000000);   // 120 x 100 us
    instrument.advance(replyAt + 23999999, link);
    EXPECT_EQ(link.sent.size(), 2);
    instrument.advance(replyAt + 24000000, link);
    ASSERT_EQ(link.sent.size(), 3);
    EXPECT_EQ(link.sent[2].producedNs, replyAt + 24000000);
    const QVector<Packet> packets = link.packets();
    ASSERT_EQ(packets.size(), 3);
    EXPECT_EQ(packets[1].data.at(0), 0);
    EXPECT_EQ(packets[2].data.at(0), 1);
    EXPECT_EQ(instrument.nextOutputNs(), -1);
}

TEST(PacedGenerationII, AStartDuringAnAcquisitionEndsIt)
{
    SimulatedInstrumentII instrument;
    instrument.setPaced(true);
    TimedLink link;
    instrument.hostWrote(hex("03"), link);

    // A slow acquisition: 1000 samples at 1 ms; its first packet is out.
    instrument.hostWrote(request(50, 32, sampling(6, 0, 0, false, false, 1000, 1)), link);
    const qint64 reply = instrument.nextOutputNs();
    instrument.advance(reply + 120 * 1000000LL, link);
    EXPECT_EQ(link.packets().size(), 2);

    // A new start: the rest of the old stream is never produced.
    instrument.hostWrote(request(51, 32, sampling(3, 0, 0, false, false, 10, 2)), link);
    instrument.advance(std::numeric_limits<qint64>::max(), link);
    const QVector<Packet> packets = link.packets();
    ASSERT_EQ(packets.size(), 4);
    EXPECT_EQ(packets[2].id, 51u);
    EXPECT_EQ(packets[3].data.size(), 1 + 10 * 2);
    EXPECT_EQ(packets[3].data.at(0), 1);
    EXPECT_EQ(instrument.acquisitionCount(), 2u);
}

// The host drops stream packets parsed before the reply to their start (they
// belong to the acquisition that start replaced), which is sound only while
// the instrument answers a start before it streams. It does, immediate or
// paced, also when a stream packet falls due at the reply's own moment (no
// input enabled, or a reply delay of 0).
TEST(PacedGenerationII, AStartIsAnsweredBeforeItsStream)
{
    struct Case
    {
        bool paced;
        int replyDelayUs;
        int period;
        int count;
        int mask;
    };
    const Case cases[] = {{false, 100, 3, 240, 3}, {true, 100, 0, 240, 3}, {true, 0, 0, 1, 1},
                          {true, 0, 3, 10, 0}, {true, 100, 3, 10, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "paced " << c.paced << ", delay " << c.replyDelayUs << ", mask " << c.mask);
        SimulatedInstrumentII instrument;
        instrument.setPaced(c.paced);
        instrument.setReplyDelayUs(c.replyDelayUs);
        TimedLink link;
        instrument.hostWrote(hex("03"), link);
        instrument.hostWrote(request(60, 32, sampling(c.period, 0, 0, false, false, c.count, c.mask)), link);
        instrument.advance(std::numeric_limits<qint64>::max(), link);
        const QVector<Packet> packets = link.packets();
        ASSERT_GE(packets.size(), 2);
        EXPECT_EQ(packets[0].type, 0x05);
        EXPECT_EQ(packets[0].id, 60u);
        for (int i = 1; i < packets.size(); ++i)
            EXPECT_EQ(packets[i].id, 0u) << "packet " << i;
        EXPECT_EQ(packets.last().data.at(0), 1);
    }
}

// Faults injected while the instrument runs, each for the next occasions only.
TEST(PacedGenerationII, InjectedFaults)
{
    SimulatedInstrumentII instrument;
    instrument.setPaced(true);
    TimedLink link;
    instrument.hostWrote(hex("03"), link);
    const auto run = [&](quint32 id, quint8 command, const QByteArray &payload = QByteArray()) {
        link.sent.clear();
        instrument.hostWrote(request(id, command, payload), link);
        instrument.advance(std::numeric_limits<qint64>::max(), link);
        return link.packets();
    };
    const QByteArray start = sampling(3, 0, 0, false, false, 360, 1);

    // The stream stops after one packet of three; the next acquisition is whole.
    instrument.stopStreamAfter(1);
    EXPECT_EQ(run(60, 32, start).size(), 1 + 1);
    EXPECT_EQ(instrument.plannedStreamPackets(), 0);
    EXPECT_EQ(run(61, 32, start).size(), 1 + 3);

    // A stray byte ahead of the next stream packet only.
    instrument.corruptNextStreamPacket();
    link.sent.clear();
    instrument.hostWrote(request(62, 32, start), link);
    instrument.advance(std::numeric_limits<qint64>::max(), link);
    ASSERT_GE(link.sent.size(), 3);
    EXPECT_EQ(link.sent[1].bytes, QByteArray(1, char(0xA5)));
    EXPECT_EQ(link.sent[2].bytes.at(0), char(0x07));
    EXPECT_NE(link.sent[3].bytes.size(), 1);

    // Status override: answered, not carried out.
    const quint32 acquisitions = instrument.acquisitionCount();
    instrument.overrideStatus(32, 2, 1);
    const QVector<Packet> busy = run(63, 32, start);
    ASSERT_EQ(busy.size(), 1);
    EXPECT_EQ(busy[0].status, 2);
    EXPECT_EQ(instrument.acquisitionCount(), acquisitions);
    EXPECT_EQ(run(64, 32, start).size(), 1 + 3);

    // A lost request: no reply, no effect; the next one is answered.
    instrument.dropRequests(37, 1);
    const QByteArray dac = hex("00 E803 DC05 0000");
    EXPECT_TRUE(run(65, 37, dac).isEmpty());
    EXPECT_NE(instrument.dacSettings(1), dac);
    EXPECT_EQ(run(66, 37, dac).size(), 1);
    EXPECT_EQ(instrument.dacSettings(1), dac);

    // A reply cut short, its length field telling the truth.
    instrument.shortenReplies(69, 2, 1);
    const QVector<Packet> shortened = run(67, 69);
    ASSERT_EQ(shortened.size(), 1);
    EXPECT_EQ(shortened[0].data, dac.left(5));
    EXPECT_EQ(run(68, 69).value(0).data, dac);
}
