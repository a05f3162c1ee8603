// A stand-in for FTDI's D2XX library with its exported names and calling
// convention (on Windows FTD2XX.dll, __stdcall, exported undecorated), over a bus of
// virtual FTDI chips with instruments behind them. The bus is built from the
// description in the environment variable FAKE_FTD2XX_BUS (docs/simulated-bus.md)
// at the first call. Loaded by the library by its standard name, it carries
// whole measurements through the D2XX provider; on 32-bit Windows that also
// checks the provider's function types, since a mismatched convention
// unbalances the stack at the first call.
#include <QString>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "FtdiApi.h"
#include "SimulatedBus.h"
#include "SimulatedBusFactory.h"

#if defined(_WIN32)
#  define FAKE_EXPORT extern "C" __declspec(dllexport)
#  define FAKE_CALL __stdcall
#else
#  define FAKE_EXPORT extern "C" __attribute__((visibility("default")))
#  define FAKE_CALL
#endif

using namespace Ftdi;

namespace {

std::shared_ptr<FtdiApi> bus()
{
    static std::once_flag built;
    static std::shared_ptr<FtdiApi> instance;
    std::call_once(built, [] {
        if (const char *description = std::getenv("FAKE_FTD2XX_BUS"))
            instance = SimulatedBusFactory::build(QString::fromUtf8(description));
        if (!instance)
            instance = SimulatedBusFactory::build(QString());
    });
    return instance;
}

} // namespace

FAKE_EXPORT Status FAKE_CALL FT_GetLibraryVersion(std::uint32_t *version)
{
    if (!version)
        return InvalidParameter;
    *version = 0x00021228; // reported as 2.12.28
    return Ok;
}

FAKE_EXPORT Status FAKE_CALL FT_CreateDeviceInfoList(std::uint32_t *count)
{
    return bus()->createDeviceInfoList(count);
}

FAKE_EXPORT Status FAKE_CALL FT_GetDeviceInfoList(ListNode *nodes, std::uint32_t *count)
{
    return bus()->getDeviceInfoList(nodes, count);
}

FAKE_EXPORT Status FAKE_CALL FT_Open(int index, Handle *handle)
{
    return bus()->open(index, handle);
}

FAKE_EXPORT Status FAKE_CALL FT_Close(Handle handle)
{
    return bus()->close(handle);
}

FAKE_EXPORT Status FAKE_CALL FT_Read(Handle handle, void *buffer, std::uint32_t count, std::uint32_t *got)
{
    return bus()->read(handle, buffer, count, got);
}

FAKE_EXPORT Status FAKE_CALL FT_Write(Handle handle, void *buffer, std::uint32_t count, std::uint32_t *written)
{
    return bus()->write(handle, buffer, count, written);
}

FAKE_EXPORT Status FAKE_CALL FT_SetBaudRate(Handle handle, std::uint32_t baud)
{
    return bus()->setBaudRate(handle, baud);
}

FAKE_EXPORT Status FAKE_CALL FT_SetDataCharacteristics(Handle handle, std::uint8_t bits, std::uint8_t stop,
                                                       std::uint8_t parity)
{
    return bus()->setDataCharacteristics(handle, bits, stop, parity);
}

FAKE_EXPORT Status FAKE_CALL FT_SetFlowControl(Handle handle, std::uint16_t flow, std::uint8_t xon, std::uint8_t xoff)
{
    return bus()->setFlowControl(handle, flow, xon, xoff);
}

FAKE_EXPORT Status FAKE_CALL FT_Purge(Handle handle, std::uint32_t mask)
{
    return bus()->purge(handle, mask);
}

FAKE_EXPORT Status FAKE_CALL FT_SetTimeouts(Handle handle, std::uint32_t readMs, std::uint32_t writeMs)
{
    return bus()->setTimeouts(handle, readMs, writeMs);
}

FAKE_EXPORT Status FAKE_CALL FT_GetQueueStatus(Handle handle, std::uint32_t *rx)
{
    return bus()->getQueueStatus(handle, rx);
}

FAKE_EXPORT Status FAKE_CALL FT_GetStatus(Handle handle, std::uint32_t *rx, std::uint32_t *tx, std::uint32_t *events)
{
    return bus()->getStatus(handle, rx, tx, events);
}

FAKE_EXPORT Status FAKE_CALL FT_SetLatencyTimer(Handle handle, std::uint8_t ms)
{
    return bus()->setLatencyTimer(handle, ms);
}

FAKE_EXPORT Status FAKE_CALL FT_SetBitMode(Handle handle, std::uint8_t mask, std::uint8_t mode)
{
    return bus()->setBitMode(handle, mask, mode);
}

FAKE_EXPORT Status FAKE_CALL FT_SetUSBParameters(Handle handle, std::uint32_t in, std::uint32_t out)
{
    return bus()->setUsbParameters(handle, in, out);
}

FAKE_EXPORT Status FAKE_CALL FT_EE_Program(Handle handle, ProgramData *data)
{
    return bus()->eeProgram(handle, data);
}

FAKE_EXPORT Status FAKE_CALL FT_EE_Read(Handle handle, ProgramData *data)
{
    return bus()->eeRead(handle, data);
}

FAKE_EXPORT Status FAKE_CALL FT_GetDeviceInfo(Handle handle, DeviceType *type, std::uint32_t *id, char *serial,
                                              char *description, void *reserved)
{
    return bus()->getDeviceInfo(handle, type, id, serial, description, reserved);
}

FAKE_EXPORT Status FAKE_CALL FT_CyclePort(Handle handle)
{
    return bus()->cyclePort(handle);
}

FAKE_EXPORT Status FAKE_CALL FT_EEPROM_Read(Handle handle, void *data, std::uint32_t size, char *manufacturer,
                                            char *manufacturerId, char *description, char *serial)
{
    return bus()->eepromRead(handle, data, size, manufacturer, manufacturerId, description, serial);
}

FAKE_EXPORT Status FAKE_CALL FT_EEPROM_Program(Handle handle, void *data, std::uint32_t size, char *manufacturer,
                                               char *manufacturerId, char *description, char *serial)
{
    return bus()->eepromProgram(handle, data, size, manufacturer, manufacturerId, description, serial);
}
