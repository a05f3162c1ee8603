// veldrin: drives Veldrin instruments from the command line through the
// library's C interface, on real hardware (FTDI D2XX or libftdi1) or on the
// simulated bus. Data goes to standard output (or --output FILE); everything
// said about it (summaries, progress, notes, errors) goes to standard error.
#include "VeldrinLib.h"

#include "Doctor.h"
#include "MeasurementFile.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cerrno>
#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Json = nlohmann::ordered_json;

// Exit statuses: a usage error, a failure, and Ctrl-C (128 + SIGINT, as
// shells report it).
constexpr int usageExit = 2;
constexpr int failureExit = 1;
constexpr int interruptedExit = 130;

// Set by Ctrl-C; the waits and the device loop look at it. The handler does
// nothing else but restore the default, so a second Ctrl-C ends the tool at
// once.
volatile std::sig_atomic_t interrupted = 0;

extern "C" void onInterrupt(int)
{
    interrupted = 1;
    std::signal(SIGINT, SIG_DFL);
}

// Seconds between two samples for each period code.
const double periodSeconds[] = {0.00001, 0.00002, 0.00005, 0.0001, 0.0002, 0.0005, 0.001, 0.002, 0.005,
                                0.01,    0.02,    0.05,    0.1,    0.2,    0.5,    1.0,   2.0};

std::string libraryVersion()
{
    int major = 0, minor = 0, patch = 0;
    getLibraryVersion(&major, &minor, &patch);
    return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
}

std::string versionText()
{
    int major = 0, minor = 0, patch = 0;
    getLibraryVersion(&major, &minor, &patch);
    std::ostringstream text;
    text << "veldrin " << VELDRIN_VERSION_MAJOR << "." << VELDRIN_VERSION_MINOR << "." << VELDRIN_VERSION_PATCH
         << " (VeldrinLib " << major << "." << minor << "." << patch << ")";
    return text.str();
}

bool stderrIsTerminal()
{
#if defined(_WIN32)
    return ::_isatty(2) != 0;
#else
    return ::isatty(2) != 0;
#endif
}

std::string utcNow()
{
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
#if defined(_WIN32)
    gmtime_s(&parts, &now);
#else
    gmtime_r(&now, &parts);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

// A text the library writes into the caller's buffer, asked again with a
// larger one while it is too small; empty when the call fails.
template <typename Read>
std::string libraryText(Read read)
{
    std::vector<char> text(256);
    for (;;) {
        const int status = read(text.data(), static_cast<int>(text.size()));
        if (status == VELDRIN_BUFFER_TOO_SMALL && text.size() < 65536) {
            text.resize(text.size() * 4);
            continue;
        }
        return status == VELDRIN_OK ? std::string(text.data()) : std::string();
    }
}

// The instrument's own account of its last failure; empty when it has none.
std::string lastErrorText(int device)
{
    return libraryText([device](char *text, int capacity) { return getLastErrorText(device, text, capacity); });
}

// Why the last provider selection failed.
std::string libraryErrorText() { return libraryText(getLibraryErrorText); }

// Reports a failing status, with the instrument's last error text when the
// call named one, and tells the caller whether to go on.
bool check(int status, const char *what, int device = 0)
{
    if (status == VELDRIN_OK)
        return true;
    std::cerr << "veldrin: " << what << ": " << status << " (" << getStatusText(status) << ")";
    const std::string reason = device > 0 ? lastErrorText(device) : std::string();
    if (!reason.empty())
        std::cerr << ": " << reason;
    std::cerr << "\n";
    return false;
}

struct Identity
{
    std::string serial;
    int generation = 0;
    int firmware = 0;
};

Identity identityOf(int device)
{
    Identity identity;
    char serial[64] = "";
    if (getDeviceSerialNumber(device, serial, sizeof serial) == VELDRIN_OK)
        identity.serial = serial;
    getDeviceGeneration(device, &identity.generation);
    getFirmwareVersion(device, &identity.firmware);
    return identity;
}

// Draws "[#####.....]  45%  900/2000 values" on standard error, over itself.
class ProgressBar
{
public:
    explicit ProgressBar(bool enabled) : m_enabled(enabled) {}
    ~ProgressBar() { finish(); }

    void show(long long received, long long expected, const char *unit)
    {
        if (!m_enabled || expected <= 0)
            return;
        const int width = 30;
        const double share = std::min(1.0, double(received) / double(expected));
        const int filled = static_cast<int>(share * width);
        std::string bar(static_cast<size_t>(filled), '#');
        bar.append(static_cast<size_t>(width - filled), '.');
        char line[128];
        std::snprintf(line, sizeof line, "\r[%s] %3d%%  %lld/%lld %s", bar.c_str(),
                      static_cast<int>(share * 100.0), received, expected, unit);
        std::cerr << line << std::flush;
        m_drawn = true;
    }
    // Ends the bar's line.
    void finish()
    {
        if (m_drawn)
            std::cerr << "\n" << std::flush;
        m_drawn = false;
    }

private:
    bool m_enabled;
    bool m_drawn = false;
};

// What the command line asked for.
struct Request
{
    // Provider
    std::string simulated;
    bool simulatedGiven = false;
    bool libftdi = false;
    bool ftdi = false;
    int device = 0;

    // measure, sweep1d, sweep2d
    std::string kind;
    int channels = 3;
    int period = 8;
    int samples = 1000;
    int range = 3;
    bool rangeGiven = false;
    int start = -1000, stop = 1000, start2 = -1000, stop2 = 1000;
    int points = 5;
    std::string output;
    double timeout = 0;
    bool timeoutGiven = false;
    bool json = false;
    bool noProgress = false;
    bool raw = false;

    // dac
    int dacChannel = 1;
    CLI::Option *waveform = nullptr, *amplitude = nullptr, *offset = nullptr, *dacFrequency = nullptr;
    int waveformValue = 0, amplitudeValue = 0, offsetValue = 0, dacFrequencyValue = 0;
    // pwm
    int pwmChannel = 1;
    int duty = 0;
    CLI::Option *pwmFrequency = nullptr;
    int pwmFrequencyValue = 0;

    std::string providerName() const
    {
        if (simulatedGiven)
            return "the simulated bus";
        return libftdi ? "libftdi1" : "FTDI's D2XX library";
    }
};

// What a simulated bus description names: its plain FTDI chips (the `ftdi`
// entries; `demo` has one), its instruments, and the serial numbers given to
// them that are no instrument's (the library lists only instruments whose
// serial number is one).
struct DescribedBus
{
    int plainChips = 0;
    int instruments = 0;
    std::vector<std::string> foreignSerials;
};

DescribedBus describeSimulatedBus(const std::string &description)
{
    static const std::regex instrumentSerial("SY[AB][HP][0-9]{5}([0-9]{4}|XXXX)?", std::regex::icase);
    DescribedBus bus;
    std::stringstream entries(description);
    std::string entry;
    while (std::getline(entries, entry, ';')) {
        std::stringstream words(entry);
        std::string kind, word;
        words >> kind;
        if (kind == "demo") {
            ++bus.plainChips;
            bus.instruments += 2;
        } else if (kind == "ftdi") {
            ++bus.plainChips;
        } else if (kind == "gen1" || kind == "gen2") {
            ++bus.instruments;
            while (words >> word)
                if (word.compare(0, 7, "serial=") == 0 && !std::regex_match(word.substr(7), instrumentSerial))
                    bus.foreignSerials.push_back(word.substr(7));
        }
    }
    return bus;
}

// Why a simulated bus lists no instrument.
std::string whyNoSimulatedInstrument(const DescribedBus &bus)
{
    if (bus.instruments == 0)
        return "the description names no gen1 or gen2 device";
    if (!bus.foreignSerials.empty()) {
        std::string serials;
        for (const std::string &serial : bus.foreignSerials)
            serials += (serials.empty() ? "\"" : ", \"") + serial + "\"";
        return "serial number " + serials + " is no instrument's: one is SY, A or B, H or P, a three-digit model, "
               "a two-digit revision and optionally a four-digit unit, such as SYBH008010001";
    }
    return "the description's instruments did not list";
}

int commandList(const Request &request)
{
    int count = 0;
    if (!check(getDeviceCount(&count), "getDeviceCount"))
        return failureExit;
    // Every instrument opens at once (each waits out its own pauses), so the
    // loop below finds them ready; one that failed reports why there.
    int opened = 0;
    if (!check(openDevices(&opened), "openDevices"))
        return failureExit;
    Json devices = Json::array();
    std::vector<std::string> uncalibrated;
    for (int index = 1; index <= count && !interrupted; ++index) {
        const Identity identity = identityOf(index);
        // Opens the instrument (and checks its firmware) and reads its calibration.
        int calibration = -1;
        const int status = getCalibrationState(index, &calibration);
        const std::string reason = status == VELDRIN_OK ? std::string() : lastErrorText(index);
        const char *calibrationText = status != VELDRIN_OK ? "-"
            : calibration == VELDRIN_CALIBRATION_STORED     ? "stored"
                                                            : "missing";
        if (status == VELDRIN_OK && calibration != VELDRIN_CALIBRATION_STORED)
            uncalibrated.push_back(identity.serial);
        Json device = {{"index", index},
                       {"serial", identity.serial},
                       {"generation", identity.generation},
                       {"firmware", identity.firmware},
                       {"opens", status == VELDRIN_OK},
                       {"calibration", status == VELDRIN_OK ? Json(calibrationText) : Json(nullptr)},
                       {"status", status},
                       {"status_text", getStatusText(status)},
                       {"last_error", reason}};
        devices.push_back(device);
    }
    if (interrupted)
        return interruptedExit;

    const DescribedBus bus = describeSimulatedBus(request.simulated);
    const int others = request.simulatedGiven ? bus.plainChips : otherFtdiChips();
    if (request.json) {
        std::cout << Json{{"provider", request.providerName()}, {"devices", devices},
                          {"other_ftdi_devices", others}}
                         .dump(2)
                  << "\n";
    } else {
        std::cout << count << (count == 1 ? " device\n" : " devices\n");
        if (count > 0)
            std::cout << "  index  serial number     generation  firmware  calibration  opens\n";
        for (const Json &d : devices) {
            const int generation = d["generation"];
            char line[128];
            std::snprintf(line, sizeof line, "  %-5d  %-16s  %-10s  %-8d  %-11s  ", d["index"].get<int>(),
                          d["serial"].get<std::string>().c_str(),
                          generation == 1 ? "I" : generation == 2 ? "II" : "?", d["firmware"].get<int>(),
                          d["calibration"].is_null() ? "-" : d["calibration"].get<std::string>().c_str());
            std::cout << line;
            if (d["opens"])
                std::cout << "yes\n";
            else
                std::cout << "no: " << d["status_text"].get<std::string>() << " (" << d["status"].get<int>() << ")"
                          << (d["last_error"].get<std::string>().empty() ? "" : ": ")
                          << d["last_error"].get<std::string>() << "\n";
        }
    }
    for (const std::string &serial : uncalibrated)
        std::cerr << "note: " << serial << " holds no calibration: its values use nominal factors and can be off "
                     "by a few percent\n";
    if (others > 0)
        std::cerr << "note: " << others << " other FTDI device" << (others == 1 ? " is" : "s are")
                  << " on the bus but not listed: only chips whose serial number starts with SY are instruments\n";
    if (count == 0) {
        std::cerr << "note: " << request.providerName() << " found no instrument";
        if (request.simulatedGiven) {
            std::cerr << ": " << whyNoSimulatedInstrument(bus) << " (see " << documentationFolder()
                      << "/simulated-bus.md)\n";
        } else {
            std::cerr << "\n";
            for (const std::string &line :
                 explainNoInstruments(request.libftdi ? UsbProvider::LibFtdi : UsbProvider::D2xx))
                std::cerr << "  " << line << "\n";
            std::cerr << "  `veldrin " << (request.libftdi ? "--libftdi " : "") << "doctor` checks this machine "
                      << "and prints the fixes\n";
        }
    }
    return 0;
}

int commandFind(const std::string &serial)
{
    int index = -1;
    if (!check(getDeviceIndex(serial.c_str(), &index), "getDeviceIndex"))
        return failureExit;
    std::cout << index << "\n";
    return 0;
}

bool applyDac(const Request &r, Json &applied)
{
    const int device = r.device, channel = r.dacChannel;
    if (r.waveform->count() && !check(setDACWaveform(device, channel, r.waveformValue), "setDACWaveform", device))
        return false;
    if (r.amplitude->count() && !check(setDACAmplitude(device, channel, r.amplitudeValue), "setDACAmplitude", device))
        return false;
    if (r.offset->count() && !check(setDACOffset(device, channel, r.offsetValue), "setDACOffset", device))
        return false;
    if (r.dacFrequency->count()
        && !check(setDACFrequency(device, channel, r.dacFrequencyValue), "setDACFrequency", device))
        return false;
    Json dac = {{"channel", channel}};
    if (r.waveform->count())
        dac["waveform"] = r.waveformValue;
    if (r.amplitude->count())
        dac["amplitude_mv"] = r.amplitudeValue;
    if (r.offset->count())
        dac["offset_mv"] = r.offsetValue;
    if (r.dacFrequency->count())
        dac["frequency_hz"] = r.dacFrequencyValue;
    applied["dac"] = dac;
    std::cerr << "DAC " << channel << " of device " << device << " set\n";
    return true;
}

bool applyPwm(const Request &r, Json &applied)
{
    const int device = r.device;
    if (r.pwmFrequency->count()
        && !check(setPWMFrequency(device, r.pwmFrequencyValue), "setPWMFrequency", device))
        return false;
    if (!check(setPWM(device, r.pwmChannel, r.duty), "setPWM", device))
        return false;
    Json pwm = {{"channel", r.pwmChannel}, {"duty_percent", r.duty}};
    if (r.pwmFrequency->count())
        pwm["frequency_hz"] = r.pwmFrequencyValue;
    applied["pwm"] = pwm;
    std::cerr << "PWM " << r.pwmChannel << " of device " << device << " set\n";
    return true;
}

// Copies what has arrived of one row (sweep point) of a channel: the copy
// checks the buffer's size and asks again when more came meanwhile. Returns
// the status; values is empty unless it is 0.
int fetchRow(int device, int channel, int row, std::vector<double> &values)
{
    if (values.empty())
        values.resize(1024);
    for (;;) {
        int count = 0;
        const int status =
            get2DResultRow(device, channel, row, values.data(), static_cast<int>(values.size()), &count);
        if (status == VELDRIN_BUFFER_TOO_SMALL && count > static_cast<int>(values.size())) {
            values.resize(static_cast<size_t>(count));
            continue;
        }
        values.resize(status == VELDRIN_OK ? static_cast<size_t>(count) : 0);
        return status;
    }
}

// Minimum, mean and maximum of what one channel wrote, for the summary.
struct ChannelSummary
{
    int channel = 0;
    size_t count = 0;
    double minimum = 0, maximum = 0, sum = 0;

    void add(const std::vector<double> &values)
    {
        for (double v : values) {
            if (count == 0 || v < minimum) minimum = v;
            if (count == 0 || v > maximum) maximum = v;
            sum += v;
            ++count;
        }
    }
};

// How a measurement ended: complete, cut short (Ctrl-C, time-out, a
// measurement the library could not hold), or failed.
enum class Ended { Complete, Interrupted, TimedOut, Failed };

// The sample count, period and points of a measurement, and the time-out a
// run gets by default: its nominal duration, a quarter more and ten seconds
// for the transfers and the instrument's own pauses.
double nominalSeconds(const Request &r)
{
    const int points = r.kind == "sweep2d" ? r.points : 1;
    return double(r.samples) * periodSeconds[r.period] * double(points);
}

double defaultTimeout(const Request &r) { return nominalSeconds(r) * 1.25 + 10.0; }

// Takes each row as it completes, writes it and lets the library release it,
// so that memory stays bounded at any size and the file holds every completed
// point whatever ends the run.
Ended streamRows(const Request &r, const std::vector<int> &channels, int points, MeasurementFile &file,
                 std::vector<ChannelSummary> &summaries)
{
    using Clock = std::chrono::steady_clock;
    const int device = r.device;
    const auto began = Clock::now();
    const double timeout = r.timeoutGiven ? r.timeout : defaultTimeout(r);
    const auto deadline = began + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeout));
    const auto since = [&began] { return std::chrono::duration<double>(Clock::now() - began).count(); };
    ProgressBar bar(!r.noProgress && stderrIsTerminal());
    std::vector<std::vector<double>> values(channels.size());
    int next = 0;             // the first row not written yet
    double previousSeen = 0;  // when the row before `next` was seen complete
    // A completed row must copy; of the row running when the run was cut
    // short, whatever arrived is written (nothing when it never began).
    const auto writeRow = [&](int row, double start, bool partial) {
        for (size_t i = 0; i < channels.size(); ++i) {
            const int status = fetchRow(device, channels[i], row, values[i]);
            if (status != VELDRIN_OK && !partial)
                return check(status, "get2DResultRow", device);
        }
        if (std::all_of(values.begin(), values.end(), [](const std::vector<double> &v) { return v.empty(); }))
            return true;
        for (size_t i = 0; i < channels.size(); ++i)
            summaries[i].add(values[i]);
        if (!file.appendPoint(row, start, values)) {
            std::cerr << "veldrin: writing " << (r.output.empty() ? "standard output" : r.output) << " failed: "
                      << std::strerror(errno) << "\n";
            return false;
        }
        return true;
    };

    Ended ended = Ended::Failed;
    for (;;) {
        int completed = 0;
        // Short waits, so that Ctrl-C and the progress bar are answered promptly.
        const int status = waitForCompletedRows(device, next + 1, 100, &completed);
        if (status != VELDRIN_OK && status != VELDRIN_OUT_OF_MEMORY) {
            check(status, "waitForCompletedRows", device);
            break;
        }
        const double seen = since();
        bool written = true;
        while (written && next < completed && !interrupted) {
            written = writeRow(next, previousSeen, false);
            previousSeen = seen;
            ++next;
            written = written && check(releaseResultRows(device, next), "releaseResultRows", device);
        }
        if (!written)
            return Ended::Failed;
        // A measurement of one row shows its values, a sweep its points.
        if (seen > 0.5) {
            int received = 0, expected = 0;
            if (points > 1)
                bar.show(next, points, "points");
            else if (getMeasurementProgress(device, &received, &expected) == VELDRIN_OK)
                bar.show(received, expected, "values");
        }
        if (status == VELDRIN_OUT_OF_MEMORY) {
            check(status, "the measurement", device);
            ended = Ended::Interrupted;
            break;
        }
        if (next >= points) {
            ended = Ended::Complete;
            break;
        }
        if (interrupted) {
            ended = Ended::Interrupted;
            break;
        }
        if (Clock::now() > deadline) {
            ended = Ended::TimedOut;
            break;
        }
    }
    bar.finish();
    if (ended == Ended::TimedOut)
        std::cerr << "veldrin: the measurement did not complete within " << timeout
                  << " s (--timeout SECONDS allows longer)\n";
    // Cut short, a measurement of one row keeps what arrived of it; a sweep
    // keeps its completed points (the one running is left out, so that Ctrl-C
    // is not kept waiting for a point's copy).
    if (ended != Ended::Complete && points == 1 && !writeRow(next, previousSeen, true))
        return Ended::Failed;
    return ended;
}

int commandMeasure(const Request &r, Json applied, std::ostream &out)
{
    const int device = r.device;
    const Identity identity = identityOf(device);
    const int mask = r.channels;
    std::vector<int> channels;
    for (int channel = 1; channel <= 2; ++channel)
        if (mask & (1 << (channel - 1)))
            channels.push_back(channel);
    if (!check(setSpikeFilter(device, !r.raw), "setSpikeFilter", device))
        return failureExit;
    // An instrument measures on range 3 until told otherwise, so that is what
    // the file records when --range is not given.
    if (r.rangeGiven)
        for (int channel : channels)
            if (!check(setADCProperties(device, channel, r.range, 0), "setADCProperties", device))
                return failureExit;
    if (r.kind != "measure" && !check(setSweepProperties(device, 1, r.start, r.stop), "setSweepProperties", device))
        return failureExit;
    if (r.kind == "sweep2d" && !check(setSweepProperties(device, 2, r.start2, r.stop2), "setSweepProperties", device))
        return failureExit;
    int calibration = VELDRIN_CALIBRATION_DEFAULTS;
    if (!check(getCalibrationState(device, &calibration), "getCalibrationState", device))
        return failureExit;

    const int points = r.kind == "sweep2d" ? r.points : 1;
    Json metadata = {{"device", device},
                     {"serial_number", identity.serial},
                     {"generation", identity.generation},
                     {"firmware", identity.firmware},
                     {"kind", r.kind},
                     {"period_code", r.period},
                     {"period_s", periodSeconds[r.period]},
                     {"samples_per_channel", r.samples},
                     {"points", points},
                     {"channels", channels},
                     {"adc_range", r.range},
                     {"spike_filter", !r.raw},
                     {"calibration", calibration == VELDRIN_CALIBRATION_STORED ? "stored" : "missing (nominal factors)"},
                     {"started_utc", ""},
                     {"library_version", libraryVersion()},
                     {"tool", versionText()},
                     {"provider", r.providerName() + (r.simulatedGiven ? ": " + r.simulated : "")}};
    MeasurementFile::Layout layout;
    layout.channels = channels;
    layout.periodSeconds = periodSeconds[r.period];
    if (r.kind != "measure") {
        metadata["dac1_sweep_mv"] = {r.start, r.stop};
        for (int k = 0; k < r.samples; ++k)
            layout.dac1Volts.push_back((r.start + (r.stop - r.start) * double(k) / double(std::max(1, r.samples - 1)))
                                       / 1000.0);
    }
    if (r.kind == "sweep2d") {
        metadata["dac2_sweep_mv"] = {r.start2, r.stop2};
        for (int p = 0; p < r.points; ++p)
            layout.dac2Volts.push_back((r.start2 + (r.stop2 - r.start2) * double(p) / double(std::max(1, r.points - 1)))
                                       / 1000.0);
        metadata["dac2_setpoints_v"] = layout.dac2Volts;
        layout.pointStarts = true;
    }
    for (const auto &item : applied.items())
        metadata[item.key()] = item.value();
    if (calibration != VELDRIN_CALIBRATION_STORED)
        std::cerr << "note: " << identity.serial << " holds no calibration: its values use nominal factors and can "
                     "be off by a few percent\n";

    metadata["started_utc"] = utcNow();
    int status;
    if (r.kind == "measure")
        status = runMeasurement(device, mask, r.period, r.samples);
    else if (r.kind == "sweep1d")
        status = run1DSweepMeasurement(device, mask, r.period, r.samples);
    else
        status = run2DSweepMeasurement(device, mask, r.period, r.samples, r.points);
    if (!check(status, r.kind.c_str(), device))
        return failureExit;

    const std::string target = r.output.empty() ? "standard output" : r.output;
    MeasurementFile file(out, MeasurementFile::formatFor(r.output, r.json), layout);
    if (!file.begin(metadata)) {
        std::cerr << "veldrin: writing " << target << " failed: " << std::strerror(errno) << "\n";
        return failureExit;
    }
    std::vector<ChannelSummary> summaries(channels.size());
    for (size_t i = 0; i < channels.size(); ++i)
        summaries[i].channel = channels[i];
    const Ended ended = streamRows(r, channels, points, file, summaries);
    if (!file.finish(ended == Ended::Complete)) {
        std::cerr << "veldrin: writing " << target << " failed: " << std::strerror(errno) << "\n";
        return failureExit;
    }
    const size_t written = file.pointsWritten();
    if (!r.output.empty())
        std::cerr << "wrote " << file.rowsWritten() << " rows (" << written << (written == 1 ? " point" : " points")
                  << ") to " << r.output << "\n";
    for (const ChannelSummary &s : summaries) {
        std::cerr << "channel " << s.channel << ": " << s.count << " samples";
        if (s.count)
            std::cerr << ", min " << s.minimum << " V, mean " << s.sum / double(s.count) << " V, max " << s.maximum
                      << " V";
        std::cerr << "\n";
    }
    switch (ended) {
    case Ended::Complete:
        return 0;
    case Ended::Interrupted:
        if (!interrupted)
            return failureExit;
        std::cerr << "veldrin: interrupted; what arrived was written, marked incomplete (complete: false)\n";
        return interruptedExit;
    case Ended::TimedOut:
        std::cerr << "veldrin: what arrived was written, marked incomplete (complete: false)\n";
        return failureExit;
    default:
        return failureExit;
    }
}


} // namespace

int main(int argc, char **argv)
{
    Request r;
    CLI::App app("veldrin: lists and drives Veldrin measurement instruments on FTDI USB chips, or the "
                 "simulated ones of the library's built-in bus.",
                 "veldrin");
    app.set_version_flag("--version", versionText());
    // The options of the main command are understood anywhere on the line,
    // also after a subcommand.
    app.fallthrough();
    app.require_subcommand(1, 3);
    auto *simulated = app.add_option("--simulated", r.simulated,
                                     "the built-in simulated bus with the devices DESCRIPTION names, e.g. \"demo\", "
                                     "\"gen2 signal=sine pace=real\" (see simulated-bus.md)")
                          ->type_name("DESCRIPTION");
    auto *ftdi = app.add_flag("--ftdi", r.ftdi, "FTDI's D2XX library, libftd2xx.so (the default)");
    auto *libftdi = app.add_flag("--libftdi", r.libftdi, "the open-source libftdi1 (libftdi1.so.2) instead");
    simulated->excludes(ftdi)->excludes(libftdi);
    ftdi->excludes(libftdi);
    app.add_option("--device", r.device, "the instrument's index in `veldrin list`")
        ->check(CLI::PositiveNumber)
        ->type_name("N");
    app.footer("Simulated bus: DESCRIPTION is entries separated by ';', each a kind (gen1, gen2,\n"
               "ftdi) with settings such as serial=..., signal=sine|dc|loopback|noise,\n"
               "pace=real|fast (real: the instruments take their real time; fast: every answer\n"
               "at once) and fault=no-calibration; \"demo\" is one instrument of each generation\n"
               "and a plain FTDI chip. See simulated-bus.md and simulated-instruments.md in\n" +
               documentationFolder() + " (real hardware: hardware-linux.md there;\n"
               "units, codes and ranges: the header VeldrinLib.h).\n\n"
               "Data goes to standard output or --output; messages, notes and the progress bar\n"
               "to standard error. Settings may precede one measurement in the same run:\n"
               "  veldrin --simulated demo --device 2 dac --amplitude 1000 measure --samples 100\n"
               "Exit status: 0 success, 1 failure, 2 usage error, 130 interrupted (Ctrl-C).");

    const std::string commandFooter =
        "The main options apply here too, anywhere on the line: --device N (which instrument),\n"
        "--simulated DESCRIPTION, --ftdi, --libftdi. veldrin --help describes them.";
    auto *list = app.add_subcommand("list", "the instruments: index, serial number, generation, firmware, "
                                            "calibration and whether each opens");
    list->add_flag("--json", r.json, "machine-readable output");

    std::string serial;
    auto *find = app.add_subcommand("find", "the index of the instrument with that serial number");
    find->add_option("SERIAL", serial, "9 or 13 characters; xxxx as the last four matches any unit")->required();

    std::vector<CLI::App *> measurements;
    std::vector<CLI::Option *> rangeOptions, timeoutOptions;
    for (const char *name : {"measure", "sweep1d", "sweep2d"}) {
        const std::string kind = name;
        const char *what = kind == "measure" ? "one acquisition of the selected inputs"
            : kind == "sweep1d"              ? "DAC 1 ramps from --start to --stop across the acquisition (gen II)"
                                             : "the DAC 1 ramp repeated at --points set-points of DAC 2 (gen II)";
        CLI::App *command = app.add_subcommand(name, what);
        command->add_option("--channels", r.channels, "inputs: 1, 2 or 3 (both)")->capture_default_str()->check(CLI::Range(1, 3));
        command->add_option("--period", r.period, "period code, 0 (10 us) to 16 (2 s); 6 is 1 ms, 8 is 5 ms")
            ->capture_default_str()->check(CLI::Range(0, 16));
        command->add_option("--samples", r.samples, "samples per channel (and point), up to 50000")
            ->capture_default_str()->check(CLI::Range(0, 50000));
        rangeOptions.push_back(command->add_option("--range", r.range,
                            "ADC range of the measured inputs: gen I 2 (2.5 V) or 3 (20 V); gen II 0 (0.1 V), "
                            "1 (0.4 V), 2 (2 V), 3 (10 V)")->capture_default_str()->check(CLI::Range(0, 3)));
        command->add_option("--output", r.output,
                            "write the data to FILE, point by point (JSON Lines when it ends in .json or .jsonl)")
            ->type_name("FILE");
        timeoutOptions.push_back(command->add_option("--timeout", r.timeout,
                            "stop after SECONDS, keeping what arrived (default: the measurement's own duration, "
                            "a quarter more and 10 s)")
            ->check(CLI::Range(0.001, 1e7))
            ->type_name("SECONDS"));
        command->add_flag("--json", r.json, "JSON Lines instead of CSV");
        command->add_flag("--no-progress", r.noProgress, "no progress bar (drawn only on a terminal)");
        command->add_flag("--raw", r.raw, "no spike filter: each value only calibrated (see VeldrinLib.h)");
        if (kind != "measure") {
            command->add_option("--start", r.start, "DAC 1 sweep start, mV")->capture_default_str()
                ->check(CLI::Range(-4500, 4500));
            command->add_option("--stop", r.stop, "DAC 1 sweep stop, mV")->capture_default_str()
                ->check(CLI::Range(-4500, 4500));
        }
        if (kind == "sweep2d") {
            command->add_option("--start2", r.start2, "DAC 2 first set-point, mV")->capture_default_str()
                ->check(CLI::Range(-4500, 4500));
            command->add_option("--stop2", r.stop2, "DAC 2 last set-point, mV")->capture_default_str()
                ->check(CLI::Range(-4500, 4500));
            command->add_option("--points", r.points, "set-points of DAC 2, 2 to 50000")->capture_default_str()
                ->check(CLI::Range(2, 50000));
        }
        command->callback([&r, kind] { r.kind = kind; });
        measurements.push_back(command);
    }

    auto *dac = app.add_subcommand("dac", "sets a DAC output (alone, or before a measurement in the same run)");
    dac->add_option("--channel", r.dacChannel, "DAC 1 or 2")->capture_default_str()->check(CLI::Range(1, 2));
    r.waveform = dac->add_option("--waveform", r.waveformValue, "0 sine, 1 square, 2 triangle")
                     ->check(CLI::Range(0, 2));
    r.amplitude = dac->add_option("--amplitude", r.amplitudeValue, "peak, mV (gen I to 5000, gen II to 4500)")
                      ->check(CLI::Range(-5000, 5000));
    r.offset = dac->add_option("--offset", r.offsetValue, "mV (gen I to 5000, gen II to 4500)")
                   ->check(CLI::Range(-5000, 5000));
    r.dacFrequency = dac->add_option("--frequency", r.dacFrequencyValue, "Hz (gen I 10..5000, gen II 10..20000)")
                         ->check(CLI::Range(10, 20000));

    auto *pwm = app.add_subcommand("pwm", "sets a PWM output (alone, or before a measurement in the same run)");
    pwm->add_option("--channel", r.pwmChannel, "PWM 1 or 2")->capture_default_str()->check(CLI::Range(1, 2));
    pwm->add_option("--duty", r.duty, "duty cycle, percent")->required()->check(CLI::Range(0, 100));
    r.pwmFrequency = pwm->add_option("--frequency", r.pwmFrequencyValue, "Hz, both outputs (gen II)")
                         ->check(CLI::Range(1, 200000));

    std::string statusCode;
    auto *statusCommand = app.add_subcommand("status", "the text of a status code");
    statusCommand->add_option("CODE", statusCode, "a status code, 0 to 30")->required();

    std::vector<std::string> doctorArguments;
    std::string sysfs, dev, d2xxLibrary, user;
    auto *doctor = app.add_subcommand("doctor", "checks this machine's setup for FTDI hardware (D2XX, or libftdi1 "
                                                "with --libftdi) and prints the fixes");
    auto *sysfsOption = doctor->add_option("--sysfs", sysfs, "sysfs root to read")->type_name("DIR");
    auto *devOption = doctor->add_option("--dev", dev, "device root to read")->type_name("DIR");
    auto *d2xxOption = doctor->add_option("--d2xx-library", d2xxLibrary, "D2XX library to try")->type_name("FILE");
    auto *userOption = doctor->add_option("--user", user, "whose access to check")->type_name("WHO");

    for (CLI::App *command : app.get_subcommands({}))
        command->footer(commandFooter);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        std::cerr << "veldrin: " << e.what() << "\nRun veldrin --help for the commands and options.\n";
        return usageExit;
    }

    // Which commands, and whether they go together: dac and pwm may come
    // before one measurement; the others stand alone.
    int settings = 0, measuring = 0, alone = 0;
    for (CLI::App *command : app.get_subcommands()) {
        if (command == dac || command == pwm)
            ++settings;
        else if (std::find(measurements.begin(), measurements.end(), command) != measurements.end())
            ++measuring;
        else
            ++alone;
    }
    if (alone > 1 || (alone && (settings || measuring)) || measuring > 1) {
        std::cerr << "veldrin: only dac and pwm go with other commands (before one measure, sweep1d or sweep2d)\n";
        return usageExit;
    }
    if (dac->parsed() && !(r.waveform->count() || r.amplitude->count() || r.offset->count() || r.dacFrequency->count())) {
        std::cerr << "veldrin: dac needs at least one of --waveform, --amplitude, --offset, --frequency\n";
        return usageExit;
    }

    if (statusCommand->parsed()) {
        char *end = nullptr;
        const long code = std::strtol(statusCode.c_str(), &end, 10);
        if (end == statusCode.c_str() || *end != '\0' || code < 0 || code > VELDRIN_OUT_OF_MEMORY) {
            std::cerr << "veldrin: '" << statusCode << "' is not a status code (0 to " << VELDRIN_OUT_OF_MEMORY
                      << ")\n";
            return usageExit;
        }
        std::cout << code << ": " << getStatusText(static_cast<int>(code)) << std::endl;
        return 0;
    }
    if (doctor->parsed()) {
        if (r.simulatedGiven) {
            std::cerr << "veldrin: doctor checks real hardware; --simulated has nothing to check\n";
            return usageExit;
        }
        if (r.libftdi)
            doctorArguments.push_back("--libftdi");
        const std::pair<CLI::Option *, std::string *> options[] = {
            {sysfsOption, &sysfs}, {devOption, &dev}, {d2xxOption, &d2xxLibrary}, {userOption, &user}};
        for (const auto &option : options)
            if (option.first->count()) {
                doctorArguments.push_back(option.first->get_name());
                doctorArguments.push_back(*option.second);
            }
        return runDoctor(doctorArguments, std::cout, std::cerr);
    }
    if ((settings || measuring) && r.device == 0) {
        std::cerr << "veldrin: --device N is required (the index `veldrin list` shows)\n";
        return usageExit;
    }

    r.simulatedGiven = simulated->count() > 0;
    for (CLI::Option *option : rangeOptions)
        r.rangeGiven = r.rangeGiven || option->count() > 0;
    for (CLI::Option *option : timeoutOptions)
        r.timeoutGiven = r.timeoutGiven || option->count() > 0;

    // The output file is created before any instrument is touched: a path
    // that cannot be written costs no measurement.
    std::ofstream file;
    if (measuring && !r.output.empty()) {
        errno = 0;
        file.open(r.output, std::ios::out | std::ios::trunc | std::ios::binary);
        if (!file) {
            std::cerr << "veldrin: cannot create " << r.output << ": "
                      << (errno ? std::strerror(errno) : "cannot open it for writing") << "\n";
            return failureExit;
        }
    }

    if (r.simulatedGiven) {
        const int status = useSimulatedBus(r.simulated.c_str());
        if (status != VELDRIN_OK) {
            const std::string reason = libraryErrorText();
            std::cerr << "veldrin: --simulated \"" << r.simulated << "\": " << status << " (" << getStatusText(status)
                      << ")" << (reason.empty() ? "" : ": ") << reason << "\n";
            return usageExit;
        }
    } else if (r.libftdi) {
        useLibFtdi();
    } else {
        useFtdiLibrary();
    }

    std::signal(SIGINT, onInterrupt);
    int result = 0;
    Json applied = Json::object();
    if (!check(initialise(), "initialise"))
        result = failureExit;
    else if (list->parsed())
        result = commandList(r);
    else if (find->parsed())
        result = commandFind(serial);
    else {
        if (dac->parsed() && !applyDac(r, applied))
            result = failureExit;
        if (result == 0 && pwm->parsed() && !applyPwm(r, applied))
            result = failureExit;
        if (result == 0 && measuring)
            result = commandMeasure(r, applied, r.output.empty() ? std::cout : file);
    }
    closeLibrary();
    if (result == interruptedExit && list->parsed())
        std::cerr << "veldrin: interrupted; the library was closed\n";
    // A file the run never wrote to leaves nothing behind.
    if (file.is_open() && file.tellp() == std::streampos(0)) {
        file.close();
        std::remove(r.output.c_str());
    }
    return result;
}
