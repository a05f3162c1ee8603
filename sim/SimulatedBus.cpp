#include "SimulatedBus.h"


using namespace Ftdi;

namespace {

quintptr handleValue(Handle handle)
{
    return reinterpret_cast<quintptr>(handle);
}

} // namespace

SimulatedBus::SimulatedBus() = default;

SimulatedBus::~SimulatedBus() = default;

std::shared_ptr<SimulatedFtdiChip> SimulatedBus::attach(std::shared_ptr<SimulatedFtdiChip> chip)
{
    if (!chip)
        return chip;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_chips.contains(chip))
        m_chips.append(chip);
    return chip;
}

void SimulatedBus::detach(const std::shared_ptr<SimulatedFtdiChip> &chip)
{
    bool inUse = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_chips.removeAll(chip);
        for (const auto &entry : m_handles)
            inUse = inUse || entry.second == chip;
    }
    // A handle to a removed chip behaves as after an unplug until it is closed.
    if (inUse)
        chip->setFault(SimulatedFtdiChip::Unplugged, true);
}

QVector<std::shared_ptr<SimulatedFtdiChip>> SimulatedBus::chips() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_chips;
}

int SimulatedBus::deviceListCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_deviceListCount;
}

std::shared_ptr<SimulatedFtdiChip> SimulatedBus::chipFor(Handle handle) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_handles.find(handleValue(handle));
    return found == m_handles.end() ? nullptr : found->second;
}

Status SimulatedBus::open(int index, Handle *handle)
{
    if (!handle)
        return InvalidParameter;
    *handle = nullptr;
    std::shared_ptr<SimulatedFtdiChip> chip;
    quintptr value = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        int position = 0;
        for (const auto &candidate : m_chips) {
            if (!candidate->pluggedIn())
                continue;
            if (position++ == index) {
                chip = candidate;
                break;
            }
        }
        if (!chip)
            return DeviceNotFound;
        value = m_nextHandle;
        const Status status = chip->openSession(value);
        if (status != Ok)
            return status;
        m_nextHandle += 0x10;
        m_handles[value] = chip;
    }
    *handle = reinterpret_cast<Handle>(value);
    if (const auto peer = chip->peer())
        peer->opened();
    return Ok;
}

Status SimulatedBus::close(Handle handle)
{
    std::shared_ptr<SimulatedFtdiChip> chip;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto found = m_handles.find(handleValue(handle));
        if (found == m_handles.end())
            return InvalidHandle;
        chip = found->second;
        m_handles.erase(found);
    }
    bool wasLive = false;
    const Status status = chip->closeSession(handleValue(handle), &wasLive);
    if (wasLive) {
        if (const auto peer = chip->peer())
            peer->closed();
    }
    return status;
}

Status SimulatedBus::read(Handle handle, void *buffer, std::uint32_t count, std::uint32_t *countRead)
{
    const auto chip = chipFor(handle);
    if (!chip) {
        if (countRead)
            *countRead = 0;
        return InvalidHandle;
    }
    return chip->read(handleValue(handle), buffer, count, countRead);
}

Status SimulatedBus::write(Handle handle, const void *buffer, std::uint32_t count,
                           std::uint32_t *countWritten)
{
    const auto chip = chipFor(handle);
    if (!chip) {
        if (countWritten)
            *countWritten = 0;
        return InvalidHandle;
    }
    return chip->write(handleValue(handle), buffer, count, countWritten);
}

Status SimulatedBus::setBaudRate(Handle handle, std::uint32_t baudRate)
{
    const auto chip = chipFor(handle);
    return chip ? chip->setBaudRate(handleValue(handle), baudRate) : InvalidHandle;
}

Status SimulatedBus::setDataCharacteristics(Handle handle, std::uint8_t wordLength,
                                            std::uint8_t stopBits, std::uint8_t parity)
{
    const auto chip = chipFor(handle);
    return chip ? chip->setDataCharacteristics(handleValue(handle), wordLength, stopBits, parity)
                : InvalidHandle;
}

Status SimulatedBus::setFlowControl(Handle handle, std::uint16_t flowControl, std::uint8_t xon,
                                    std::uint8_t xoff)
{
    const auto chip = chipFor(handle);
    return chip ? chip->setFlowControl(handleValue(handle), flowControl, xon, xoff) : InvalidHandle;
}

Status SimulatedBus::purge(Handle handle, std::uint32_t mask)
{
    const auto chip = chipFor(handle);
    return chip ? chip->purge(handleValue(handle), mask) : InvalidHandle;
}

Status SimulatedBus::setTimeouts(Handle handle, std::uint32_t readMs, std::uint32_t writeMs)
{
    const auto chip = chipFor(handle);
    return chip ? chip->setTimeouts(handleValue(handle), readMs, writeMs) : InvalidHandle;
}

Status SimulatedBus::getQueueStatus(Handle handle, std::uint32_t *rxBytes)
{
    const auto chip = chipFor(handle);
    return chip ? chip->getQueueStatus(handleValue(handle), rxBytes) : InvalidHandle;
}

Status SimulatedBus::getStatus(Handle handle, std::uint32_t *rxBytes, std::uint32_t *txBytes,
                               std::uint32_t *eventStatus)
{
    const auto chip = chipFor(handle);
    return chip ? chip->getStatus(handleValue(handle), rxBytes, txBytes, eventStatus) : InvalidHandle;
}

Status SimulatedBus::setLatencyTimer(Handle handle, std::uint8_t milliseconds)
{
    const auto chip = chipFor(handle);
    return chip ? chip->setLatencyTimer(handleValue(handle), milliseconds) : InvalidHandle;
}

Status SimulatedBus::setBitMode(Handle handle, std::uint8_t mask, std::uint8_t mode)
{
    const auto chip = chipFor(handle);
    return chip ? chip->setBitMode(handleValue(handle), mask, mode) : InvalidHandle;
}

Status SimulatedBus::setUsbParameters(Handle handle, std::uint32_t inTransferSize,
                                      std::uint32_t outTransferSize)
{
    const auto chip = chipFor(handle);
    return chip ? chip->setUsbParameters(handleValue(handle), inTransferSize, outTransferSize)
                : InvalidHandle;
}

Status SimulatedBus::eeProgram(Handle handle, ProgramData *data)
{
    const auto chip = chipFor(handle);
    return chip ? chip->eeProgram(handleValue(handle), data) : InvalidHandle;
}

Status SimulatedBus::eeRead(Handle handle, ProgramData *data)
{
    const auto chip = chipFor(handle);
    return chip ? chip->eeRead(handleValue(handle), data) : InvalidHandle;
}

Status SimulatedBus::getDeviceInfo(Handle handle, DeviceType *type, std::uint32_t *id,
                                   char *serialNumber, char *description, void *)
{
    const auto chip = chipFor(handle);
    return chip ? chip->getDeviceInfo(handleValue(handle), type, id, serialNumber, description)
                : InvalidHandle;
}

Status SimulatedBus::cyclePort(Handle handle)
{
    const auto chip = chipFor(handle);
    return chip ? chip->cyclePort(handleValue(handle)) : InvalidHandle;
}

Status SimulatedBus::createDeviceInfoList(std::uint32_t *count)
{
    if (!count)
        return InvalidParameter;
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_deviceListCount;
    m_snapshot.clear();
    for (const auto &chip : m_chips) {
        if (!chip->pluggedIn())
            continue;
        ListNode node;
        chip->fillNode(node);
        node.locationId = static_cast<std::uint32_t>(0x11 + m_snapshot.size());
        m_snapshot.append(node);
    }
    *count = static_cast<std::uint32_t>(m_snapshot.size());
    return Ok;
}

Status SimulatedBus::getDeviceInfoList(ListNode *nodes, std::uint32_t *count)
{
    if (!count)
        return InvalidParameter;
    std::lock_guard<std::mutex> lock(m_mutex);
    // Like the real library, the incoming count is not a capacity: the whole
    // snapshot is copied.
    if (nodes) {
        for (int i = 0; i < m_snapshot.size(); ++i)
            nodes[i] = m_snapshot.at(i);
    }
    *count = static_cast<std::uint32_t>(m_snapshot.size());
    return Ok;
}

Status SimulatedBus::eepromRead(Handle handle, void *data, std::uint32_t size, char *manufacturer,
                                char *manufacturerId, char *description, char *serialNumber)
{
    const auto chip = chipFor(handle);
    return chip ? chip->eepromRead(handleValue(handle), data, size, manufacturer, manufacturerId,
                                   description, serialNumber)
                : InvalidHandle;
}

Status SimulatedBus::eepromProgram(Handle handle, void *data, std::uint32_t size,
                                   char *manufacturer, char *manufacturerId, char *description,
                                   char *serialNumber)
{
    const auto chip = chipFor(handle);
    return chip ? chip->eepromProgram(handleValue(handle), data, size, manufacturer,
                                      manufacturerId, description, serialNumber)
                : InvalidHandle;
}
