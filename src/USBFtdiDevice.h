#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "FtdiApi.h"
#include "USBDevice.h"

// A USB device behind an FTDI bridge chip, driven through the vendor-library
// seam. An FT232H (chip type 8) is run in synchronous FIFO mode, every other
// chip as a UART whose flow control follows the serial number's handshake
// letter. Reads and writes move exact byte counts and throw USBResult when
// fewer bytes arrive or leave within the time-outs.
//
// A vendor library may hand over more bytes than a read asked for (FTDI's
// D2XX does when a read's time-out expires just as a packet arrives). Every
// vendor read therefore goes into room beyond its count, and what the caller
// did not ask for is kept in a surplus store that every read takes from
// first: no read writes past its buffer or drops a byte.
//
// The object has no lock. Copies made by `clone` share the vendor handle: the
// protocol reads and writes through its copy while the driver purges and closes
// through the original, and the driver stops the protocol before closing.
class USBFtdiDevice : public USBDevice
{
public:
    // Thread priority values (QThread::Priority) handed to the protocol thread.
    enum { InheritPriority = 7, TimeCriticalPriority = 6 };

    // The largest exact-count read is one byte less than this.
    static constexpr int ReadBufferSize = 1000;
    // The most `readAvailable` takes in one call.
    static constexpr int MaxAvailableRead = 10000;
    // Room every vendor read leaves beyond its count for a vendor library that
    // hands over more than it was asked for: at least one USB transfer (the
    // largest transfer size the opening configures). A read that reports
    // more than that has written past the room and fails the opening.
    static constexpr int OverlongReadRoom = 65536;

    // A device as listed at `index` of the vendor's device list. The device
    // keeps `api`, the provider that listed it (the current one when empty),
    // for its whole life.
    USBFtdiDevice(std::shared_ptr<FtdiApi> api, const Ftdi::ListNode &node, int index);
    ~USBFtdiDevice() override;

    void resetAndClose() override;
    bool isOpen() const override;
    int threadPriority() const override;
    std::shared_ptr<USBDevice> clone() const override;
    USBDeviceStatus status() override;
    unsigned long purge() override;
    USBResult open(int baudRate) override;
    USBResult close() override;
    void writeByte(char byte) override;
    int write(const QByteArray &bytes) override;
    QByteArray read(int count) override;
    void read(char *buffer, int count) override;
    int readAvailable(QByteArray &buffer, int targetSize) override;
    int bytesAvailable() override;
    int readSome(char *buffer, int capacity) override;
    unsigned long setDefaultTimeouts() override;
    unsigned long setStreamTimeouts() override;
    USBResult programIdentity(const USBDeviceIdentity &identity) override;
    bool isLost() const override;

    const std::shared_ptr<FtdiApi> &api() const { return m_api; }

    // Held while the vendor's device list is built and read, and while an
    // opening reaches for its chip by list position: a list built meanwhile
    // could outgrow the nodes allocated for it, and an opening that reached
    // another instrument's chip has closed it again before anyone else tries.
    // Nothing else is taken under it but the provider's own locks.
    static std::mutex &vendorListMutex();

private:
    struct ChipIdentity;
    struct Surplus;
    // Room for vendor reads, reused; a copy starts without one.
    struct ReadRoom
    {
        std::unique_ptr<char[]> bytes;
        std::size_t size = 0;
        ReadRoom() = default;
        ReadRoom(const ReadRoom &) {}
        ReadRoom &operator=(const ReadRoom &) { return *this; }
    };

    USBFtdiDevice(const USBFtdiDevice &other) = default;

    // Opens the listed chip and reads its identity; no handle is kept on
    // failure.
    Ftdi::Status openListedChip(Ftdi::Handle &handle, ChipIdentity &identity);
    // The listed serial number's position in the vendor's current device
    // list, -1 when it is not there. With vendorListMutex held.
    int currentListIndex() const;

    USBResult failAndClose(Ftdi::Handle handle, Ftdi::Status status);
    QString readEepromSerialNumber(Ftdi::Handle handle, Ftdi::DeviceType type);
    USBResult configureFifo(Ftdi::Handle handle);
    USBResult configureUart(Ftdi::Handle handle, int baudRate, int handshakeLetter);
    void requireOpen() const;
    // Throws the vendor status as a USBResult; a failing status on the open
    // handle also marks the opening lost.
    [[noreturn]] void fail(Ftdi::Status status);

    // One vendor read of `count` bytes into the room; how many it handed
    // over (perhaps more than `count`). Throws the vendor's failure.
    std::uint32_t vendorRead(std::uint32_t count);
    // Copies up to `capacity` of the `got` bytes in the room to `buffer` and
    // keeps the rest as surplus; the bytes copied.
    int handOver(std::uint32_t got, char *buffer, int capacity);
    // Takes up to `count` surplus bytes; puts bytes back in front of it.
    int takeSurplus(char *buffer, int count);
    void putBackSurplus(const char *bytes, int count);
    int surplusSize() const;

    std::shared_ptr<FtdiApi> m_api;
    Ftdi::Handle m_handle = nullptr;
    int m_threadPriority = InheritPriority;
    // Set once a vendor call on this opening's handle fails; shared by the
    // clones of the opening (the protocol's reads and the driver's purge).
    std::shared_ptr<std::atomic<bool>> m_lost;
    // Bytes handed over beyond what reads asked for, oldest first; shared by
    // the clones of the opening, emptied by purge.
    std::shared_ptr<Surplus> m_surplus;
    ReadRoom m_room;
};
