#include "ProtocolHarness.h"

#include <QThread>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#include "USBDevice.h"
#include "USBResult.h"

namespace {

constexpr unsigned long InvalidHandleStatus = 1;
constexpr int ReadAvailableLimit = 10000;

USBResult notOpen() { return USBResult(QStringLiteral("Device not open"), 2); }
USBResult timedOut() { return USBResult(QStringLiteral("Communication timed out"), 2); }

} // namespace

// The state behind one vendor handle: shared by every clone of the device.
struct ProtocolHarness::Channel : SimulatedLink
{
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    bool open = false;
    int readTimeoutMs = 1000;
    std::vector<char> rx;
    size_t rxHead = 0;
    QList<QByteArray> writes;
    int polls = 0;
    unsigned long failNextRead = 0;
    Responder responder;
    PollHook pollHook;

    void sendToHost(const QByteArray &bytes) override
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            // Drop the consumed front before it dominates, keeping capacity.
            if (rxHead > 0 && rxHead * 2 >= rx.size()) {
                rx.erase(rx.begin(), rx.begin() + std::ptrdiff_t(rxHead));
                rxHead = 0;
            }
            rx.insert(rx.end(), bytes.constData(), bytes.constData() + bytes.size());
        }
        changed.notify_all();
    }

    size_t unread() const { return rx.size() - rxHead; }

    // Caller holds the mutex.
    void takeInto(char *out, size_t count)
    {
        std::memcpy(out, rx.data() + rxHead, count);
        rxHead += count;
        if (rxHead == rx.size()) {
            rx.clear();
            rxHead = 0;
        }
    }

    void recordWrite(const QByteArray &bytes)
    {
        Responder respond;
        {
            std::lock_guard<std::mutex> lock(mutex);
            writes.append(bytes);
            respond = responder;
        }
        changed.notify_all();
        if (respond)
            respond(bytes, *this);
    }
};

namespace {

class HarnessDevice : public USBDevice
{
public:
    HarnessDevice(std::shared_ptr<ProtocolHarness::Channel> channel, bool handle)
        : USBDevice(0, 0x04036014, QStringLiteral("SYAH00401"), QStringLiteral("Harness bridge")),
          m_channel(std::move(channel)), m_handle(handle)
    {
    }

    void resetAndClose() override { close(); }

    bool isOpen() const override
    {
        std::lock_guard<std::mutex> lock(m_channel->mutex);
        return m_handle;
    }

    int threadPriority() const override { return QThread::InheritPriority; }

    std::shared_ptr<USBDevice> clone() const override
    {
        std::lock_guard<std::mutex> lock(m_channel->mutex);
        return std::make_shared<HarnessDevice>(m_channel, m_handle);
    }

    USBDeviceStatus status() override
    {
        std::lock_guard<std::mutex> lock(m_channel->mutex);
        USBDeviceStatus result;
        if (!m_handle)
            return result;
        result.state = USBDeviceStatus::Open;
        result.rxQueueBytes = quint32(m_channel->unread());
        return result;
    }

    unsigned long purge() override
    {
        std::lock_guard<std::mutex> lock(m_channel->mutex);
        m_channel->rx.clear();
        m_channel->rxHead = 0;
        return 0;
    }

    USBResult open(int) override
    {
        {
            std::lock_guard<std::mutex> lock(m_channel->mutex);
            if (m_handle)
                return USBResult(QStringLiteral("Device already open"), 2);
            m_handle = true;
            m_channel->open = true;
            // Opening ends with a purge of both buffers, as on the bridge.
            m_channel->rx.clear();
            m_channel->rxHead = 0;
        }
        return USBResult::fromFtStatus(0);
    }

    USBResult close() override
    {
        {
            std::lock_guard<std::mutex> lock(m_channel->mutex);
            if (m_handle)
                m_channel->open = false;
            m_handle = false;
        }
        m_channel->changed.notify_all();
        return USBResult();
    }

    void writeByte(char byte) override
    {
        checkWritable();
        m_channel->recordWrite(QByteArray(1, byte));
    }

    int write(const QByteArray &bytes) override
    {
        checkWritable();
        if (bytes.isEmpty())
            return 0;
        m_channel->recordWrite(bytes);
        return bytes.size();
    }

    QByteArray read(int count) override
    {
        QByteArray bytes(count, 0);
        read(bytes.data(), count);
        return bytes;
    }

    void read(char *buffer, int count) override
    {
        std::unique_lock<std::mutex> lock(m_channel->mutex);
        checkReadable();
        const auto deadline = std::chrono::steady_clock::now()
                              + std::chrono::milliseconds(m_channel->readTimeoutMs);
        const size_t wanted = size_t(std::max(count, 0));
        m_channel->changed.wait_until(lock, deadline, [&] {
            return !m_channel->open || m_channel->unread() >= wanted;
        });
        if (!m_channel->open)
            throw USBResult::fromFtStatus(InvalidHandleStatus);
        // A short read still consumes what arrived, as the vendor read does.
        const size_t got = std::min(wanted, m_channel->unread());
        m_channel->takeInto(buffer, got);
        if (got < wanted)
            throw timedOut();
    }

    int readAvailable(QByteArray &buffer, int targetSize) override
    {
        std::lock_guard<std::mutex> lock(m_channel->mutex);
        checkReadable();
        const int missing = targetSize - buffer.size();
        const int n = std::min({int(m_channel->unread()), missing, ReadAvailableLimit});
        if (n <= 0)
            return 0;
        const int old = buffer.size();
        buffer.resize(old + n);
        m_channel->takeInto(buffer.data() + old, size_t(n));
        return n;
    }

    int bytesAvailable() override
    {
        ProtocolHarness::PollHook hook;
        {
            std::lock_guard<std::mutex> lock(m_channel->mutex);
            ++m_channel->polls;
            hook = m_channel->pollHook;
        }
        m_channel->changed.notify_all();
        if (hook)
            hook(*m_channel);
        std::lock_guard<std::mutex> lock(m_channel->mutex);
        // Like the vendor queue query, this does not test the object's own
        // handle: it fails only when the shared handle is closed.
        if (!m_channel->open)
            throw USBResult::fromFtStatus(InvalidHandleStatus);
        return int(m_channel->unread());
    }

    unsigned long setDefaultTimeouts() override { return setReadTimeout(1000); }
    unsigned long setStreamTimeouts() override { return setReadTimeout(50); }

    USBResult programIdentity(const USBDeviceIdentity &) override
    {
        if (isOpen())
            return USBResult(QStringLiteral("Already open."), 2);
        return USBResult::fromFtStatus(0);
    }

private:
    unsigned long setReadTimeout(int ms)
    {
        std::lock_guard<std::mutex> lock(m_channel->mutex);
        m_channel->readTimeoutMs = ms;
        return 0;
    }

    // Caller holds the mutex.
    void checkReadable()
    {
        if (!m_handle)
            throw notOpen();
        if (!m_channel->open)
            throw USBResult::fromFtStatus(InvalidHandleStatus);
        if (m_channel->failNextRead != 0) {
            const unsigned long status = m_channel->failNextRead;
            m_channel->failNextRead = 0;
            throw USBResult::fromFtStatus(status);
        }
    }

    void checkWritable()
    {
        std::lock_guard<std::mutex> lock(m_channel->mutex);
        if (!m_handle)
            throw notOpen();
        if (!m_channel->open)
            throw USBResult::fromFtStatus(InvalidHandleStatus);
    }

    std::shared_ptr<ProtocolHarness::Channel> m_channel;
    bool m_handle; // guarded by the channel mutex
};

} // namespace

ProtocolHarness::ProtocolHarness()
    : m_channel(std::make_shared<Channel>()),
      m_device(std::make_shared<HarnessDevice>(m_channel, false))
{
}

ProtocolHarness::~ProtocolHarness() = default;

std::shared_ptr<USBDevice> ProtocolHarness::device() const
{
    return m_device;
}

std::shared_ptr<USBDevice> ProtocolHarness::openedDevice() const
{
    if (!m_device->isOpen())
        m_device->open(500000);
    return m_device;
}

SimulatedLink &ProtocolHarness::link()
{
    return *m_channel;
}

void ProtocolHarness::sendToHost(const QByteArray &bytes)
{
    m_channel->sendToHost(bytes);
}

void ProtocolHarness::setResponder(Responder responder)
{
    std::lock_guard<std::mutex> lock(m_channel->mutex);
    m_channel->responder = std::move(responder);
}

void ProtocolHarness::setPollHook(PollHook hook)
{
    std::lock_guard<std::mutex> lock(m_channel->mutex);
    m_channel->pollHook = std::move(hook);
}

void ProtocolHarness::failNextRead(unsigned long vendorStatus)
{
    std::lock_guard<std::mutex> lock(m_channel->mutex);
    m_channel->failNextRead = vendorStatus;
}

QList<QByteArray> ProtocolHarness::writes() const
{
    std::lock_guard<std::mutex> lock(m_channel->mutex);
    return m_channel->writes;
}

bool ProtocolHarness::waitForWrites(int count, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_channel->mutex);
    return m_channel->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                       [&] { return m_channel->writes.size() >= count; });
}

int ProtocolHarness::unreadByteCount() const
{
    std::lock_guard<std::mutex> lock(m_channel->mutex);
    return int(m_channel->unread());
}

int ProtocolHarness::pollCount() const
{
    std::lock_guard<std::mutex> lock(m_channel->mutex);
    return m_channel->polls;
}

bool ProtocolHarness::waitForPolls(int count, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_channel->mutex);
    return m_channel->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                       [&] { return m_channel->polls >= count; });
}

int ProtocolHarness::readTimeoutMs() const
{
    std::lock_guard<std::mutex> lock(m_channel->mutex);
    return m_channel->readTimeoutMs;
}
