#pragma once

#include <QByteArray>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "USBResult.h"

class USBDevice;

// The receive side of the packet protocol: what its parser reads from.
//
// While the receiver's thread runs, that thread waits in the device's reads
// (each up to the device's read time-out) and moves every byte that arrives
// into a buffer on the host, then calls `arrived`, so the protocol thread can
// sleep on a condition and still react to incoming bytes at once. The parser
// then reads only from that buffer. A vendor failure ends the thread; it is
// thrown to the parser once the bytes that came before it have been read, or
// once all that is left is the start of a packet that can never be finished.
//
// Without the thread, reads take the buffer first and then go to the device
// itself, and a caller waiting for a reply lets the receiver wait in a device
// read (waitForBytes) instead of sleeping.
//
// The buffer side is safe between the receiver's thread and one reader; start,
// stop and setDevice belong to the protocol's owner of the moment (the
// protocol thread, or a caller while that thread does not run).
class USBReceiver
{
public:
    // The most readAvailable takes in one call, as the device's own read.
    static constexpr int MaxAvailableRead = 10000;

    explicit USBReceiver(std::function<void()> arrived);
    ~USBReceiver();

    USBReceiver(const USBReceiver &) = delete;
    USBReceiver &operator=(const USBReceiver &) = delete;

    // The device to read from (null: none). Empties the buffer and forgets a
    // failure; only while the thread is stopped.
    void setDevice(std::shared_ptr<USBDevice> device);
    std::shared_ptr<USBDevice> device() const { return m_device; }

    void start();
    // Returns once the thread has ended, at the latest after the device's read
    // time-out.
    void stop();
    bool isRunning() const { return m_thread.joinable(); }

    // Without the thread: waits up to the device's read time-out for a byte
    // and buffers it with whatever else has arrived. Throws device failures.
    void waitForBytes();

    // The parser's side. bytesAvailable throws a failure the thread met once
    // the buffer is empty; read takes exactly `count` bytes (fewer throws
    // "Communication timed out"); readAvailable appends up to the bytes
    // missing to `targetSize`, limited by what has arrived.
    int bytesAvailable();
    void read(char *buffer, int count);
    int readAvailable(QByteArray &buffer, int targetSize);
    // For the parser when it stops for want of `needed` more bytes: once the
    // thread has failed, fewer than that buffered will never grow into them,
    // so the fragment is dropped and the failure thrown. Whole packets ahead
    // of it have been taken by then (the parser asks only when it is short).
    void throwIfNeverComplete(int needed);

    // Bytes waiting in the host buffer.
    int buffered() const;
    // The thread met a device failure and ended.
    bool hasFailed() const;

private:
    void run();
    // Takes up to `count` buffered bytes; with m_mutex held.
    int take(char *buffer, int count);

    std::function<void()> m_arrived;
    std::shared_ptr<USBDevice> m_device;
    std::thread m_thread;

    mutable std::mutex m_mutex;
    bool m_stopping = false;          // guarded
    std::vector<char> m_buffer;       // guarded; bytes from m_head on are unread
    std::size_t m_head = 0;           // guarded
    bool m_failed = false;            // guarded
    USBResult m_failure;              // guarded
};
