#include "ArgumentRanges.h"

#include <vector>

namespace {

// One argument check: the status it gives, the argument's name, its position
// among the arguments, and its accepted values (low to high; with `pair`, only
// low and high themselves).
struct Check
{
    int status;
    const char *name;
    int argument;
    int low;
    int high;
    const char *scope; // whose limits: "the", "generation I's", "the sweeps'"
    bool pair = false;
};

const char *callName(ArgumentRanges::Call call)
{
    switch (call) {
    case ArgumentRanges::Call::SetPWM: return "setPWM";
    case ArgumentRanges::Call::SetPWMFrequency: return "setPWMFrequency";
    case ArgumentRanges::Call::SetDACWaveform: return "setDACWaveform";
    case ArgumentRanges::Call::SetDACOffset: return "setDACOffset";
    case ArgumentRanges::Call::SetDACAmplitude: return "setDACAmplitude";
    case ArgumentRanges::Call::SetDACFrequency: return "setDACFrequency";
    case ArgumentRanges::Call::SetSweepProperties: return "setSweepProperties";
    case ArgumentRanges::Call::SetADCProperties: return "setADCProperties";
    case ArgumentRanges::Call::RunMeasurement: return "runMeasurement";
    case ArgumentRanges::Call::Run1DSweepMeasurement: return "run1DSweepMeasurement";
    case ArgumentRanges::Call::Run2DSweepMeasurement: return "run2DSweepMeasurement";
    }
    return "";
}

// The checks of a call in the order the devices make them.
std::vector<Check> checksOf(int generation, ArgumentRanges::Call call)
{
    using Call = ArgumentRanges::Call;
    const bool first = generation == 1;
    const char *own = first ? "generation I's" : "generation II's";
    const int channels = first ? 1 : 2;
    const int dacLimit = first ? 5000 : 4500;
    const Check dacChannel{16, "DAC channel", 0, 1, channels, own};
    switch (call) {
    case Call::SetPWM:
        return {{11, "PWM channel", 0, 1, channels, own}, {12, "duty cycle (percent)", 1, 0, 100, "the"}};
    case Call::SetPWMFrequency:
        return {{14, "PWM frequency (Hz)", 0, 1, 200000, "the"}};
    case Call::SetDACWaveform:
        return {dacChannel, {15, "DAC waveform", 1, 0, 2, "the"}};
    case Call::SetDACOffset:
        return {dacChannel, {18, "DAC offset (mV)", 1, -dacLimit, dacLimit, own}};
    case Call::SetDACAmplitude:
        return {dacChannel, {19, "DAC amplitude (mV)", 1, -dacLimit, dacLimit, own}};
    case Call::SetDACFrequency:
        return {dacChannel, {20, "DAC frequency (Hz)", 1, 10, first ? 5000 : 20000, own}};
    case Call::SetSweepProperties:
        return {{16, "sweep channel", 0, 1, 2, "the"},
                {19, "sweep start (mV)", 1, -4500, 4500, "the"},
                {19, "sweep stop (mV)", 2, -4500, 4500, "the"}};
    case Call::SetADCProperties:
        if (first)
            return {{25, "ADC channel", 0, 1, 2, "the"}, {24, "ADC range", 1, 2, 3, own, true}};
        return {{25, "ADC channel", 0, 1, 2, "the"}, {24, "ADC range", 1, 0, 3, own}};
    case Call::RunMeasurement:
        return {{21, "channel mask", 0, 0, 3, "the"},
                {22, "period code", 1, first ? 5 : 0, 16, own},
                {23, "sample count", 2, first ? 0 : 2, 50000, own}};
    case Call::Run1DSweepMeasurement:
        return {{23, "sample count", 2, 2, 50000, "the sweeps'"},
                {22, "period code", 1, 3, 16, "the sweeps'"},
                {21, "channel mask", 0, 0, 3, "the"}};
    case Call::Run2DSweepMeasurement:
        return {{23, "sample count", 2, 2, 50000, "the sweeps'"},
                {23, "sweep point count", 3, 2, 50000, "the sweeps'"},
                {22, "period code", 1, 3, 16, "the sweeps'"},
                {21, "channel mask", 0, 0, 3, "the"}};
    }
    return {};
}

} // namespace

QString ArgumentRanges::explain(int generation, Call call, int status, std::initializer_list<int> arguments)
{
    if (status == 10)
        return QStringLiteral("%1 is not supported by generation %2 instruments")
            .arg(QLatin1String(callName(call)), QLatin1String(generation == 1 ? "I" : "II"));
    const std::vector<int> values(arguments);
    for (const Check &check : checksOf(generation, call)) {
        if (check.status != status || check.argument >= int(values.size()))
            continue;
        const int value = values[size_t(check.argument)];
        const QString named = QStringLiteral("%1 %2 ").arg(QLatin1String(check.name)).arg(value);
        const QString scope = QLatin1String(check.scope);
        if (check.pair && value != check.low && value != check.high)
            return named + QStringLiteral("is neither of %1 values %2 and %3").arg(scope).arg(check.low).arg(check.high);
        if (value < check.low)
            return named + QStringLiteral("is below %1 minimum %2").arg(scope).arg(check.low);
        if (value > check.high)
            return named + QStringLiteral("is above %1 maximum %2").arg(scope).arg(check.high);
    }
    return QString();
}
