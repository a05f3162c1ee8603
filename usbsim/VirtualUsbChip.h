#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "FtdiTypes.h"
#include "UsbdevfsNode.h"

class SimulatedBus;
class SimulatedFtdiChip;

// One FTDI bridge chip as the kernel's USB interface shows it: descriptors,
// string descriptors, an EEPROM image with FTDI's checksum, and the usbdevfs
// requests a host's USB stack makes on its device node (control, bulk OUT and
// bulk IN urbs, claims, resets), answered on umockdev's ioctl thread.
//
// The chip's UART side is a SimulatedFtdiChip (with the instrument behind it)
// on a bus of its own: vendor control requests configure it (baud rate decoded
// back from the chip's divisor encoding, data characteristics, flow control,
// latency timer, bit mode, purge), bulk OUT bytes are written to it, and bulk
// IN urbs take what it makes readable, framed as FTDI chips frame them: each
// packet two modem-status bytes, then up to max-packet minus 2 data bytes. A
// paced chip makes bytes readable by UART wire time, full packets and its
// latency timer; an IN urb with nothing to carry completes with the status
// bytes alone once the latency timer expires, as an idle chip answers. The
// timer is the chip's, restarted by every IN packet: an idle chip answers one
// queued urb per period, however many the host keeps queued.
//
// Profiles: FT232R (0x6001, bcdDevice 0x0600, full speed, 64-byte packets,
// 128-byte EEPROM), FT232H (0x6014, 0x0900, high speed, 512-byte packets,
// 256-byte EEPROM), FT-X (0x6015, 0x1000, full speed, 64-byte packets,
// 256-byte EEPROM whose checksum skips the user area). Other chip types are
// presented as FT232R.
class VELDRIN_USBSIM_EXPORT VirtualUsbChip : public UsbdevfsNode
{
public:
    struct Profile
    {
        std::uint16_t productId;
        std::uint16_t bcdDevice;
        std::uint16_t maxPacket;
        std::uint8_t maxPacket0;
        int speedMbit;
        int eepromSize;
        int stringsStart; // byte offset of the first string in the EEPROM
    };
    static Profile profileFor(Ftdi::DeviceType type);

    explicit VirtualUsbChip(std::shared_ptr<SimulatedFtdiChip> chip);
    ~VirtualUsbChip() override;

    std::shared_ptr<SimulatedFtdiChip> simulatedChip() const { return m_chip; }
    const Profile &profile() const { return m_profile; }
    // The device and configuration descriptors, as sysfs' `descriptors` holds them.
    QByteArray descriptors() const;
    QByteArray eepromImage() const;
    // Strings in the EEPROM image (what the chip reports after its next power-up).
    QString manufacturer() const;
    QString product() const;
    QString serialNumber() const;

    // Unplugged: every request fails with ENODEV, queued urbs are reaped with
    // ENODEV, and the UART side loses power. Plugging in again starts afresh
    // (the EEPROM, with whatever was programmed, stays).
    void setUnplugged(bool unplugged);
    bool isUnplugged() const;

    // FTDI's EEPROM checksum over an image of `size` bytes (stored in its last word).
    static std::uint16_t eepromChecksum(const QByteArray &image, bool skipUserArea);
    // Rate from a SET_BAUDRATE request's wValue and wIndex.
    static std::uint32_t decodeBaudRate(std::uint16_t value, std::uint16_t index, bool highSpeedChip);

protected:
    int control(const std::uint8_t *setup, std::uint8_t *data, int length) override;
    int bulkOut(const std::uint8_t *data, int length) override;
    bool fillBulkIn(Urb &urb, std::int64_t nowNs) override;
    bool isGone() const override { return m_unplugged; }
    void reset() override;
    void firstClientConnected() override;
    void lastClientVanished() override;

private:
    void buildEeprom();
    QString eepromString(int pointerOffset) const;
    // With m_mutex held.
    void openUart();
    void closeUart();

    const std::shared_ptr<SimulatedFtdiChip> m_chip;
    const Profile m_profile;
    std::shared_ptr<SimulatedBus> m_bus;

    QByteArray m_eeprom;
    QByteArray m_poweredUp; // the EEPROM as read at power-up: the string descriptors
    Ftdi::Handle m_handle = nullptr;
    bool m_unplugged = false;
    std::uint8_t m_latencyMs = 16;
    std::uint16_t m_modemControl = 0;
    std::int64_t m_lastInPacketNs = 0; // when the chip last sent a bulk IN packet
};
