// veldrin: drives Veldrin instruments from the command line through the
// library's C interface, on real hardware (FTDI D2XX or libftdi1) or on the
// simulated bus.
#include "VeldrinLib.h"

#include "Doctor.h"

#include <algorithm>
#include <climits>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <vector>

namespace {

const char *const usageText =
    "usage: veldrin [--simulated DESCRIPTION | --ftdi | --libftdi] COMMAND [options]\n"
    "\n"
    "Provider (default --ftdi: FTDI's D2XX library, loaded at run time):\n"
    "  --simulated DESCRIPTION  the built-in simulated bus; DESCRIPTION lists the\n"
    "                           attached devices (\"demo\": one instrument of each\n"
    "                           generation and one plain FTDI device)\n"
    "  --libftdi                the open-source libftdi1 instead of FTDI's library,\n"
    "                           loaded at run time (see docs/hardware-linux.md)\n"
    "\n"
    "Commands:\n"
    "  list [--json]                      devices: index, serial number, generation,\n"
    "                                     firmware version and whether each opens\n"
    "  find SERIAL                        index of the device with that serial number\n"
    "  measure   --device N [--channels MASK] [--period CODE] [--samples COUNT]\n"
    "            [--range R] [--output FILE] [--timeout SECONDS] [--json]\n"
    "            [--no-progress]\n"
    "  sweep1d   --device N [same options as measure] [--start MV --stop MV]\n"
    "  sweep2d   --device N [same options] --points P [--start MV --stop MV]\n"
    "            [--start2 MV --stop2 MV]\n"
    "  dac       --device N [--channel C] [--waveform W] [--amplitude MV]\n"
    "            [--offset MV] [--frequency HZ]\n"
    "  pwm       --device N [--channel C] --duty PERCENT [--frequency HZ]\n"
    "  status CODE                        the text of a status code\n"
    "  doctor [--help]                    checks this machine's setup for FTDI hardware\n"
    "\n"
    "--json prints machine-readable output (to --output FILE when given). A\n"
    "measurement that takes longer than half a second draws a progress bar on\n"
    "standard error; Ctrl-C ends it and closes the library.\n";

// Options that take no value.
const char *const flagOptions[] = {"json", "no-progress"};

// Set by Ctrl-C; the measurement loop looks at it. The handler does nothing
// else but restore the default, so a second Ctrl-C ends the tool at once.
volatile std::sig_atomic_t interrupted = 0;

extern "C" void onInterrupt(int)
{
    interrupted = 1;
    std::signal(SIGINT, SIG_DFL);
}

struct Options
{
    std::map<std::string, std::string> values;

    bool has(const std::string &key) const { return values.count(key) != 0; }
    long number(const std::string &key, long fallback) const
    {
        auto it = values.find(key);
        if (it == values.end())
            return fallback;
        char *end = nullptr;
        const long value = std::strtol(it->second.c_str(), &end, 10);
        if (end == it->second.c_str() || *end != '\0') {
            std::cerr << "veldrin: --" << key << " needs a whole number, not '" << it->second << "'\n";
            std::exit(2);
        }
        return value;
    }
    std::string text(const std::string &key, const std::string &fallback) const
    {
        auto it = values.find(key);
        return it == values.end() ? fallback : it->second;
    }
};

// The instrument's own account of its last failure; empty when it has none.
std::string lastErrorText(int device)
{
    std::vector<char> text(256);
    for (;;) {
        const int status = getLastErrorText(device, text.data(), static_cast<int>(text.size()));
        if (status == VELDRIN_BUFFER_TOO_SMALL && text.size() < 65536) {
            text.resize(text.size() * 4);
            continue;
        }
        return status == VELDRIN_OK ? std::string(text.data()) : std::string();
    }
}

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

int requireDevice(const Options &options)
{
    if (!options.has("device")) {
        std::cerr << "veldrin: --device N is required\n";
        std::exit(2);
    }
    return static_cast<int>(options.number("device", 1));
}

// JSON text: a string with the escapes JSON needs, and numbers.
std::string jsonString(const std::string &text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string jsonNumber(double value)
{
    if (!std::isfinite(value))
        return "null";
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", value);
    return text;
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

int commandList(const Options &options)
{
    int count = 0;
    if (!check(getDeviceCount(&count), "getDeviceCount"))
        return 1;
    const bool json = options.has("json");
    if (json)
        std::cout << "{\"devices\": [";
    else
        std::cout << count << (count == 1 ? " device\n" : " devices\n");
    if (!json && count > 0)
        std::cout << "  index  serial number     generation  firmware  opens\n";
    for (int index = 1; index <= count; ++index) {
        const Identity identity = identityOf(index);
        bool complete = false;
        // Any per-device call opens the instrument and checks its firmware.
        const int status = isMeasurementComplete(index, &complete);
        const std::string reason = status == VELDRIN_OK ? std::string() : lastErrorText(index);
        if (json) {
            std::cout << (index > 1 ? ", " : "") << "{\"index\": " << index
                      << ", \"serial\": " << jsonString(identity.serial)
                      << ", \"generation\": " << identity.generation
                      << ", \"firmware\": " << identity.firmware
                      << ", \"opens\": " << (status == VELDRIN_OK ? "true" : "false")
                      << ", \"status\": " << status
                      << ", \"status_text\": " << jsonString(getStatusText(status))
                      << ", \"last_error\": " << jsonString(reason) << "}";
            continue;
        }
        char line[96];
        std::snprintf(line, sizeof line, "  %-5d  %-16s  %-10s  %-8d  ", index, identity.serial.c_str(),
                      identity.generation == 1 ? "I" : identity.generation == 2 ? "II" : "?",
                      identity.firmware);
        std::cout << line;
        if (status == VELDRIN_OK)
            std::cout << "yes\n";
        else
            std::cout << "no: " << getStatusText(status) << " (" << status << ")"
                      << (reason.empty() ? "" : ": ") << reason << "\n";
    }
    if (json)
        std::cout << "]}\n";
    return 0;
}

int commandFind(const std::string &serial)
{
    int index = -1;
    const int status = getDeviceIndex(serial.c_str(), &index);
    if (!check(status, "getDeviceIndex"))
        return 1;
    std::cout << index << "\n";
    return 0;
}

// Draws "[#####.....]  45%  900/2000 values" on standard error, over itself.
class ProgressBar
{
public:
    explicit ProgressBar(bool enabled) : m_enabled(enabled) {}
    ~ProgressBar() { finish(); }

    void show(int received, int expected)
    {
        if (!m_enabled || expected <= 0)
            return;
        const int width = 30;
        const double share = std::min(1.0, double(received) / double(expected));
        const int filled = static_cast<int>(share * width);
        std::string bar(static_cast<size_t>(filled), '#');
        bar.append(static_cast<size_t>(width - filled), '.');
        char line[128];
        std::snprintf(line, sizeof line, "\r[%s] %3d%%  %d/%d values", bar.c_str(),
                      static_cast<int>(share * 100.0), received, expected);
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

// The result of waiting: done, failed (reported), or interrupted by Ctrl-C.
enum class Waited { Complete, Failed, Interrupted };

Waited waitForCompletion(int device, double timeoutSeconds, bool progress)
{
    using Clock = std::chrono::steady_clock;
    const auto begin = Clock::now();
    const auto deadline = begin + std::chrono::milliseconds(static_cast<long>(timeoutSeconds * 1000));
    ProgressBar bar(progress);
    for (;;) {
        bool complete = false;
        // Short waits, so that Ctrl-C and the progress bar are answered promptly.
        if (!check(waitForMeasurement(device, 100, &complete), "waitForMeasurement", device))
            return Waited::Failed;
        if (Clock::now() - begin > std::chrono::milliseconds(500)) {
            int received = 0, expected = 0;
            if (getMeasurementProgress(device, &received, &expected) == VELDRIN_OK)
                bar.show(received, expected);
        }
        if (complete)
            return Waited::Complete;
        if (interrupted) {
            bar.finish();
            return Waited::Interrupted;
        }
        if (Clock::now() > deadline) {
            bar.finish();
            std::cerr << "veldrin: the measurement did not complete within " << timeoutSeconds << " s\n";
            return Waited::Failed;
        }
    }
}

// Every value of one row (sweep point), however many have arrived: the copy
// checks the buffer's size and asks again when more came meanwhile.
bool fetchRow(int device, int channel, int row, std::vector<double> &values)
{
    for (;;) {
        int count = 0;
        const int status = get2DResultRow(device, channel, row, values.data(),
                                          static_cast<int>(values.size()), &count);
        if (status == VELDRIN_BUFFER_TOO_SMALL) {
            values.resize(static_cast<size_t>(count));
            continue;
        }
        if (!check(status, "get2DResultRow", device))
            return false;
        values.resize(static_cast<size_t>(count));
        return true;
    }
}

// All values of one channel, one row per sweep point (generation I: one row).
bool fetchRows(int device, int channel, std::vector<std::vector<double>> &result)
{
    int generation = 0;
    if (!check(getDeviceGeneration(device, &generation), "getDeviceGeneration", device))
        return false;
    int rows = 1;
    if (generation != 1) {
        int columns = 0;
        if (!check(get2DResultSizes(device, channel, &rows, &columns), "get2DResultSizes", device))
            return false;
    }
    result.assign(static_cast<size_t>(rows), std::vector<double>());
    for (int row = 0; row < rows; ++row)
        if (!fetchRow(device, channel, row, result[static_cast<size_t>(row)]))
            return false;
    return true;
}

void writeCsv(std::ostream &out, const std::vector<int> &numbers,
              const std::vector<std::vector<std::vector<double>>> &channels, size_t &total, size_t &points)
{
    out << "point,sample";
    for (int number : numbers)
        out << ",channel" << number << "_volts";
    out << "\n";
    points = 0;
    for (const auto &rows : channels)
        points = std::max(points, rows.size());
    total = 0;
    for (size_t point = 0; point < points; ++point) {
        size_t length = 0;
        for (const auto &rows : channels)
            if (point < rows.size())
                length = std::max(length, rows[point].size());
        for (size_t sample = 0; sample < length; ++sample) {
            out << point << "," << sample;
            for (const auto &rows : channels) {
                out << ",";
                if (point < rows.size() && sample < rows[point].size()) {
                    char text[32];
                    std::snprintf(text, sizeof text, "%.6f", rows[point][sample]);
                    out << text;
                }
            }
            out << "\n";
            ++total;
        }
    }
}

void writeJson(std::ostream &out, int device, const std::string &kind, const std::vector<int> &numbers,
               const std::vector<std::vector<std::vector<double>>> &channels)
{
    const Identity identity = identityOf(device);
    out << "{\"device\": " << device << ", \"serial\": " << jsonString(identity.serial)
        << ", \"generation\": " << identity.generation << ", \"kind\": " << jsonString(kind)
        << ", \"channels\": {";
    for (size_t i = 0; i < channels.size(); ++i) {
        out << (i ? ", " : "") << "\"" << numbers[i] << "\": [";
        for (size_t r = 0; r < channels[i].size(); ++r) {
            out << (r ? ", " : "") << "[";
            const std::vector<double> &row = channels[i][r];
            for (size_t k = 0; k < row.size(); ++k)
                out << (k ? ", " : "") << jsonNumber(row[k]);
            out << "]";
        }
        out << "]";
    }
    out << "}}\n";
}

int writeResults(int device, int channelMask, const std::string &kind, const Options &options)
{
    std::vector<std::vector<std::vector<double>>> channels;
    std::vector<int> numbers;
    for (int channel = 1; channel <= 2; ++channel) {
        if (!(channelMask & (1 << (channel - 1))))
            continue;
        channels.emplace_back();
        if (!fetchRows(device, channel, channels.back()))
            return 1;
        numbers.push_back(channel);
    }
    const bool json = options.has("json");
    const std::string path = options.text("output", "");
    std::ofstream file;
    if (!path.empty()) {
        file.open(path);
        if (!file) {
            std::cerr << "veldrin: cannot write " << path << "\n";
            return 1;
        }
    }
    std::ostream &out = path.empty() ? std::cout : file;
    size_t total = 0, points = 0;
    if (json) {
        writeJson(out, device, kind, numbers, channels);
        if (path.empty())
            return 0;
        for (const auto &rows : channels)
            points = std::max(points, rows.size());
        std::cout << "wrote " << points << (points == 1 ? " point" : " points") << " as JSON to " << path << "\n";
    } else {
        writeCsv(out, numbers, channels, total, points);
        if (!path.empty())
            std::cout << "wrote " << total << " rows (" << points << (points == 1 ? " point" : " points")
                      << ") to " << path << "\n";
    }
    for (size_t i = 0; i < channels.size(); ++i) {
        double minimum = 0, maximum = 0, sum = 0;
        size_t count = 0;
        for (const auto &row : channels[i])
            for (double v : row) {
                if (count == 0 || v < minimum) minimum = v;
                if (count == 0 || v > maximum) maximum = v;
                sum += v;
                ++count;
            }
        std::cout << "channel " << numbers[i] << ": " << count << " samples";
        if (count)
            std::cout << ", min " << minimum << " V, mean " << sum / double(count) << " V, max "
                      << maximum << " V";
        std::cout << "\n";
    }
    return 0;
}

// Exit status of a measurement ended by Ctrl-C (128 + SIGINT, as shells do).
constexpr int interruptedExit = 130;

int commandMeasure(const std::string &kind, const Options &options)
{
    const int device = requireDevice(options);
    const int mask = static_cast<int>(options.number("channels", 3));
    const int period = static_cast<int>(options.number("period", 8));
    const int samples = static_cast<int>(options.number("samples", 1000));
    if (options.has("range"))
        for (int channel = 1; channel <= 2; ++channel)
            if (!check(setADCProperties(device, channel, static_cast<int>(options.number("range", 0)), 0),
                       "setADCProperties", device))
                return 1;
    if (options.has("start") || options.has("stop"))
        if (!check(setSweepProperties(device, 1, static_cast<int>(options.number("start", -1000)),
                                      static_cast<int>(options.number("stop", 1000))),
                   "setSweepProperties", device))
            return 1;
    if (options.has("start2") || options.has("stop2"))
        if (!check(setSweepProperties(device, 2, static_cast<int>(options.number("start2", -1000)),
                                      static_cast<int>(options.number("stop2", 1000))),
                   "setSweepProperties", device))
            return 1;
    int status;
    if (kind == "measure")
        status = runMeasurement(device, mask, period, samples);
    else if (kind == "sweep1d")
        status = run1DSweepMeasurement(device, mask, period, samples);
    else
        status = run2DSweepMeasurement(device, mask, period, samples,
                                       static_cast<int>(options.number("points", 2)));
    if (!check(status, kind.c_str(), device))
        return 1;
    switch (waitForCompletion(device, static_cast<double>(options.number("timeout", 30)),
                              !options.has("no-progress"))) {
    case Waited::Complete:
        break;
    case Waited::Failed:
        return 1;
    case Waited::Interrupted:
        return interruptedExit;
    }
    return writeResults(device, mask, kind, options);
}

int commandDac(const Options &options)
{
    const int device = requireDevice(options);
    const int channel = static_cast<int>(options.number("channel", 1));
    if (options.has("waveform")
        && !check(setDACWaveform(device, channel, static_cast<int>(options.number("waveform", 0))), "setDACWaveform", device))
        return 1;
    if (options.has("amplitude")
        && !check(setDACAmplitude(device, channel, static_cast<int>(options.number("amplitude", 0))), "setDACAmplitude", device))
        return 1;
    if (options.has("offset")
        && !check(setDACOffset(device, channel, static_cast<int>(options.number("offset", 0))), "setDACOffset", device))
        return 1;
    if (options.has("frequency")
        && !check(setDACFrequency(device, channel, static_cast<int>(options.number("frequency", 0))), "setDACFrequency", device))
        return 1;
    std::cout << "DAC " << channel << " of device " << device << " set\n";
    return 0;
}

int commandPwm(const Options &options)
{
    const int device = requireDevice(options);
    const int channel = static_cast<int>(options.number("channel", 1));
    if (options.has("frequency")
        && !check(setPWMFrequency(device, static_cast<int>(options.number("frequency", 0))), "setPWMFrequency", device))
        return 1;
    if (!check(setPWM(device, channel, static_cast<int>(options.number("duty", 50))), "setPWM", device))
        return 1;
    std::cout << "PWM " << channel << " of device " << device << " set\n";
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "--help" || args[0] == "-h") {
        std::cout << usageText;
        return args.empty() ? 2 : 0;
    }
    if (args[0] == "doctor")
        return runDoctor(std::vector<std::string>(args.begin() + 1, args.end()), std::cout, std::cerr);

    size_t at = 0;
    if (args[at] == "--simulated") {
        if (at + 1 >= args.size()) {
            std::cerr << "veldrin: --simulated needs a description\n";
            return 2;
        }
        const int status = useSimulatedBus(args[at + 1].c_str());
        if (!check(status, "useSimulatedBus"))
            return 2;
        at += 2;
    } else if (args[at] == "--ftdi") {
        useFtdiLibrary();
        at += 1;
    } else if (args[at] == "--libftdi") {
        useLibFtdi();
        at += 1;
    }
    if (at >= args.size()) {
        std::cerr << usageText;
        return 2;
    }
    const std::string command = args[at++];
    std::vector<std::string> positional;
    Options options;
    for (; at < args.size(); ++at) {
        const std::string &arg = args[at];
        if (arg.rfind("--", 0) == 0) {
            const std::string name = arg.substr(2);
            if (std::find(std::begin(flagOptions), std::end(flagOptions), name) != std::end(flagOptions)) {
                options.values[name] = "";
                continue;
            }
            if (at + 1 >= args.size()) {
                std::cerr << "veldrin: " << arg << " needs a value\n";
                return 2;
            }
            options.values[arg.substr(2)] = args[++at];
        } else {
            positional.push_back(arg);
        }
    }

    if (command == "status") {
        if (positional.empty()) {
            std::cerr << "veldrin: status needs a code\n";
            return 2;
        }
        char *end = nullptr;
        const long code = std::strtol(positional[0].c_str(), &end, 10);
        if (end == positional[0].c_str() || *end != '\0' || code < INT_MIN || code > INT_MAX) {
            std::cerr << "veldrin: status needs a whole number, not '" << positional[0] << "'\n";
            return 2;
        }
        std::cout << code << ": " << getStatusText(static_cast<int>(code)) << std::endl;
        return 0;
    }

    std::signal(SIGINT, onInterrupt);
    if (!check(initialise(), "initialise"))
        return 1;
    int result = 2;
    if (command == "list")
        result = commandList(options);
    else if (command == "find" && !positional.empty())
        result = commandFind(positional[0]);
    else if (command == "measure" || command == "sweep1d" || command == "sweep2d")
        result = commandMeasure(command, options);
    else if (command == "dac")
        result = commandDac(options);
    else if (command == "pwm")
        result = commandPwm(options);
    else
        std::cerr << "veldrin: unknown command '" << command << "'\n" << usageText;
    closeLibrary();
    if (result == interruptedExit)
        std::cerr << "veldrin: interrupted; the measurement was ended and the library closed\n";
    return result;
}
