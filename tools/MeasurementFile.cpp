#include "MeasurementFile.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <utility>

namespace {

// Sample times are multiples of the period code's time: nine digits give
// every one of them without the binary tails of the multiplication.
void appendSeconds(std::string &line, double value)
{
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::general, 9);
    line.append(text, result.ptr);
}

// Appends the shortest round-trip text of a finite value; nothing otherwise.
void appendNumber(std::string &line, double value)
{
    if (!std::isfinite(value))
        return;
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    line.append(text, result.ptr);
}

bool endsWith(const std::string &text, const char *suffix)
{
    const std::string tail(suffix);
    return text.size() > tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

} // namespace

MeasurementFile::MeasurementFile(std::ostream &out, Format format, Layout layout)
    : m_out(out), m_format(format), m_layout(std::move(layout))
{
}

MeasurementFile::Format MeasurementFile::formatFor(const std::string &path, bool json)
{
    return json || endsWith(path, ".json") || endsWith(path, ".jsonl") ? Format::JsonLines : Format::Csv;
}

std::string MeasurementFile::number(double value)
{
    std::string text;
    appendNumber(text, value);
    return text;
}

bool MeasurementFile::flushed()
{
    m_out.flush();
    return static_cast<bool>(m_out);
}

bool MeasurementFile::begin(const Json &metadata)
{
    if (m_format == Format::JsonLines) {
        std::vector<double> times;
        size_t samples = m_layout.dac1Volts.size();
        if (metadata.contains("samples_per_channel") && metadata["samples_per_channel"].is_number_integer())
            samples = std::max<size_t>(samples, metadata["samples_per_channel"].get<size_t>());
        times.reserve(samples);
        for (size_t k = 0; k < samples; ++k)
            times.push_back(double(k) * m_layout.periodSeconds);
        Json header = {{"record", "measurement"},
                       {"device", metadata.value("device", 0)},
                       {"serial", metadata.value("serial_number", std::string())},
                       {"generation", metadata.value("generation", 0)},
                       {"kind", metadata.value("kind", std::string())},
                       {"metadata", metadata},
                       {"time_s", times}};
        if (!m_layout.dac1Volts.empty())
            header["dac1_volts"] = m_layout.dac1Volts;
        m_out << header.dump() << "\n";
        return flushed();
    }
    for (const auto &item : metadata.items())
        m_out << "# " << item.key() << ": "
              << (item.value().is_string() ? item.value().get<std::string>() : item.value().dump()) << "\n";
    m_out << "point,sample,time_s";
    if (m_layout.pointStarts)
        m_out << ",point_start_s";
    if (!m_layout.dac1Volts.empty())
        m_out << ",dac1_volts";
    if (!m_layout.dac2Volts.empty())
        m_out << ",dac2_volts";
    for (int channel : m_layout.channels)
        m_out << ",channel" << channel << "_volts";
    m_out << "\n";
    return flushed();
}

bool MeasurementFile::appendPoint(int point, double startSeconds, const std::vector<std::vector<double>> &values)
{
    const size_t p = static_cast<size_t>(point);
    const bool hasDac2 = p < m_layout.dac2Volts.size();
    if (m_format == Format::JsonLines) {
        Json record = {{"record", "point"}, {"point", point}};
        if (m_layout.pointStarts)
            record["start_s"] = startSeconds;
        if (hasDac2)
            record["dac2_volts"] = m_layout.dac2Volts[p];
        Json channels = Json::object();
        for (size_t i = 0; i < m_layout.channels.size() && i < values.size(); ++i)
            channels[std::to_string(m_layout.channels[i])] = values[i];
        record["channels"] = std::move(channels);
        m_out << record.dump() << "\n";
    } else {
        size_t length = 0;
        for (const auto &channel : values)
            length = std::max(length, channel.size());
        const std::string pointText = std::to_string(point) + ",";
        const std::string start = m_layout.pointStarts ? "," + number(startSeconds) : std::string();
        const std::string dac2 = hasDac2 ? "," + number(m_layout.dac2Volts[p])
            : m_layout.dac2Volts.empty()  ? std::string()
                                          : std::string(",");
        for (size_t sample = 0; sample < length; ++sample) {
            m_line = pointText;
            m_line += std::to_string(sample);
            m_line += ',';
            appendSeconds(m_line, double(sample) * m_layout.periodSeconds);
            m_line += start;
            if (!m_layout.dac1Volts.empty()) {
                m_line += ',';
                if (sample < m_layout.dac1Volts.size())
                    appendNumber(m_line, m_layout.dac1Volts[sample]);
            }
            m_line += dac2;
            for (size_t i = 0; i < m_layout.channels.size(); ++i) {
                m_line += ',';
                if (i < values.size() && sample < values[i].size())
                    appendNumber(m_line, values[i][sample]);
            }
            m_line += '\n';
            m_out << m_line;
        }
        m_rows += length;
    }
    ++m_points;
    return flushed();
}

bool MeasurementFile::finish(bool complete)
{
    if (m_format == Format::JsonLines)
        m_out << Json{{"record", "end"}, {"complete", complete}, {"points", m_points}}.dump() << "\n";
    else
        m_out << "# complete: " << (complete ? "true" : "false") << "\n# points: " << m_points << "\n";
    return flushed();
}
