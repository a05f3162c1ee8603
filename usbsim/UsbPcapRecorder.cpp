#include "UsbPcapRecorder.h"

#include <pcap/pcap.h>
#include <pcap/usb.h>

#include <cerrno>
#include <cstring>
#include <sys/time.h>

namespace {

static_assert(sizeof(pcap_usb_header_mmapped) == 64, "usbmon's mmapped header is 64 bytes");

pcap_usb_header_mmapped header(char event, int bus, int device, std::uint64_t id,
                               std::uint8_t type, std::uint8_t endpoint)
{
    pcap_usb_header_mmapped h;
    std::memset(&h, 0, sizeof h);
    timeval now;
    gettimeofday(&now, nullptr);
    h.id = id;
    h.event_type = std::uint8_t(event);
    h.transfer_type = type;
    h.endpoint_number = endpoint;
    h.device_address = std::uint8_t(device);
    h.bus_id = std::uint16_t(bus);
    h.setup_flag = '-'; // no setup packet
    h.data_flag = '=';  // no data captured (usbmon's marks: '<' IN submit, '>' OUT completion)
    h.ts_sec = now.tv_sec;
    h.ts_usec = std::int32_t(now.tv_usec);
    return h;
}

} // namespace

UsbPcapRecorder::UsbPcapRecorder(const QString &path)
{
    // usbmon captures up to the whole urb; a snapshot length of 256 KiB is
    // what tcpdump uses by default.
    m_pcap = pcap_open_dead(DLT_USB_LINUX_MMAPPED, 262144);
    if (!m_pcap) {
        m_error = QStringLiteral("cannot create a capture");
        return;
    }
    m_dumper = pcap_dump_open(m_pcap, path.toLocal8Bit().constData());
    if (!m_dumper)
        m_error = QString::fromLocal8Bit(pcap_geterr(m_pcap));
}

UsbPcapRecorder::~UsbPcapRecorder()
{
    if (m_dumper)
        pcap_dump_close(m_dumper);
    if (m_pcap)
        pcap_close(m_pcap);
}

void UsbPcapRecorder::write(const void *h, const std::uint8_t *data, int length)
{
    const auto *usb = static_cast<const pcap_usb_header_mmapped *>(h);
    pcap_pkthdr record;
    record.ts.tv_sec = time_t(usb->ts_sec);
    record.ts.tv_usec = suseconds_t(usb->ts_usec);
    record.caplen = record.len = std::uint32_t(sizeof(pcap_usb_header_mmapped) + std::size_t(length));
    QByteArray bytes(static_cast<const char *>(h), int(sizeof(pcap_usb_header_mmapped)));
    if (length > 0)
        bytes.append(reinterpret_cast<const char *>(data), length);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_dumper)
        pcap_dump(reinterpret_cast<u_char *>(m_dumper), &record,
                  reinterpret_cast<const u_char *>(bytes.constData()));
}

void UsbPcapRecorder::submitted(int bus, int device, std::uint64_t id, TransferType type,
                                std::uint8_t endpoint, const std::uint8_t *setup,
                                const std::uint8_t *outData, int length)
{
    pcap_usb_header_mmapped h = header('S', bus, device, id, type, endpoint);
    h.status = -EINPROGRESS;
    h.urb_len = std::uint32_t(length);
    if (setup) {
        h.setup_flag = 0;
        std::memcpy(&h.s, setup, 8);
    }
    const bool out = !(endpoint & 0x80);
    if (out && outData && length > 0) {
        h.data_flag = 0;
        h.data_len = std::uint32_t(length);
    } else {
        h.data_flag = out ? '=' : '<';
    }
    write(&h, h.data_len ? outData : nullptr, int(h.data_len));
}

void UsbPcapRecorder::completed(int bus, int device, std::uint64_t id, TransferType type,
                                std::uint8_t endpoint, int status, const std::uint8_t *data,
                                int actual)
{
    pcap_usb_header_mmapped h = header('C', bus, device, id, type, endpoint);
    h.status = status;
    h.urb_len = std::uint32_t(actual > 0 ? actual : 0);
    const bool in = endpoint & 0x80;
    if (in && data && actual > 0) {
        h.data_flag = 0;
        h.data_len = std::uint32_t(actual);
    } else {
        h.data_flag = in ? '=' : '>';
    }
    write(&h, h.data_len ? data : nullptr, int(h.data_len));
}

void UsbPcapRecorder::flush()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_dumper)
        pcap_dump_flush(m_dumper);
}
