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

// Each export hands its arguments to the bus's operation of the same meaning.
#define FORWARD(name, operation, parameters, arguments) \
    FAKE_EXPORT Status FAKE_CALL name parameters { return bus()->operation arguments; }

FORWARD(FT_CreateDeviceInfoList, createDeviceInfoList, (std::uint32_t *count), (count))
FORWARD(FT_GetDeviceInfoList, getDeviceInfoList, (ListNode *nodes, std::uint32_t *count), (nodes, count))
FORWARD(FT_Open, open, (int index, Handle *handle), (index, handle))
FORWARD(FT_Close, close, (Handle handle), (handle))
FORWARD(FT_Read, read, (Handle handle, void *buffer, std::uint32_t count, std::uint32_t *got),
        (handle, buffer, count, got))
FORWARD(FT_Write, write, (Handle handle, void *buffer, std::uint32_t count, std::uint32_t *written),
        (handle, buffer, count, written))
FORWARD(FT_SetBaudRate, setBaudRate, (Handle handle, std::uint32_t baud), (handle, baud))
FORWARD(FT_SetDataCharacteristics, setDataCharacteristics,
        (Handle handle, std::uint8_t bits, std::uint8_t stop, std::uint8_t parity), (handle, bits, stop, parity))
FORWARD(FT_SetFlowControl, setFlowControl, (Handle handle, std::uint16_t flow, std::uint8_t xon, std::uint8_t xoff),
        (handle, flow, xon, xoff))
FORWARD(FT_Purge, purge, (Handle handle, std::uint32_t mask), (handle, mask))
FORWARD(FT_SetTimeouts, setTimeouts, (Handle handle, std::uint32_t readMs, std::uint32_t writeMs),
        (handle, readMs, writeMs))
FORWARD(FT_GetQueueStatus, getQueueStatus, (Handle handle, std::uint32_t *rx), (handle, rx))
FORWARD(FT_GetStatus, getStatus, (Handle handle, std::uint32_t *rx, std::uint32_t *tx, std::uint32_t *events),
        (handle, rx, tx, events))
FORWARD(FT_SetLatencyTimer, setLatencyTimer, (Handle handle, std::uint8_t ms), (handle, ms))
FORWARD(FT_SetBitMode, setBitMode, (Handle handle, std::uint8_t mask, std::uint8_t mode), (handle, mask, mode))
FORWARD(FT_SetUSBParameters, setUsbParameters, (Handle handle, std::uint32_t in, std::uint32_t out),
        (handle, in, out))
FORWARD(FT_EE_Program, eeProgram, (Handle handle, ProgramData *data), (handle, data))
FORWARD(FT_EE_Read, eeRead, (Handle handle, ProgramData *data), (handle, data))
FORWARD(FT_GetDeviceInfo, getDeviceInfo,
        (Handle handle, DeviceType *type, std::uint32_t *id, char *serial, char *description, void *reserved),
        (handle, type, id, serial, description, reserved))
FORWARD(FT_CyclePort, cyclePort, (Handle handle), (handle))
FORWARD(FT_EEPROM_Read, eepromRead,
        (Handle handle, void *data, std::uint32_t size, char *manufacturer, char *manufacturerId, char *description,
         char *serial),
        (handle, data, size, manufacturer, manufacturerId, description, serial))
FORWARD(FT_EEPROM_Program, eepromProgram,
        (Handle handle, void *data, std::uint32_t size, char *manufacturer, char *manufacturerId, char *description,
         char *serial),
        (handle, data, size, manufacturer, manufacturerId, description, serial))
