#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "FtdiTypes.h"
#include "LibFtdiTypes.h"

struct LibFtdiFunctions;

// The receive side of one open libftdi device, as FTDI's own driver keeps it:
// a ring of bulk IN transfers kept in flight with libusb's asynchronous calls,
// each resubmitted from its completion, on an event thread of the device's
// own, and a host-side receive queue they fill (the two status bytes that
// start every IN packet taken off). Nothing here takes the device's libftdi
// calls (writes, control requests) in turn with reading: those go out at once
// on their own thread while transfers wait for the chip.
//
// - A read waits until its count has arrived or its time-out expired (a
//   success with fewer bytes, as with D2XX; 0 waits without limit).
// - The queue stops growing beyond a bound: transfers that complete then are
//   kept back until a read makes room, and the chip's own buffer and flow
//   control take over, as with a driver's buffer.
// - A transfer that fails ends the flow: the bytes that came before it are
//   still handed out, then reads and queue queries fail. Once the device has
//   vanished (`lost`), they fail at once, as with FTDI's driver.
// - `pause` cancels every transfer and returns once each has been reaped
//   (a purge of the receive side then flushes the chip and `clear`s the
//   queue before `resume`); `close` also ends the event thread, after which
//   no transfer remains and every call answers InvalidHandle.
class LibFtdiReceiver
{
public:
    LibFtdiReceiver(const LibFtdiFunctions &functions, LibFtdi::ContextHead *context);
    ~LibFtdiReceiver();
    LibFtdiReceiver(const LibFtdiReceiver &) = delete;
    LibFtdiReceiver &operator=(const LibFtdiReceiver &) = delete;

    // Allocates `count` transfers of `size` bytes, starts the event thread
    // and submits them; false (and nothing left running) on failure.
    bool start(int count, int size);
    void close();
    void pause();
    void resume();
    void clear();

    Ftdi::Status read(char *target, std::uint32_t count, std::uint32_t timeoutMs, std::uint32_t *got);
    Ftdi::Status queued(std::uint32_t *count);
    bool lost() const;

private:
    enum class Flow { Running, Failed, Lost };

    static void LIBFTDI_USB_CALL completed(LibFtdi::Transfer *transfer);
    void onCompleted(LibFtdi::Transfer *transfer);
    // With m_mutex held.
    void submit(LibFtdi::Transfer *transfer);
    void resumeKeptBack();
    std::size_t queuedBytes() const { return m_received.size() - m_head; }
    std::uint32_t take(char *target, std::uint32_t count);
    void runEvents();
    void freeTransfers();

    const LibFtdiFunctions &m_functions;
    LibFtdi::ContextHead *const m_context;
    std::thread m_events;
    std::atomic<bool> m_ending{false};

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<LibFtdi::Transfer *> m_transfers;
    std::vector<LibFtdi::Transfer *> m_keptBack; // completed while the queue was full
    std::vector<std::vector<unsigned char>> m_buffers;
    int m_inFlight = 0;
    bool m_paused = false;
    bool m_closed = false;
    Flow m_flow = Flow::Running;
    std::vector<char> m_received;
    std::size_t m_head = 0;
    unsigned m_packetSize = 64;
};
