// veldrin: drives Veldrin instruments from the command line through the
// library's C interface, on real hardware (FTDI D2XX or libftdi1) or on the
// simulated bus.
#include "VeldrinLib.h"

#include "Doctor.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <thread>
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
    "  list                               devices and whether each opens\n"
    "  find SERIAL                        index of the device with that serial number\n"
    "  measure   --device N [--channels MASK] [--period CODE] [--samples COUNT]\n"
    "            [--range R] [--output FILE] [--timeout SECONDS]\n"
    "  sweep1d   --device N [same options as measure] [--start MV --stop MV]\n"
    "  sweep2d   --device N [same options] --points P [--start MV --stop MV]\n"
    "            [--start2 MV --stop2 MV]\n"
    "  dac       --device N [--channel C] [--waveform W] [--amplitude MV]\n"
    "            [--offset MV] [--frequency HZ]\n"
    "  pwm       --device N [--channel C] --duty PERCENT [--frequency HZ]\n"
    "  status CODE                        the text of a status code\n"
    "  doctor [--help]                    checks this machine's setup for FTDI hardware\n";

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

// Reports a failing status and tells the caller whether to go on.
bool check(int status, const char *what)
{
    if (status == VELDRIN_OK)
        return true;
    std::cerr << "veldrin: " << what << ": " << status << " (" << getStatusText(status) << ")\n";
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

int commandList()
{
    int count = 0;
    if (!check(getDeviceCount(&count), "getDeviceCount"))
        return 1;
    std::cout << count << (count == 1 ? " device\n" : " devices\n");
    for (int index = 1; index <= count; ++index) {
        bool complete = false;
        // Any per-device call opens the instrument and checks its firmware.
        const int status = isMeasurementComplete(index, &complete);
        // Setting the sweep bounds to their power-on values sends nothing to the
        // instrument; only generation I refuses it.
        const int generation =
            setSweepProperties(index, 1, -1000, 1000) == VELDRIN_NOT_SUPPORTED ? 1 : 2;
        if (status == VELDRIN_OK)
            std::cout << "  " << index << ": generation " << (generation == 1 ? "I" : "II")
                      << ", ready\n";
        else
            std::cout << "  " << index << ": " << getStatusText(status) << " (" << status << ")\n";
    }
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

bool waitForCompletion(int device, double timeoutSeconds)
{
    const auto deadline = std::chrono::steady_clock::now()
        + std::chrono::milliseconds(static_cast<long>(timeoutSeconds * 1000));
    for (;;) {
        bool complete = false;
        if (!check(isMeasurementComplete(device, &complete), "isMeasurementComplete"))
            return false;
        if (complete)
            return true;
        if (std::chrono::steady_clock::now() > deadline) {
            std::cerr << "veldrin: the measurement did not complete within " << timeoutSeconds << " s\n";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// All values of one channel, row after row.
std::vector<std::vector<double>> fetchRows(int device, int channel)
{
    int rows = 0;
    int columns = 0;
    if (!check(get2DResultSizes(device, channel, &rows, &columns), "get2DResultSizes"))
        return {};
    std::vector<std::vector<double>> result;
    if (columns == 0) {
        // One row whose length get2DResultSizes reports as its row count.
        std::vector<double> values(static_cast<size_t>(std::max(rows, 1)));
        int count = 0;
        if (!check(getResult(device, channel, &count, values.data()), "getResult"))
            return {};
        values.resize(static_cast<size_t>(count));
        result.push_back(values);
        return result;
    }
    std::vector<double> values(static_cast<size_t>(rows) * static_cast<size_t>(columns));
    if (!check(get2DResult(device, channel, values.data()), "get2DResult"))
        return {};
    for (int r = 0; r < rows; ++r)
        result.emplace_back(values.begin() + static_cast<long>(r) * columns,
                            values.begin() + static_cast<long>(r + 1) * columns);
    return result;
}

int writeResults(int device, int channelMask, const Options &options)
{
    std::vector<std::vector<std::vector<double>>> channels;
    std::vector<int> numbers;
    for (int channel = 1; channel <= 2; ++channel) {
        if (!(channelMask & (1 << (channel - 1))))
            continue;
        channels.push_back(fetchRows(device, channel));
        numbers.push_back(channel);
    }
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
    out << "point,sample";
    for (int number : numbers)
        out << ",channel" << number << "_volts";
    out << "\n";
    size_t points = 0;
    for (const auto &rows : channels)
        points = std::max(points, rows.size());
    size_t total = 0;
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
    if (!path.empty())
        std::cout << "wrote " << total << " rows (" << points << (points == 1 ? " point" : " points")
                  << ") to " << path << "\n";
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

int commandMeasure(const std::string &kind, const Options &options)
{
    const int device = requireDevice(options);
    const int mask = static_cast<int>(options.number("channels", 3));
    const int period = static_cast<int>(options.number("period", 8));
    const int samples = static_cast<int>(options.number("samples", 1000));
    if (options.has("range"))
        for (int channel = 1; channel <= 2; ++channel)
            if (!check(setADCProperties(device, channel, static_cast<int>(options.number("range", 0)), 0),
                       "setADCProperties"))
                return 1;
    if (options.has("start") || options.has("stop"))
        if (!check(setSweepProperties(device, 1, static_cast<int>(options.number("start", -1000)),
                                      static_cast<int>(options.number("stop", 1000))),
                   "setSweepProperties"))
            return 1;
    if (options.has("start2") || options.has("stop2"))
        if (!check(setSweepProperties(device, 2, static_cast<int>(options.number("start2", -1000)),
                                      static_cast<int>(options.number("stop2", 1000))),
                   "setSweepProperties"))
            return 1;
    int status;
    if (kind == "measure")
        status = runMeasurement(device, mask, period, samples);
    else if (kind == "sweep1d")
        status = run1DSweepMeasurement(device, mask, period, samples);
    else
        status = run2DSweepMeasurement(device, mask, period, samples,
                                       static_cast<int>(options.number("points", 2)));
    if (!check(status, kind.c_str()))
        return 1;
    if (!waitForCompletion(device, static_cast<double>(options.number("timeout", 30))))
        return 1;
    return writeResults(device, mask, options);
}

int commandDac(const Options &options)
{
    const int device = requireDevice(options);
    const int channel = static_cast<int>(options.number("channel", 1));
    if (options.has("waveform")
        && !check(setDACWaveform(device, channel, static_cast<int>(options.number("waveform", 0))), "setDACWaveform"))
        return 1;
    if (options.has("amplitude")
        && !check(setDACAmplitude(device, channel, static_cast<int>(options.number("amplitude", 0))), "setDACAmplitude"))
        return 1;
    if (options.has("offset")
        && !check(setDACOffset(device, channel, static_cast<int>(options.number("offset", 0))), "setDACOffset"))
        return 1;
    if (options.has("frequency")
        && !check(setDACFrequency(device, channel, static_cast<int>(options.number("frequency", 0))), "setDACFrequency"))
        return 1;
    std::cout << "DAC " << channel << " of device " << device << " set\n";
    return 0;
}

int commandPwm(const Options &options)
{
    const int device = requireDevice(options);
    const int channel = static_cast<int>(options.number("channel", 1));
    if (options.has("frequency")
        && !check(setPWMFrequency(device, static_cast<int>(options.number("frequency", 0))), "setPWMFrequency"))
        return 1;
    if (!check(setPWM(device, channel, static_cast<int>(options.number("duty", 50))), "setPWM"))
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
        const int code = std::atoi(positional[0].c_str());
        std::cout << code << ": " << getStatusText(code) << "\n";
        return 0;
    }

    initialise();
    int result = 2;
    if (command == "list")
        result = commandList();
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
    return result;
}
