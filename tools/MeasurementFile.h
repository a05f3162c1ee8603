// A measurement file written while the measurement runs: the header first,
// then each sweep point as it completes (flushed, so that a file cut short by
// Ctrl-C, a time-out or a killed process holds every point written before),
// then a closing record saying whether the measurement completed.
//
// CSV: "# key: value" metadata lines (values as JSON, strings bare), one
// column-name line, one line per sample, and at the end "# complete: true" or
// "# complete: false" with "# points: N". A file without the closing lines was
// cut short.
//
// JSON Lines (one JSON object per line, each line whole at every flush):
//   {"record":"measurement", "device", "serial", "generation", "kind",
//    "metadata": {...}, "time_s": [...], "dac1_volts": [...] (sweeps)}
//   {"record":"point", "point": p, "start_s": s (2D sweep), "dac2_volts": v
//    (2D sweep), "channels": {"1": [...], "2": [...]}}   one per point
//   {"record":"end", "complete": true|false, "points": N}
//
// Values are written with the shortest text that reads back as the same
// double; a value that is not finite is an empty CSV cell or JSON null.
#ifndef VELDRIN_MEASUREMENTFILE_H
#define VELDRIN_MEASUREMENTFILE_H

#include <nlohmann/json.hpp>

#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

class MeasurementFile
{
public:
    using Json = nlohmann::ordered_json;
    enum class Format { Csv, JsonLines };

    // What the columns are. dac1Volts: DAC 1 at each sample (sweeps);
    // dac2Volts: DAC 2 at each point (2D sweep); pointStarts: record each
    // point's start, in seconds since the measurement began (2D sweep).
    struct Layout
    {
        std::vector<int> channels;
        double periodSeconds = 0;
        std::vector<double> dac1Volts;
        std::vector<double> dac2Volts;
        bool pointStarts = false;
    };

    MeasurementFile(std::ostream &out, Format format, Layout layout);

    // JSON Lines for --json or a name ending in .json or .jsonl; else CSV.
    static Format formatFor(const std::string &path, bool json);
    // The shortest decimal text that reads back as the same double; empty for
    // a value that is not finite.
    static std::string number(double value);

    // Each returns whether the stream took everything so far.
    bool begin(const Json &metadata);
    // values[i]: the samples of layout.channels[i] at this point. Channels of
    // different lengths (a point cut short) leave the missing cells empty.
    bool appendPoint(int point, double startSeconds, const std::vector<std::vector<double>> &values);
    bool finish(bool complete);

    std::size_t pointsWritten() const { return m_points; }
    std::size_t rowsWritten() const { return m_rows; }

private:
    bool flushed();

    std::ostream &m_out;
    Format m_format;
    Layout m_layout;
    std::size_t m_points = 0;
    std::size_t m_rows = 0;
    std::string m_line;
};

#endif
