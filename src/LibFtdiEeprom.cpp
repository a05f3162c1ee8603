#include "LibFtdiEeprom.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <utility>

#include "LibFtdiFunctions.h"

using namespace Ftdi;

// What the EEPROM calls program, taken from either record kind.
struct LibFtdiEeprom::Identity
{
    const char *manufacturer = nullptr;
    const char *description = nullptr;
    const char *serialNumber = nullptr;
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    int maxPower = 0;
    int selfPowered = 0;
    int remoteWakeup = 0;
    int notPnp = -1;      // -1: not part of the record
    int useSerial = 0;
    int pullDowns = -1;   // -1: not part of the record
    int channelType = -1; // -1: not part of the record
    int driver = -1;      // -1: not part of the record
};

namespace {

// The text a caller buffer of the EEPROM calls holds, terminated within
// Ftdi::TextBufferSize bytes.
std::string callerText(const char *text)
{
    if (!text)
        return std::string();
    return std::string(text, strnlen(text, TextBufferSize - 1));
}

} // namespace

LibFtdiEeprom::LibFtdiEeprom(const LibFtdiFunctions &functions, LibFtdi::ContextHead *context,
                             DeviceType type, const std::string &description,
                             const std::string &serialNumber)
    : m_f(functions), m_context(context), m_type(type), m_description(description),
      m_serialNumber(serialNumber)
{
}

void LibFtdiEeprom::copyText(char *target, std::size_t size, const char *text)
{
    if (!target || size == 0)
        return;
    const std::size_t length = text ? std::min(std::strlen(text), size - 1) : 0;
    if (length)
        std::memcpy(target, text, length);
    target[length] = '\0';
}

bool LibFtdiEeprom::stillAttached()
{
    unsigned short modemStatus = 0;
    return m_f.pollModemStatus(m_context, &modemStatus) >= 0;
}

Status LibFtdiEeprom::loadProgrammed()
{
    bool blank = false;
    const Status status = load(&blank);
    return status == Ok && blank ? EepromNotProgrammed : status;
}

Status LibFtdiEeprom::load(bool *blank)
{
    *blank = false;
    if (m_f.readEeprom(m_context) < 0)
        return stillAttached() ? EepromReadFailed : IoError;
    unsigned char image[LibFtdi::MaxEepromSize];
    if (m_f.getEepromBuf(m_context, image, sizeof image) == 0
        && std::all_of(std::begin(image), std::end(image), [](unsigned char b) { return b == 0xFF; })) {
        *blank = true;
        return Ok;
    }
    return m_f.eepromDecode(m_context, 0) < 0 ? EepromReadFailed : Ok;
}

int LibFtdiEeprom::value(int name, int fallback)
{
    int value = 0;
    return m_f.getEepromValue(m_context, name, &value) == 0 ? value : fallback;
}

void LibFtdiEeprom::readTexts(char *manufacturer, char *description, char *serialNumber)
{
    char texts[3][TextBufferSize] = {};
    if (m_f.eepromGetStrings) {
        m_f.eepromGetStrings(m_context, texts[0], TextBufferSize, texts[1], TextBufferSize, texts[2],
                             TextBufferSize);
        texts[0][TextBufferSize - 1] = texts[1][TextBufferSize - 1] = texts[2][TextBufferSize - 1] = '\0';
    } else {
        // Releases without the call: a programmed chip reports its EEPROM
        // texts as its USB strings.
        copyText(texts[1], TextBufferSize, m_description.c_str());
        copyText(texts[2], TextBufferSize, m_serialNumber.c_str());
    }
    copyText(manufacturer, TextBufferSize, texts[0]);
    copyText(description, TextBufferSize, texts[1]);
    copyText(serialNumber, TextBufferSize, texts[2]);
}

// Fills libftdi's EEPROM image from the chip, or from libftdi's defaults for
// the chip type when the chip's EEPROM is blank or unreadable, so that
// programming changes the identity fields and keeps every other setting.
Status LibFtdiEeprom::startImage()
{
    bool blank = false;
    const Status status = load(&blank);
    if (status == Ok && !blank)
        return Ok;
    if (status == IoError)
        return status;
    return m_f.eepromInitDefaults(m_context, nullptr, nullptr, nullptr) < 0 ? EepromWriteFailed : Ok;
}

Status LibFtdiEeprom::writeImage(const Identity &identity)
{
    if (!m_f.eepromSetStrings)
        return NotSupported;
    Status status = startImage();
    if (status != Ok)
        return status;
    const std::string manufacturer = callerText(identity.manufacturer);
    const std::string description = callerText(identity.description);
    const std::string serialNumber = callerText(identity.serialNumber);
    if (m_f.eepromSetStrings(m_context, manufacturer.c_str(), description.c_str(), serialNumber.c_str()) < 0)
        return EepromWriteFailed;

    // A zero id in the record keeps the chip's: writing it would leave a chip
    // that no FTDI driver finds.
    const std::pair<int, int> values[] = {
        {LibFtdi::VendorId, identity.vendorId ? identity.vendorId : -1},
        {LibFtdi::ProductId, identity.productId ? identity.productId : -1},
        {LibFtdi::MaxPower, identity.maxPower},
        {LibFtdi::SelfPowered, identity.selfPowered != 0},
        {LibFtdi::RemoteWakeup, identity.remoteWakeup != 0},
        {LibFtdi::IsNotPnp, identity.notPnp},
        {LibFtdi::UseSerial, identity.useSerial != 0},
        {LibFtdi::SuspendPullDowns, identity.pullDowns},
        {LibFtdi::ChannelAType, identity.channelType},
        {LibFtdi::ChannelADriver, identity.driver},
    };
    for (const auto &value : values) {
        if (value.second >= 0 && m_f.setEepromValue(m_context, value.first, value.second) != 0)
            return EepromWriteFailed;
    }
    if (m_f.eepromBuild(m_context) < 0)
        return EepromWriteFailed;
    if (m_f.writeEeprom(m_context) < 0)
        return stillAttached() ? EepromWriteFailed : IoError;
    return Ok;
}

Status LibFtdiEeprom::read(ProgramData &data)
{
    // The FT-X series has the per-chip record only.
    if (m_type == DeviceXSeries)
        return NotSupported;
    const Status status = loadProgrammed();
    if (status != Ok)
        return status;

    data.vendorId = static_cast<std::uint16_t>(value(LibFtdi::VendorId, 0));
    data.productId = static_cast<std::uint16_t>(value(LibFtdi::ProductId, 0));
    data.maxPower = static_cast<std::uint16_t>(value(LibFtdi::MaxPower, 0));
    data.selfPowered = value(LibFtdi::SelfPowered, 0) != 0;
    data.remoteWakeup = value(LibFtdi::RemoteWakeup, 0) != 0;
    data.pnp = value(LibFtdi::IsNotPnp, 0) == 0;
    const std::uint8_t useSerial = value(LibFtdi::UseSerial, 0) != 0;
    const int channelType = value(LibFtdi::ChannelAType, LibFtdi::ChannelIsUart);
    const bool vcp = value(LibFtdi::ChannelADriver, 0) == LibFtdi::DriverVcp;
    readTexts(data.manufacturer, data.description, data.serialNumber);
    copyText(data.manufacturerId, TextBufferSize, "");

    if (m_type == Device232R && data.version >= ProgramDataVersion232R) {
        data.serNumEnableR = useSerial;
        data.rIsD2XX = !vcp;
    } else if (m_type == Device232H && data.version >= ProgramDataVersion232H) {
        data.serNumEnableH = useSerial;
        data.isFifoH = channelType == LibFtdi::ChannelIsFifo;
        data.isFifoTarH = channelType == LibFtdi::ChannelIsCpu;
        data.isFastSerH = channelType == LibFtdi::ChannelIsOpto;
        data.isFT1248H = channelType == LibFtdi::ChannelIsFt1284;
        data.isVCPH = vcp;
    } else {
        data.serNumEnable = useSerial;
    }
    return Ok;
}

Status LibFtdiEeprom::program(const ProgramData &data)
{
    if (m_type == DeviceXSeries || m_type == LibFtdi::DeviceUnknown)
        return NotSupported;
    Identity identity;
    identity.manufacturer = data.manufacturer;
    identity.description = data.description;
    identity.serialNumber = data.serialNumber;
    identity.vendorId = data.vendorId;
    identity.productId = data.productId;
    identity.maxPower = data.maxPower;
    identity.selfPowered = data.selfPowered;
    identity.remoteWakeup = data.remoteWakeup;
    identity.notPnp = data.pnp == 0;
    identity.useSerial = data.serNumEnable;
    if (m_type == Device232R && data.version >= ProgramDataVersion232R) {
        identity.useSerial = data.serNumEnableR;
        identity.driver = data.rIsD2XX ? 0 : LibFtdi::DriverVcp;
    } else if (m_type == Device232H && data.version >= ProgramDataVersion232H) {
        identity.useSerial = data.serNumEnableH;
        identity.channelType = data.isFifoH ? LibFtdi::ChannelIsFifo
            : data.isFifoTarH               ? LibFtdi::ChannelIsCpu
            : data.isFastSerH               ? LibFtdi::ChannelIsOpto
            : data.isFT1248H                ? LibFtdi::ChannelIsFt1284
                                            : LibFtdi::ChannelIsUart;
        identity.driver = data.isVCPH ? LibFtdi::DriverVcp : 0;
    }
    return writeImage(identity);
}

Status LibFtdiEeprom::readX(EepromXSeries &record, char *manufacturer, char *manufacturerId,
                            char *description, char *serialNumber)
{
    const Status status = loadProgrammed();
    if (status != Ok)
        return status;
    record.common.vendorId = static_cast<std::uint16_t>(value(LibFtdi::VendorId, 0));
    record.common.productId = static_cast<std::uint16_t>(value(LibFtdi::ProductId, 0));
    record.common.serNumEnable = value(LibFtdi::UseSerial, 0) != 0;
    record.common.maxPower = static_cast<std::uint16_t>(value(LibFtdi::MaxPower, 0));
    record.common.selfPowered = value(LibFtdi::SelfPowered, 0) != 0;
    record.common.remoteWakeup = value(LibFtdi::RemoteWakeup, 0) != 0;
    record.common.pullDownEnable = value(LibFtdi::SuspendPullDowns, 0) != 0;
    // The record's driver type: 0 the D2XX driver, 1 the virtual COM port.
    record.driverType = value(LibFtdi::ChannelADriver, 0) == LibFtdi::DriverVcp;
    readTexts(manufacturer, description, serialNumber);
    copyText(manufacturerId, TextBufferSize, "");
    return Ok;
}

Status LibFtdiEeprom::programX(const EepromXSeries &record, const char *manufacturer,
                               const char *description, const char *serialNumber)
{
    Identity identity;
    identity.manufacturer = manufacturer;
    identity.description = description;
    identity.serialNumber = serialNumber;
    identity.vendorId = record.common.vendorId;
    identity.productId = record.common.productId;
    identity.maxPower = record.common.maxPower;
    identity.selfPowered = record.common.selfPowered;
    identity.remoteWakeup = record.common.remoteWakeup;
    identity.useSerial = record.common.serNumEnable;
    identity.pullDowns = record.common.pullDownEnable != 0;
    identity.driver = record.driverType ? LibFtdi::DriverVcp : 0;
    return writeImage(identity);
}
