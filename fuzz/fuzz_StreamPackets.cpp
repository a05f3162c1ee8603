// Stream packets of any length and in any order into the sample decoders of
// both instrument generations, after a single measurement or a one- or
// two-dimensional sweep has started. The instrument's USB device cannot be
// opened, so every instruction the device submits is refused and no protocol
// thread runs: packetReceived is driven by the input alone.
//
// One device per generation serves every input (making one costs more than
// decoding a few packets). Each input first brings it to the same state: both
// channels' ADC settings and sweep bounds, then an accepted start without
// channels, which empties the results, the filter windows and the sweep
// counters. What the decoders read is therefore the same as on a new device,
// and a failing input fails again on its own.
//
// Checked before every new start and at the end (results only grow in
// between): no channel holds more values than the packets since the results
// were last emptied carried samples, results are finite, rows stay within the
// sweep's points, and the result queries agree with one another.
//
// Input: byte 0 picks the generation (bit 0) and the start (bits 1-2, taken
// modulo 3: single measurement, 1D sweep, 2D sweep); byte 1 the ADC settings,
// byte 2 the sweep bounds of DAC channel 2, bytes 3-7 the start's arguments;
// then operations: 0xFF starts again (kind from the next byte, arguments from
// the 5 after it), 0xFE changes the ADC settings of a channel, 0xF0-0xFD is a
// packet of (op & 0x0F) * 256 + next byte bytes, and anything below 0xF0 is
// the length of the packet that follows.
#include <QByteArray>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "MemoryUSBDevice.h"
#include "Veldrin_II_DriverDevice.h"
#include "Veldrin_I_DriverDevice.h"

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

class Input
{
public:
    Input(const uint8_t *data, size_t size) : m_data(data), m_size(size) {}
    bool atEnd() const { return m_pos >= m_size; }
    int byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    QByteArray bytes(int count)
    {
        const size_t n = std::min<size_t>(size_t(count), m_size - m_pos);
        QByteArray result(reinterpret_cast<const char *>(m_data + m_pos), int(n));
        m_pos += n;
        return result;
    }

private:
    const uint8_t *m_data;
    size_t m_size;
    size_t m_pos = 0;
};

struct Start
{
    int kind = 0; // 0 single measurement, 1 one-dimensional sweep, 2 two-dimensional sweep
    int mask = 0;
    int period = 0;
    int samples = 0;
    int points = 0;
};

Start readStart(Input &in, int kind)
{
    Start start;
    start.kind = kind;
    start.mask = in.byte() & 7; // 4 to 7 are refused
    start.period = in.byte() % 20;
    start.samples = (in.byte() << 8 | in.byte()) % 50010;
    start.points = in.byte() % 40; // larger sweeps only add empty rows
    return start;
}

// What a device must keep to whatever generation it is.
class Subject
{
public:
    virtual ~Subject() = default;
    virtual VeldrinDriverDevice &device() = 0;
    // Starts; returns whether the start was accepted.
    virtual bool start(const Start &start) = 0;
    virtual void adc(int channel, int range, int flag) = 0;
    virtual void sweepBounds(int channel, int startMv, int stopMv) = 0;
    virtual void packet(QByteArray &data) = 0;
    // Sample words a packet of this length may carry.
    virtual long capacity(int length) const = 0;
    virtual int maxRows(const Start &start) const = 0;

    // The state every input starts from.
    void reset()
    {
        // Range 3 is the default range code 0 in both generations.
        adc(1, 3, 0);
        adc(2, 3, 0);
        sweepBounds(1, -1000, 1000);
        sweepBounds(2, -1000, 1000);
        Start idle;
        idle.mask = 0;
        idle.period = 5;
        idle.samples = 2;
        check(start(idle));
        for (int channel = 1; channel <= 2; ++channel)
            check(device().getResult(channel).isEmpty() && device().get2DResult(channel).size() <= 1);
    }
};

class GenerationI : public Subject
{
public:
    explicit GenerationI(std::shared_ptr<USBDevice> usb) : m_device(std::move(usb)) {}
    VeldrinDriverDevice &device() override { return m_device; }
    bool start(const Start &start) override
    {
        switch (start.kind) {
        case 0:
            return m_device.runMeasurement(start.mask, start.period, start.samples) == 0;
        case 1:
            check(m_device.run1DSweepMeasurement(start.mask, start.period, start.samples) == 10);
            return false;
        default:
            check(m_device.run2DSweepMeasurement(start.mask, start.period, start.samples, start.points) == 10);
            return false;
        }
    }
    void adc(int channel, int range, int flag) override { m_device.setADCProperties(channel, range, flag); }
    void sweepBounds(int channel, int startMv, int stopMv) override
    {
        check(m_device.setSweepProperties(channel, startMv, stopMv) == 10);
    }
    void packet(QByteArray &data) override { m_device.packetReceived(0, data); }
    long capacity(int length) const override { return length >= 2 ? (length - 2) / 2 : 0; }
    int maxRows(const Start &) const override { return 1; }

private:
    Veldrin_I_DriverDevice m_device;
};

class GenerationII : public Subject
{
public:
    explicit GenerationII(std::shared_ptr<USBDevice> usb) : m_device(std::move(usb)) {}
    VeldrinDriverDevice &device() override { return m_device; }
    bool start(const Start &start) override
    {
        switch (start.kind) {
        case 0:
            return m_device.runMeasurement(start.mask, start.period, start.samples) == 0;
        case 1:
            return m_device.run1DSweepMeasurement(start.mask, start.period, start.samples) == 0;
        default:
            return m_device.run2DSweepMeasurement(start.mask, start.period, start.samples, start.points) == 0;
        }
    }
    void adc(int channel, int range, int flag) override { m_device.setADCProperties(channel, range, flag); }
    void sweepBounds(int channel, int startMv, int stopMv) override
    {
        m_device.setSweepProperties(channel, startMv, stopMv);
    }
    void packet(QByteArray &data) override { m_device.packetReceived(0, data); }
    long capacity(int length) const override { return length >= 1 ? (length - 1) / 2 : 0; }
    int maxRows(const Start &start) const override { return start.kind == 2 ? std::max(start.points, 1) : 1; }

private:
    Veldrin_II_DriverDevice m_device;
};

std::shared_ptr<USBDevice> closedDevice()
{
    auto usb = std::make_shared<MemoryUSBDevice>();
    usb->line().opens = false;
    return usb;
}

void checkResults(VeldrinDriverDevice &device, long carried, int maxRows)
{
    long values = 0;
    for (int channel = 1; channel <= 2; ++channel) {
        const QVector<QVector<double>> rows = device.get2DResult(channel);
        const QVector<double> first = device.getResult(channel);
        int rowCount = -1;
        int columns = -1;
        check(device.get2DResultSizes(channel, &rowCount, &columns) == 0);
        if (dynamic_cast<Veldrin_I_DriverDevice *>(&device)) {
            check(rows.size() == 1 && rows[0] == first);
            check(rowCount == first.size() && columns == 0);
        } else {
            check(rows.size() <= maxRows && rowCount == rows.size());
            check(rows.isEmpty() ? first.isEmpty() && columns == 0 : rows[0] == first && columns == first.size());
        }
        for (const QVector<double> &row : rows) {
            values += row.size();
            for (double value : row)
                check(std::isfinite(value));
        }
    }
    check(values <= carried);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 1 << 16)
        return 0;
    Input in(data, size);
    const int control = in.byte();

    static Subject *const generations[2] = {new GenerationI(closedDevice()), new GenerationII(closedDevice())};
    Subject *const subject = generations[control & 1];
    VeldrinDriverDevice &device = subject->device();
    subject->reset();

    const int adcSettings = in.byte();
    subject->adc(1, adcSettings & 3, adcSettings & 4);
    subject->adc(2, (adcSettings >> 3) & 3, adcSettings & 0x20);
    const int bounds = in.byte();
    subject->sweepBounds(2, -4500 + 500 * (bounds & 0x0F) % 9001, 4500 - 500 * (bounds >> 4) % 9001);

    // Values may only come from packets that arrived since the results were
    // last emptied; rows only from the points of a sweep that was started.
    long carried = 0;
    int rowLimit = 1;
    auto begin = [&](const Start &start) {
        checkResults(device, carried, rowLimit);
        const bool accepted = subject->start(start);
        rowLimit = std::max(rowLimit, subject->maxRows(start));
        if (accepted)
            check(!device.isMeasurementComplete());
        int rows1 = 0, rows2 = 0, columns = 0;
        device.get2DResultSizes(1, &rows1, &columns);
        device.get2DResultSizes(2, &rows2, &columns);
        if (rows1 == 0 && rows2 == 0)
            carried = 0;
    };
    begin(readStart(in, ((control >> 1) & 3) % 3));

    while (!in.atEnd()) {
        const int op = in.byte();
        if (op == 0xFF) {
            const int kind = in.byte() % 3;
            begin(readStart(in, kind));
            continue;
        }
        if (op == 0xFE) {
            const int settings = in.byte();
            subject->adc(1 + (settings & 1), (settings >> 1) & 7, settings & 0x10);
            continue;
        }
        const int length = op >= 0xF0 ? (op & 0x0F) << 8 | in.byte() : op;
        QByteArray packet = in.bytes(length);
        carried += subject->capacity(packet.size());
        subject->packet(packet);
    }
    checkResults(device, carried, rowLimit);
    return 0;
}
