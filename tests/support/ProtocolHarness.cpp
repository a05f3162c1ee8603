#include "ProtocolHarness.h"

#include <QtGlobal>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "FtdiBackend.h"
#include "SimulatedBus.h"
#include "SimulatedFtdiChip.h"
#include "USBDevice.h"
#include "USBDriver.h"

// The scripted instrument behind the harness's chip, and the record of what
// the host did.
struct ProtocolHarness::Channel : SimulatedPeer
{
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    QList<QByteArray> writes;
    int polls = 0;
    // Shared rather than copied on each call: copying a std::function may
    // allocate, and queue queries run in the hot path of the parser.
    std::shared_ptr<const Responder> responder;
    std::shared_ptr<const PollHook> pollHook;

    void hostWrote(const QByteArray &bytes, SimulatedLink &link) override
    {
        std::shared_ptr<const Responder> respond;
        {
            std::lock_guard<std::mutex> lock(mutex);
            writes.append(bytes);
            respond = responder;
        }
        changed.notify_all();
        if (respond)
            (*respond)(bytes, link);
    }

    void queueQueried(SimulatedLink &link)
    {
        std::shared_ptr<const PollHook> hook;
        {
            std::lock_guard<std::mutex> lock(mutex);
            ++polls;
            hook = pollHook;
        }
        changed.notify_all();
        if (hook)
            (*hook)(link);
    }
};

ProtocolHarness::ProtocolHarness()
    : m_channel(std::make_shared<Channel>()), m_bus(std::make_shared<SimulatedBus>())
{
    m_chip = m_bus->attach(std::make_shared<SimulatedFtdiChip>(
        Ftdi::Device232R, QStringLiteral("SYAH004010001"), QStringLiteral("Harness bridge"),
        m_channel));
    // The hook holds the channel, not the chip: the chip owns the hook.
    const std::shared_ptr<Channel> channel = m_channel;
    m_chip->setQueueStatusHook([channel](SimulatedLink &link) { channel->queueQueried(link); });

    // Listed the way a host lists it, with this bus as the provider.
    const std::shared_ptr<FtdiApi> previous = FtdiBackend::current();
    FtdiBackend::setCurrent(m_bus);
    const auto listed = USBDriver().devices(false);
    FtdiBackend::setCurrent(previous);
    if (listed.size() != 1)
        qFatal("ProtocolHarness: the simulated bus listed %d devices", listed.size());
    m_device = listed.first();
}

ProtocolHarness::~ProtocolHarness()
{
    // Leaves the chip closed; a clone still attached somewhere only sees its
    // handle go invalid.
    m_device->close();
}

std::shared_ptr<USBDevice> ProtocolHarness::device() const
{
    return m_device;
}

std::shared_ptr<USBDevice> ProtocolHarness::openedDevice() const
{
    if (!m_device->isOpen()) {
        const USBResult opened = m_device->open(500000);
        if (!opened.isSuccess())
            qFatal("ProtocolHarness: opening the bridge failed: %s", qPrintable(opened.message));
    }
    return m_device;
}

SimulatedLink &ProtocolHarness::link()
{
    return *m_chip;
}

void ProtocolHarness::sendToHost(const QByteArray &bytes)
{
    m_chip->sendToHost(bytes);
}

void ProtocolHarness::setResponder(Responder responder)
{
    auto shared = responder ? std::make_shared<const Responder>(std::move(responder)) : nullptr;
    std::lock_guard<std::mutex> lock(m_channel->mutex);
    m_channel->responder.swap(shared);
}

void ProtocolHarness::setPollHook(PollHook hook)
{
    auto shared = hook ? std::make_shared<const PollHook>(std::move(hook)) : nullptr;
    std::lock_guard<std::mutex> lock(m_channel->mutex);
    m_channel->pollHook.swap(shared);
}

void ProtocolHarness::failNextRead(unsigned long vendorStatus)
{
    m_chip->failNextRead(static_cast<Ftdi::Status>(vendorStatus));
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
    return m_chip->receiveQueueSize();
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

bool ProtocolHarness::chipOpen() const
{
    return m_chip->isOpen();
}

int ProtocolHarness::readCount() const
{
    int reads = 0;
    for (const QString &call : m_chip->callTexts())
        reads += call.startsWith(QLatin1String("read ")) ? 1 : 0;
    return reads;
}

int ProtocolHarness::readTimeoutMs() const
{
    return static_cast<int>(m_chip->configuration().readTimeout);
}
