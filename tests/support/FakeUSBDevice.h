#pragma once

#include <functional>

#include "USBDevice.h"

// A USB device that only opens, closes and purges: enough for a USBDriver whose
// protocol is a test double and never touches the byte stream.
class FakeUSBDevice : public USBDevice
{
public:
    explicit FakeUSBDevice(const QString &serialNumber = QStringLiteral("SYAH00401"))
        : USBDevice(0, 0x04036001, serialNumber, QStringLiteral("Fake instrument")) {}

    USBResult open(int) override { m_open = true; return USBResult(); }
    USBResult close() override { m_open = false; return USBResult(); }
    void resetAndClose() override { m_open = false; }
    bool isOpen() const override { return m_open; }
    unsigned long purge() override
    {
        ++purgeCount;
        if (onPurge)
            onPurge();
        return 0;
    }
    std::shared_ptr<USBDevice> clone() const override { return std::make_shared<FakeUSBDevice>(*this); }

    // The byte stream is never used: any use is a failure the test will see.
    void writeByte(char) override { throw unused(); }
    int write(const QByteArray &) override { throw unused(); }
    QByteArray read(int) override { throw unused(); }
    void read(char *, int) override { throw unused(); }
    int readAvailable(QByteArray &, int) override { throw unused(); }
    int bytesAvailable() override { throw unused(); }
    int readSome(char *, int) override { throw unused(); }
    USBResult programIdentity(const USBDeviceIdentity &) override { return unused(); }
    int threadPriority() const override { return 0; }
    USBDeviceStatus status() override { return {}; }
    unsigned long setDefaultTimeouts() override { return 0; }
    unsigned long setStreamTimeouts() override { return 0; }

    int purgeCount = 0;
    std::function<void()> onPurge; // called by every purge, e.g. to note it in an event list

private:
    static USBResult unused() { return USBResult(QStringLiteral("Not available on the fake device"), 2); }
    bool m_open = false;
};
