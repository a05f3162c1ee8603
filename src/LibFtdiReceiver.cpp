#include "LibFtdiReceiver.h"

#include <algorithm>
#include <cstring>
#if defined(__linux__)
#include <pthread.h>
#endif

#include "LibFtdiFunctions.h"

using namespace Ftdi;
using LibFtdi::Transfer;

namespace {

using Clock = std::chrono::steady_clock;

// The host-side queue stops taking bytes from the chip beyond this size.
constexpr std::size_t MaxQueued = std::size_t(1) << 20;
// How long the event thread waits in libusb before it looks whether it is to
// end (where libusb cannot be woken early).
constexpr long EventWaitUs = 50000;
// A transfer of a device that stopped answering altogether is reaped when
// libusb gives up on it; pausing waits this long for that at most.
constexpr auto ReapLimit = std::chrono::seconds(5);

} // namespace

LibFtdiReceiver::LibFtdiReceiver(const LibFtdiFunctions &functions, LibFtdi::ContextHead *context)
    : m_functions(functions), m_context(context)
{
}

LibFtdiReceiver::~LibFtdiReceiver()
{
    close();
}

bool LibFtdiReceiver::start(int count, int size)
{
    m_packetSize = m_context->maxPacketSize > 2 ? m_context->maxPacketSize : 64;
    m_buffers.resize(std::size_t(count));
    for (int i = 0; i < count; ++i) {
        Transfer *t = m_functions.allocTransfer(0);
        if (!t) {
            freeTransfers();
            return false;
        }
        m_buffers[std::size_t(i)].resize(std::size_t(size));
        t->deviceHandle = m_context->usbDeviceHandle;
        t->flags = 0;
        t->endpoint = static_cast<unsigned char>(m_context->outEp);
        t->type = LibFtdi::TransferTypeBulk;
        t->timeout = 0;
        t->length = size;
        t->callback = &LibFtdiReceiver::completed;
        t->userData = this;
        t->buffer = m_buffers[std::size_t(i)].data();
        t->isoPacketCount = 0;
        m_transfers.push_back(t);
    }
    m_events = std::thread([this] { runEvents(); });
    std::lock_guard<std::mutex> lock(m_mutex);
    for (Transfer *t : m_transfers)
        submit(t);
    return m_flow == Flow::Running;
}

void LibFtdiReceiver::close()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
        m_changed.notify_all();
    }
    pause();
    if (m_events.joinable()) {
        m_ending = true;
        if (m_functions.interruptEventHandler)
            m_functions.interruptEventHandler(m_context->usbContext);
        m_events.join();
    }
    freeTransfers();
}

void LibFtdiReceiver::freeTransfers()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    // A transfer libusb never gave back stays allocated: freeing it would
    // leave libusb writing into freed memory.
    if (m_inFlight != 0)
        return;
    for (Transfer *t : m_transfers)
        m_functions.freeTransfer(t);
    m_transfers.clear();
    m_keptBack.clear();
}

void LibFtdiReceiver::pause()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_paused = true;
        m_keptBack.clear();
    }
    // Cancelled without the lock, which their completions take. A transfer
    // that is not in flight answers "not found".
    for (Transfer *t : m_transfers)
        m_functions.cancelTransfer(t);
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait_for(lock, ReapLimit, [this] { return m_inFlight == 0; });
}

void LibFtdiReceiver::resume()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_paused = false;
    if (m_closed || m_inFlight != 0)
        return;
    for (Transfer *t : m_transfers)
        submit(t);
}

void LibFtdiReceiver::clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_received.clear();
    m_head = 0;
}

void LibFtdiReceiver::submit(Transfer *t)
{
    if (m_flow != Flow::Running)
        return;
    const int result = m_functions.submitTransfer(t);
    if (result == 0)
        ++m_inFlight;
    else
        m_flow = result == LibFtdi::UsbErrorNoDevice ? Flow::Lost : Flow::Failed;
}

void LIBFTDI_USB_CALL LibFtdiReceiver::completed(Transfer *t)
{
    static_cast<LibFtdiReceiver *>(t->userData)->onCompleted(t);
}

void LibFtdiReceiver::onCompleted(Transfer *t)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    --m_inFlight;
    switch (t->status) {
    case LibFtdi::TransferCompleted:
        // Every packet, full or short, starts with the chip's two status bytes.
        for (int offset = 0; offset < t->actualLength; offset += int(m_packetSize)) {
            const int end = std::min(t->actualLength, offset + int(m_packetSize));
            if (end - offset > 2)
                m_received.insert(m_received.end(), t->buffer + offset + 2, t->buffer + end);
        }
        break;
    case LibFtdi::TransferTimedOut:
    case LibFtdi::TransferCancelled:
        break;
    case LibFtdi::TransferNoDevice:
        m_flow = Flow::Lost;
        break;
    default:
        if (m_flow == Flow::Running)
            m_flow = Flow::Failed;
        break;
    }
    const bool again = (t->status == LibFtdi::TransferCompleted || t->status == LibFtdi::TransferTimedOut)
        && !m_paused && !m_closed;
    if (again) {
        if (queuedBytes() >= MaxQueued)
            m_keptBack.push_back(t);
        else
            submit(t);
    }
    m_changed.notify_all();
}

void LibFtdiReceiver::resumeKeptBack()
{
    if (m_keptBack.empty() || queuedBytes() >= MaxQueued || m_paused || m_closed)
        return;
    for (Transfer *t : m_keptBack)
        submit(t);
    m_keptBack.clear();
}

std::uint32_t LibFtdiReceiver::take(char *target, std::uint32_t count)
{
    const std::size_t n = std::min<std::size_t>(count, queuedBytes());
    if (n)
        std::memcpy(target, m_received.data() + m_head, n);
    m_head += n;
    if (m_head == m_received.size()) {
        m_received.clear();
        m_head = 0;
    } else if (m_head >= 65536) {
        // Drop the consumed front in bulk, not at every read.
        m_received.erase(m_received.begin(), m_received.begin() + static_cast<std::ptrdiff_t>(m_head));
        m_head = 0;
    }
    resumeKeptBack();
    return static_cast<std::uint32_t>(n);
}

Status LibFtdiReceiver::read(char *target, std::uint32_t count, std::uint32_t timeoutMs, std::uint32_t *got)
{
    *got = 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        if (m_closed)
            return InvalidHandle;
        // A device that has gone answers nothing more, as FTDI's driver does.
        if (m_flow == Flow::Lost)
            return IoError;
        *got += take(target + *got, count - *got);
        if (*got == count)
            return Ok;
        // What arrived before a failed transfer has been handed out; nothing
        // follows.
        if (m_flow == Flow::Failed)
            return IoError;
        if (timeoutMs == 0) {
            m_changed.wait(lock);
        } else if (m_changed.wait_until(lock, deadline) == std::cv_status::timeout) {
            *got += take(target + *got, count - *got);
            return m_closed ? InvalidHandle : Ok;
        }
    }
}

Status LibFtdiReceiver::queued(std::uint32_t *count)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_closed)
        return InvalidHandle;
    const std::size_t n = queuedBytes();
    if (m_flow == Flow::Lost || (n == 0 && m_flow == Flow::Failed))
        return IoError;
    *count = static_cast<std::uint32_t>(std::min<std::size_t>(n, UINT32_MAX));
    return Ok;
}

bool LibFtdiReceiver::lost() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_flow == Flow::Lost;
}

void LibFtdiReceiver::runEvents()
{
#if defined(__linux__)
    // Named, so that its CPU time can be told from the host's threads.
    pthread_setname_np(pthread_self(), "libftdi-events");
#endif
    while (!m_ending) {
        LibFtdi::TimeValue wait{0, EventWaitUs};
        if (m_functions.handleEventsTimeoutCompleted(m_context->usbContext, &wait, nullptr) < 0) {
            // libusb could not wait (its descriptors are gone with the
            // device): wait here instead of returning to it at once.
            std::unique_lock<std::mutex> lock(m_mutex);
            m_changed.wait_for(lock, std::chrono::microseconds(EventWaitUs));
        }
    }
}
