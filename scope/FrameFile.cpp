#include "FrameFile.h"

#include "MeasurementFile.h"
#include "VeldrinLib.h"

#include <fstream>

namespace {

using Json = MeasurementFile::Json;

const double periodTimes[] = {0.00001, 0.00002, 0.00005, 0.0001, 0.0002, 0.0005, 0.001, 0.002, 0.005,
                              0.01,    0.02,    0.05,    0.1,    0.2,    0.5,    1.0,   2.0};

const char *kindName(AcquisitionKind kind)
{
    switch (kind) {
    case AcquisitionKind::Sweep1D: return "sweep1d";
    case AcquisitionKind::Sweep2D: return "sweep2d";
    default: return "measure";
    }
}

std::vector<double> toStd(const QVector<double> &values)
{
    return std::vector<double>(values.begin(), values.end());
}

} // namespace

double FrameFile::periodSeconds(int periodCode)
{
    return periodCode >= 0 && periodCode <= 16 ? periodTimes[periodCode] : 0.0;
}

QVector<double> FrameFile::ramp(int startMv, int stopMv, int count)
{
    QVector<double> volts;
    volts.reserve(count);
    for (int k = 0; k < count; ++k)
        volts.append((startMv + (stopMv - startMv) * double(k) / double(qMax(1, count - 1))) / 1000.0);
    return volts;
}

bool FrameFile::write(const QString &path, const AcquisitionFrame &frame, const InstrumentEntry &instrument,
                      const QString &provider, QString *error)
{
    const AcquisitionSettings &s = frame.settings;
    int major = 0, minor = 0, patch = 0;
    getLibraryVersion(&major, &minor, &patch);
    const std::string library =
        std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
    const std::string scope = "veldrin-scope " + std::to_string(VELDRIN_VERSION_MAJOR) + "."
        + std::to_string(VELDRIN_VERSION_MINOR) + "." + std::to_string(VELDRIN_VERSION_PATCH) + " (VeldrinLib "
        + library + ")";
    MeasurementFile::Layout layout;
    // The range of the measured inputs, as the tool records it; a list when
    // the two inputs were measured on different ranges.
    Json range;
    for (int channel = 0; channel < 2; ++channel)
        if (s.channelMask & (1 << channel)) {
            layout.channels.push_back(channel + 1);
            if (range.is_null())
                range = s.range[channel];
            else if (range != s.range[channel])
                range = Json::array({s.range[0], s.range[1]});
        }
    if (range.is_null())
        range = s.range[0];
    layout.periodSeconds = periodSeconds(s.periodCode);
    Json metadata = {{"device", frame.device},
                     {"serial_number", instrument.serial.toStdString()},
                     {"generation", instrument.generation},
                     {"firmware", instrument.firmware},
                     {"kind", kindName(s.kind)},
                     {"period_code", s.periodCode},
                     {"period_s", layout.periodSeconds},
                     {"samples_per_channel", s.samples},
                     {"points", s.kind == AcquisitionKind::Sweep2D ? s.points : 1},
                     {"channels", layout.channels},
                     {"adc_range", range},
                     {"spike_filter", s.spikeFilter},
                     {"calibration", frame.calibration == VELDRIN_CALIBRATION_STORED ? "stored"
                                                                                    : "missing (nominal factors)"},
                     {"started_utc", frame.startedUtc.toStdString()},
                     {"library_version", library},
                     {"tool", scope},
                     {"provider", provider.toStdString()}};
    if (s.kind != AcquisitionKind::Measure) {
        metadata["dac1_sweep_mv"] = {s.sweepStart, s.sweepStop};
        layout.dac1Volts = toStd(ramp(s.sweepStart, s.sweepStop, s.samples));
    }
    if (s.kind == AcquisitionKind::Sweep2D) {
        metadata["dac2_sweep_mv"] = {s.sweepStart2, s.sweepStop2};
        layout.dac2Volts = toStd(ramp(s.sweepStart2, s.sweepStop2, s.points));
        metadata["dac2_setpoints_v"] = layout.dac2Volts;
        layout.pointStarts = true;
    }

    std::ofstream out(path.toStdString(), std::ios::binary);
    if (!out) {
        *error = QStringLiteral("cannot write %1").arg(path);
        return false;
    }
    const auto format = MeasurementFile::formatFor(path.toStdString(), false);
    MeasurementFile file(out, format, layout);
    bool written = file.begin(metadata);
    int points = 0;
    for (const auto &rows : frame.rows)
        points = qMax(points, rows.size());
    for (int point = 0; written && point < points; ++point) {
        std::vector<std::vector<double>> values;
        for (int channel = 0; channel < 2; ++channel)
            if (s.channelMask & (1 << channel))
                values.push_back(point < frame.rows[channel].size() ? toStd(frame.rows[channel][point])
                                                                    : std::vector<double>());
        written = file.appendPoint(point, frame.pointStarts.value(point, 0.0), values);
    }
    if (!written || !file.finish(frame.complete)) {
        *error = QStringLiteral("writing %1 failed").arg(path);
        return false;
    }
    return true;
}
