#pragma once

#include "SimulatedInstrument.h"
#include "SimulatedWaveform.h"

// Generation I firmware: one DAC, one PWM output, two ADC inputs.
//
// Instructions (payload sizes are checked; a wrong size answers status 3):
//   32  start a measurement, 8 bytes: period code, range (0 or 1, both inputs),
//       samples per channel (LE16), channel mask (bit 0 input 1, bit 1 input 2),
//       three option bytes kept as they are. The reply is followed by the
//       sample stream.
//   33, 34, 37, 38  accepted, no effect
//   35  PWM, 2 bytes: mode, duty cycle in percent (0 to 100)
//   36  DAC, 7 bytes: waveform (0 sine, 1 square, 2 triangle), frequency in Hz
//       (LE16), amplitude in mV (LE16, peak), offset in mV (LE16, signed)
//   64  read the sampling settings (8 bytes, as sent with 32)
//   65  read the acquisition status (5 bytes): acquisitions since power-on
//       (LE16), samples per channel of the last one (LE16), its channel mask
//   66  read the PWM settings (2 bytes, as sent with 35)
//   67  read the DAC settings (7 bytes, as sent with 36)
//   68  read the calibration image (100 bytes, see calibrationImage)
// Anything else is answered with status 1; out-of-range settings with 100.
//
// Sample stream, per packet: byte 0 the number of 16-bit samples in the packet,
// byte 1 the final flag (1 on the last packet), then the samples of input 1
// followed by those of input 2 (enabled inputs only, the same number each),
// little-endian signed counts. At most 255 samples per packet. A measurement
// without an enabled input or without samples is a single final packet of size 0.
//
// Timing: sample k is taken k sample periods after the start; period codes 0
// to 16 give 10 us to 2 s (see SimulatedInstrument::samplePeriod), so codes 5
// to 16 run at 0.5 ms to 2 s.
//
// Loopback: input 1 sees the DAC output; input 2 sees the mean level of the
// PWM output (duty cycle times PwmHighLevel).
class SimulatedInstrumentI : public SimulatedInstrument
{
public:
    static const int Model = 4;
    static const int Revision = 1;
    static const int FirmwareVersion = 1;
    static const int CalibrationImageSize = 100;
    static const quint8 CalibrationMarker = 0x43;
    static const int PeriodClasses = 5;
    static constexpr double PwmHighLevel = 5.0;

    // The calibration of the inputs, as stored in the instrument: per input
    // (0, 1), range (0, 1) and period class (min(period code, 4)). The raw count
    // for a voltage V is V / (scale / 1e6) + offset / 10.
    struct Calibration
    {
        qint16 offset[2][2][PeriodClasses];   // tenths of a count
        quint16 scale[2][2][PeriodClasses];   // microvolts per count
    };

    explicit SimulatedInstrumentI(const QString &serialNumber = QStringLiteral("SYAH004010001"),
                                  int firmwareVersion = FirmwareVersion);

    // A calibration with a different offset and scale for every entry.
    static Calibration factoryCalibration();
    Calibration calibration() const;
    void setCalibration(const Calibration &calibration);

    // The 100-byte image read with 68: byte 0 the marker 0x43; the offset of
    // input c, range r, class i at 1 + 8i + 4c + 2r and its scale at
    // 41 + 8i + 4c + 2r, little-endian; bytes 81 to 99 zero. Without a stored
    // calibration every byte is FF.
    QByteArray calibrationImage() const;

    QByteArray samplingSettings() const;
    QByteArray dacSettings() const;
    QByteArray pwmSettings() const;

    // The raw count input `channel` (0, 1) reports for `volts`.
    qint16 countFor(int channel, int range, int periodCode, double volts) const;

protected:
    Answer instruction(quint8 command, const QByteArray &payload) override;
    void powerOn() override;

private:
    QByteArray calibrationImageLocked() const;
    qint16 countLocked(int channel, int range, int periodCode, double volts) const;
    SimulatedWaveform dacWaveform() const;
    Answer startMeasurement(const QByteArray &payload);

    Calibration m_calibration;
    QByteArray m_sampling;
    QByteArray m_dac;
    QByteArray m_pwm;
    int m_lastSampleCount = 0;
    int m_lastChannelMask = 0;
};
