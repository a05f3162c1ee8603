#pragma once

#include "SimulatedInstrument.h"
#include "SimulatedWaveform.h"

// Generation II firmware: two DACs, two PWM outputs with a common frequency,
// two ADC inputs with a range and a switch each.
//
// Instructions (payload sizes are checked; a wrong size answers status 3):
//   32  start an acquisition, 13 bytes: period code (0 to 16), range of input 1
//       and of input 2 (0 to 3), switch of input 1 and of input 2 (nonzero on),
//       samples per channel (LE16), option word (LE16), channel mask, three
//       option bytes. The reply is followed by the sample stream.
//   33, 39, 40, 41, 43, 44  accepted, no effect
//   34  PWM frequency in Hz, 4 bytes (LE32, 1 to 200000)   } staged: they
//   35  PWM output 1, 3 bytes: mode, duty (0 to 100), aux   } take effect
//   36  PWM output 2, the same                              } with 42
//   37  DAC 1, 7 bytes: waveform, frequency in half hertz (LE16), then for
//       waveforms 0 sine, 1 square, 2 triangle the amplitude in mV (LE16, peak)
//       and the offset in mV (LE16, signed); for waveform 3, the two-level form,
//       the span from the low to the high level in mV (LE16, signed) and the
//       low level in mV (LE16, signed)
//   38  DAC 2, the same
//   42  apply the staged PWM settings
//   64  read the sampling settings (13 bytes, as sent with 32)
//   65  read the staged PWM frequency (4 bytes)
//   66  read the PWM frequency in effect (4 bytes)
//   67, 68  read PWM output 1, 2 in effect (3 bytes each)
//   69, 70  read DAC 1, 2 (7 bytes each, as sent with 37 and 38)
//   71  read the acquisition status (6 bytes): acquisitions since power-on
//       (LE16), samples per channel of the last one (LE16), its channel mask,
//       its period code
//   72  read the calibration image (150 bytes, see calibrationImage)
//   73  read the last raw count of input 1 and of input 2 (LE16 each)
// Anything else is answered with status 1; out-of-range settings with 100.
//
// Sample stream, per packet: a flag byte (bit 0 set on the last packet), then
// blocks of one little-endian signed count of each enabled input, input 1
// first; at most SamplesPerPacket blocks per packet. An acquisition without an
// enabled input or without samples is a single packet holding only the flag
// byte 01.
//
// Timing: sample k is taken k sample periods after the start (period codes 0
// to 16: 10 us to 2 s). At the slower rates the converter sums several
// conversions per sample: 2 at code 4, 4 at code 5, 8 at code 6, 16 from code
// 7 on, 1 below code 4.
//
// Loopback: input 1 sees DAC 1, input 2 sees DAC 2. Waveform 3 ramps from the
// low to the high level across the acquisition.
class SimulatedInstrumentII : public SimulatedInstrument
{
public:
    static const int Model = 8;
    static const int Revision = 1;
    static const int FirmwareVersion = 3;
    static const int CalibrationImageSize = 150;
    static const quint8 CalibrationMarker = 0x6B;
    static const int SamplesPerPacket = 120;

    // The calibration of the inputs, as stored: per input c (0, 1), range r
    // (0 to 3), period set q and switch state f (0 off, 1 on). Set q 0 is
    // measured at period code 1 and serves codes 0 and 1; set q 1 is measured at
    // code 3 and serves codes 2 to 16. One conversion of a voltage V gives
    // V / (scale / 30000 * RangeStep[r]) + offset / 10 counts; a sample is the
    // sum of the conversions of its period.
    struct Calibration
    {
        qint16 offset[2][4][2][2];   // tenths of a count
        quint16 scale[2][4][2][2];   // 30000 = exactly RangeStep volts per count
    };

    explicit SimulatedInstrumentII(const QString &serialNumber = QStringLiteral("SYBH008010001"),
                                   int firmwareVersion = FirmwareVersion);

    // Volts per count of ranges 0 to 3 (10, 2, 0.4 and 0.1 V over 4096 counts).
    static double rangeStep(int range);
    // Conversions summed into one sample at a period code.
    static int conversionsPerSample(int periodCode);

    static Calibration factoryCalibration();
    Calibration calibration() const;
    void setCalibration(const Calibration &calibration);

    // The 150-byte image read with 72: byte 0 the marker 0x6B, then 16 groups
    // of 8 bytes, group 8c + 2r + q at byte 1 + 8 * group, each holding
    // offset[on], offset[off], scale[on], scale[off] as LE16; bytes 129 to 149
    // zero. Without a stored calibration every byte is FF.
    QByteArray calibrationImage() const;

    QByteArray samplingSettings() const;
    QByteArray dacSettings(int dac) const;        // dac 1 or 2
    QByteArray pwmSettings(int output) const;     // output 1 or 2, in effect
    quint32 pwmFrequency() const;                 // in effect

    // The raw count input `channel` (0, 1) reports for `volts`.
    qint16 countFor(int channel, int range, int periodCode, bool switchOn, double volts) const;

protected:
    Answer instruction(quint8 command, const QByteArray &payload) override;
    void powerOn() override;

private:
    QByteArray calibrationImageLocked() const;
    qint16 countLocked(int channel, int range, int periodCode, bool switchOn, double volts) const;
    SimulatedWaveform dacWaveform(int index) const;
    Answer startAcquisition(const QByteArray &payload);

    Calibration m_calibration;
    QByteArray m_sampling;
    QByteArray m_dac[2];
    QByteArray m_pwm[2];
    QByteArray m_pwmStaged[2];
    quint32 m_pwmFrequency = 0;
    quint32 m_pwmFrequencyStaged = 0;
    int m_lastSampleCount = 0;
    int m_lastChannelMask = 0;
    int m_lastPeriodCode = 0;
    qint16 m_lastCount[2] = {0, 0};
};
