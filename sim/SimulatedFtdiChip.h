#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVector>
#include <condition_variable>
#include <deque>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <vector>

#include "FtdiTypes.h"
#include "SimulatedFtdiEeprom.h"
#include "SimulatedPeer.h"

// One virtual FTDI bridge chip on a SimulatedBus.
//
// A chip has a chip type (Ftdi::Device232R = 5, Ftdi::Device232H = 8,
// Ftdi::DeviceXSeries = 9 or any other number), the serial number, description
// and id it is listed with, an EEPROM, an open state, the configuration the
// host's vendor calls set, a receive queue (bytes for the host to read) and a
// transmit queue. Behind it sits a SimulatedPeer (a virtual instrument or a
// scripted test peer) that gets every byte the host writes and answers through
// SimulatedLink::sendToHost.
//
// Building one in a test or from a bus description:
//
//     auto chip = std::make_shared<SimulatedFtdiChip>(Ftdi::Device232R,
//                     "SYAH004010001", "Veldrin I", peer);
//     chip->setFault(SimulatedFtdiChip::ShortWrites);
//     bus->attach(chip);
//
// EEPROM: it starts programmed with the listed serial number and description
// (setEepromIdentity changes what it holds). FT232R and FT232H chips answer
// the classic EEPROM record calls (record version at least 2 and 5
// respectively; a wrong signature or a smaller version is an invalid
// parameter); FT-X chips answer the X-series record calls; every other chip
// type has no EEPROM the host can read (Ftdi::NotSupported), so it yields no
// serial number: that is how a chip type without a serial number is made. A
// chip listed without a serial number is made with an empty one. Programming changes the EEPROM only: the chip keeps its
// listed identity until a port cycle re-enumerates it, after which it is
// listed with the EEPROM's serial number and description.
//
// Faults (setFault; any combination):
// - Unplugged: the chip leaves the bus. It is not listed by the next device
//   list, opening it gives Ftdi::DeviceNotFound, and every call on a handle to
//   it fails with Ftdi::IoError (a waiting read wakes up and fails), as
//   transfers to a vanished USB device do; only close succeeds, releasing the
//   handle. Clearing the fault plugs it in again as a fresh device: handles
//   from before stay dead.
// - EepromReadFailure: EEPROM reads fail with Ftdi::EepromReadFailed.
// - BlankEeprom: EEPROM reads give Ftdi::EepromNotProgrammed until the EEPROM
//   is programmed.
// - ShortWrites: every write reports (and passes on) one byte fewer than asked.
// - PartialWrites: every write passes on at most 3 bytes and reports that
//   count, as a write does whose time-out expires while the chip's transmit
//   buffer is full; the rest is the writer's to send again.
// - OverlongReads: a read whose time-out expires hands over everything
//   queued (bytes that arrived just then make it more than asked), as FTDI's
//   D2XX does; OverlongEveryRead: every read hands over everything queued.
//   Either way at most one USB transfer (the in-transfer size) beyond the
//   count, and the count handed over is reported.
//
// Test hooks, for fault and timing tests of the host side:
// - setQueueStatusHook: a callback run on the querying thread at each
//   receive-queue query (FT_GetQueueStatus), before the answer is counted;
//   it may send bytes through the link it is given, or stall the query.
// - failNextRead: the next read made through a live handle (whatever its
//   count) fails with the given vendor status and takes no bytes.
// - setReadTimeoutHook: a callback run on the reading thread when a read's
//   time-out expires, before it hands over what is queued; bytes it sends
//   arrive just as the time-out expires.
//
// Time: a chip is either immediate (the default) or paced. An immediate chip
// hands the host every byte the moment the device behind it sends it. A paced
// chip passes bytes on as a bridge chip does: the device's bytes cross the
// UART at the configured baud rate and word format (FT232R and FT-X; an
// FT232H in FIFO mode has no such limit), collect in the chip's buffer and
// reach the host when a USB packet is full (62 data bytes on a full-speed
// chip, 510 on the high-speed FT232H) or when the latency timer, which ticks
// every `latencyTimer` milliseconds from the opening on, next expires. A paced
// chip also lets a device that takes real time (SimulatedPeer::advance) catch
// up before it answers the host.
//
// Reads wait on a condition variable until enough bytes arrived or the read
// time-out expired (a read time-out of 0 waits without limit, as the Linux
// library does); a paced chip also wakes when the device behind it or its own
// latency timer has bytes for the host. Reads, queue queries and sending to the host allocate nothing
// once the queue has grown to its working size, so the chip does not distort
// throughput measurements of the host. The chip never holds its lock while it
// calls the peer or a hook. Every operation is safe to call from any thread.
class SimulatedFtdiChip : public SimulatedLink
{
public:
    enum Fault {
        Unplugged = 0x1,
        EepromReadFailure = 0x2,
        BlankEeprom = 0x4,
        ShortWrites = 0x8,
        PartialWrites = 0x10,
        // FTDI's D2XX 1.4.24 for Linux: a read whose time-out expires hands
        // over everything queued by then, and reports that count, so bytes
        // arriving just as it expires make it more than was asked for.
        OverlongReads = 0x20,
        // The harsh form: every read hands over everything queued.
        OverlongEveryRead = 0x40,
    };

    // What the last opening of the chip was configured with. open resets it to
    // the chip's power-on values below.
    struct Configuration
    {
        std::uint32_t baudRate = 9600;
        std::uint8_t wordLength = Ftdi::Bits8;
        std::uint8_t stopBits = Ftdi::StopBits1;
        std::uint8_t parity = Ftdi::ParityNone;
        bool dataCharacteristicsSet = false;
        std::uint16_t flowControl = Ftdi::FlowNone;
        std::uint8_t xon = 0;
        std::uint8_t xoff = 0;
        std::uint8_t latencyTimer = 16;
        QVector<QPair<quint8, quint8>> bitModes; // (mask, mode) in call order
        std::uint32_t inTransferSize = 4096;
        std::uint32_t outTransferSize = 4096;
        std::uint32_t readTimeout = 300;  // ms
        std::uint32_t writeTimeout = 300; // ms
        int purgeCount = 0;
        std::uint32_t purgeMasks = 0;     // every mask purged with, ORed
    };

    // The chip's EEPROM contents.
    using Eeprom = SimulatedFtdiEeprom;

    // One vendor call made with a handle to this chip (or opening it), e.g.
    // "open", "setBitMode 255 64", "eeRead 5", "write 3"; `atNs` counts from
    // the chip's creation. Queue-status queries and reads of no bytes (the
    // protocol's polling) are not logged; the log keeps the latest
    // MaxLoggedCalls calls.
    struct Call
    {
        QString text;
        qint64 atNs;
    };

    enum { MaxLoggedCalls = 4096, MaxRecordedBytes = 1 << 20 };

    SimulatedFtdiChip(Ftdi::DeviceType type, const QString &serialNumber,
                      const QString &description, std::shared_ptr<SimulatedPeer> peer = {});
    ~SimulatedFtdiChip() override;

    // Identity as listed. The id defaults to 0x0403 << 16 | the chip's usual
    // product id.
    Ftdi::DeviceType type() const;
    QString listedSerialNumber() const;
    QString listedDescription() const;
    std::uint32_t usbId() const;
    void setUsbId(std::uint32_t id);

    // EEPROM.
    void setEepromIdentity(const QString &serialNumber, const QString &description);
    Eeprom eeprom() const;

    void setPeer(std::shared_ptr<SimulatedPeer> peer);
    std::shared_ptr<SimulatedPeer> peer() const;

    // See "Time" above; an immediate chip is the default.
    void setPaced(bool paced);
    bool isPaced() const;

    // Unplugging also cuts the power of the device behind the chip (its
    // portCycled runs), as it does for a bus-powered instrument.
    void setFault(Fault fault, bool on = true);
    bool hasFault(Fault fault) const;

    // Test hooks (see above). An empty hook removes the current one; a hook
    // may be replaced while another thread runs it.
    using QueueStatusHook = std::function<void(SimulatedLink &link)>;
    void setQueueStatusHook(QueueStatusHook hook);
    void setReadTimeoutHook(QueueStatusHook hook);
    // Ftdi::Ok disarms a failure that has not struck yet.
    void failNextRead(Ftdi::Status status);

    // Observations.
    bool isOpen() const;
    int openCount() const;
    int closeCount() const;
    int portCycleCount() const;
    Configuration configuration() const;
    QList<Call> calls() const;
    QStringList callTexts() const;
    void clearCalls();
    // The bytes the host wrote (and the chip accepted), across openings; the
    // latest MaxRecordedBytes of them.
    QByteArray hostWritten() const;
    QByteArray takeHostWritten();
    int receiveQueueSize() const;
    int transmitQueueSize() const;
    // When the bytes the host could read last became readable (SimulatedClock
    // time): for timing how long the host takes to react; 0 before any.
    qint64 lastDeliveredNs() const;

    // SimulatedLink: queues bytes for the host and wakes a waiting read. Bytes
    // sent while unplugged are lost.
    void sendToHost(const QByteArray &bytes) override;
    void sendToHostProducedAt(qint64 producedNs, const QByteArray &bytes) override;

private:
    friend class SimulatedBus;

    // Called by SimulatedBus; `session` is the handle value of an opening.
    bool pluggedIn() const;
    Ftdi::Status openSession(quintptr session);
    Ftdi::Status closeSession(quintptr session, bool *wasLive);
    Ftdi::Status read(quintptr session, void *buffer, std::uint32_t count, std::uint32_t *got);
    Ftdi::Status write(quintptr session, const void *buffer, std::uint32_t count,
                       std::uint32_t *written);
    Ftdi::Status setBaudRate(quintptr session, std::uint32_t baudRate);
    Ftdi::Status setDataCharacteristics(quintptr session, std::uint8_t wordLength,
                                        std::uint8_t stopBits, std::uint8_t parity);
    Ftdi::Status setFlowControl(quintptr session, std::uint16_t flow, std::uint8_t xon,
                                std::uint8_t xoff);
    Ftdi::Status purge(quintptr session, std::uint32_t mask);
    Ftdi::Status setTimeouts(quintptr session, std::uint32_t readMs, std::uint32_t writeMs);
    Ftdi::Status getQueueStatus(quintptr session, std::uint32_t *rxBytes);
    Ftdi::Status getStatus(quintptr session, std::uint32_t *rx, std::uint32_t *tx,
                           std::uint32_t *events);
    Ftdi::Status setLatencyTimer(quintptr session, std::uint8_t ms);
    Ftdi::Status setBitMode(quintptr session, std::uint8_t mask, std::uint8_t mode);
    Ftdi::Status setUsbParameters(quintptr session, std::uint32_t in, std::uint32_t out);
    Ftdi::Status eeProgram(quintptr session, Ftdi::ProgramData *data);
    Ftdi::Status eeRead(quintptr session, Ftdi::ProgramData *data);
    Ftdi::Status getDeviceInfo(quintptr session, Ftdi::DeviceType *type, std::uint32_t *id,
                               char *serialNumber, char *description);
    Ftdi::Status cyclePort(quintptr session);
    Ftdi::Status eepromRead(quintptr session, void *data, std::uint32_t size, char *manufacturer,
                            char *manufacturerId, char *description, char *serialNumber);
    Ftdi::Status eepromProgram(quintptr session, void *data, std::uint32_t size,
                               char *manufacturer, char *manufacturerId, char *description,
                               char *serialNumber);
    // Fills a device-list node (without index-dependent fields).
    void fillNode(Ftdi::ListNode &node) const;

    // Lets a paced device hand over what it has produced by now; returns the
    // time of its next output (-1: none planned). Without m_mutex held.
    qint64 catchUpWithPeer();

    // With m_mutex held.
    Ftdi::Status checkSession(quintptr session) const;
    void queueForHost(const char *bytes, std::size_t count);
    // Paced delivery: moves the bytes whose USB transfer is due by `nowNs`
    // into the receive queue; the time the next bytes are due, or -1.
    void deliverDue(qint64 nowNs);
    qint64 nextDeliveryNs() const;
    void closeOpenPacket(qint64 visibleNs);
    void clearInFlight();
    qint64 tickAfter(qint64 ns) const;
    qint64 wireNs(std::size_t bytes) const;
    std::size_t usbPacketPayload() const;
    void signalArrival();
    void logCall(const char *name, std::initializer_list<std::uint32_t> arguments = {});
    std::size_t receivedCount() const { return m_receiveQueue.size() - m_receiveHead; }
    void clearReceived();
    std::uint16_t classicRecordVersion() const;

    // Standard mutex and condition variable rather than Qt's: ThreadSanitizer
    // sees through them.
    mutable std::mutex m_mutex;
    std::condition_variable m_dataArrived;
    QElapsedTimer m_clock;
    const Ftdi::DeviceType m_type;
    QString m_listedSerialNumber;
    QString m_listedDescription;
    std::uint32_t m_usbId;
    Eeprom m_eeprom;
    std::shared_ptr<SimulatedPeer> m_peer;
    int m_faults = 0;
    quintptr m_session = 0; // handle value of the live opening; 0 when closed
    int m_openCount = 0;
    int m_closeCount = 0;
    int m_portCycleCount = 0;
    Configuration m_configuration;

    // The call log as plain records, formatted only when asked for: logging a
    // call allocates nothing once the log is full. A ring of at most
    // MaxLoggedCalls records; m_oldestCall is the oldest once it is full.
    struct LoggedCall
    {
        const char *name;
        std::uint32_t arguments[3];
        int argumentCount;
        qint64 atNs;
    };
    std::vector<LoggedCall> m_calls;
    std::size_t m_oldestCall = 0;

    QByteArray m_hostWritten;
    // Bytes for the host from m_receiveHead on; the consumed front is dropped
    // in bulk, so reading a few bytes at a time does not move the rest.
    std::vector<char> m_receiveQueue;
    std::size_t m_receiveHead = 0;
    QByteArray m_transmitQueue;
    std::shared_ptr<const QueueStatusHook> m_queueStatusHook;
    std::shared_ptr<const QueueStatusHook> m_readTimeoutHook;
    Ftdi::Status m_failNextRead = Ftdi::Ok;

    // Paced delivery: bytes in the chip on their way to the host, each run
    // with the time its USB transfer makes it visible, and the USB packet
    // being filled. Times are SimulatedClock nanoseconds.
    struct InFlight
    {
        qint64 visibleNs;
        QByteArray bytes;
    };
    bool m_paced = false;
    std::deque<InFlight> m_inFlight;
    QByteArray m_openPacket;
    qint64 m_openPacketTickNs = 0;
    qint64 m_wireFreeNs = 0;     // when the UART has sent what it was given
    qint64 m_timerOriginNs = 0;  // the latency timer ticks from here
    // Counts events a waiting read must look at again: bytes handed to the
    // chip, host writes (the device may have planned an answer), closings.
    quint64 m_wakeups = 0;
    qint64 m_lastDeliveredNs = 0;
};
