#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>
#include <cstdint>
#include <deque>
#include <mutex>

#include "UsbdevfsNode.h"
#include "UsbmonCapture.h"

// One FTDI device of a usbmon capture (pcap, DLT_USB_LINUX_MMAPPED, as
// tcpdump or UsbPcapRecorder write it), answering a host's usbdevfs requests
// from what was recorded, without the chip.
//
// A host of an FTDI chip polls its bulk IN endpoint on a time basis and may
// write from another thread, so a new run never repeats the recording urb for
// urb. The replay therefore follows the recorded exchange, not its urbs:
//  - control urbs are answered from the recorded control transfers in order;
//    the setup packet must match. Standard requests (descriptors,
//    configuration, status) the recording lacks are answered from its other
//    transfers or the device's descriptors, and recorded ones the host skips
//    are passed over; neither counts as a mismatch.
//  - bulk OUT bytes must continue the recorded OUT byte stream (compared as a
//    stream, however the host splits it into urbs).
//  - bulk IN urbs get the recorded data in recorded order, but each recorded
//    chunk only once the host has sent every OUT byte and control transfer
//    that preceded it in the recording: the instrument cannot answer a command
//    not yet sent. Until then an IN urb gets the two status bytes once per
//    latency period, as an idle chip answers; the recording's own status-only
//    packets are not replayed one for one. Data goes out framed per packet,
//    each packet led by the status bytes.
// Every difference is kept (mismatches()); the host still gets an answer.
class VELDRIN_USBSIM_EXPORT UsbReplayDevice : public UsbdevfsNode
{
public:
    // The urbs of device `address` on bus `bus` in `pcapPath`; `maxPacket` is
    // the bulk IN endpoint's packet size; `descriptors` the device and
    // configuration descriptors, for standard requests the recording lacks.
    UsbReplayDevice(const QString &pcapPath, int bus, int address, int maxPacket,
                    const QByteArray &descriptors);
    ~UsbReplayDevice() override;

    bool isValid() const { return m_error.isEmpty(); }
    QString errorText() const { return m_error; }

    // Differences between the host's requests and the recording.
    QStringList mismatches() const;
    // Recorded IN data bytes not yet handed to the host, recorded OUT bytes
    // the host has not sent, recorded non-standard control transfers not met.
    qint64 inBytesLeft() const;
    qint64 outBytesLeft() const;
    int controlTransfersLeft() const;

protected:
    int control(const std::uint8_t *setup, std::uint8_t *data, int length) override;
    int bulkOut(const std::uint8_t *data, int length) override;
    bool fillBulkIn(Urb &urb, std::int64_t nowNs) override;
    void firstClientConnected() override;

private:
    using ControlTransfer = UsbmonCapture::ControlTransfer;
    using InChunk = UsbmonCapture::InChunk;

    void load(const QString &pcapPath, int bus, int address);
    // With m_mutex held.
    int standardRequest(const std::uint8_t *setup, std::uint8_t *data, int length) const;

    const int m_maxPacket;
    const QByteArray m_descriptors;
    QString m_error;

    QVector<ControlTransfer> m_controls;
    QByteArray m_outStream;
    QVector<InChunk> m_chunks;
    QByteArray m_idleStatus;

    int m_nextControl = 0;
    int m_controlsMet = 0; // non-standard recorded control transfers the host made
    qint64 m_outSent = 0;
    int m_nextChunk = 0;
    int m_chunkOffset = 0;
    qint64 m_inGiven = 0;
    qint64 m_inTotal = 0;
    std::uint8_t m_latencyMs = 16;
    std::int64_t m_lastInPacketNs = 0;
    QStringList m_mismatches;
};
