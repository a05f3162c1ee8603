#pragma once

#include <QByteArray>
#include <QList>
#include <algorithm>
#include <cstdlib>
#include <memory>

#include "USBDevice.h"

// A USB device over byte buffers, without a bus, a chip or a thread: what the
// instrument sends arrives in chunks, one chunk each time the host asks how
// many bytes wait (bytesAvailable, and the queue query inside readAvailable),
// and what the host writes is kept. Nothing is copied per chunk, so a fuzzer
// spends its time in the parser. Clones share the buffers, as clones of a
// real device share its handle.
//
// Once every chunk has arrived and the host asks again without having read
// anything since its last question, or finds nothing left at all while
// `endsWhenDrained` is set, the line is quiet for good (`quiet`). With
// `endsWhenDrained` the query then throws "Communication timed out", as a read
// that waits in vain would, so that a synchronous request never waits on this
// device either.
//
// The device checks the parser's promise never to read bytes it has not been
// told about: a read of more bytes than have arrived aborts.
class MemoryUSBDevice : public USBDevice
{
public:
    struct Line
    {
        QByteArray stream;      // everything the instrument sends, in order
        int chunkSize = 0;      // bytes arriving per poll; 0: all at once
        int arrived = 0;        // bytes of `stream` that have arrived
        int readPosition = 0;   // bytes of `stream` the host has read
        QByteArray written;     // what the host wrote, up to `writeLimit` bytes
        int writeLimit = 1 << 16;
        bool endsWhenDrained = false;
        int positionAtLastQuery = -1;
        bool open = false;
        bool opens = true;  // false: open fails, as for a device that vanished
        bool quiet = false; // a query has found the line quiet for good
    };

    MemoryUSBDevice()
        : USBDevice(0, 0x04036001, QStringLiteral("SYAH004010001"), QStringLiteral("Memory line")),
          m_line(std::make_shared<Line>())
    {
    }

    Line &line() { return *m_line; }

    // Queues `bytes` behind what is still to arrive, `chunkSize` bytes per
    // poll (all at once when it is 0).
    void queue(const QByteArray &bytes, int chunkSize)
    {
        m_line->stream.append(bytes);
        m_line->chunkSize = chunkSize;
    }

    int unread() const { return m_line->arrived - m_line->readPosition; }

    USBResult open(int) override
    {
        if (!m_line->opens)
            return USBResult(QStringLiteral("Device not found"), 2);
        m_line->open = true;
        return USBResult();
    }
    USBResult close() override
    {
        m_line->open = false;
        return USBResult();
    }
    void resetAndClose() override { m_line->open = false; }
    bool isOpen() const override { return m_line->open; }
    int threadPriority() const override { return 7; }
    std::shared_ptr<USBDevice> clone() const override { return std::make_shared<MemoryUSBDevice>(*this); }
    USBDeviceStatus status() override
    {
        USBDeviceStatus result;
        result.state = m_line->open ? USBDeviceStatus::Open : USBDeviceStatus::NotOpen;
        if (m_line->open)
            result.rxQueueBytes = quint32(unread());
        return result;
    }
    unsigned long purge() override
    {
        m_line->readPosition = m_line->arrived;
        return 0;
    }
    unsigned long setDefaultTimeouts() override { return 0; }
    unsigned long setStreamTimeouts() override { return 0; }
    USBResult programIdentity(const USBDeviceIdentity &) override
    {
        return USBResult(QStringLiteral("Already open."), 2);
    }

    void writeByte(char byte) override { write(QByteArray(1, byte)); }
    int write(const QByteArray &bytes) override
    {
        const int room = std::max(0, m_line->writeLimit - m_line->written.size());
        m_line->written.append(bytes.left(room));
        return bytes.size();
    }

    QByteArray read(int count) override
    {
        QByteArray bytes(count, '\0');
        read(bytes.data(), count);
        return bytes;
    }
    void read(char *buffer, int count) override
    {
        if (count < 0 || count > unread())
            std::abort(); // read past what the device reported
        std::copy_n(m_line->stream.constData() + m_line->readPosition, count, buffer);
        consume(count);
    }
    int readAvailable(QByteArray &buffer, int targetSize) override
    {
        poll();
        const int n = std::min({unread(), targetSize - buffer.size(), 10000});
        if (n <= 0)
            return 0;
        buffer.append(m_line->stream.constData() + m_line->readPosition, n);
        consume(n);
        return n;
    }
    // The wait of a read for its first byte: one chunk arrives; a quiet line
    // answers at once (with the time-out when it ends when drained).
    int readSome(char *buffer, int capacity) override
    {
        poll();
        if (unread() == 0) {
            m_line->quiet = true;
            if (m_line->endsWhenDrained)
                throw USBResult(QStringLiteral("Communication timed out"), 2);
            return 0;
        }
        const int n = std::min(unread(), capacity);
        std::copy_n(m_line->stream.constData() + m_line->readPosition, n, buffer);
        consume(n);
        return n;
    }
    int bytesAvailable() override
    {
        const bool moved = m_line->readPosition != m_line->positionAtLastQuery;
        m_line->positionAtLastQuery = m_line->readPosition;
        if (!poll() && (!moved || (m_line->endsWhenDrained && unread() == 0))) {
            m_line->quiet = true;
            if (m_line->endsWhenDrained)
                throw USBResult(QStringLiteral("Communication timed out"), 2);
        }
        return unread();
    }

private:
    // One chunk arrives; false when nothing was left to arrive.
    bool poll()
    {
        const int total = m_line->stream.size();
        if (m_line->arrived >= total)
            return false;
        const int chunk = m_line->chunkSize > 0 ? m_line->chunkSize : total;
        m_line->arrived = std::min(total, m_line->arrived + chunk);
        return true;
    }

    void consume(int count) { m_line->readPosition += count; }

    std::shared_ptr<Line> m_line;
};
