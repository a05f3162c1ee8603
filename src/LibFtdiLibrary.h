#pragma once

#include <QString>
#include <QStringList>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "DynamicLibrary.h"
#include "FtdiApi.h"

struct LibFtdiFunctions;

// The open-source USB provider: libftdi1 (over libusb-1.0), loaded at run time
// by its standard name (libftdi1.so.2, libftdi1.2.dylib) with every function
// resolved by name (LibFtdiFunctions), so that neither library is needed to
// build. It answers the vendor calls with the D2XX meaning the USB layer
// relies on:
//
// - The device list: LibFtdiDeviceList. Opening takes the index in its order.
// - libftdi has no receive queue of its own. Each open device keeps bulk IN
//   transfers in flight that fill a host-side receive queue (LibFtdiReceiver),
//   as FTDI's driver does: a queue query reports what has arrived so far, and
//   a read waits until its count is complete or the read time-out expired (a
//   success with fewer bytes, as with D2XX). A purge of the receive side
//   empties it with the chip's buffer.
// - Writes go out at once, whatever a read waits for, and honour the write
//   time-out; one that expires is a success with fewer bytes written.
// - A device that vanished answers every call but close with Ftdi::IoError;
//   so does a device after its port cycle, which must be closed.
// - EEPROM: LibFtdiEeprom.
//
// When the library is absent or lacks a function it cannot do without,
// nothing is loaded: enumeration finds nothing, `open` fails with
// Ftdi::DeviceNotFound and calls on a handle with Ftdi::InvalidHandle.
//
// Thread safety: every call may come from any thread. Each open device has a
// lock of its own, held for each libftdi call on it (libftdi contexts are not
// thread-safe); reads and queue queries wait on the receiver instead, so a
// write, purge or close through another copy of the handle never waits for
// them. Closing cancels and reaps every transfer before the device is let go.
class LibFtdiLibrary : public FtdiApi
{
public:
    // Loads the library under its standard name(s).
    LibFtdiLibrary();
    // Loads the library from the given file name or path.
    explicit LibFtdiLibrary(const QString &fileName);
    ~LibFtdiLibrary() override;

    LibFtdiLibrary(const LibFtdiLibrary &) = delete;
    LibFtdiLibrary &operator=(const LibFtdiLibrary &) = delete;

    // The file names tried, in order, on this platform.
    static QStringList standardFileNames();

    bool isLoaded() const { return m_loaded; }

    Ftdi::Status open(int index, Ftdi::Handle *handle) override;
    Ftdi::Status close(Ftdi::Handle handle) override;
    Ftdi::Status read(Ftdi::Handle handle, void *buffer, std::uint32_t count,
                      std::uint32_t *countRead) override;
    Ftdi::Status write(Ftdi::Handle handle, const void *buffer, std::uint32_t count,
                       std::uint32_t *countWritten) override;
    Ftdi::Status setBaudRate(Ftdi::Handle handle, std::uint32_t baudRate) override;
    Ftdi::Status setDataCharacteristics(Ftdi::Handle handle, std::uint8_t wordLength,
                                        std::uint8_t stopBits, std::uint8_t parity) override;
    Ftdi::Status setFlowControl(Ftdi::Handle handle, std::uint16_t flowControl, std::uint8_t xon,
                                std::uint8_t xoff) override;
    Ftdi::Status purge(Ftdi::Handle handle, std::uint32_t mask) override;
    Ftdi::Status setTimeouts(Ftdi::Handle handle, std::uint32_t readMs, std::uint32_t writeMs) override;
    Ftdi::Status getQueueStatus(Ftdi::Handle handle, std::uint32_t *rxBytes) override;
    Ftdi::Status getStatus(Ftdi::Handle handle, std::uint32_t *rxBytes, std::uint32_t *txBytes,
                           std::uint32_t *eventStatus) override;
    Ftdi::Status setLatencyTimer(Ftdi::Handle handle, std::uint8_t milliseconds) override;
    Ftdi::Status setBitMode(Ftdi::Handle handle, std::uint8_t mask, std::uint8_t mode) override;
    Ftdi::Status setUsbParameters(Ftdi::Handle handle, std::uint32_t inTransferSize,
                                  std::uint32_t outTransferSize) override;
    Ftdi::Status eeProgram(Ftdi::Handle handle, Ftdi::ProgramData *data) override;
    Ftdi::Status eeRead(Ftdi::Handle handle, Ftdi::ProgramData *data) override;
    Ftdi::Status getDeviceInfo(Ftdi::Handle handle, Ftdi::DeviceType *type, std::uint32_t *id,
                               char *serialNumber, char *description, void *reserved) override;
    Ftdi::Status cyclePort(Ftdi::Handle handle) override;
    Ftdi::Status createDeviceInfoList(std::uint32_t *count) override;
    Ftdi::Status getDeviceInfoList(Ftdi::ListNode *nodes, std::uint32_t *count) override;
    Ftdi::Status eepromRead(Ftdi::Handle handle, void *data, std::uint32_t size, char *manufacturer,
                            char *manufacturerId, char *description, char *serialNumber) override;
    Ftdi::Status eepromProgram(Ftdi::Handle handle, void *data, std::uint32_t size,
                               char *manufacturer, char *manufacturerId, char *description,
                               char *serialNumber) override;

private:
    struct Session;

    bool load(const QString &fileName);
    void unload();
    std::shared_ptr<Session> session(Ftdi::Handle handle) const;
    // Runs `action` on the session of `handle` with its lock held:
    // InvalidHandle for an unknown or closed handle, and (unless `gone` is
    // Allowed) IoError once the device has gone.
    enum class Gone { Refused, Allowed };
    template <typename Action>
    Ftdi::Status withSession(Ftdi::Handle handle, Gone gone, Action action);

    void closeSession(Session &session);
    // With the session's lock held.
    bool stillAttached(Session &session);
    Ftdi::Status failed(Session &session);
    static Ftdi::Status eepromCall(Session &session, Ftdi::Status status);
    static Ftdi::Status checkXRecord(Session &session, const void *data, std::uint32_t size);

    DynamicLibrary m_library;
    DynamicLibrary m_usbLibrary; // libusb, when its calls are not reached through libftdi
    LibFtdiFunctions *m_functions = nullptr;
    bool m_loaded = false;

    // Guards the sessions and the snapshot.
    mutable std::mutex m_mutex;
    std::map<quintptr, std::shared_ptr<Session>> m_sessions;
    quintptr m_nextHandle = 0x1000;
    std::vector<Ftdi::ListNode> m_snapshot;
    // Enumerations run one at a time.
    std::mutex m_enumerationMutex;
};
