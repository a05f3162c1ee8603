// Eight host threads call every export at random, for a bounded time, on two
// instruments that take their real time: a generation I instrument (device 1)
// and a generation II instrument (device 2), whose inputs see fixed voltages
// (input 1 +1.25 V, input 2 -0.75 V). What a run proves:
//
// - no data race (the threaded suites run under ThreadSanitizer) and no
//   deadlock: a watchdog aborts the run, naming every thread's current call,
//   once no call has returned for a while or the run overstays its time;
// - every call returns the status its arguments call for: 0 for valid ones,
//   the argument's own code for the deliberately invalid ones;
// - every result copied out, whoever started the measurement and however many
//   starts overtook it, holds only values of the input it comes from, and
//   never more samples per row, or rows, than some start on that device asked
//   for (the threads only select input ranges that hold both voltages);
// - a thread that owns a device for a while, during which no other thread
//   starts anything on it but all go on setting its outputs and inputs and
//   copying its results, gets exactly its own measurement or sweep: the rows
//   and samples it asked for on the inputs it enabled, nothing on the others.
//
// Re-initialising, with and without closeLibrary, is part of the mix. It
// waits until no other call is in flight, so that the checks need not allow
// for a vanished device list, while the instruments' streams and the
// protocol threads run on through it.
//
// VELDRIN_STRESS_SECONDS sets the run's length (default 12), and
// VELDRIN_STRESS_SEED its random seed (default: from the clock, printed).
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QThread>
#include <QVector>
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <limits>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "SimulatedHost.h"
#include "VeldrinLib.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int HostThreads = 8;
constexpr int GenerationI = 1;
constexpr int GenerationII = 2;
constexpr double Tolerance = 0.02;

double levelOf(int channel)
{
    return channel == 1 ? 1.25 : -0.75;
}

int environmentNumber(const char *name, long fallback)
{
    const char *text = std::getenv(name);
    if (!text || !*text)
        return int(fallback);
    char *end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return (*end == '\0' && value > 0 && value < std::numeric_limits<int>::max()) ? int(value)
                                                                                   : int(fallback);
}

qint64 millisecondsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Failures seen on any thread; the test reports them once the threads are done.
class Findings
{
public:
    void add(const std::string &what)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_count;
        if (m_first.size() < 30)
            m_first.push_back(what);
    }

    int count() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_count;
    }

    std::string report() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::string text;
        for (const std::string &line : m_first)
            text += "  " + line + "\n";
        if (m_count > int(m_first.size()))
            text += "  ... and " + std::to_string(m_count - int(m_first.size())) + " more\n";
        return text;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_first;
    int m_count = 0;
};

// A shared/exclusive gate that lets a waiting exclusive holder in before new
// shared ones (the threads take the shared side in a tight loop).
class Gate
{
public:
    void enterShared()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [&] { return !m_exclusive && m_waiting == 0; });
        ++m_shared;
    }

    bool tryEnterShared()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_exclusive || m_waiting > 0)
            return false;
        ++m_shared;
        return true;
    }

    void leaveShared()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (--m_shared == 0)
            m_changed.notify_all();
    }

    void enterExclusive()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        ++m_waiting;
        m_changed.wait(lock, [&] { return !m_exclusive && m_shared == 0; });
        --m_waiting;
        m_exclusive = true;
    }

    void leaveExclusive()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_exclusive = false;
        m_changed.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_shared = 0;
    int m_waiting = 0;
    bool m_exclusive = false;
};

// Aborts the process, naming what every thread is doing, when no export has
// returned for `stallSeconds` or the run lasts longer than `limitSeconds`: a
// deadlock must fail the test, not hang CI.
class Watchdog
{
public:
    Watchdog(int stallSeconds, int limitSeconds)
        : m_stallMs(stallSeconds * 1000LL), m_limitMs(limitSeconds * 1000LL),
          m_thread([this] { watch(); })
    {
    }

    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stopping = true;
        }
        m_stop.notify_all();
        m_thread.join();
    }

    void began(int thread, const char *call)
    {
        m_slots[thread].since.store(millisecondsSince(m_start));
        m_slots[thread].call.store(call);
    }

    void ended(int thread)
    {
        m_slots[thread].call.store(nullptr);
        m_lastReturn.store(millisecondsSince(m_start));
    }

private:
    struct Slot
    {
        std::atomic<const char *> call{nullptr};
        std::atomic<qint64> since{0};
    };

    void watch()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_stop.wait_for(lock, std::chrono::milliseconds(200), [&] { return m_stopping; })) {
            const qint64 now = millisecondsSince(m_start);
            const bool stalled = now - m_lastReturn.load() > m_stallMs;
            if (!stalled && now <= m_limitMs)
                continue;
            std::fprintf(stderr, "\nWATCHDOG: %s after %lld ms; aborting instead of hanging.\n",
                         stalled ? "no export has returned for too long (deadlock?)"
                                 : "the stress run overstayed its time limit",
                         static_cast<long long>(now));
            for (int i = 0; i < HostThreads; ++i) {
                const char *call = m_slots[i].call.load();
                if (call)
                    std::fprintf(stderr, "  thread %d: in %s for %lld ms\n", i, call,
                                 static_cast<long long>(now - m_slots[i].since.load()));
                else
                    std::fprintf(stderr, "  thread %d: between calls\n", i);
            }
            std::fflush(stderr);
            std::abort();
        }
    }

    const qint64 m_stallMs;
    const qint64 m_limitMs;
    const Clock::time_point m_start = Clock::now();
    std::array<Slot, HostThreads> m_slots;
    std::atomic<qint64> m_lastReturn{0};
    std::mutex m_mutex;
    std::condition_variable m_stop;
    bool m_stopping = false;
    std::thread m_thread; // last: it reads the members above
};

// What the threads know about one device: the largest sample count and point
// count any start has asked for (raised before the start is issued, so a copy
// that reads them afterwards never sees more), and the gate through which a
// thread takes the device for itself.
struct DeviceState
{
    std::atomic<int> maxSamples{0};
    std::atomic<int> maxPoints{1};
    Gate starts;
    std::atomic<int> ownedRuns{0};
};

void raiseTo(std::atomic<int> &value, int candidate)
{
    int current = value.load();
    while (candidate > current && !value.compare_exchange_weak(current, candidate)) {
    }
}

// One export call with its arguments and the status they call for.
struct Call
{
    const char *name;
    std::function<int()> run;
    int expected;
};

class StressRun
{
public:
    StressRun(int seconds, unsigned seed)
        : m_seconds(seconds), m_seed(seed), m_watchdog(30, seconds + 120)
    {
    }

    void run()
    {
        m_start = Clock::now();
        std::vector<std::thread> threads;
        for (int i = 0; i < HostThreads; ++i)
            threads.emplace_back([this, i] { work(i); });
        for (std::thread &thread : threads)
            thread.join();
    }

    Findings findings;
    std::atomic<int> calls{0};
    std::atomic<int> lifecycles{0};
    std::array<DeviceState, 3> devices; // indexed by device number

private:
    // --- helpers -----------------------------------------------------------

    int invoke(int thread, const Call &call)
    {
        m_watchdog.began(thread, call.name);
        const int status = call.run();
        m_watchdog.ended(thread);
        ++calls;
        if (status != call.expected)
            fail(call.name, "returned " + std::to_string(status) + ", expected " +
                                std::to_string(call.expected));
        return status;
    }

    void fail(const char *call, const std::string &what)
    {
        findings.add(std::string(call) + ": " + what);
    }

    static int pick(std::mt19937 &random, int low, int high)
    {
        return std::uniform_int_distribution<int>(low, high)(random);
    }

    static bool chance(std::mt19937 &random, double p)
    {
        return std::uniform_real_distribution<double>(0.0, 1.0)(random) < p;
    }

    template <typename T>
    static const T &oneOf(std::mt19937 &random, const std::vector<T> &choices)
    {
        return choices.at(size_t(pick(random, 0, int(choices.size()) - 1)));
    }

    // Every value of input `channel` near its voltage; names the first that is not.
    void checkValues(const char *call, int device, int channel, const double *values, int count)
    {
        for (int i = 0; i < count; ++i) {
            if (!(std::fabs(values[i] - levelOf(channel)) <= Tolerance)) {
                std::ostringstream text;
                text << "device " << device << " input " << channel << " value " << i << " of "
                     << count << " is " << values[i] << ", expected " << levelOf(channel);
                fail(call, text.str());
                return;
            }
        }
    }

    // --- the calls ---------------------------------------------------------

    // A setter on `device` with valid arguments, or now and then invalid ones
    // with the code they call for.
    Call setter(std::mt19937 &r, int device)
    {
        const bool g2 = device == GenerationII;
        const bool bad = chance(r, 0.2);
        const int dacLimit = g2 ? 4500 : 5000;
        const int channels = g2 ? 2 : 1;
        switch (pick(r, 0, 7)) {
        case 0: {
            int channel = pick(r, 1, channels), duty = pick(r, 0, 100), expected = 0;
            if (bad) {
                if (chance(r, 0.5)) { channel = channels + 1; expected = 11; }
                else { duty = oneOf(r, std::vector<int>{-1, 101}); expected = 12; }
            }
            return {"setPWM", [=] { return setPWM(device, channel, duty); }, expected};
        }
        case 1: {
            int frequency = pick(r, 1, 200000), expected = g2 ? 0 : 10;
            if (g2 && bad) { frequency = oneOf(r, std::vector<int>{0, 200001}); expected = 14; }
            return {"setPWMFrequency", [=] { return setPWMFrequency(device, frequency); }, expected};
        }
        case 2: {
            int channel = pick(r, 1, channels), waveform = pick(r, 0, 2), expected = 0;
            if (bad) {
                if (chance(r, 0.5)) { channel = channels + 1; expected = 16; }
                else { waveform = 3; expected = 15; }
            }
            return {"setDACWaveform", [=] { return setDACWaveform(device, channel, waveform); }, expected};
        }
        case 3: {
            int channel = pick(r, 1, channels), offset = pick(r, -dacLimit, dacLimit), expected = 0;
            if (bad) { offset = dacLimit + 1; expected = 18; }
            return {"setDACOffset", [=] { return setDACOffset(device, channel, offset); }, expected};
        }
        case 4: {
            int channel = pick(r, 1, channels), amplitude = pick(r, -dacLimit, dacLimit), expected = 0;
            if (bad) { amplitude = -dacLimit - 1; expected = 19; }
            return {"setDACAmplitude", [=] { return setDACAmplitude(device, channel, amplitude); }, expected};
        }
        case 5: {
            int channel = pick(r, 1, channels), frequency = pick(r, 10, g2 ? 20000 : 5000), expected = 0;
            if (bad) { frequency = chance(r, 0.5) ? 9 : (g2 ? 20001 : 5001); expected = 20; }
            return {"setDACFrequency", [=] { return setDACFrequency(device, channel, frequency); }, expected};
        }
        case 6: {
            int channel = pick(r, 1, 2), start = pick(r, -4500, 4500), stop = pick(r, -4500, 4500);
            int expected = g2 ? 0 : 10;
            if (g2 && bad) {
                if (chance(r, 0.5)) { channel = 3; expected = 16; }
                else { stop = 4501; expected = 19; }
            }
            return {"setSweepProperties", [=] { return setSweepProperties(device, channel, start, stop); }, expected};
        }
        default: {
            // Ranges 2 and 3 hold both input voltages in either generation.
            int channel = pick(r, 1, 2), range = pick(r, 2, 3), flag = pick(r, 0, 1), expected = 0;
            if (bad) {
                if (chance(r, 0.5)) { channel = oneOf(r, std::vector<int>{0, 3}); expected = 25; }
                else { range = g2 ? 4 : 1; expected = 24; }
            }
            return {"setADCProperties", [=] { return setADCProperties(device, channel, range, flag); }, expected};
        }
        }
    }

    // A measurement or sweep start on `device`; raises the device's limits
    // before it is issued.
    Call starter(std::mt19937 &r, int device)
    {
        DeviceState &state = devices[size_t(device)];
        const bool bad = chance(r, 0.15);
        if (device == GenerationI) {
            const int kind = pick(r, 0, 3);
            if (kind == 1)
                return {"run1DSweepMeasurement", [=] { return run1DSweepMeasurement(device, 3, 6, 10); }, 10};
            if (kind == 2)
                return {"run2DSweepMeasurement", [=] { return run2DSweepMeasurement(device, 3, 6, 10, 3); }, 10};
            int mask = pick(r, 0, 3), period = pick(r, 5, 7), samples = pick(r, 0, 200), expected = 0;
            if (bad) {
                switch (pick(r, 0, 2)) {
                case 0: mask = 4; expected = 21; break;
                case 1: period = 4; expected = 22; break;
                default: samples = 50001; expected = 23; break;
                }
            }
            if (expected == 0)
                raiseTo(state.maxSamples, samples);
            return {"runMeasurement", [=] { return runMeasurement(device, mask, period, samples); }, expected};
        }
        switch (pick(r, 0, 2)) {
        case 0: {
            int mask = pick(r, 0, 3), period = pick(r, 0, 6), samples = pick(r, 2, 300), expected = 0;
            if (bad) {
                switch (pick(r, 0, 2)) {
                case 0: mask = 4; expected = 21; break;
                case 1: period = 17; expected = 22; break;
                default: samples = 1; expected = 23; break;
                }
            }
            if (expected == 0)
                raiseTo(state.maxSamples, samples);
            return {"runMeasurement", [=] { return runMeasurement(device, mask, period, samples); }, expected};
        }
        case 1: {
            int mask = pick(r, 0, 3), period = pick(r, 3, 6), samples = pick(r, 2, 200), expected = 0;
            if (bad) {
                switch (pick(r, 0, 2)) {
                case 0: mask = 7; expected = 21; break;
                case 1: period = 2; expected = 22; break;
                default: samples = 1; expected = 23; break;
                }
            }
            if (expected == 0)
                raiseTo(state.maxSamples, samples);
            return {"run1DSweepMeasurement",
                    [=] { return run1DSweepMeasurement(device, mask, period, samples); }, expected};
        }
        default: {
            int mask = pick(r, 0, 3), period = pick(r, 3, 5), samples = pick(r, 2, 100);
            int points = pick(r, 2, 4), expected = 0;
            if (bad) {
                if (chance(r, 0.5)) { points = 1; expected = 23; }
                else { period = 2; expected = 22; }
            }
            if (expected == 0) {
                raiseTo(state.maxSamples, samples);
                raiseTo(state.maxPoints, points);
            }
            return {"run2DSweepMeasurement",
                    [=] { return run2DSweepMeasurement(device, mask, period, samples, points); }, expected};
        }
        }
    }

    // Copies a result the way a host does and checks it against the limits.
    void copyResults(int thread, std::mt19937 &r, int device, std::vector<double> &buffer)
    {
        DeviceState &state = devices[size_t(device)];
        const int channel = pick(r, 1, 2);
        const int limitBefore = state.maxSamples.load() * state.maxPoints.load();
        std::fill(buffer.begin(), buffer.begin() + limitBefore + 1, std::nan(""));
        if (chance(r, 0.5)) {
            int count = -1;
            invoke(thread, {"getResult", [&] { return getResult(device, channel, &count, buffer.data()); }, 0});
            if (count < 0 || count > state.maxSamples.load())
                fail("getResult", "count " + std::to_string(count) + " above every start's sample count");
            else
                checkValues("getResult", device, channel, buffer.data(), count);
            return;
        }
        int rows = -1, columns = -1;
        invoke(thread, {"get2DResultSizes", [&] { return get2DResultSizes(device, channel, &rows, &columns); }, 0});
        const bool g2 = device == GenerationII;
        if (g2 ? (rows < 0 || rows > state.maxPoints.load() || columns < 0 || columns > state.maxSamples.load())
               : (rows < 0 || rows > state.maxSamples.load() || columns != 0))
            fail("get2DResultSizes", "sizes " + std::to_string(rows) + " x " + std::to_string(columns) +
                                         " beyond what any start asked for");
        invoke(thread, {"get2DResult", [&] { return get2DResult(device, channel, buffer.data()); }, 0});
        // The rows may have grown since the sizes were taken (a sweep goes
        // on); what was written ends at the first untouched value.
        int written = 0;
        while (written <= limitBefore && !std::isnan(buffer[size_t(written)]))
            ++written;
        const int limitAfter = state.maxSamples.load() * state.maxPoints.load();
        if (written > limitBefore && limitAfter == limitBefore)
            fail("get2DResult", "wrote past every start's rows x samples");
        checkValues("get2DResult", device, channel, buffer.data(), std::min(written, limitBefore));
    }

    Call query(std::mt19937 &r, int &count, int &index, bool &complete)
    {
        struct Lookup
        {
            const char *serial;
            int status;
            int index;
        };
        static const Lookup lookups[] = {
            {"SYAH004010001", 0, 1}, {"SYBH008010001", 0, 2}, {"SYAH00401xxxx", 0, 1},
            {"SYBH00801xxxx", 0, 2}, {"SYBH008010002", 6, -1}, {"FT000001", 6, -1},
            {nullptr, 6, -1},
        };
        switch (pick(r, 0, 3)) {
        case 0:
            return {"getDeviceCount", [&] { return getDeviceCount(&count) == 0 && count == 2 ? 0 : -1; }, 0};
        case 1: {
            const Lookup lookup = lookups[pick(r, 0, int(std::size(lookups)) - 1)];
            return {"getDeviceIndex", [&, lookup] {
                        const int status = getDeviceIndex(lookup.serial, &index);
                        return status == lookup.status && index == lookup.index ? status : -1;
                    }, lookup.status};
        }
        case 2: {
            const int device = pick(r, 1, 2);
            return {"isMeasurementComplete", [&, device] { return isMeasurementComplete(device, &complete); }, 0};
        }
        default: {
            // An index outside the list, or a status text.
            if (chance(r, 0.5)) {
                const int device = oneOf(r, std::vector<int>{0, 3, -1});
                return {"isMeasurementComplete", [&, device] { return isMeasurementComplete(device, &complete); }, 1};
            }
            const int status = pick(r, -2, 30);
            return {"getStatusText", [status] { return getStatusText(status) ? 0 : -1; }, 0};
        }
        }
    }

    // The thread takes `device` for itself: no other thread starts anything
    // on it until it has checked its own measurement or sweep.
    void ownedMeasurement(int thread, std::mt19937 &r, int device, std::vector<double> &buffer)
    {
        DeviceState &state = devices[size_t(device)];
        state.starts.enterExclusive();
        for (int channel = 1; channel <= 2; ++channel) {
            const int range = pick(r, 2, 3), flag = pick(r, 0, 1);
            invoke(thread, {"setADCProperties", [=] { return setADCProperties(device, channel, range, flag); }, 0});
        }
        const bool g2 = device == GenerationII;
        const int kind = g2 ? pick(r, 0, 2) : 0;
        const int mask = pick(r, 0, 3);
        const int period = g2 ? (kind == 2 ? pick(r, 3, 5) : pick(r, 3, 6)) : pick(r, 5, 7);
        const int samples = g2 ? pick(r, 2, kind == 2 ? 100 : 300) : pick(r, 0, 200);
        const int points = kind == 2 ? pick(r, 2, 4) : 1;
        raiseTo(state.maxSamples, samples);
        raiseTo(state.maxPoints, points);
        const char *name = kind == 0 ? "runMeasurement" : kind == 1 ? "run1DSweepMeasurement"
                                                                    : "run2DSweepMeasurement";
        const int started = invoke(thread, {name, [=] {
                                                switch (kind) {
                                                case 0: return runMeasurement(device, mask, period, samples);
                                                case 1: return run1DSweepMeasurement(device, mask, period, samples);
                                                default: return run2DSweepMeasurement(device, mask, period, samples, points);
                                                }
                                            }, 0});
        std::ostringstream what;
        what << "device " << device << " " << name << "(" << mask << ", " << period << ", " << samples;
        if (kind == 2)
            what << ", " << points;
        what << ") owned by thread " << thread << ": ";
        if (started == 0 && waitOwned(thread, device, what.str()))
            checkOwned(thread, device, mask, samples, points, what.str(), buffer);
        ++state.ownedRuns;
        state.starts.leaveExclusive();
    }

    bool waitOwned(int thread, int device, const std::string &what)
    {
        const Clock::time_point begin = Clock::now();
        for (;;) {
            bool complete = false;
            if (invoke(thread, {"isMeasurementComplete", [&] { return isMeasurementComplete(device, &complete); }, 0}) != 0)
                return false;
            if (complete)
                return true;
            // The longest owned run takes 0.4 s on the instruments.
            if (millisecondsSince(begin) > 10000) {
                findings.add(what + "never completed");
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    void checkOwned(int thread, int device, int mask, int samples, int points, const std::string &what,
                    std::vector<double> &buffer)
    {
        const bool g2 = device == GenerationII;
        for (int channel = 1; channel <= 2; ++channel) {
            const bool enabled = (mask & channel) != 0;
            const int wantCount = enabled ? samples : 0;
            const int wantRows = g2 ? (enabled ? points : 0) : wantCount;
            const int wantColumns = g2 ? wantCount : 0;
            int rows = -1, columns = -1, count = -1;
            invoke(thread, {"get2DResultSizes", [&] { return get2DResultSizes(device, channel, &rows, &columns); }, 0});
            invoke(thread, {"getResult", [&] { return getResult(device, channel, &count, buffer.data()); }, 0});
            if (rows != wantRows || columns != wantColumns || count != wantCount) {
                std::ostringstream text;
                text << what << "input " << channel << " holds " << rows << " x " << columns << " (row 0: "
                     << count << "), expected " << wantRows << " x " << wantColumns << " (row 0: "
                     << wantCount << ")";
                findings.add(text.str());
                continue;
            }
            checkValues("getResult", device, channel, buffer.data(), count);
            const int total = g2 ? rows * columns : count;
            std::fill(buffer.begin(), buffer.begin() + total + 1, std::nan(""));
            invoke(thread, {"get2DResult", [&] { return get2DResult(device, channel, buffer.data()); }, 0});
            if (std::isnan(buffer[size_t(std::max(total - 1, 0))]) != (total == 0) || !std::isnan(buffer[size_t(total)]))
                findings.add(what + "get2DResult did not write exactly " + std::to_string(total) + " values");
            checkValues("get2DResult", device, channel, buffer.data(), total);
        }
    }

    // Builds the device list anew while no other call is in flight; with
    // closeLibrary first, every call in between finds the library closed.
    void lifecycle(int thread, std::mt19937 &r)
    {
        m_lifecycle.enterExclusive();
        if (chance(r, 0.5)) {
            invoke(thread, {"closeLibrary", [] { return closeLibrary(); }, 0});
            int count = -1;
            invoke(thread, {"getDeviceCount", [&] { return getDeviceCount(&count); }, 5});
            invoke(thread, {"setDACOffset", [] { return setDACOffset(GenerationII, 1, 0); }, 5});
        }
        invoke(thread, {"initialise", [] { return initialise(); }, 0});
        ++lifecycles;
        m_lifecycle.leaveExclusive();
    }

    void work(int thread)
    {
        std::mt19937 random(m_seed + unsigned(thread) * 7919u);
        std::vector<double> buffer(65536);
        int count = 0, index = 0;
        bool complete = false;
        while (millisecondsSince(m_start) < m_seconds * 1000LL) {
            const int roll = pick(random, 0, 999);
            const int device = pick(random, 1, 2);
            if (roll < 3) {
                // At most one rebuild every few seconds: each makes the next
                // call on each device open it again, 650 ms of pauses.
                qint64 last = m_lastLifecycleMs.load();
                const qint64 now = millisecondsSince(m_start);
                if (now - last >= 4000 && m_lastLifecycleMs.compare_exchange_strong(last, now))
                    lifecycle(thread, random);
                continue;
            }
            m_lifecycle.enterShared();
            if (roll < 25) {
                ownedMeasurement(thread, random, device, buffer);
            } else if (roll < 200) {
                // Starts wait for no owner: they are skipped while one holds the device.
                DeviceState &state = devices[size_t(device)];
                if (state.starts.tryEnterShared()) {
                    invoke(thread, starter(random, device));
                    state.starts.leaveShared();
                }
            } else if (roll < 500) {
                invoke(thread, setter(random, device));
            } else if (roll < 800) {
                copyResults(thread, random, device, buffer);
            } else if (roll < 990) {
                invoke(thread, query(random, count, index, complete));
            } else {
                const int bad = oneOf(random, std::vector<int>{0, 3});
                invoke(thread, {"setPWM", [bad] { return setPWM(bad, 1, 50); }, 1});
            }
            m_lifecycle.leaveShared();
        }
    }

    const int m_seconds;
    const unsigned m_seed;
    Clock::time_point m_start;
    Gate m_lifecycle;
    std::atomic<qint64> m_lastLifecycleMs{0};
    Watchdog m_watchdog;
};

class Stress : public SimulatedHostTest
{
};

TEST_F(Stress, EightHostThreadsCallEveryExportAtRandom)
{
    const int seconds = environmentNumber("VELDRIN_STRESS_SECONDS", 12);
    const unsigned seed = unsigned(environmentNumber(
        "VELDRIN_STRESS_SEED", long(std::chrono::system_clock::now().time_since_epoch().count() % 1000000007)));
    std::printf("stress: %d s, seed %u (VELDRIN_STRESS_SEED=%u repeats the choices)\n", seconds, seed, seed);
    ASSERT_EQ(useSimulatedBus("gen1 signal=dc; gen2 signal=dc"), 0);
    ASSERT_EQ(initialise(), 0);
    bool complete = false;
    ASSERT_EQ(isMeasurementComplete(GenerationI, &complete), 0);
    ASSERT_EQ(isMeasurementComplete(GenerationII, &complete), 0);

    StressRun run(seconds, seed);
    run.run();

    std::printf("stress: %d calls, %d owned measurements on device 1 and %d on device 2, %d rebuilds\n",
                run.calls.load(), run.devices[1].ownedRuns.load(), run.devices[2].ownedRuns.load(),
                run.lifecycles.load());
    EXPECT_EQ(run.findings.count(), 0) << run.findings.report();
    // The run proved something only if the owned checks ran on both devices.
    EXPECT_GT(run.devices[1].ownedRuns.load(), 0);
    EXPECT_GT(run.devices[2].ownedRuns.load(), 0);
    EXPECT_GT(run.calls.load(), 1000);
}

// Found by the stress run: the host sets the input range for its next
// measurement while the current one still streams; the rest of the current
// one must still be converted with the range it was measured with.
TEST_F(Stress, AnAcquisitionKeepsTheInputSettingsItWasStartedWith)
{
    ASSERT_EQ(useSimulatedBus("gen1 signal=dc; gen2 signal=dc"), 0);
    ASSERT_EQ(initialise(), 0);
    for (int device = GenerationI; device <= GenerationII; ++device) {
        SCOPED_TRACE(device == GenerationI ? "generation I" : "generation II");
        ASSERT_EQ(setADCProperties(device, 1, 3, 0), 0);
        ASSERT_EQ(runMeasurement(device, 3, 6, 600), 0); // 0.6 s
        QThread::msleep(250);
        ASSERT_EQ(setADCProperties(device, 1, 2, 1), 0);
        ASSERT_EQ(waitForCompletion(device, 5000), 0);
        for (int channel = 1; channel <= 2; ++channel) {
            QVector<double> values(600);
            int count = 0;
            ASSERT_EQ(getResult(device, channel, &count, values.data()), 0);
            ASSERT_EQ(count, 600);
            for (int i = 0; i < count; ++i)
                ASSERT_NEAR(values[i], levelOf(channel), Tolerance) << "input " << channel << " sample " << i;
        }
    }
}

// Found by the stress run under ThreadSanitizer: hosts copy results while the
// protocol thread appends samples to the same rows. Each copy grows with the
// stream and holds only the input's voltage.
TEST_F(Stress, ResultsCopiedWhileSamplesArrive)
{
    ASSERT_EQ(useSimulatedBus("gen1 signal=dc; gen2 signal=dc"), 0);
    ASSERT_EQ(initialise(), 0);
    QVector<double> values(50000);
    for (int device = GenerationI; device <= GenerationII; ++device) {
        SCOPED_TRACE(device == GenerationI ? "generation I" : "generation II");
        // 1000 samples on both inputs: half a second on generation I, a tenth
        // on generation II.
        ASSERT_EQ(runMeasurement(device, 3, device == GenerationI ? 5 : 3, 1000), 0);
        int last = 0, copies = 0;
        bool complete = false;
        while (!complete) {
            ASSERT_EQ(isMeasurementComplete(device, &complete), 0);
            for (int channel = 1; channel <= 2; ++channel) {
                int count = -1;
                ASSERT_EQ(getResult(device, channel, &count, values.data()), 0);
                if (channel == 1) {
                    ASSERT_GE(count, last);
                    last = count;
                }
                for (int i = 0; i < count; ++i)
                    ASSERT_NEAR(values[i], levelOf(channel), Tolerance);
                ASSERT_EQ(get2DResult(device, channel, values.data()), 0);
                ++copies;
            }
        }
        EXPECT_EQ(last, 1000);
        EXPECT_GT(copies, 10);
    }
}

// Found by the stress run: initialise while instruments are open. The new
// device list reads every instrument's information record, which an
// instrument still open in the old list cannot give; its serial number must
// still be found afterwards.
TEST_F(Stress, InitialiseAgainKeepsTheIdentityOfOpenInstruments)
{
    ASSERT_EQ(useSimulatedBus("gen1 signal=dc pace=fast; gen2 signal=dc pace=fast"), 0);
    ASSERT_EQ(initialise(), 0);
    bool complete = false;
    ASSERT_EQ(isMeasurementComplete(GenerationII, &complete), 0);
    ASSERT_EQ(initialise(), 0);
    int index = 0;
    EXPECT_EQ(getDeviceIndex("SYAH004010001", &index), 0);
    EXPECT_EQ(index, GenerationI);
    EXPECT_EQ(getDeviceIndex("SYBH008010001", &index), 0);
    EXPECT_EQ(index, GenerationII);
    ASSERT_EQ(runMeasurement(GenerationII, 3, 3, 100), 0);
    ASSERT_EQ(waitForCompletion(GenerationII, 5000), 0);
}

} // namespace
