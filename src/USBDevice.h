#pragma once

#include <QByteArray>
#include <QString>
#include <QPair>
#include <cstdint>
#include <memory>

#include "USBResult.h"

// Queue counters of an open bridge, as `USBDevice::status` reports them.
struct USBDeviceStatus
{
    enum State { Open = 0, NotOpen = 1, QueryFailed = 2 };
    int state = NotOpen;
    quint32 rxQueueBytes = 0; // 0 unless state is Open
    quint32 txQueueBytes = 0; // 0 unless state is Open
    QString message;          // the failed query's text for QueryFailed
};

// What `programIdentity` writes into a bridge chip's EEPROM.
struct USBDeviceIdentity
{
    QString serialNumber;  // up to 16 characters are written
    QString description;   // up to 63 characters are written
    quint8 selfPowered = 0;
    quint16 maxPower = 0;
};

// One attached USB bridge: its identity as listed at enumeration time and the
// byte-stream operations that the packet protocol uses. Reads and writes throw
// USBResult on failure.
class USBDevice
{
public:
    USBDevice(int index, quint32 usbId, const QString &serialNumber, const QString &description);
    virtual ~USBDevice();

    virtual void resetAndClose() = 0;
    virtual bool isOpen() const = 0;
    virtual int threadPriority() const = 0;
    virtual std::shared_ptr<USBDevice> clone() const = 0;
    virtual USBDeviceStatus status() = 0;
    virtual unsigned long purge() = 0;
    virtual USBResult open(int baudRate) = 0;
    virtual USBResult close() = 0;
    virtual void writeByte(char byte) = 0;
    virtual int write(const QByteArray &bytes) = 0;
    virtual QByteArray read(int count) = 0;
    virtual void read(char *buffer, int count) = 0;
    virtual int readAvailable(QByteArray &buffer, int targetSize) = 0;
    virtual int bytesAvailable() = 0;
    // Waits up to the read time-out for a byte, then takes it and whatever
    // else has arrived, up to `capacity`; 0 when nothing came. Throws failures.
    virtual int readSome(char *buffer, int capacity) = 0;
    virtual unsigned long setDefaultTimeouts() = 0;
    virtual unsigned long setStreamTimeouts() = 0;
    virtual USBResult programIdentity(const USBDeviceIdentity &identity) = 0;
    // The device went away while open: a vendor call on its handle failed
    // (not merely timed out). Stays true until the device is opened again;
    // clones of an opening share it. Safe to ask from any thread.
    virtual bool isLost() const { return false; }

    int index() const { return m_index; }
    quint32 usbId() const { return m_usbId; }
    QString serialNumber() const { return m_serialNumber; }
    QString description() const { return m_description; }
    QPair<int, int> versionPair() const { return m_versionPair; }
    void setVersionPair(const QPair<int, int> &pair) { m_versionPair = pair; }

    // (model, revision) parsed from the serial number; (0, 0) when it does not parse.
    QPair<int, int> modelAndRevision() const;
    // The serial number starts with "SY" (case-sensitive).
    bool hasInstrumentPrefix() const;

protected:
    int m_index;
    quint32 m_usbId;
    QString m_serialNumber;
    QString m_description;
    QPair<int, int> m_versionPair;
};
