#pragma once

#include <cstddef>
#include <cstdint>

// Types, records and constants of the FTDI D2XX vendor library, declared with
// the library's binary layout so that the same records can be handed to the
// real library (loaded at run time) and to the simulated bus.
//
// Every 32-bit quantity of the library (DWORD, ULONG, FT_STATUS, FT_DEVICE) is
// a std::uint32_t on every platform; handles are pointers. Nothing is packed:
// the library uses natural alignment.
namespace Ftdi {

using Status = std::uint32_t;
using Handle = void *;
using DeviceType = std::uint32_t;

// Outcome of every vendor call.
enum : Status {
    Ok = 0,
    InvalidHandle = 1,
    DeviceNotFound = 2,
    DeviceNotOpened = 3,
    IoError = 4,
    InsufficientResources = 5,
    InvalidParameter = 6,
    InvalidBaudRate = 7,
    DeviceNotOpenedForErase = 8,
    DeviceNotOpenedForWrite = 9,
    FailedToWriteDevice = 10,
    EepromReadFailed = 11,
    EepromWriteFailed = 12,
    EepromEraseFailed = 13,
    EepromNotPresent = 14,
    EepromNotProgrammed = 15,
    InvalidArgs = 16,
    NotSupported = 17,
    OtherError = 18,
};

// Chip types as the library numbers them (only those this system tells apart).
enum : DeviceType {
    DeviceBM = 0,
    DeviceAM = 1,
    Device2232C = 4,
    Device232R = 5,
    Device2232H = 6,
    Device4232H = 7,
    Device232H = 8,
    DeviceXSeries = 9,
};

enum : std::uint32_t { PurgeRx = 1, PurgeTx = 2 };

enum : std::uint16_t { FlowNone = 0x0000, FlowRtsCts = 0x0100, FlowDtrDsr = 0x0200, FlowXonXoff = 0x0400 };

enum : std::uint8_t {
    Bits8 = 8,
    Bits7 = 7,
    StopBits1 = 0,
    StopBits2 = 2,
    ParityNone = 0,
    ParityOdd = 1,
    ParityEven = 2,
    ParityMark = 3,
    ParitySpace = 4,
};

enum : std::uint8_t { BitModeReset = 0x00, BitModeSyncFifo = 0x40 };

// Flags of a device-list node.
enum : std::uint32_t { FlagOpened = 1, FlagHighSpeed = 2 };

// One entry of the library's device list: 100 bytes on 32-bit platforms, 104
// on 64-bit ones (the trailing handle is pointer-sized).
struct ListNode
{
    std::uint32_t flags;
    std::uint32_t type;
    std::uint32_t id; // vendor id << 16 | product id
    std::uint32_t locationId;
    char serialNumber[16];
    char description[64];
    Handle handle;
};
static_assert(offsetof(ListNode, serialNumber) == 16, "list node layout");
static_assert(offsetof(ListNode, description) == 32, "list node layout");
static_assert(offsetof(ListNode, handle) == 96, "list node layout");
static_assert(sizeof(ListNode) == (sizeof(void *) == 8 ? 104 : 100), "list node size");

// The classic EEPROM record (FT_PROGRAM_DATA). Its Version word selects how
// much of it the library uses: 2 covers the FT232R fields, 5 the FT232H
// fields. The four text fields point at buffers the caller provides; the
// library writes into them without a size check.
struct ProgramData
{
    std::uint32_t signature1; // 0x00000000
    std::uint32_t signature2; // 0xFFFFFFFF
    std::uint32_t version;
    std::uint16_t vendorId;
    std::uint16_t productId;
    char *manufacturer;
    char *manufacturerId;
    char *description;
    char *serialNumber;
    std::uint16_t maxPower;
    std::uint16_t pnp;
    std::uint16_t selfPowered;
    std::uint16_t remoteWakeup;
    // FT232B fields (version 0)
    std::uint8_t rev4;
    std::uint8_t isoIn;
    std::uint8_t isoOut;
    std::uint8_t pullDownEnable;
    std::uint8_t serNumEnable;
    std::uint8_t usbVersionEnable;
    std::uint16_t usbVersion;
    // FT2232 fields (version 1)
    std::uint8_t rev5;
    std::uint8_t isoInA;
    std::uint8_t isoInB;
    std::uint8_t isoOutA;
    std::uint8_t isoOutB;
    std::uint8_t pullDownEnable5;
    std::uint8_t serNumEnable5;
    std::uint8_t usbVersionEnable5;
    std::uint16_t usbVersion5;
    std::uint8_t aIsHighCurrent;
    std::uint8_t bIsHighCurrent;
    std::uint8_t ifAIsFifo;
    std::uint8_t ifAIsFifoTar;
    std::uint8_t ifAIsFastSer;
    std::uint8_t aIsVCP;
    std::uint8_t ifBIsFifo;
    std::uint8_t ifBIsFifoTar;
    std::uint8_t ifBIsFastSer;
    std::uint8_t bIsVCP;
    // FT232R fields (version 2)
    std::uint8_t useExtOsc;
    std::uint8_t highDriveIOs;
    std::uint8_t endpointSize;
    std::uint8_t pullDownEnableR;
    std::uint8_t serNumEnableR;
    std::uint8_t invertTXD;
    std::uint8_t invertRXD;
    std::uint8_t invertRTS;
    std::uint8_t invertCTS;
    std::uint8_t invertDTR;
    std::uint8_t invertDSR;
    std::uint8_t invertDCD;
    std::uint8_t invertRI;
    std::uint8_t cbus0;
    std::uint8_t cbus1;
    std::uint8_t cbus2;
    std::uint8_t cbus3;
    std::uint8_t cbus4;
    std::uint8_t rIsD2XX;
    // FT2232H fields (version 3)
    std::uint8_t pullDownEnable7;
    std::uint8_t serNumEnable7;
    std::uint8_t alSlowSlew;
    std::uint8_t alSchmittInput;
    std::uint8_t alDriveCurrent;
    std::uint8_t ahSlowSlew;
    std::uint8_t ahSchmittInput;
    std::uint8_t ahDriveCurrent;
    std::uint8_t blSlowSlew;
    std::uint8_t blSchmittInput;
    std::uint8_t blDriveCurrent;
    std::uint8_t bhSlowSlew;
    std::uint8_t bhSchmittInput;
    std::uint8_t bhDriveCurrent;
    std::uint8_t ifAIsFifo7;
    std::uint8_t ifAIsFifoTar7;
    std::uint8_t ifAIsFastSer7;
    std::uint8_t aIsVCP7;
    std::uint8_t ifBIsFifo7;
    std::uint8_t ifBIsFifoTar7;
    std::uint8_t ifBIsFastSer7;
    std::uint8_t bIsVCP7;
    std::uint8_t powerSaveEnable;
    // FT4232H fields (version 4)
    std::uint8_t pullDownEnable8;
    std::uint8_t serNumEnable8;
    std::uint8_t aSlowSlew;
    std::uint8_t aSchmittInput;
    std::uint8_t aDriveCurrent;
    std::uint8_t bSlowSlew;
    std::uint8_t bSchmittInput;
    std::uint8_t bDriveCurrent;
    std::uint8_t cSlowSlew;
    std::uint8_t cSchmittInput;
    std::uint8_t cDriveCurrent;
    std::uint8_t dSlowSlew;
    std::uint8_t dSchmittInput;
    std::uint8_t dDriveCurrent;
    std::uint8_t aRIIsTXDEN;
    std::uint8_t bRIIsTXDEN;
    std::uint8_t cRIIsTXDEN;
    std::uint8_t dRIIsTXDEN;
    std::uint8_t aIsVCP8;
    std::uint8_t bIsVCP8;
    std::uint8_t cIsVCP8;
    std::uint8_t dIsVCP8;
    // FT232H fields (version 5)
    std::uint8_t pullDownEnableH;
    std::uint8_t serNumEnableH;
    std::uint8_t acSlowSlewH;
    std::uint8_t acSchmittInputH;
    std::uint8_t acDriveCurrentH;
    std::uint8_t adSlowSlewH;
    std::uint8_t adSchmittInputH;
    std::uint8_t adDriveCurrentH;
    std::uint8_t cbus0H;
    std::uint8_t cbus1H;
    std::uint8_t cbus2H;
    std::uint8_t cbus3H;
    std::uint8_t cbus4H;
    std::uint8_t cbus5H;
    std::uint8_t cbus6H;
    std::uint8_t cbus7H;
    std::uint8_t cbus8H;
    std::uint8_t cbus9H;
    std::uint8_t isFifoH;
    std::uint8_t isFifoTarH;
    std::uint8_t isFastSerH;
    std::uint8_t isFT1248H;
    std::uint8_t ft1248CpolH;
    std::uint8_t ft1248LsbH;
    std::uint8_t ft1248FlowControlH;
    std::uint8_t isVCPH;
    std::uint8_t powerSaveEnableH;
};
static_assert(offsetof(ProgramData, maxPower) == (sizeof(void *) == 8 ? 48 : 32), "program data layout");
static_assert(offsetof(ProgramData, usbVersion) == (sizeof(void *) == 8 ? 62 : 46), "program data layout");
static_assert(offsetof(ProgramData, usbVersion5) == (sizeof(void *) == 8 ? 72 : 56), "program data layout");
static_assert(offsetof(ProgramData, useExtOsc) == (sizeof(void *) == 8 ? 84 : 68), "program data layout");
static_assert(offsetof(ProgramData, pullDownEnableH) == (sizeof(void *) == 8 ? 148 : 132), "program data layout");
static_assert(sizeof(ProgramData) == (sizeof(void *) == 8 ? 176 : 160), "program data size");

// Signature words and record versions of ProgramData.
constexpr std::uint32_t ProgramDataSignature1 = 0x00000000;
constexpr std::uint32_t ProgramDataSignature2 = 0xFFFFFFFF;
constexpr std::uint32_t ProgramDataVersion232R = 2;
constexpr std::uint32_t ProgramDataVersion232H = 5;

// A ProgramData record inside a larger zeroed, 8-byte aligned block: the
// library is handed the record, and should it ever write past the part its
// Version selects, it writes into the spare bytes.
struct ProgramDataBuffer
{
    ProgramData data;
    unsigned char spare[512 - sizeof(ProgramData)];
};

// The common head of every per-chip record of the newer EEPROM calls.
struct EepromHeader
{
    DeviceType deviceType; // must name the open chip's type
    std::uint16_t vendorId;
    std::uint16_t productId;
    std::uint8_t serNumEnable;
    std::uint16_t maxPower;
    std::uint8_t selfPowered;
    std::uint8_t remoteWakeup;
    std::uint8_t pullDownEnable;
};
static_assert(sizeof(EepromHeader) == 16, "EEPROM header size");
static_assert(offsetof(EepromHeader, maxPower) == 10, "EEPROM header layout");

// The FT-X series record of the newer EEPROM calls.
struct EepromXSeries
{
    EepromHeader common;
    std::uint8_t acSlowSlew;
    std::uint8_t acSchmittInput;
    std::uint8_t acDriveCurrent;
    std::uint8_t adSlowSlew;
    std::uint8_t adSchmittInput;
    std::uint8_t adDriveCurrent;
    std::uint8_t cbus0;
    std::uint8_t cbus1;
    std::uint8_t cbus2;
    std::uint8_t cbus3;
    std::uint8_t cbus4;
    std::uint8_t cbus5;
    std::uint8_t cbus6;
    std::uint8_t invertTXD;
    std::uint8_t invertRXD;
    std::uint8_t invertRTS;
    std::uint8_t invertCTS;
    std::uint8_t invertDTR;
    std::uint8_t invertDSR;
    std::uint8_t invertDCD;
    std::uint8_t invertRI;
    std::uint8_t bcdEnable;
    std::uint8_t bcdForceCbusPWREN;
    std::uint8_t bcdDisableSleep;
    std::uint16_t i2cSlaveAddress;
    std::uint32_t i2cDeviceId;
    std::uint8_t i2cDisableSchmitt;
    std::uint8_t ft1248Cpol;
    std::uint8_t ft1248Lsb;
    std::uint8_t ft1248FlowControl;
    std::uint8_t rs485EchoSuppress;
    std::uint8_t powerSaveEnable;
    std::uint8_t driverType;
};
static_assert(offsetof(EepromXSeries, i2cSlaveAddress) == 40, "X-series record layout");
static_assert(offsetof(EepromXSeries, i2cDeviceId) == 44, "X-series record layout");
static_assert(offsetof(EepromXSeries, driverType) == 54, "X-series record layout");
static_assert(sizeof(EepromXSeries) == 56, "X-series record size");

// Text buffers handed to the EEPROM calls and to the device-information call.
// The library limits serial numbers to 16 and descriptions to 64 bytes; every
// buffer is larger so that no text can overrun it.
constexpr int TextBufferSize = 80;

} // namespace Ftdi
