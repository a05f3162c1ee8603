// What both doctors (Linux and Windows) need of FTDI's D2XX library: the
// functions the library resolves and the device-list node they read back.
#ifndef VELDRIN_TOOLS_DOCTORD2XX_H
#define VELDRIN_TOOLS_DOCTORD2XX_H

#include <cstdint>

// The D2XX functions the library resolves; without any one of them it treats
// the D2XX library as absent.
inline constexpr const char *d2xxFunctions[] = {
    "FT_Open", "FT_Close", "FT_Read", "FT_Write", "FT_SetBaudRate", "FT_SetDataCharacteristics",
    "FT_SetFlowControl", "FT_Purge", "FT_SetTimeouts", "FT_GetQueueStatus", "FT_GetStatus",
    "FT_SetLatencyTimer", "FT_SetBitMode", "FT_SetUSBParameters", "FT_EE_Program", "FT_EE_Read",
    "FT_GetDeviceInfo", "FT_CyclePort", "FT_CreateDeviceInfoList", "FT_GetDeviceInfoList",
    "FT_EEPROM_Read", "FT_EEPROM_Program",
};

// The D2XX device-list node (natural alignment: 100 bytes on 32-bit Windows,
// 104 on 64-bit).
struct D2xxNode
{
    std::uint32_t flags, type, id, locationId;
    char serialNumber[16];
    char description[64];
    void *handle;
};

#endif
