// How long the virtual instruments take to answer a full-size acquisition
// (reply plus the whole sample stream), and to read a page request.
#include <benchmark/benchmark.h>

#include "SimulatedInstrumentI.h"
#include "SimulatedInstrumentII.h"

namespace {

class NullLink : public SimulatedLink
{
public:
    void sendToHost(const QByteArray &bytes) override { sent += bytes.size(); }
    qint64 sent = 0;
};

QByteArray request(quint8 command, const QByteArray &payload)
{
    QByteArray bytes("\x05\x65\x00\x00\x00", 5);
    bytes.append(char(command));
    bytes.append(char(payload.size() & 0xFF));
    bytes.append(char(payload.size() >> 8));
    return bytes + payload;
}

template <typename Instrument>
void acquisition(benchmark::State &state, const QByteArray &start, SimulatedSignal::Kind kind)
{
    Instrument instrument;
    NullLink link;
    instrument.hostWrote(QByteArray(1, char(0x03)), link);
    instrument.setSignal(SimulatedSignal(kind));
    const QByteArray bytes = request(32, start);
    for (auto _ : state)
        instrument.hostWrote(bytes, link);
    state.SetBytesProcessed(link.sent);
}

// 50000 samples on both inputs.
void generationI(benchmark::State &state)
{
    acquisition<SimulatedInstrumentI>(state, QByteArray::fromHex("0500 50C3 03 000100"),
                                      SimulatedSignal::Kind(state.range(0)));
}

void generationII(benchmark::State &state)
{
    acquisition<SimulatedInstrumentII>(state, QByteArray::fromHex("0800000000 50C3 0000 03 000000"),
                                       SimulatedSignal::Kind(state.range(0)));
}

void pageRead(benchmark::State &state)
{
    SimulatedInstrumentII instrument;
    NullLink link;
    const QByteArray bytes = request(0x12, QByteArray());
    for (auto _ : state)
        instrument.hostWrote(bytes, link);
}

} // namespace

BENCHMARK(generationI)->Arg(int(SimulatedSignal::Kind::Loopback))->Arg(int(SimulatedSignal::Kind::Noise))
    ->Unit(benchmark::kMillisecond);
BENCHMARK(generationII)->Arg(int(SimulatedSignal::Kind::Loopback))->Arg(int(SimulatedSignal::Kind::Noise))
    ->Unit(benchmark::kMillisecond);
BENCHMARK(pageRead);

BENCHMARK_MAIN();
