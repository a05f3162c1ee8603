#include "SimulatedInstrument.h"

#include <mutex>

#include <cmath>

#include "SimulatedWire.h"

namespace {

const quint8 RequestStart = 0x05;
const quint8 ActionReadPage = 0x12;
const quint8 ActionPageSize = 0x14;
const int RequestHeaderSize = 8;

} // namespace

SimulatedInstrument::SimulatedInstrument(int model, const SimulatedInformationPage &page)
    : m_model(model)
    , m_page(page)
{
}

SimulatedInstrument::~SimulatedInstrument() = default;

bool SimulatedInstrument::isBootAction(quint8 command)
{
    return command >= 0x10 && command <= 0x18;
}

bool SimulatedInstrument::isRawAction(quint8 command)
{
    return command == 0x02 || command == 0x03 || command == 0x04 || command == 0x08
           || command == 0x06;
}

void SimulatedInstrument::hostWrote(const QByteArray &bytes, SimulatedLink &link)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pending.append(bytes);
    QByteArray out;
    consume(out);
    if (!out.isEmpty())
        link.sendToHost(out);
}

void SimulatedInstrument::consume(QByteArray &out)
{
    int pos = 0;
    const int size = m_pending.size();
    while (pos < size) {
        const quint8 first = quint8(m_pending.at(pos));
        if (first == RequestStart) {
            if (size - pos < RequestHeaderSize)
                break;
            const int length = SimulatedWire::readLE16(m_pending, pos + 6);
            if (size - pos < RequestHeaderSize + length)
                break;
            const quint32 id = SimulatedWire::readLE32(m_pending, pos + 1);
            const quint8 command = quint8(m_pending.at(pos + 5));
            const QByteArray payload = m_pending.mid(pos + RequestHeaderSize, length);
            pos += RequestHeaderSize + length;
            framedRequest(id, command, payload, out);
        } else {
            ++pos;
            if (isRawAction(first)) {
                logRequest(true, 0, first, QByteArray());
                if (first == 0x03)
                    m_mode = Mode::Application;
            } else {
                ++m_skippedBytes;
            }
        }
    }
    m_pending.remove(0, pos);
}

void SimulatedInstrument::framedRequest(quint32 id, quint8 command, const QByteArray &payload,
                                        QByteArray &out)
{
    logRequest(false, id, command, payload);
    if (!m_replying)
        return;
    if (isBootAction(command)) {
        bootAction(id, command, out);
        return;
    }
    if (m_mode == Mode::Boot) {
        out += SimulatedWire::longPacket(id, StatusNotRecognised, QByteArray());
        return;
    }
    const Answer answer = instruction(command, payload);
    out += SimulatedWire::longPacket(id, answer.status, answer.data);
    out += answer.stream;
}

void SimulatedInstrument::bootAction(quint32 id, quint8 command, QByteArray &out)
{
    if (m_bootStatus != 0) {
        out += SimulatedWire::longPacket(id, m_bootStatus, QByteArray());
        return;
    }
    QByteArray data;
    if (command == ActionPageSize) {
        SimulatedWire::appendBE16(data, quint16(m_page.size()));
    } else if (command == ActionReadPage) {
        data = m_page.toBytes();
        data.append(char(0xFF));
        data.append(m_pageIntact ? char(0xFF) : char(0x00));
    }
    out += SimulatedWire::longPacket(id, StatusDone, data);
}

void SimulatedInstrument::logRequest(bool raw, quint32 id, quint8 command, const QByteArray &payload)
{
    if (m_requests.size() >= size_t(RequestLogLimit))
        m_requests.pop_front();
    HostRequest request;
    request.raw = raw;
    request.id = id;
    request.command = command;
    request.payload = payload;
    m_requests.push_back(request);
}

void SimulatedInstrument::opened()
{
    // A new session starts with a clean receiver: bytes of a request cut short
    // in an earlier session belong to nothing.
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pending.clear();
}

void SimulatedInstrument::closed()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pending.clear();
}

void SimulatedInstrument::portCycled()
{
    // A port cycle is a power cycle for a bus-powered instrument: the boot
    // firmware runs again and the outputs return to their power-on state.
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pending.clear();
    m_mode = Mode::Boot;
    m_acquisitions = 0;
    powerOn();
}

SimulatedInstrument::Mode SimulatedInstrument::mode() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_mode;
}

SimulatedInformationPage SimulatedInstrument::informationPage() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_page;
}

void SimulatedInstrument::setInformationPage(const SimulatedInformationPage &page)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_page = page;
}

void SimulatedInstrument::setPageIntact(bool intact)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pageIntact = intact;
}

void SimulatedInstrument::setBootStatus(quint8 status)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bootStatus = status;
}

void SimulatedInstrument::setReplying(bool replying)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_replying = replying;
}

void SimulatedInstrument::setCalibrationStored(bool stored)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calibrationStored = stored;
}

bool SimulatedInstrument::calibrationStored() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calibrationStored;
}

SimulatedSignal SimulatedInstrument::signal() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_signal;
}

void SimulatedInstrument::setSignal(const SimulatedSignal &signal)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_signal = signal;
}

QVector<SimulatedInstrument::HostRequest> SimulatedInstrument::hostRequests() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    QVector<HostRequest> requests;
    requests.reserve(int(m_requests.size()));
    for (const HostRequest &request : m_requests)
        requests.append(request);
    return requests;
}

void SimulatedInstrument::clearHostRequests()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_requests.clear();
}

int SimulatedInstrument::skippedBytes() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_skippedBytes;
}

quint32 SimulatedInstrument::acquisitionCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_acquisitions;
}

double SimulatedInstrument::samplePeriod(int code)
{
    static const double seconds[] = {
        0.00001, 0.00002, 0.00005, 0.0001, 0.0002, 0.0005, 0.001, 0.002, 0.005,
        0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1.0, 2.0,
    };
    if (code < 0 || code > 16)
        return 0.0;
    return seconds[code];
}

qint16 SimulatedInstrument::clampToCount(double value)
{
    if (std::isnan(value))
        return 0;
    const double rounded = std::floor(value + 0.5);
    if (rounded >= 32767.0)
        return 32767;
    if (rounded <= -32768.0)
        return -32768;
    return qint16(rounded);
}
