#pragma once

#include "FtdiTypes.h"

// The vendor calls the USB layer makes, one virtual operation each, with the
// D2XX library's meaning: every operation returns a status (Ftdi::Ok on
// success), handles come from `open` and are released by `close`, and the
// device list is a snapshot that only `createDeviceInfoList` refreshes.
//
// Two providers implement it: FtdiLibrary (FTDI's library, loaded at run time)
// and SimulatedBus (virtual chips). Implementations must accept a null or
// unknown handle and answer it with a failing status.
class FtdiApi
{
public:
    virtual ~FtdiApi();

    // Opens the device at `index` of the attached devices.
    virtual Ftdi::Status open(int index, Ftdi::Handle *handle) = 0;
    virtual Ftdi::Status close(Ftdi::Handle handle) = 0;
    // Waits until `count` bytes arrived or the read time-out expired; a
    // time-out is a success with fewer bytes.
    virtual Ftdi::Status read(Ftdi::Handle handle, void *buffer, std::uint32_t count,
                              std::uint32_t *countRead) = 0;
    virtual Ftdi::Status write(Ftdi::Handle handle, const void *buffer, std::uint32_t count,
                               std::uint32_t *countWritten) = 0;
    virtual Ftdi::Status setBaudRate(Ftdi::Handle handle, std::uint32_t baudRate) = 0;
    virtual Ftdi::Status setDataCharacteristics(Ftdi::Handle handle, std::uint8_t wordLength,
                                                std::uint8_t stopBits, std::uint8_t parity) = 0;
    virtual Ftdi::Status setFlowControl(Ftdi::Handle handle, std::uint16_t flowControl,
                                        std::uint8_t xon, std::uint8_t xoff) = 0;
    // Mask: Ftdi::PurgeRx, Ftdi::PurgeTx or both.
    virtual Ftdi::Status purge(Ftdi::Handle handle, std::uint32_t mask) = 0;
    virtual Ftdi::Status setTimeouts(Ftdi::Handle handle, std::uint32_t readMs,
                                     std::uint32_t writeMs) = 0;
    // Bytes waiting in the receive queue; never blocks.
    virtual Ftdi::Status getQueueStatus(Ftdi::Handle handle, std::uint32_t *rxBytes) = 0;
    virtual Ftdi::Status getStatus(Ftdi::Handle handle, std::uint32_t *rxBytes,
                                   std::uint32_t *txBytes, std::uint32_t *eventStatus) = 0;
    virtual Ftdi::Status setLatencyTimer(Ftdi::Handle handle, std::uint8_t milliseconds) = 0;
    virtual Ftdi::Status setBitMode(Ftdi::Handle handle, std::uint8_t mask, std::uint8_t mode) = 0;
    virtual Ftdi::Status setUsbParameters(Ftdi::Handle handle, std::uint32_t inTransferSize,
                                          std::uint32_t outTransferSize) = 0;
    // The classic EEPROM record; its text fields point at caller buffers of at
    // least Ftdi::TextBufferSize bytes.
    virtual Ftdi::Status eeProgram(Ftdi::Handle handle, Ftdi::ProgramData *data) = 0;
    virtual Ftdi::Status eeRead(Ftdi::Handle handle, Ftdi::ProgramData *data) = 0;
    // Chip type, id and the listed texts of an open device; the text buffers
    // hold at least Ftdi::TextBufferSize bytes; `reserved` is null.
    virtual Ftdi::Status getDeviceInfo(Ftdi::Handle handle, Ftdi::DeviceType *type,
                                       std::uint32_t *id, char *serialNumber, char *description,
                                       void *reserved) = 0;
    // Re-enumerates the chip as if unplugged and plugged in; the handle must be
    // closed afterwards.
    virtual Ftdi::Status cyclePort(Ftdi::Handle handle) = 0;
    // Takes a new snapshot of the attached devices and gives its size.
    virtual Ftdi::Status createDeviceInfoList(std::uint32_t *count) = 0;
    // Copies every node of the snapshot (`nodes` must hold the count that
    // createDeviceInfoList gave) and stores the number copied.
    virtual Ftdi::Status getDeviceInfoList(Ftdi::ListNode *nodes, std::uint32_t *count) = 0;
    // The newer EEPROM calls with a per-chip record (here the FT-X one);
    // `size` is the record's size, the text buffers hold at least
    // Ftdi::TextBufferSize bytes.
    virtual Ftdi::Status eepromRead(Ftdi::Handle handle, void *data, std::uint32_t size,
                                    char *manufacturer, char *manufacturerId, char *description,
                                    char *serialNumber) = 0;
    virtual Ftdi::Status eepromProgram(Ftdi::Handle handle, void *data, std::uint32_t size,
                                       char *manufacturer, char *manufacturerId,
                                       char *description, char *serialNumber) = 0;
};
