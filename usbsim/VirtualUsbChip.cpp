#include "VirtualUsbChip.h"

#include <umockdev.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>

#include "SimulatedBus.h"
#include "SimulatedFtdiChip.h"

namespace {

// What every packet of an idle, healthy chip starts with: modem status (CTS
// and DSR clear, the low nibble FTDI chips always set) and line status
// (transmitter holding register and transmitter empty).
const std::uint8_t ModemStatus0 = 0x01;
const std::uint8_t ModemStatus1 = 0x60;

// Vendor requests of FTDI chips.
enum : std::uint8_t {
    SioReset = 0x00,
    SioModemCtrl = 0x01,
    SioSetFlowCtrl = 0x02,
    SioSetBaudRate = 0x03,
    SioSetData = 0x04,
    SioGetModemStatus = 0x05,
    SioSetEventChar = 0x06,
    SioSetErrorChar = 0x07,
    SioSetLatencyTimer = 0x09,
    SioGetLatencyTimer = 0x0A,
    SioSetBitMode = 0x0B,
    SioReadPins = 0x0C,
    SioReadEeprom = 0x90,
    SioWriteEeprom = 0x91,
    SioEraseEeprom = 0x92,
};

void put16(QByteArray &bytes, int at, std::uint16_t value)
{
    bytes[at] = char(value & 0xFF);
    bytes[at + 1] = char(value >> 8);
}

std::uint16_t get16(const QByteArray &bytes, int at)
{
    return std::uint16_t(std::uint8_t(bytes[at]) | std::uint8_t(bytes[at + 1]) << 8);
}

QByteArray stringDescriptor(const QString &text)
{
    QByteArray d;
    d.append(char(2 + 2 * text.size()));
    d.append(char(0x03));
    for (QChar c : text) {
        d.append(char(c.unicode() & 0xFF));
        d.append(char(c.unicode() >> 8));
    }
    return d;
}

} // namespace

VirtualUsbChip::Profile VirtualUsbChip::profileFor(Ftdi::DeviceType type)
{
    switch (type) {
    case Ftdi::Device232H:
        return {0x6014, 0x0900, 512, 64, 480, 256, 0xA0};
    case Ftdi::DeviceXSeries:
        return {0x6015, 0x1000, 64, 8, 12, 256, 0xA0};
    default:
        return {0x6001, 0x0600, 64, 8, 12, 128, 0x18};
    }
}

VirtualUsbChip::VirtualUsbChip(std::shared_ptr<SimulatedFtdiChip> chip)
    : m_chip(std::move(chip)), m_profile(profileFor(m_chip->type())),
      m_bus(std::make_shared<SimulatedBus>())
{
    m_bus->attach(m_chip);
    buildEeprom();
}

VirtualUsbChip::~VirtualUsbChip()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    dropUrbs();
    closeUart();
}

std::uint16_t VirtualUsbChip::eepromChecksum(const QByteArray &image, bool skipUserArea)
{
    std::uint16_t checksum = 0xAAAA;
    const int words = image.size() / 2;
    for (int i = 0; i < words - 1; ++i) {
        // The FT-X user area (words 0x12 to 0x3F) is not covered.
        if (skipUserArea && i == 0x12)
            i = 0x40;
        checksum ^= get16(image, 2 * i);
        checksum = std::uint16_t(checksum << 1 | checksum >> 15);
    }
    return checksum;
}

std::uint32_t VirtualUsbChip::decodeBaudRate(std::uint16_t value, std::uint16_t index,
                                             bool highSpeedChip)
{
    // A divisor of 14 integer bits and a fraction in eighths, coded in three
    // bits: two at the top of wValue and one in wIndex (bit 0, or bit 8 on
    // the high-speed chips, whose wIndex low byte names the interface; their
    // bit 9 selects the 12 MHz base instead of 3 MHz).
    static const int eighthsOfCode[8] = {0, 4, 2, 1, 3, 5, 6, 7};
    const int highBit = highSpeedChip ? (index >> 8) & 1 : index & 1;
    const int code = (value >> 14) | highBit << 2;
    const bool base12MHz = highSpeedChip && (index & 0x200);
    const double base = base12MHz ? 12000000.0 : 3000000.0;
    const int integer = value & 0x3FFF;
    if (integer == 0 && code == 0)
        return std::uint32_t(base);
    if (integer == 1 && code == 0)
        return base12MHz ? 8000000 : 2000000;
    const double divisor = integer + eighthsOfCode[code] / 8.0;
    return std::uint32_t(base / divisor + 0.5);
}

void VirtualUsbChip::buildEeprom()
{
    const int size = m_profile.eepromSize;
    QByteArray e(size, '\0');
    if (m_chip->type() != Ftdi::Device232H && m_chip->type() != Ftdi::DeviceXSeries)
        e[0x01] = 0x40; // FT232R: 64-byte endpoints
    put16(e, 0x02, 0x0403);
    put16(e, 0x04, m_profile.productId);
    put16(e, 0x06, m_profile.bcdDevice);
    if (m_chip->type() == Ftdi::Device232H)
        e[0x1E] = 0x56; // EEPROM part (93C56): FTDI's library reads no strings without it
    e[0x08] = char(0x80);      // bus powered
    e[0x09] = char(90 / 2);    // 90 mA
    put16(e, 0x0C, 0x0200);    // USB 2.0
    const SimulatedFtdiChip::Eeprom stored = m_chip->eeprom();
    const QString strings[3] = {QString::fromLatin1(stored.manufacturer),
                                m_chip->listedDescription(), m_chip->listedSerialNumber()};
    int at = m_profile.stringsStart;
    for (int i = 0; i < 3; ++i) {
        const QByteArray d = stringDescriptor(strings[i]);
        if (at + d.size() > size - 2)
            break;
        // Pointer with bit 7 set, as FTDI's tools write it; readers mask it
        // with the EEPROM size.
        e[0x0E + 2 * i] = char((at | 0x80) & 0xFF);
        e[0x0F + 2 * i] = char(d.size());
        e.replace(at, d.size(), d);
        at += d.size();
    }
    put16(e, size - 2, eepromChecksum(e, m_chip->type() == Ftdi::DeviceXSeries));
    m_eeprom = e;
    m_poweredUp = e;
}

QString VirtualUsbChip::eepromString(int pointerOffset) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const int size = m_eeprom.size();
    const int at = std::uint8_t(m_eeprom[pointerOffset]) & (size - 1);
    const int length = std::uint8_t(m_eeprom[pointerOffset + 1]);
    QString text;
    for (int i = 2; i + 1 < length && at + i + 1 < size; i += 2)
        text.append(QChar(get16(m_eeprom, at + i)));
    return text;
}

QString VirtualUsbChip::manufacturer() const { return eepromString(0x0E); }
QString VirtualUsbChip::product() const { return eepromString(0x10); }
QString VirtualUsbChip::serialNumber() const { return eepromString(0x12); }

QByteArray VirtualUsbChip::eepromImage() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_eeprom;
}

QByteArray VirtualUsbChip::descriptors() const
{
    const std::uint16_t mp = m_profile.maxPacket;
    const std::uint8_t device[18] = {18, 1, 0x00, 0x02, 0, 0, 0, m_profile.maxPacket0,
                                     0x03, 0x04, std::uint8_t(m_profile.productId & 0xFF),
                                     std::uint8_t(m_profile.productId >> 8),
                                     std::uint8_t(m_profile.bcdDevice & 0xFF),
                                     std::uint8_t(m_profile.bcdDevice >> 8), 1, 2, 3, 1};
    const std::uint8_t configuration[32] = {
        9, 2, 32, 0, 1, 1, 0, 0x80, 45,                                        // configuration
        9, 4, 0, 0, 2, 0xFF, 0xFF, 0xFF, 2,                                    // interface
        7, 5, 0x81, 0x02, std::uint8_t(mp & 0xFF), std::uint8_t(mp >> 8), 0, // bulk IN
        7, 5, 0x02, 0x02, std::uint8_t(mp & 0xFF), std::uint8_t(mp >> 8), 0, // bulk OUT
    };
    QByteArray d(reinterpret_cast<const char *>(device), sizeof device);
    d.append(reinterpret_cast<const char *>(configuration), sizeof configuration);
    return d;
}

void VirtualUsbChip::openUart()
{
    if (m_handle || m_unplugged)
        return;
    if (m_bus->open(0, &m_handle) != Ftdi::Ok) {
        m_handle = nullptr;
        return;
    }
    // Reads only ever take what the queue query counted, so they never wait.
    m_bus->setTimeouts(m_handle, 1, 1000);
    m_bus->setLatencyTimer(m_handle, m_latencyMs);
}

void VirtualUsbChip::closeUart()
{
    if (m_handle)
        m_bus->close(m_handle);
    m_handle = nullptr;
}

void VirtualUsbChip::firstClientConnected()
{
    m_latencyMs = 16;
    openUart();
}

void VirtualUsbChip::lastClientVanished()
{
    closeUart();
}

void VirtualUsbChip::setUnplugged(bool unplugged)
{
    m_chip->setFault(SimulatedFtdiChip::Unplugged, unplugged);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_unplugged = unplugged;
    if (!unplugged) {
        // A fresh device, which has read its EEPROM again; the host opens a new node.
        m_poweredUp = m_eeprom;
        closeUart();
        dropUrbs();
        m_clients = 0;
    }
}

bool VirtualUsbChip::isUnplugged() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_unplugged;
}

// A control transfer: returns the number of data bytes of the data stage, or
// a negative errno (a stall is -EPIPE).
int VirtualUsbChip::control(const std::uint8_t *setup, std::uint8_t *data, int length)
{
    const std::uint8_t requestType = setup[0];
    const std::uint8_t request = setup[1];
    const std::uint16_t value = std::uint16_t(setup[2] | setup[3] << 8);
    const std::uint16_t index = std::uint16_t(setup[4] | setup[5] << 8);
    const int wanted = std::min<int>(length, setup[6] | setup[7] << 8);
    auto answer = [&](const QByteArray &bytes) {
        const int n = std::min<int>(wanted, bytes.size());
        std::memcpy(data, bytes.constData(), std::size_t(n));
        return n;
    };

    if ((requestType & 0x60) == 0x00) { // standard
        if (request == 0x06 && (requestType & 0x80)) { // GET_DESCRIPTOR
            const int type = value >> 8, number = value & 0xFF;
            if (type == 1)
                return answer(descriptors().left(18));
            if (type == 2)
                return answer(descriptors().mid(18));
            if (type == 3) {
                if (number == 0)
                    return answer(QByteArray("\x04\x03\x09\x04", 4));
                // Strings as the chip read them from its EEPROM at power-up.
                const int pointer = 0x0E + 2 * (number - 1);
                if (number > 3)
                    return -EPIPE;
                const int size = m_poweredUp.size();
                const int at = std::uint8_t(m_poweredUp[pointer]) & (size - 1);
                return answer(m_poweredUp.mid(at, std::uint8_t(m_poweredUp[pointer + 1])));
            }
            return -EPIPE;
        }
        if (request == 0x00 && (requestType & 0x80)) // GET_STATUS
            return answer(QByteArray(2, '\0'));
        if (request == 0x08 && (requestType & 0x80)) // GET_CONFIGURATION
            return answer(QByteArray(1, '\1'));
        return 0; // SET_CONFIGURATION, SET_INTERFACE, CLEAR_FEATURE, ...
    }
    if ((requestType & 0x60) != 0x40)
        return -EPIPE;

    const bool uartOpen = m_handle != nullptr;
    switch (request) {
    case SioReset:
        // 0 resets the chip (both buffers), 1 flushes what the host sent,
        // 2 what the chip holds for the host.
        if (uartOpen)
            m_bus->purge(m_handle, value == 0 ? Ftdi::PurgeRx | Ftdi::PurgeTx
                                   : value == 2 ? Ftdi::PurgeRx : Ftdi::PurgeTx);
        return 0;
    case SioModemCtrl:
        m_modemControl = value;
        return 0;
    case SioSetFlowCtrl:
        if (uartOpen)
            m_bus->setFlowControl(m_handle, index & 0xFF00, value & 0xFF, value >> 8);
        return 0;
    case SioSetBaudRate:
        if (uartOpen)
            m_bus->setBaudRate(m_handle,
                               decodeBaudRate(value, index, m_chip->type() == Ftdi::Device232H));
        return 0;
    case SioSetData:
        if (uartOpen)
            m_bus->setDataCharacteristics(m_handle, value & 0xFF, (value >> 11) & 7,
                                          (value >> 8) & 7);
        return 0;
    case SioGetModemStatus:
        {
        const char status[2] = {char(ModemStatus0), char(ModemStatus1)};
        return answer(QByteArray(status, 2));
    }
    case SioSetEventChar:
    case SioSetErrorChar:
        return 0;
    case SioSetLatencyTimer:
        m_latencyMs = std::uint8_t(value & 0xFF);
        if (uartOpen)
            m_bus->setLatencyTimer(m_handle, m_latencyMs);
        return 0;
    case SioGetLatencyTimer:
        return answer(QByteArray(1, char(m_latencyMs)));
    case SioSetBitMode:
        if (uartOpen)
            m_bus->setBitMode(m_handle, value & 0xFF, value >> 8);
        return 0;
    case SioReadPins:
        return answer(QByteArray(1, '\xFF'));
    case SioReadEeprom: {
        const int at = 2 * index;
        if (at + 1 >= m_eeprom.size())
            return answer(QByteArray(2, '\xFF'));
        return answer(m_eeprom.mid(at, 2));
    }
    case SioWriteEeprom:
        if (2 * index + 1 < m_eeprom.size())
            put16(m_eeprom, 2 * index, value);
        return 0;
    case SioEraseEeprom:
        m_eeprom.fill('\xFF');
        return 0;
    default:
        return -EPIPE;
    }
}

bool VirtualUsbChip::fillBulkIn(Urb &urb, std::int64_t now)
{
    const int capacity = urb.buffer ? urb.buffer->data_len : 0;
    const int packet = m_profile.maxPacket;
    if (capacity < 2) {
        completeUrb(urb, -EOVERFLOW, 0);
        return true;
    }
    std::uint32_t available = 0;
    if (m_handle)
        m_bus->getQueueStatus(m_handle, &available);
    if (available == 0) {
        // An idle chip sends its status bytes alone when the latency timer
        // expires. The timer is the chip's, restarted by every packet it
        // sends, not one per urb: however many IN urbs a host keeps queued,
        // an idle chip answers one of them per period.
        if (now - m_lastInPacketNs < std::int64_t(std::max<int>(m_latencyMs, 1)) * 1000000)
            return false;
        urb.buffer->data[0] = ModemStatus0;
        urb.buffer->data[1] = ModemStatus1;
        m_lastInPacketNs = now;
        completeUrb(urb, 0, 2);
        return true;
    }
    std::uint8_t *out = urb.buffer->data;
    int written = 0;
    while (available > 0 && capacity - written > 2) {
        const int room = std::min(packet, capacity - written) - 2;
        std::uint32_t got = 0;
        out[written] = ModemStatus0;
        out[written + 1] = ModemStatus1;
        m_bus->read(m_handle, out + written + 2, std::min<std::uint32_t>(available, std::uint32_t(room)),
                    &got);
        written += 2 + int(got);
        available -= std::min(available, got);
        if (got < std::uint32_t(room) || got == 0)
            break; // a short packet ends the transfer
    }
    m_lastInPacketNs = now;
    completeUrb(urb, 0, written);
    return true;
}

int VirtualUsbChip::bulkOut(const std::uint8_t *data, int length)
{
    std::uint32_t written = 0;
    if (m_handle)
        m_bus->write(m_handle, data, std::uint32_t(length), &written);
    return int(written);
}

void VirtualUsbChip::reset()
{
    if (m_handle)
        m_bus->purge(m_handle, Ftdi::PurgeRx | Ftdi::PurgeTx);
}
