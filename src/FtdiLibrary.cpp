#include "FtdiLibrary.h"

#if defined(_WIN32)
#  define FTDI_CALL __stdcall
#else
#  define FTDI_CALL
#endif

using namespace Ftdi;

// The library's own signatures. On 32-bit Windows its functions use the
// callee-pops convention; elsewhere the platform's C convention.
struct FtdiLibrary::Functions
{
    Status(FTDI_CALL *open)(int, Handle *);
    Status(FTDI_CALL *close)(Handle);
    Status(FTDI_CALL *read)(Handle, void *, std::uint32_t, std::uint32_t *);
    Status(FTDI_CALL *write)(Handle, void *, std::uint32_t, std::uint32_t *);
    Status(FTDI_CALL *setBaudRate)(Handle, std::uint32_t);
    Status(FTDI_CALL *setDataCharacteristics)(Handle, std::uint8_t, std::uint8_t, std::uint8_t);
    Status(FTDI_CALL *setFlowControl)(Handle, std::uint16_t, std::uint8_t, std::uint8_t);
    Status(FTDI_CALL *purge)(Handle, std::uint32_t);
    Status(FTDI_CALL *setTimeouts)(Handle, std::uint32_t, std::uint32_t);
    Status(FTDI_CALL *getQueueStatus)(Handle, std::uint32_t *);
    Status(FTDI_CALL *getStatus)(Handle, std::uint32_t *, std::uint32_t *, std::uint32_t *);
    Status(FTDI_CALL *setLatencyTimer)(Handle, std::uint8_t);
    Status(FTDI_CALL *setBitMode)(Handle, std::uint8_t, std::uint8_t);
    Status(FTDI_CALL *setUsbParameters)(Handle, std::uint32_t, std::uint32_t);
    Status(FTDI_CALL *eeProgram)(Handle, ProgramData *);
    Status(FTDI_CALL *eeRead)(Handle, ProgramData *);
    Status(FTDI_CALL *getDeviceInfo)(Handle, DeviceType *, std::uint32_t *, char *, char *, void *);
    Status(FTDI_CALL *cyclePort)(Handle);
    Status(FTDI_CALL *createDeviceInfoList)(std::uint32_t *);
    Status(FTDI_CALL *getDeviceInfoList)(ListNode *, std::uint32_t *);
    Status(FTDI_CALL *eepromRead)(Handle, void *, std::uint32_t, char *, char *, char *, char *);
    Status(FTDI_CALL *eepromProgram)(Handle, void *, std::uint32_t, char *, char *, char *, char *);
};

FtdiLibrary::FtdiLibrary()
{
    load(standardFileName());
}

FtdiLibrary::FtdiLibrary(const QString &fileName)
{
    load(fileName);
}

FtdiLibrary::~FtdiLibrary()
{
    unload();
}

QString FtdiLibrary::standardFileName()
{
#if defined(_WIN32)
    return QStringLiteral("ftd2xx.dll");
#elif defined(__APPLE__)
    return QStringLiteral("libftd2xx.dylib");
#else
    return QStringLiteral("libftd2xx.so");
#endif
}

void FtdiLibrary::load(const QString &fileName)
{
    if (!m_library.load(fileName))
        return;
    m_functions = new Functions();
    Functions &f = *m_functions;
    const DynamicLibrary &l = m_library;
    const bool complete = l.resolve("FT_Open", f.open)
        && l.resolve("FT_Close", f.close)
        && l.resolve("FT_Read", f.read)
        && l.resolve("FT_Write", f.write)
        && l.resolve("FT_SetBaudRate", f.setBaudRate)
        && l.resolve("FT_SetDataCharacteristics", f.setDataCharacteristics)
        && l.resolve("FT_SetFlowControl", f.setFlowControl)
        && l.resolve("FT_Purge", f.purge)
        && l.resolve("FT_SetTimeouts", f.setTimeouts)
        && l.resolve("FT_GetQueueStatus", f.getQueueStatus)
        && l.resolve("FT_GetStatus", f.getStatus)
        && l.resolve("FT_SetLatencyTimer", f.setLatencyTimer)
        && l.resolve("FT_SetBitMode", f.setBitMode)
        && l.resolve("FT_SetUSBParameters", f.setUsbParameters)
        && l.resolve("FT_EE_Program", f.eeProgram)
        && l.resolve("FT_EE_Read", f.eeRead)
        && l.resolve("FT_GetDeviceInfo", f.getDeviceInfo)
        && l.resolve("FT_CyclePort", f.cyclePort)
        && l.resolve("FT_CreateDeviceInfoList", f.createDeviceInfoList)
        && l.resolve("FT_GetDeviceInfoList", f.getDeviceInfoList)
        && l.resolve("FT_EEPROM_Read", f.eepromRead)
        && l.resolve("FT_EEPROM_Program", f.eepromProgram);
    if (complete)
        m_loaded = true;
    else
        unload();
}

void FtdiLibrary::unload()
{
    m_loaded = false;
    delete m_functions;
    m_functions = nullptr;
    m_library.unload();
}

Status FtdiLibrary::open(int index, Handle *handle)
{
    if (!m_loaded) {
        if (handle)
            *handle = nullptr;
        return DeviceNotFound;
    }
    return m_functions->open(index, handle);
}

Status FtdiLibrary::close(Handle handle)
{
    return m_loaded ? m_functions->close(handle) : InvalidHandle;
}

Status FtdiLibrary::read(Handle handle, void *buffer, std::uint32_t count, std::uint32_t *countRead)
{
    if (!m_loaded) {
        if (countRead)
            *countRead = 0;
        return InvalidHandle;
    }
    return m_functions->read(handle, buffer, count, countRead);
}

Status FtdiLibrary::write(Handle handle, const void *buffer, std::uint32_t count,
                          std::uint32_t *countWritten)
{
    if (!m_loaded) {
        if (countWritten)
            *countWritten = 0;
        return InvalidHandle;
    }
    // The library's prototype takes a non-const buffer but only reads it.
    return m_functions->write(handle, const_cast<void *>(buffer), count, countWritten);
}

Status FtdiLibrary::setBaudRate(Handle handle, std::uint32_t baudRate)
{
    return m_loaded ? m_functions->setBaudRate(handle, baudRate) : InvalidHandle;
}

Status FtdiLibrary::setDataCharacteristics(Handle handle, std::uint8_t wordLength,
                                           std::uint8_t stopBits, std::uint8_t parity)
{
    return m_loaded ? m_functions->setDataCharacteristics(handle, wordLength, stopBits, parity)
                    : InvalidHandle;
}

Status FtdiLibrary::setFlowControl(Handle handle, std::uint16_t flowControl, std::uint8_t xon,
                                   std::uint8_t xoff)
{
    return m_loaded ? m_functions->setFlowControl(handle, flowControl, xon, xoff) : InvalidHandle;
}

Status FtdiLibrary::purge(Handle handle, std::uint32_t mask)
{
    return m_loaded ? m_functions->purge(handle, mask) : InvalidHandle;
}

Status FtdiLibrary::setTimeouts(Handle handle, std::uint32_t readMs, std::uint32_t writeMs)
{
    return m_loaded ? m_functions->setTimeouts(handle, readMs, writeMs) : InvalidHandle;
}

Status FtdiLibrary::getQueueStatus(Handle handle, std::uint32_t *rxBytes)
{
    return m_loaded ? m_functions->getQueueStatus(handle, rxBytes) : InvalidHandle;
}

Status FtdiLibrary::getStatus(Handle handle, std::uint32_t *rxBytes, std::uint32_t *txBytes,
                              std::uint32_t *eventStatus)
{
    return m_loaded ? m_functions->getStatus(handle, rxBytes, txBytes, eventStatus) : InvalidHandle;
}

Status FtdiLibrary::setLatencyTimer(Handle handle, std::uint8_t milliseconds)
{
    return m_loaded ? m_functions->setLatencyTimer(handle, milliseconds) : InvalidHandle;
}

Status FtdiLibrary::setBitMode(Handle handle, std::uint8_t mask, std::uint8_t mode)
{
    return m_loaded ? m_functions->setBitMode(handle, mask, mode) : InvalidHandle;
}

Status FtdiLibrary::setUsbParameters(Handle handle, std::uint32_t inTransferSize,
                                     std::uint32_t outTransferSize)
{
    return m_loaded ? m_functions->setUsbParameters(handle, inTransferSize, outTransferSize)
                    : InvalidHandle;
}

Status FtdiLibrary::eeProgram(Handle handle, ProgramData *data)
{
    return m_loaded ? m_functions->eeProgram(handle, data) : InvalidHandle;
}

Status FtdiLibrary::eeRead(Handle handle, ProgramData *data)
{
    return m_loaded ? m_functions->eeRead(handle, data) : InvalidHandle;
}

Status FtdiLibrary::getDeviceInfo(Handle handle, DeviceType *type, std::uint32_t *id,
                                  char *serialNumber, char *description, void *reserved)
{
    return m_loaded ? m_functions->getDeviceInfo(handle, type, id, serialNumber, description, reserved)
                    : InvalidHandle;
}

Status FtdiLibrary::cyclePort(Handle handle)
{
    return m_loaded ? m_functions->cyclePort(handle) : InvalidHandle;
}

Status FtdiLibrary::createDeviceInfoList(std::uint32_t *count)
{
    if (!m_loaded) {
        if (count)
            *count = 0;
        return DeviceNotFound;
    }
    return m_functions->createDeviceInfoList(count);
}

Status FtdiLibrary::getDeviceInfoList(ListNode *nodes, std::uint32_t *count)
{
    if (!m_loaded) {
        if (count)
            *count = 0;
        return DeviceNotFound;
    }
    return m_functions->getDeviceInfoList(nodes, count);
}

Status FtdiLibrary::eepromRead(Handle handle, void *data, std::uint32_t size, char *manufacturer,
                               char *manufacturerId, char *description, char *serialNumber)
{
    return m_loaded ? m_functions->eepromRead(handle, data, size, manufacturer, manufacturerId,
                                              description, serialNumber)
                    : InvalidHandle;
}

Status FtdiLibrary::eepromProgram(Handle handle, void *data, std::uint32_t size, char *manufacturer,
                                  char *manufacturerId, char *description, char *serialNumber)
{
    return m_loaded ? m_functions->eepromProgram(handle, data, size, manufacturer, manufacturerId,
                                                 description, serialNumber)
                    : InvalidHandle;
}
