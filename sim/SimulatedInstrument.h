#pragma once

#include <QByteArray>
#include <deque>
#include <mutex>
#include <QVector>
#include <QtGlobal>

#include "SimulatedInformationPage.h"
#include "SimulatedPeer.h"
#include "SimulatedSignal.h"

// A virtual instrument behind a virtual FTDI chip, seen from the instrument's
// side of the wire: it takes whatever the host writes, cuts it into requests
// and answers them.
//
// What the host writes:
//   framed request   05 id(4, LE) command len(2, LE) payload, possibly split
//                    over several writes or several in one write
//   raw action       a single byte 02, 03, 04, 08 or 06 outside a request
// Any other byte outside a request is line noise and is skipped.
//
// What the instrument answers, one reply per framed request:
//   05 id(4, LE) status len(2, LE) data
// and, on the stream channel (id 0), sample data as 07 len data packets, or as
// long packets with id 0 when the data does not fit in 255 bytes.
//
// The boot firmware runs after power-on (and after a port cycle). It answers
// the framed actions 10 to 18: 14 with the page size (2 bytes, big-endian),
// 12 with the information page followed by FF FF, the others with status 0
// and no data. Raw 03 starts the application firmware; the other raw actions
// are accepted without effect. Instructions of the application firmware that
// arrive in boot mode are answered with status 1 (not recognised).
//
// The application firmware (the generation subclasses) keeps answering the
// page actions, since hosts read the information page again after starting
// it. Replies to an instruction come from instruction(); a measurement's sample
// stream follows its reply.
//
// Status bytes: 0 done, 1 not recognised, 2 busy, 3 payload of the wrong
// length for the instruction, 100 a setting out of the instrument's range.
//
// Time: an instrument is either immediate (the default here; `pace=fast` in a
// bus description) or paced (`pace=real`, the description's default). An
// immediate instrument answers inside the host's write: the reply and, after a
// start, the whole sample stream at once. A paced one takes its real time: a
// reply leaves the instrument the reply delay after the request arrived, an
// acquisition starts when its reply has left and lasts samples x the sample
// period, and each stream packet leaves as its last sample is taken. What it
// has planned is handed to the chip when the chip asks it to catch up
// (advance), in the order it was produced. A start that arrives during an
// acquisition ends that acquisition: packets not yet produced are never sent.
//
// Faults a test can inject at any moment, each for the next occasions only:
// the stream stopping after a number of packets, a stray byte before the next
// stream packet, a status byte that overrides the answer to an instruction,
// requests of an instruction that get lost (neither carried out nor answered),
// and replies whose data is cut short (the length field says so).
//
// Thread safety: hostWrote and every public member may be called from any
// thread; one lock serialises them, and replies are handed to the link under
// that lock so that the replies of two writers never interleave.
class SimulatedInstrument : public SimulatedPeer
{
public:
    enum class Mode { Boot, Application };

    enum Status : quint8 {
        StatusDone = 0,
        StatusNotRecognised = 1,
        StatusBusy = 2,
        StatusBadLength = 3,
        StatusOutOfRange = 100,
    };

    // One request as the instrument received it, for tests and tools.
    struct HostRequest
    {
        bool raw = false;
        quint32 id = 0;
        quint8 command = 0;
        QByteArray payload;
    };

    static const int RequestLogLimit = 4096;

    ~SimulatedInstrument() override;

    void hostWrote(const QByteArray &bytes, SimulatedLink &link) override;
    void opened() override;
    void closed() override;
    void portCycled() override;
    void advance(qint64 nowNs, SimulatedLink &link) override;
    qint64 nextOutputNs() const override;

    Mode mode() const;
    int model() const { return m_model; }

    SimulatedInformationPage informationPage() const;
    void setInformationPage(const SimulatedInformationPage &page);
    // false: the page is followed by FF 00 instead of FF FF.
    void setPageIntact(bool intact);
    // A status other than 0 answers every framed boot action with that status
    // and no data (2 busy, 1 not recognised).
    void setBootStatus(quint8 status);
    // false: the instrument answers nothing at all (boot actions and
    // instructions alike); raw actions still take effect.
    void setReplying(bool replying);
    // false: the calibration image reads back as erased memory (all FF, so
    // without its marker). The inputs keep their physical characteristic.
    void setCalibrationStored(bool stored);
    bool calibrationStored() const;

    SimulatedSignal signal() const;
    void setSignal(const SimulatedSignal &signal);

    // Time (see above).
    void setPaced(bool paced);
    bool isPaced() const;
    static const int DefaultReplyDelayUs = 100;
    void setReplyDelayUs(int microseconds);
    int replyDelayUs() const;
    // Stream packets planned and not yet handed to the chip.
    int plannedStreamPackets() const;
    // When the last acquisition started (SimulatedClock time; its first
    // sample is taken then), 0 before any.
    qint64 lastAcquisitionStartNs() const;

    // Faults (see above). A count of 0 or less disarms the faults of a command.
    // The running acquisition, or the next one when none runs, sends at most
    // `packets` stream packets (0: none); the rest never leave the instrument.
    // A negative number disarms.
    void stopStreamAfter(int packets);
    // One byte that starts no packet goes out right before the next stream packet.
    void corruptNextStreamPacket();
    // The next `count` requests of `command` are answered with `status` and
    // no data, and not carried out.
    void overrideStatus(quint8 command, quint8 status, int count);
    // The next `count` requests of `command` are lost on the way.
    void dropRequests(quint8 command, int count);
    // The next `count` replies to `command` carry `bytes` fewer data bytes
    // (at least none).
    void shortenReplies(quint8 command, int bytes, int count);

    // Requests received so far, oldest first (at most RequestLogLimit).
    QVector<HostRequest> hostRequests() const;
    void clearHostRequests();
    // Bytes skipped because they started neither a request nor a raw action.
    int skippedBytes() const;
    // Acquisitions started since power-on.
    quint32 acquisitionCount() const;

    // Seconds per sample of a period code 0 to 16 (10 us to 2 s); 0 for codes
    // outside the table.
    static double samplePeriod(int code);

protected:
    // One framed stream packet and the samples per channel taken once it is
    // complete (it leaves the instrument samplesTaken sample periods after
    // the acquisition started).
    struct StreamPacket
    {
        QByteArray bytes;
        int samplesTaken = 0;
    };

    struct Answer
    {
        quint8 status = StatusDone;
        QByteArray data;
        // An acquisition: the stream packets that follow the reply, in order,
        // and the seconds per sample.
        QVector<StreamPacket> stream;
        double samplePeriod = 0.0;
    };

    SimulatedInstrument(int model, const SimulatedInformationPage &page);

    // An application instruction, in application mode. Runs under m_mutex.
    virtual Answer instruction(quint8 command, const QByteArray &payload) = 0;
    // Back to the power-on state of the application settings. Runs under m_mutex.
    virtual void powerOn() = 0;

    // Counts for one acquisition; call under m_mutex.
    quint32 beginAcquisition() { return ++m_acquisitions; }
    quint32 acquisitionCountLocked() const { return m_acquisitions; }

    static qint16 clampToCount(double value);

    mutable std::mutex m_mutex;
    SimulatedSignal m_signal;
    bool m_calibrationStored = true;

private:
    // Something the instrument produces at dueNs: a reply, or a stream packet
    // (its acquisition and its place in it).
    struct Output
    {
        qint64 dueNs;
        QByteArray bytes;
        bool stream;
        quint32 acquisition;
        int index;
    };

    // A fault armed for the next `count` requests of `command`.
    struct CommandFault
    {
        quint8 command = 0;
        int count = 0;
        int value = 0;
        bool takes(quint8 c);
    };

    static bool isBootAction(quint8 command);
    static bool isRawAction(quint8 command);
    void consume(qint64 nowNs);
    void framedRequest(quint32 id, quint8 command, const QByteArray &payload, qint64 nowNs);
    QByteArray bootAction(quint32 id, quint8 command);
    void logRequest(bool raw, quint32 id, quint8 command, const QByteArray &payload);
    void plan(qint64 dueNs, const QByteArray &bytes, bool stream, quint32 acquisition, int index);
    void endAcquisitionAt(qint64 nowNs);
    void release(qint64 nowNs, SimulatedLink &link);

    const int m_model;
    Mode m_mode = Mode::Boot;
    SimulatedInformationPage m_page;
    bool m_pageIntact = true;
    quint8 m_bootStatus = 0;
    bool m_replying = true;
    QByteArray m_pending;
    bool m_paced = false;
    qint64 m_replyDelayNs = qint64(DefaultReplyDelayUs) * 1000;
    std::deque<Output> m_outputs;   // in the order they are produced
    qint64 m_lastAcquisitionStartNs = 0;
    int m_stopAfterPackets = -1;    // negative: not armed
    bool m_corruptNextPacket = false;
    CommandFault m_statusOverride;
    CommandFault m_dropRequests;
    CommandFault m_shortenReplies;
    std::deque<HostRequest> m_requests;
    int m_skippedBytes = 0;
    quint32 m_acquisitions = 0;
};
