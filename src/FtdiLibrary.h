#pragma once

#include <QString>

#include "DynamicLibrary.h"
#include "FtdiApi.h"

// The real-hardware provider: FTDI's D2XX library, loaded at run time by its
// file name through the platform's normal library search (libftd2xx.so,
// ftd2xx.dll, libftd2xx.dylib) with each function resolved by its exported
// name. When the library is absent or lacks one of the functions, nothing is
// loaded and every call fails: enumeration reports no device, `open` fails with
// Ftdi::DeviceNotFound and calls on a handle with Ftdi::InvalidHandle.
class FtdiLibrary : public FtdiApi
{
public:
    // Loads the library under its standard name.
    FtdiLibrary();
    // Loads the library from the given file name or path.
    explicit FtdiLibrary(const QString &fileName);
    ~FtdiLibrary() override;

    FtdiLibrary(const FtdiLibrary &) = delete;
    FtdiLibrary &operator=(const FtdiLibrary &) = delete;

    // The standard file name on this platform.
    static QString standardFileName();

    bool isLoaded() const { return m_loaded; }

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
    struct Functions;

    void load(const QString &fileName);
    void unload();

    DynamicLibrary m_library;
    Functions *m_functions = nullptr;
    bool m_loaded = false;
};
