// A stand-in for FTDI's D2XX library with the same exported names and C
// signatures, used to check that FtdiLibrary resolves every function by name
// and passes each argument through unchanged. Each call appends a line to a
// log that the test reads through fakeFtd2xxLog().
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

std::string callLog;

void logCall(const char *format, ...) __attribute__((format(printf, 1, 2)));

void logCall(const char *format, ...)
{
    char line[256];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    callLog += line;
    callLog += '\n';
}

// A device-list node: 104 bytes on 64-bit platforms, 100 on 32-bit ones.
struct Node
{
    std::uint32_t flags, type, id, locationId;
    char serialNumber[16];
    char description[64];
    void *handle;
};

struct ProgramDataHead
{
    std::uint32_t signature1, signature2, version;
    std::uint16_t vendorId, productId;
    char *manufacturer, *manufacturerId, *description, *serialNumber;
    std::uint16_t maxPower;
};

} // namespace

FAKE_EXPORT const char *fakeFtd2xxLog()
{
    return callLog.c_str();
}

FAKE_EXPORT std::uint32_t FT_Open(int index, void **handle)
{
    logCall("FT_Open %d", index);
    *handle = reinterpret_cast<void *>(0x4242);
    return 0;
}

FAKE_EXPORT std::uint32_t FT_Close(void *handle)
{
    logCall("FT_Close %p", handle);
    return 0;
}

FAKE_EXPORT std::uint32_t FT_Read(void *handle, void *buffer, std::uint32_t count, std::uint32_t *got)
{
    logCall("FT_Read %p %u", handle, count);
    std::memset(buffer, 'r', count);
    *got = count;
    return 0;
}

FAKE_EXPORT std::uint32_t FT_Write(void *handle, void *buffer, std::uint32_t count, std::uint32_t *written)
{
    logCall("FT_Write %p %.*s", handle, static_cast<int>(count), static_cast<const char *>(buffer));
    *written = count;
    return 0;
}

FAKE_EXPORT std::uint32_t FT_SetBaudRate(void *handle, std::uint32_t baud)
{
    logCall("FT_SetBaudRate %p %u", handle, baud);
    return 0;
}

FAKE_EXPORT std::uint32_t FT_SetDataCharacteristics(void *handle, unsigned char bits, unsigned char stop,
                                                     unsigned char parity)
{
    logCall("FT_SetDataCharacteristics %p %u %u %u", handle, bits, stop, parity);
    return 0;
}

FAKE_EXPORT std::uint32_t FT_SetFlowControl(void *handle, unsigned short flow, unsigned char xon,
                                             unsigned char xoff)
{
    logCall("FT_SetFlowControl %p %u %u %u", handle, flow, xon, xoff);
    return 0;
}

FAKE_EXPORT std::uint32_t FT_Purge(void *handle, std::uint32_t mask)
{
    logCall("FT_Purge %p %u", handle, mask);
    return 0;
}

FAKE_EXPORT std::uint32_t FT_SetTimeouts(void *handle, std::uint32_t readMs, std::uint32_t writeMs)
{
    logCall("FT_SetTimeouts %p %u %u", handle, readMs, writeMs);
    return 0;
}

FAKE_EXPORT std::uint32_t FT_GetQueueStatus(void *handle, std::uint32_t *rx)
{
    logCall("FT_GetQueueStatus %p", handle);
    *rx = 17;
    return 0;
}

FAKE_EXPORT std::uint32_t FT_GetStatus(void *handle, std::uint32_t *rx, std::uint32_t *tx, std::uint32_t *events)
{
    logCall("FT_GetStatus %p", handle);
    *rx = 3;
    *tx = 4;
    *events = 5;
    return 0;
}

FAKE_EXPORT std::uint32_t FT_SetLatencyTimer(void *handle, unsigned char ms)
{
    logCall("FT_SetLatencyTimer %p %u", handle, ms);
    return 0;
}

FAKE_EXPORT std::uint32_t FT_SetBitMode(void *handle, unsigned char mask, unsigned char mode)
{
    logCall("FT_SetBitMode %p %u %u", handle, mask, mode);
    return 0;
}

FAKE_EXPORT std::uint32_t FT_SetUSBParameters(void *handle, std::uint32_t in, std::uint32_t out)
{
    logCall("FT_SetUSBParameters %p %u %u", handle, in, out);
    return 0;
}

FAKE_EXPORT std::uint32_t FT_EE_Program(void *handle, ProgramDataHead *data)
{
    logCall("FT_EE_Program %p %u %s", handle, data->version, data->serialNumber);
    return 0;
}

FAKE_EXPORT std::uint32_t FT_EE_Read(void *handle, ProgramDataHead *data)
{
    logCall("FT_EE_Read %p %u %x", handle, data->version, data->signature2);
    std::strcpy(data->serialNumber, "SYAH004010001");
    data->maxPower = 77;
    return 0;
}

FAKE_EXPORT std::uint32_t FT_GetDeviceInfo(void *handle, std::uint32_t *type, std::uint32_t *id, char *serial,
                                           char *description, void *reserved)
{
    logCall("FT_GetDeviceInfo %p %p", handle, reserved);
    *type = 5;
    *id = 0x04036001;
    std::strcpy(serial, "SYAH004010001");
    std::strcpy(description, "Fake");
    return 0;
}

FAKE_EXPORT std::uint32_t FT_CyclePort(void *handle)
{
    logCall("FT_CyclePort %p", handle);
    return 0;
}

FAKE_EXPORT std::uint32_t FT_CreateDeviceInfoList(std::uint32_t *count)
{
    logCall("FT_CreateDeviceInfoList");
    *count = 2;
    return 0;
}

FAKE_EXPORT std::uint32_t FT_GetDeviceInfoList(Node *nodes, std::uint32_t *count)
{
    logCall("FT_GetDeviceInfoList");
    for (int i = 0; i < 2; ++i) {
        std::memset(&nodes[i], 0, sizeof(Node));
        nodes[i].type = 5;
        nodes[i].id = 0x04036001 + static_cast<std::uint32_t>(i);
        std::snprintf(nodes[i].serialNumber, sizeof nodes[i].serialNumber, i == 0 ? "FT000001" : "SYAH00401000%d", i);
        std::snprintf(nodes[i].description, sizeof nodes[i].description, "Fake %d", i);
    }
    *count = 2;
    return 0;
}

FAKE_EXPORT std::uint32_t FT_EEPROM_Read(void *handle, void *data, std::uint32_t size, char *manufacturer,
                                         char *manufacturerId, char *description, char *serial)
{
    logCall("FT_EEPROM_Read %p %u %u", handle, *static_cast<std::uint32_t *>(data), size);
    std::strcpy(manufacturer, "FTDI");
    std::strcpy(manufacturerId, "FT");
    std::strcpy(description, "Fake");
    std::strcpy(serial, "SYAH004010001");
    return 0;
}

FAKE_EXPORT std::uint32_t FT_EEPROM_Program(void *handle, void *data, std::uint32_t size, char *, char *,
                                            char *description, char *serial)
{
    logCall("FT_EEPROM_Program %p %u %u %s %s", handle, *static_cast<std::uint32_t *>(data), size, description,
            serial);
    return 0;
}
