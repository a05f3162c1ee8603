#include "USBReceiver.h"

#include <algorithm>
#include <cstring>

#include "USBDevice.h"

namespace {

// One device read takes at most this much; an FT232H delivers up to 64 KiB
// per USB transfer.
constexpr int ChunkSize = 65536;

USBResult timedOut()
{
    return USBResult(QStringLiteral("Communication timed out"), 2);
}

} // namespace

USBReceiver::USBReceiver(std::function<void()> arrived)
    : m_arrived(std::move(arrived))
{
}

USBReceiver::~USBReceiver()
{
    stop();
}

void USBReceiver::setDevice(std::shared_ptr<USBDevice> device)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_device = std::move(device);
    m_buffer.clear();
    m_head = 0;
    m_failed = false;
    m_failure = USBResult();
}

void USBReceiver::start()
{
    if (m_thread.joinable() || !m_device)
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = false;
    }
    m_thread = std::thread([this] { run(); });
}

void USBReceiver::stop()
{
    if (!m_thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_thread.join();
}

void USBReceiver::run()
{
    const std::shared_ptr<USBDevice> device = m_device;
    std::vector<char> chunk(ChunkSize);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stopping || m_failed)
                return;
        }
        int got = 0;
        try {
            got = device->readSome(chunk.data(), ChunkSize);
        } catch (const USBResult &failure) {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_failed = true;
                m_failure = failure;
            }
            m_arrived();
            return;
        }
        if (got <= 0)
            continue;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            // Drop the consumed front once it is at least half the buffer: each
            // byte is moved at most once on average, and the capacity is kept.
            if (m_head > 0 && m_head * 2 >= m_buffer.size()) {
                m_buffer.erase(m_buffer.begin(), m_buffer.begin() + std::ptrdiff_t(m_head));
                m_head = 0;
            }
            m_buffer.insert(m_buffer.end(), chunk.data(), chunk.data() + got);
        }
        m_arrived();
    }
}

void USBReceiver::waitForBytes()
{
    if (!m_device)
        throw USBResult(QStringLiteral("Invalid communication handle."), 2);
    // As roomy as the thread's chunk: a vendor read may hand over more than
    // the one byte it waits for. Left uninitialised: only what arrived is used.
    const std::unique_ptr<char[]> chunk(new char[ChunkSize]);
    const int got = m_device->readSome(chunk.get(), ChunkSize);
    if (got <= 0)
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_buffer.insert(m_buffer.end(), chunk.get(), chunk.get() + got);
}

int USBReceiver::take(char *buffer, int count)
{
    const int n = int(std::min<std::size_t>(std::size_t(count), m_buffer.size() - m_head));
    if (n > 0) {
        std::memcpy(buffer, m_buffer.data() + m_head, std::size_t(n));
        m_head += std::size_t(n);
        if (m_head == m_buffer.size()) {
            m_buffer.clear();
            m_head = 0;
        }
    }
    return n;
}

int USBReceiver::buffered() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return int(m_buffer.size() - m_head);
}

bool USBReceiver::hasFailed() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_failed;
}

int USBReceiver::bytesAvailable()
{
    int inBuffer = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        inBuffer = int(m_buffer.size() - m_head);
        if (inBuffer == 0 && m_failed)
            throw m_failure;
    }
    if (m_thread.joinable() || !m_device)
        return inBuffer;
    return inBuffer + m_device->bytesAvailable();
}

void USBReceiver::throwIfNeverComplete(int needed)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_failed || m_buffer.size() - m_head >= std::size_t(std::max(0, needed)))
        return;
    m_buffer.clear();
    m_head = 0;
    throw m_failure;
}

void USBReceiver::read(char *buffer, int count)
{
    int got = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        got = take(buffer, count);
    }
    if (got == count)
        return;
    if (m_thread.joinable() || !m_device)
        throw timedOut();
    m_device->read(buffer + got, count - got);
}

int USBReceiver::readAvailable(QByteArray &buffer, int targetSize)
{
    const int missing = std::min(std::max(0, targetSize - buffer.size()), MaxAvailableRead);
    int got = 0;
    if (missing > 0) {
        const int oldSize = buffer.size();
        std::lock_guard<std::mutex> lock(m_mutex);
        const int n = int(std::min<std::size_t>(std::size_t(missing), m_buffer.size() - m_head));
        if (n > 0) {
            buffer.resize(oldSize + n);
            got = take(buffer.data() + oldSize, n);
        }
    }
    if (got == missing || m_thread.joinable() || !m_device)
        return got;
    // The rest straight from the device, as much as it holds.
    return got + m_device->readAvailable(buffer, buffer.size() + (missing - got));
}
