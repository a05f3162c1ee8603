#pragma once

#include <QString>
#include <cstdint>
#include <mutex>

#include "VirtualUsbChip.h" // VELDRIN_USBSIM_EXPORT

typedef struct pcap pcap_t;
typedef struct pcap_dumper pcap_dumper_t;

// Writes USB traffic as Linux's usbmon shows it in a capture file: pcap with
// link type DLT_USB_LINUX_MMAPPED, each record a 64-byte usbmon header and the
// data usbmon would capture. This is what `tcpdump -i usbmonN -w FILE` writes
// on a machine with the hardware, so a session recorded from virtual chips
// opens in Wireshark and replays like one recorded from real instruments.
//
// Every urb gets an 'S' record when submitted and a 'C' record when it
// completes. Control urbs carry their setup packet in the 'S' record; OUT data
// is in the 'S' record, IN data in the 'C' record. Records may come from any
// thread (urbs complete on umockdev's worker thread).
class VELDRIN_USBSIM_EXPORT UsbPcapRecorder
{
public:
    enum TransferType : std::uint8_t { Control = 2, Bulk = 3 };

    explicit UsbPcapRecorder(const QString &path);
    ~UsbPcapRecorder();
    UsbPcapRecorder(const UsbPcapRecorder &) = delete;
    UsbPcapRecorder &operator=(const UsbPcapRecorder &) = delete;

    bool isValid() const { return m_dumper != nullptr; }
    QString errorText() const { return m_error; }

    // `id` tells an urb's two records apart from other urbs in flight (the
    // urb's address in the host, as usbmon uses the kernel's). `endpoint`
    // has the direction bit; for control urbs it comes from the setup
    // packet. `length` is the urb's buffer length without the setup packet.
    void submitted(int bus, int device, std::uint64_t id, TransferType type, std::uint8_t endpoint,
                   const std::uint8_t *setup, const std::uint8_t *outData, int length);
    // `data` is the IN data (nullptr for OUT urbs), `actual` the bytes moved.
    void completed(int bus, int device, std::uint64_t id, TransferType type, std::uint8_t endpoint,
                   int status, const std::uint8_t *data, int actual);
    // Writes what is buffered to the file.
    void flush();

private:
    void write(const void *header, const std::uint8_t *data, int length);

    std::mutex m_mutex;
    pcap_t *m_pcap = nullptr;
    pcap_dumper_t *m_dumper = nullptr;
    QString m_error;
};
