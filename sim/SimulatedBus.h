#pragma once

#include <QVector>
#include <map>
#include <memory>
#include <mutex>

#include "FtdiApi.h"
#include "SimulatedFtdiChip.h"

// A USB bus of virtual FTDI chips that answers the vendor calls of the USB
// layer: the simulated provider of FtdiApi. A host makes it the provider with
// FtdiBackend::setCurrent; everything above the seam then runs unchanged.
//
//     auto bus = std::make_shared<SimulatedBus>();
//     bus->attach(std::make_shared<SimulatedFtdiChip>(Ftdi::Device232R,
//                 "SYAH004010001", "Veldrin I", instrument));
//     bus->attach(std::make_shared<SimulatedFtdiChip>(Ftdi::Device232R,
//                 "FT000001", "FT232R USB UART"));
//     FtdiBackend::setCurrent(bus);
//
// Chips are listed in the order they were attached, unplugged ones left out.
// As with the real library, the device list is a snapshot: createDeviceInfoList
// takes it and getDeviceInfoList copies it, so a chip attached, unplugged or
// re-enumerated in between shows only in the next snapshot. `open` counts the
// chips plugged in at the time of the call. Handles are opaque values that the
// bus checks: a null, closed or unknown handle gives Ftdi::InvalidHandle.
// A chip can be open through one handle at a time; a second open gives
// Ftdi::DeviceNotOpened. Every operation is safe to call from any thread.
class SimulatedBus : public FtdiApi
{
public:
    SimulatedBus();
    ~SimulatedBus() override;

    // Adds a chip at the end of the bus (hot-plugging is allowed) and returns it.
    std::shared_ptr<SimulatedFtdiChip> attach(std::shared_ptr<SimulatedFtdiChip> chip);
    // Removes a chip from the bus for good; its open handle goes dead.
    void detach(const std::shared_ptr<SimulatedFtdiChip> &chip);
    QVector<std::shared_ptr<SimulatedFtdiChip>> chips() const;
    // How often a device list was taken.
    int deviceListCount() const;

    Ftdi::Status open(int index, Ftdi::Handle *handle) override;
    Ftdi::Status close(Ftdi::Handle handle) override;
    Ftdi::Status read(Ftdi::Handle handle, void *buffer, std::uint32_t count,
                      std::uint32_t *countRead) override;
    Ftdi::Status write(Ftdi::Handle handle, const void *buffer, std::uint32_t count,
                       std::uint32_t *countWritten) override;
    Ftdi::Status setBaudRate(Ftdi::Handle handle, std::uint32_t baudRate) override;
    Ftdi::Status setDataCharacteristics(Ftdi::Handle handle, std::uint8_t wordLength,
                                        std::uint8_t stopBits, std::uint8_t parity) override;
    Ftdi::Status setFlowControl(Ftdi::Handle handle, std::uint16_t flowControl, std::uint8_t xon,
                                std::uint8_t xoff) override;
    Ftdi::Status purge(Ftdi::Handle handle, std::uint32_t mask) override;
    Ftdi::Status setTimeouts(Ftdi::Handle handle, std::uint32_t readMs, std::uint32_t writeMs) override;
    Ftdi::Status getQueueStatus(Ftdi::Handle handle, std::uint32_t *rxBytes) override;
    Ftdi::Status getStatus(Ftdi::Handle handle, std::uint32_t *rxBytes, std::uint32_t *txBytes,
                           std::uint32_t *eventStatus) override;
    Ftdi::Status setLatencyTimer(Ftdi::Handle handle, std::uint8_t milliseconds) override;
    Ftdi::Status setBitMode(Ftdi::Handle handle, std::uint8_t mask, std::uint8_t mode) override;
    Ftdi::Status setUsbParameters(Ftdi::Handle handle, std::uint32_t inTransferSize,
                                  std::uint32_t outTransferSize) override;
    Ftdi::Status eeProgram(Ftdi::Handle handle, Ftdi::ProgramData *data) override;
    Ftdi::Status eeRead(Ftdi::Handle handle, Ftdi::ProgramData *data) override;
    Ftdi::Status getDeviceInfo(Ftdi::Handle handle, Ftdi::DeviceType *type, std::uint32_t *id,
                               char *serialNumber, char *description, void *reserved) override;
    Ftdi::Status cyclePort(Ftdi::Handle handle) override;
    Ftdi::Status createDeviceInfoList(std::uint32_t *count) override;
    Ftdi::Status getDeviceInfoList(Ftdi::ListNode *nodes, std::uint32_t *count) override;
    Ftdi::Status eepromRead(Ftdi::Handle handle, void *data, std::uint32_t size, char *manufacturer,
                            char *manufacturerId, char *description, char *serialNumber) override;
    Ftdi::Status eepromProgram(Ftdi::Handle handle, void *data, std::uint32_t size,
                               char *manufacturer, char *manufacturerId, char *description,
                               char *serialNumber) override;

private:
    // The chip a handle was opened on, or null for an unknown handle.
    std::shared_ptr<SimulatedFtdiChip> chipFor(Ftdi::Handle handle) const;

    mutable std::mutex m_mutex;
    QVector<std::shared_ptr<SimulatedFtdiChip>> m_chips;
    QVector<Ftdi::ListNode> m_snapshot;
    std::map<quintptr, std::shared_ptr<SimulatedFtdiChip>> m_handles;
    quintptr m_nextHandle = 0x1000;
    int m_deviceListCount = 0;
};
