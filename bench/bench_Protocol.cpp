// Throughput of the packet parser and its dispatch to a direct handler, and the
// CPU cost of an attached, idle protocol thread. Both run on the simulated bus:
// the protocol reads through the library's FTDI device and the vendor-library
// seam from a virtual FTDI chip, so the figures include the cost of the device
// layer and of the simulated chip, as a host on the simulated bus pays it.
//
//   build/bench/bench_Protocol --benchmark_filter=ParseStream
//   build/bench/bench_Protocol --benchmark_filter=IdleThread
#include <benchmark/benchmark.h>

#include <QElapsedTimer>
#include <QThread>
#include <atomic>
#include <cstdlib>
#include <new>
#include <sys/resource.h>

#include "USBDevice.h"
#include "USBFtdiDevice.h"
#include "USBPacketProtocol.h"

// The bench build does not link the test support library; the scripted bridge
// is compiled in directly.
#include "../tests/support/ProtocolHarness.cpp"

namespace {

std::atomic<long> allocations{0};

class CountingHandler : public USBPacketProtocol::IDirectPacketHandler
{
public:
    void requestFinished(const RequestEntry &, USBResult) override {}
    void packetError(USBResult, QPointer<QObject> &) override {}
    void packetReceived(int, QByteArray &data) override
    {
        ++packets;
        bytes += data.size();
    }
    bool acceptsPacket(int id) override { return id == 0; }

    long packets = 0;
    long bytes = 0;
};

// A stream packet as the instrument sends it: the short form up to 255 data
// bytes, the long form with id 0 above.
QByteArray streamPacket(int dataSize, int seed)
{
    QByteArray packet;
    if (dataSize <= 255) {
        packet.append(char(0x07));
        packet.append(char(dataSize));
    } else {
        const char header[8] = {0x05, 0, 0, 0, 0, 0, char(dataSize & 0xFF), char(dataSize >> 8)};
        packet.append(header, 8);
    }
    for (int i = 0; i < dataSize; ++i)
        packet.append(char(i * 13 + seed));
    return packet;
}

// Process CPU time split into user and kernel time: an idle poll costs mostly
// the kernel's sleep and wake-up, which no user code can make cheaper.
struct CpuSeconds
{
    double user = 0;
    double system = 0;
};

CpuSeconds processCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval &t) { return double(t.tv_sec) + double(t.tv_usec) * 1e-6; };
    return {seconds(usage.ru_utime), seconds(usage.ru_stime)};
}

} // namespace

void *operator new(std::size_t size)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void *p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}

void operator delete(void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }

// Bursts of about 64 KB of stream packets of one data size, each burst queued
// in the chip and parsed by one parsePackets() call, as one poll of the
// protocol thread would.
static void BM_ParseStreamPackets(benchmark::State &state)
{
    const int dataSize = int(state.range(0));
    ProtocolHarness bridge;
    CountingHandler handler;
    USBPacketProtocol protocol;
    protocol.setDirectPacketHandler(&handler);
    protocol.setDevice(bridge.openedDevice());
    if (!dynamic_cast<USBFtdiDevice *>(bridge.device().get())) {
        state.SkipWithError("the bridge is not the library's FTDI device");
        return;
    }

    QByteArray burst;
    int packetsPerBurst = 0;
    while (burst.size() < 65536) {
        burst += streamPacket(dataSize, packetsPerBurst);
        ++packetsPerBurst;
    }
    // Warm-up: the chip's receive queue and call log and the packet buffer
    // reach their working capacity.
    for (int i = 0; i < 16; ++i) {
        bridge.sendToHost(burst);
        protocol.parsePackets();
    }

    const long allocationsBefore = allocations.load();
    const long packetsBefore = handler.packets;
    for (auto _ : state) {
        bridge.sendToHost(burst);
        protocol.parsePackets();
    }
    const long packets = handler.packets - packetsBefore;
    state.SetBytesProcessed(int64_t(state.iterations()) * burst.size());
    state.counters["packets/s"] = benchmark::Counter(double(packets), benchmark::Counter::kIsRate);
    state.counters["allocs/packet"] =
        double(allocations.load() - allocationsBefore) / double(packets ? packets : 1);
    if (handler.bytes != long(dataSize) * handler.packets)
        state.SkipWithError("packets lost or cut");
    protocol.setDevice({});
}
BENCHMARK(BM_ParseStreamPackets)->Arg(64)->Arg(255)->Arg(256)->Arg(512)->Arg(1024);

// An attached protocol whose thread has nothing to do: it wakes every 5 ms
// (the poll interval) while its receiver waits in vendor reads. Process CPU
// time over 10 s of idling, as a share of one core.
static void BM_IdleThreadCpuShare(benchmark::State &state)
{
    ProtocolHarness bridge;
    CountingHandler handler;
    USBPacketProtocol protocol;
    protocol.setDirectPacketHandler(&handler);
    protocol.setDevice(bridge.openedDevice());
    protocol.setPollInterval(5000);

    // A raw request needs no answer; posting it starts the thread.
    class StartRequest : public USBICommRequest
    {
    public:
        bool isRawRequest() const override { return true; }
        quint8 command() const override { return 0x00; }
        QByteArray payload() const override { return {}; }
        void setReceivedData(const QByteArray &) override {}
        QByteArray receivedData() const override { return {}; }
        USBResult resultForStatus(quint8) const override { return {}; }
        int expectedReplySize() const override { return 0; }
        int id() const override { return m_id; }

    private:
        int m_id = takeNextId();
    };
    protocol.postRequest(std::make_shared<StartRequest>(), nullptr);
    QThread::msleep(100);

    double userShare = 0, systemShare = 0;
    int reads = 0;
    for (auto _ : state) {
        const int readsBefore = bridge.readCount();
        const CpuSeconds before = processCpuSeconds();
        QElapsedTimer wall;
        wall.start();
        QThread::sleep(10);
        const CpuSeconds after = processCpuSeconds();
        const double seconds = double(wall.nsecsElapsed()) * 1e-9;
        userShare = (after.user - before.user) / seconds;
        systemShare = (after.system - before.system) / seconds;
        reads = bridge.readCount() - readsBefore;
    }
    state.counters["cpu_%_of_core"] = (userShare + systemShare) * 100.0;
    state.counters["user_%"] = userShare * 100.0;
    state.counters["system_%"] = systemShare * 100.0;
    // The receiver's reads, each waiting up to the 50 ms read time-out.
    state.counters["vendor_reads/s"] = reads / 10.0;
    protocol.setDevice({});
}
BENCHMARK(BM_IdleThreadCpuShare)->Iterations(1)->Unit(benchmark::kSecond);

BENCHMARK_MAIN();
