#include "SimulatedInstrument.h"

#include <mutex>

#include <algorithm>
#include <cmath>

#include "SimulatedClock.h"
#include "SimulatedWire.h"

namespace {

const quint8 RequestStart = 0x05;
const quint8 ActionReadPage = 0x12;
const quint8 ActionPageSize = 0x14;
const int RequestHeaderSize = 8;
// A byte that starts no packet, sent by the corrupt-stream fault.
const char StrayByte = char(0xA5);

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

bool SimulatedInstrument::CommandFault::takes(quint8 c)
{
    if (count <= 0 || c != command)
        return false;
    --count;
    return true;
}

void SimulatedInstrument::hostWrote(const QByteArray &bytes, SimulatedLink &link)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const qint64 now = SimulatedClock::nowNs();
    m_pending.append(bytes);
    consume(now);
    release(now, link);
}

void SimulatedInstrument::advance(qint64 nowNs, SimulatedLink &link)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    release(nowNs, link);
}

qint64 SimulatedInstrument::nextOutputNs() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_outputs.empty() ? -1 : m_outputs.front().dueNs;
}

void SimulatedInstrument::plan(qint64 dueNs, const QByteArray &bytes, bool stream,
                               quint32 acquisition, int index)
{
    // Outputs leave in the order they are produced; one produced at the same
    // moment as another goes after it.
    auto at = std::upper_bound(m_outputs.begin(), m_outputs.end(), dueNs,
                               [](qint64 due, const Output &output) { return due < output.dueNs; });
    m_outputs.insert(at, Output{dueNs, bytes, stream, acquisition, index});
}

void SimulatedInstrument::endAcquisitionAt(qint64 nowNs)
{
    // Packets already produced are on their way; the rest are never made.
    m_outputs.erase(std::remove_if(m_outputs.begin(), m_outputs.end(),
                                   [&](const Output &output) {
                                       return output.stream && output.dueNs > nowNs;
                                   }),
                    m_outputs.end());
}

void SimulatedInstrument::release(qint64 nowNs, SimulatedLink &link)
{
    while (!m_outputs.empty() && m_outputs.front().dueNs <= nowNs) {
        const Output output = m_outputs.front();
        m_outputs.pop_front();
        if (output.stream) {
            if (m_stopAfterPackets >= 0 && output.index >= m_stopAfterPackets) {
                // The stream stops here: nothing more of this acquisition.
                m_outputs.erase(std::remove_if(m_outputs.begin(), m_outputs.end(),
                                               [&](const Output &o) {
                                                   return o.stream && o.acquisition == output.acquisition;
                                               }),
                                m_outputs.end());
                m_stopAfterPackets = -1;
                continue;
            }
            if (m_corruptNextPacket) {
                m_corruptNextPacket = false;
                link.sendToHostProducedAt(output.dueNs, QByteArray(1, StrayByte));
            }
        }
        link.sendToHostProducedAt(output.dueNs, output.bytes);
    }
}

void SimulatedInstrument::consume(qint64 nowNs)
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
            framedRequest(id, command, payload, nowNs);
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
                                        qint64 nowNs)
{
    logRequest(false, id, command, payload);
    if (!m_replying || m_dropRequests.takes(command))
        return;
    const qint64 replyAt = m_paced ? nowNs + m_replyDelayNs : nowNs;

    Answer answer;
    if (m_statusOverride.takes(command)) {
        answer.status = quint8(m_statusOverride.value);
    } else if (isBootAction(command)) {
        plan(replyAt, bootAction(id, command), false, 0, 0);
        return;
    } else if (m_mode == Mode::Boot) {
        answer.status = StatusNotRecognised;
    } else {
        answer = instruction(command, payload);
    }
    if (m_shortenReplies.takes(command))
        answer.data.chop(std::min(m_shortenReplies.value, answer.data.size()));

    const bool starts = answer.status == StatusDone && !answer.stream.isEmpty();
    if (starts)
        endAcquisitionAt(nowNs);
    plan(replyAt, SimulatedWire::longPacket(id, answer.status, answer.data), false, 0, 0);
    if (!starts)
        return;
    // The acquisition starts as its reply leaves; sample k is taken k sample
    // periods later.
    const quint32 acquisition = acquisitionCountLocked();
    m_lastAcquisitionStartNs = replyAt;
    const double periodNs = m_paced ? answer.samplePeriod * 1e9 : 0.0;
    for (int i = 0; i < answer.stream.size(); ++i) {
        const StreamPacket &packet = answer.stream.at(i);
        const qint64 due = replyAt + qint64(std::llround(packet.samplesTaken * periodNs));
        plan(due, packet.bytes, true, acquisition, i);
    }
}

QByteArray SimulatedInstrument::bootAction(quint32 id, quint8 command)
{
    if (m_bootStatus != 0)
        return SimulatedWire::longPacket(id, m_bootStatus, QByteArray());
    QByteArray data;
    if (command == ActionPageSize) {
        SimulatedWire::appendBE16(data, quint16(m_page.size()));
    } else if (command == ActionReadPage) {
        data = m_page.toBytes();
        data.append(char(0xFF));
        data.append(m_pageIntact ? char(0xFF) : char(0x00));
    }
    return SimulatedWire::longPacket(id, StatusDone, data);
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
    // What the instrument still had to send has nowhere to go.
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pending.clear();
    m_outputs.clear();
}

void SimulatedInstrument::portCycled()
{
    // A port cycle is a power cycle for a bus-powered instrument: the boot
    // firmware runs again and the outputs return to their power-on state.
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pending.clear();
    m_outputs.clear();
    m_mode = Mode::Boot;
    m_acquisitions = 0;
    powerOn();
}

void SimulatedInstrument::setPaced(bool paced)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_paced = paced;
}

bool SimulatedInstrument::isPaced() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_paced;
}

void SimulatedInstrument::setReplyDelayUs(int microseconds)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_replyDelayNs = qint64(std::max(0, microseconds)) * 1000;
}

int SimulatedInstrument::replyDelayUs() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return int(m_replyDelayNs / 1000);
}

int SimulatedInstrument::plannedStreamPackets() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return int(std::count_if(m_outputs.begin(), m_outputs.end(),
                             [](const Output &output) { return output.stream; }));
}

qint64 SimulatedInstrument::lastAcquisitionStartNs() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lastAcquisitionStartNs;
}

void SimulatedInstrument::stopStreamAfter(int packets)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopAfterPackets = packets < 0 ? -1 : packets;
}

void SimulatedInstrument::corruptNextStreamPacket()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_corruptNextPacket = true;
}

void SimulatedInstrument::overrideStatus(quint8 command, quint8 status, int count)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_statusOverride = CommandFault{command, count, status};
}

void SimulatedInstrument::dropRequests(quint8 command, int count)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_dropRequests = CommandFault{command, count, 0};
}

void SimulatedInstrument::shortenReplies(quint8 command, int bytes, int count)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_shortenReplies = CommandFault{command, count, std::max(0, bytes)};
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
