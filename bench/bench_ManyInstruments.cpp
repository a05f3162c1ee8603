// Many instruments on one host: 1, 2, 4, 8 and 16 generation II instruments
// on the simulated bus, in real time (pace=real) behind FT232H chips, driven
// through the C API.
//
// Per count: the time from initialise to every instrument ready (openDevices);
// one measurement on all of them at once at the fastest period (10 us, 50000
// samples of both inputs), its wall time against the 500 ms the acquisition
// takes; the library's CPU time per million samples; heap and threads per
// instrument; closeLibrary's time; and a check that every sample arrived and
// reads the input's level. OpenOneByOne gives the time of the same opening
// by each instrument's first export, one after another; FailuresInTheMix
// opens eight with two failing among them. Each figure is the median over the
// iterations.
//
// The simulator works in the threads that call it (an instrument works out its
// samples when the start is written, a chip hands bytes over when read), so
// its CPU time shows in the library's threads. It is measured on its own: the
// same bus driven by a minimal stand-in host, a thread per chip that writes
// the start and reads every byte through the vendor calls the library makes,
// and subtracted. The stand-in's bare reading counts as the simulator's, so
// the library's figure is its work beyond the vendor reads themselves.
#include <benchmark/benchmark.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <time.h>

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QStringList>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "FtdiBackend.h"
#include "FtdiTypes.h"
#include "SimulatedBus.h"
#include "SimulatedBusFactory.h"
#include "SimulatedFtdiChip.h"
#include "VeldrinLib.h"
#if defined(VELDRIN_BENCH_VIRTUAL_USB)
#include <QDir>

#include "VirtualUsbTestbed.h"
#endif

namespace {

constexpr int SampleCount = 50000;
constexpr int FastestPeriodCode = 0; // 10 us
constexpr double AcquisitionMs = SampleCount * 0.010;
constexpr int BothInputs = 3;
// What signal=dc puts on the two inputs, in volts.
constexpr double Level[2] = {1.25, -0.75};

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double cpuMs()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

// Bytes the allocator has handed out and not taken back (0 where unknown).
double heapKb()
{
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 33))
    const struct mallinfo2 info = mallinfo2();
    return double(info.uordblks + info.hblkhd) / 1024.0;
#else
    return 0.0;
#endif
}

int threadCount()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("Threads:"))
            return line.mid(8).trimmed().toInt();
    }
    return 0;
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

std::string busOf(int instruments)
{
    QStringList devices;
    for (int i = 0; i < instruments; ++i)
        devices << QStringLiteral("gen2 chip=8 signal=dc pace=real");
    return devices.join(QStringLiteral("; ")).toStdString();
}

// Samples (over both inputs) missing from each instrument's result, and
// values that do not read the input's level.
struct Check
{
    long long lost = 0;
    long long wrong = 0;
};

Check checkResults(int instruments)
{
    Check check;
    std::vector<double> values(SampleCount);
    for (int device = 1; device <= instruments; ++device) {
        for (int channel = 1; channel <= 2; ++channel) {
            int count = 0;
            if (getResultChecked(device, channel, values.data(), SampleCount, &count) != 0)
                count = 0;
            check.lost += SampleCount - count;
            for (int i = 0; i < count; ++i) {
                if (std::fabs(values[size_t(i)] - Level[channel - 1]) > 0.1)
                    ++check.wrong;
            }
        }
    }
    return check;
}

// One measurement on every instrument at once; returns its wall time in ms.
double measureAll(int instruments)
{
    const Clock::time_point t = Clock::now();
    for (int device = 1; device <= instruments; ++device)
        runMeasurement(device, BothInputs, FastestPeriodCode, SampleCount);
    for (int device = 1; device <= instruments; ++device) {
        bool complete = false;
        waitForMeasurement(device, 10000, &complete);
    }
    return msSince(t);
}

// The stand-in host: per chip, the opening's configuration and the start of
// the application firmware, then (timed) a thread that writes the start of
// the same acquisition and reads until the stream has ended. Returns the CPU
// milliseconds of the timed part and stores the heap the bus holds after it.
double standInCpuMs(int instruments, double &heapPerInstrumentKb)
{
    const double heapBefore = heapKb();
    const std::shared_ptr<SimulatedBus> bus =
        SimulatedBusFactory::build(QString::fromStdString(busOf(instruments)));
    if (!bus)
        return 0.0;
    std::vector<Ftdi::Handle> handles(size_t(instruments), nullptr);
    for (int i = 0; i < instruments; ++i) {
        Ftdi::Handle &h = handles[size_t(i)];
        bus->open(i, &h);
        bus->setBitMode(h, 0xFF, Ftdi::BitModeReset);
        bus->setBitMode(h, 0xFF, Ftdi::BitModeSyncFifo);
        bus->setLatencyTimer(h, 2);
        bus->setUsbParameters(h, 65536, 65536);
        bus->setFlowControl(h, Ftdi::FlowRtsCts, 0, 0);
        bus->setTimeouts(h, 100, 1000);
        bus->purge(h, Ftdi::PurgeRx | Ftdi::PurgeTx);
        const char startFirmware = 0x03;
        std::uint32_t written = 0;
        bus->write(h, &startFirmware, 1, &written);
    }
    // Framed start: 05, id (LE32), command 32, length 13 (LE16), then period
    // code, two ranges, two switches, samples (LE16), option word, mask and
    // three option bytes.
    QByteArray start("\x05\x65\x00\x00\x00", 5);
    start.append(char(32));
    start.append(char(13));
    start.append(char(0));
    start.append(char(FastestPeriodCode));
    start.append(QByteArray(4, '\0'));
    start.append(char(SampleCount & 0xFF));
    start.append(char(SampleCount >> 8));
    start.append(QByteArray(2, '\0'));
    start.append(char(BothInputs));
    start.append(QByteArray(3, '\0'));

    const long long sampleBytes = 2LL * 2 * SampleCount;
    const double cpuBefore = cpuMs();
    std::vector<std::thread> readers;
    for (int i = 0; i < instruments; ++i) {
        readers.emplace_back([&, h = handles[size_t(i)]] {
            std::uint32_t written = 0;
            bus->write(h, start.constData(), std::uint32_t(start.size()), &written);
            std::vector<char> buffer(65536);
            long long total = 0;
            const Clock::time_point begun = Clock::now();
            for (;;) {
                std::uint32_t got = 0;
                if (bus->read(h, buffer.data(), 1, &got) != Ftdi::Ok)
                    return;
                if (got == 0) {
                    // The stream has ended, or never will.
                    if (total >= sampleBytes || msSince(begun) > 10000)
                        return;
                    continue;
                }
                std::uint32_t queued = 0;
                bus->getQueueStatus(h, &queued);
                std::uint32_t more = 0;
                queued = std::min<std::uint32_t>(queued, std::uint32_t(buffer.size()));
                if (queued > 0)
                    bus->read(h, buffer.data(), queued, &more);
                total += 1 + more;
            }
        });
    }
    for (std::thread &reader : readers)
        reader.join();
    const double cpu = cpuMs() - cpuBefore;
    heapPerInstrumentKb = (heapKb() - heapBefore) / instruments;
    for (Ftdi::Handle h : handles)
        bus->close(h);
    return cpu;
}

void ManyInstruments(benchmark::State &state)
{
    const int instruments = int(state.range(0));
    const std::string description = busOf(instruments);
    const double samplesM = double(instruments) * 2 * SampleCount / 1e6;
    std::vector<double> listMs, readyMs, wallMs, cpuPerM, libCpuPerM, simCpuPerM, coreShare, heapOpen,
        heapResult, heapSim, threads, closeMs;
    long long lost = 0, wrong = 0, notOpened = 0;
    for (auto _ : state) {
        const double heapBefore = heapKb();
        const int threadsBefore = threadCount();
        Clock::time_point t = Clock::now();
        useSimulatedBus(description.c_str());
        initialise();
        listMs.push_back(msSince(t));

        t = Clock::now();
        int opened = 0;
        openDevices(&opened);
        readyMs.push_back(msSince(t));
        notOpened += instruments - opened;
        heapOpen.push_back((heapKb() - heapBefore) / instruments);
        threads.push_back(double(threadCount() - threadsBefore) / instruments);

        const double cpuBefore = cpuMs();
        wallMs.push_back(measureAll(instruments));
        const double cpu = cpuMs() - cpuBefore;
        cpuPerM.push_back(cpu / samplesM);
        coreShare.push_back(100.0 * cpu / wallMs.back());

        const Check check = checkResults(instruments);
        lost += check.lost;
        wrong += check.wrong;
        heapResult.push_back((heapKb() - heapBefore) / instruments);

        t = Clock::now();
        closeLibrary();
        closeMs.push_back(msSince(t));

        double simHeap = 0.0;
        const double simCpu = standInCpuMs(instruments, simHeap);
        simCpuPerM.push_back(simCpu / samplesM);
        libCpuPerM.push_back((cpu - simCpu) / samplesM);
        heapSim.push_back(simHeap);
    }
    useFtdiLibrary();

    state.counters["instruments"] = instruments;
    state.counters["list_ms"] = median(listMs);
    state.counters["ready_ms"] = median(readyMs);
    state.counters["acquisition_ms"] = AcquisitionMs;
    state.counters["wall_ms"] = median(wallMs);
    state.counters["wall_over_acquisition"] = median(wallMs) / AcquisitionMs;
    state.counters["cpu_ms_per_Msample"] = median(cpuPerM);
    state.counters["sim_cpu_ms_per_Msample"] = median(simCpuPerM);
    state.counters["lib_cpu_ms_per_Msample"] = median(libCpuPerM);
    state.counters["core_percent"] = median(coreShare);
    state.counters["heap_kB_per_open"] = median(heapOpen);
    state.counters["heap_kB_per_result"] = median(heapResult);
    state.counters["sim_heap_kB_per"] = median(heapSim);
    state.counters["threads_per"] = median(threads);
    state.counters["close_ms"] = median(closeMs);
    state.counters["lost_samples"] = double(lost);
    state.counters["wrong_values"] = double(wrong);
    if (lost != 0 || wrong != 0 || notOpened != 0)
        state.SkipWithError("an instrument did not open, or samples were lost or wrong");
}
BENCHMARK(ManyInstruments)->Arg(1)->Arg(2)->Arg(4)->Arg(8)->Arg(16)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

// The opening before openDevices: each instrument by its first export, one
// after another under the API lock.
void OpenOneByOne(benchmark::State &state)
{
    const int instruments = int(state.range(0));
    const std::string description = busOf(instruments);
    std::vector<double> readyMs;
    for (auto _ : state) {
        useSimulatedBus(description.c_str());
        initialise();
        const Clock::time_point t = Clock::now();
        for (int device = 1; device <= instruments; ++device) {
            bool complete = false;
            isMeasurementComplete(device, &complete);
        }
        readyMs.push_back(msSince(t));
        closeLibrary();
    }
    useFtdiLibrary();
    state.counters["instruments"] = instruments;
    state.counters["ready_ms"] = median(readyMs);
}
BENCHMARK(OpenOneByOne)->Arg(8)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// Opening failures in the mix: eight instruments, the third silent
// (fault=no-reply), the sixth unplugged after listing. Once opened at once,
// and once by each instrument's first export in a session of its own: the
// others open, and each failing one's own export gives what its first export
// gives, for the same reason.
void FailuresInTheMix(benchmark::State &state)
{
    const int instruments = 8, silent = 3, unplugged = 6;
    QStringList devices;
    for (int device = 1; device <= instruments; ++device)
        devices << QStringLiteral("gen2 chip=8 signal=dc pace=real")
                       + (device == silent ? QStringLiteral(" fault=no-reply") : QString());
    const std::string description = devices.join(QStringLiteral("; ")).toStdString();
    const auto startSession = [&] {
        useSimulatedBus(description.c_str());
        initialise();
        std::dynamic_pointer_cast<SimulatedBus>(FtdiBackend::current())
            ->chips()
            .at(unplugged - 1)
            ->setFault(SimulatedFtdiChip::Unplugged);
    };
    const auto statusOf = [](int device) {
        bool complete = false;
        return isMeasurementComplete(device, &complete);
    };
    const auto reasonOf = [](int device) {
        char text[256] = "";
        getLastErrorText(device, text, sizeof text);
        return std::string(text);
    };
    double readyMs = 0.0;
    int opened = 0, othersOpen = 0, sameReasons = 0;
    int lazy[2] = {}, atOnce[2] = {};
    for (auto _ : state) {
        startSession();
        lazy[0] = statusOf(silent);
        lazy[1] = statusOf(unplugged);
        const std::string lazyReasons[2] = {reasonOf(silent), reasonOf(unplugged)};
        closeLibrary();

        startSession();
        const Clock::time_point t = Clock::now();
        openDevices(&opened);
        readyMs = msSince(t);
        sameReasons = int(reasonOf(silent) == lazyReasons[0]) + int(reasonOf(unplugged) == lazyReasons[1]);
        atOnce[0] = statusOf(silent);
        atOnce[1] = statusOf(unplugged);
        othersOpen = 0;
        for (int device = 1; device <= instruments; ++device) {
            if (device != silent && device != unplugged && statusOf(device) == 0)
                ++othersOpen;
        }
        closeLibrary();
    }
    useFtdiLibrary();
    state.counters["opened"] = opened;
    state.counters["others_open"] = othersOpen;
    state.counters["ready_ms"] = readyMs;
    state.counters["silent_status"] = atOnce[0];
    state.counters["silent_first_export_status"] = lazy[0];
    state.counters["unplugged_status"] = atOnce[1];
    state.counters["unplugged_first_export_status"] = lazy[1];
    state.counters["same_reasons"] = sameReasons;
    if (opened != instruments - 2 || othersOpen != instruments - 2 || atOnce[0] != lazy[0]
        || atOnce[1] != lazy[1] || sameReasons != 2)
        state.SkipWithError("failures in the mix did not end as their first exports do");
}
BENCHMARK(FailuresInTheMix)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

#if defined(VELDRIN_BENCH_VIRTUAL_USB)
// CPU milliseconds of the library's own threads so far: the protocol threads
// (QThreads, named so by Qt), the receivers they start (which keep that
// name), the provider's event threads and libusb's own event thread. The
// virtual chips and umockdev run in threads of other names.
double libraryThreadsCpuMs()
{
    double ms = 0.0;
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString &tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks.filePath(tid + QStringLiteral("/comm")));
        QFile schedstat(tasks.filePath(tid + QStringLiteral("/schedstat")));
        if (!comm.open(QIODevice::ReadOnly) || !schedstat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray name = comm.readAll().trimmed();
        if (name == "QThread" || name == "libftdi-events" || name == "libusb_event")
            ms += schedstat.readAll().split(' ').value(0).toDouble() / 1e6;
    }
    return ms;
}

void ManyInstrumentsLibFtdi(benchmark::State &state)
{
    const int instruments = int(state.range(0));
    VirtualUsbTestbed testbed(QString::fromStdString(busOf(instruments)));
    if (!testbed.isValid()) {
        state.SkipWithError(testbed.errorText().toStdString().c_str());
        return;
    }
    const double samplesM = double(instruments) * 2 * SampleCount / 1e6;
    std::vector<double> readyMs, wallMs, libCpuPerM, closeMs;
    long long lost = 0, wrong = 0, notOpened = 0;
    for (auto _ : state) {
        useLibFtdi();
        initialise();
        Clock::time_point t = Clock::now();
        int opened = 0;
        openDevices(&opened);
        readyMs.push_back(msSince(t));
        notOpened += instruments - opened;

        const double cpuBefore = libraryThreadsCpuMs();
        wallMs.push_back(measureAll(instruments));
        libCpuPerM.push_back((libraryThreadsCpuMs() - cpuBefore) / samplesM);

        const Check check = checkResults(instruments);
        lost += check.lost;
        wrong += check.wrong;
        t = Clock::now();
        closeLibrary();
        closeMs.push_back(msSince(t));
    }
    useFtdiLibrary();
    state.counters["instruments"] = instruments;
    state.counters["ready_ms"] = median(readyMs);
    state.counters["acquisition_ms"] = AcquisitionMs;
    state.counters["wall_ms"] = median(wallMs);
    state.counters["wall_over_acquisition"] = median(wallMs) / AcquisitionMs;
    state.counters["lib_threads_cpu_ms_per_Msample"] = median(libCpuPerM);
    state.counters["close_ms"] = median(closeMs);
    state.counters["lost_samples"] = double(lost);
    state.counters["wrong_values"] = double(wrong);
    if (lost != 0 || wrong != 0 || notOpened != 0)
        state.SkipWithError("an instrument did not open, or samples were lost or wrong");
}
BENCHMARK(ManyInstrumentsLibFtdi)->Arg(8)->Arg(16)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
#endif

} // namespace

int main(int argc, char **argv)
{
#if defined(VELDRIN_BENCH_VIRTUAL_USB)
    VirtualUsbTestbed::restartPreloaded(argv);
#endif
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
