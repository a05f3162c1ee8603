#pragma once

#include <QString>
#include <initializer_list>

// The accepted ranges of the setters' and measurement starts' arguments, per
// instrument generation, and the English text that names a refused argument
// and its range ("period code 2 is below the sweeps' minimum 3"). The devices
// check the arguments; this only explains a refusal they returned.
class ArgumentRanges
{
public:
    enum class Call {
        SetPWM,
        SetPWMFrequency,
        SetDACWaveform,
        SetDACOffset,
        SetDACAmplitude,
        SetDACFrequency,
        SetSweepProperties,
        SetADCProperties,
        RunMeasurement,
        Run1DSweepMeasurement,
        Run2DSweepMeasurement,
    };

    // Why a device of `generation` refused `call` with `status`, given the
    // call's arguments after the device index, in parameter order. Empty for
    // a status that is no argument error (0, the submission failures).
    static QString explain(int generation, Call call, int status, std::initializer_list<int> arguments);
};
