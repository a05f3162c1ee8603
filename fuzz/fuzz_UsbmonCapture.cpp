// Any file handed to the replay as its usbmon capture (veldrin-virtual-usb
// --replay FILE.pcap): read the urbs of the device the first record names
// (and of one that no record names), at both packet sizes.
#include <QByteArray>

#include <cstddef>
#include <cstdint>

#include "UsbmonCapture.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray file(reinterpret_cast<const char *>(data), int(size));
    // Bus and device of the first record, where there is one.
    const int bus = size >= 24 + 16 + 14 ? data[24 + 16 + 12] | data[24 + 16 + 13] << 8 : 1;
    const int address = size >= 24 + 16 + 12 ? data[24 + 16 + 11] : 2;
    for (int maxPacket : {64, 512}) {
        const UsbmonCapture capture = UsbmonCapture::read(file, bus, address, maxPacket);
        if (capture.isValid() == !capture.errorText().isEmpty())
            __builtin_trap();
        if (!capture.isValid() && !capture.errorText().startsWith(QStringLiteral("byte ")))
            __builtin_trap();
        qint64 inBytes = 0;
        for (const UsbmonCapture::InChunk &chunk : capture.chunks())
            inBytes += chunk.payload.size();
        if (inBytes != capture.inBytes() || inBytes > qint64(size) || capture.outStream().size() > int(size))
            __builtin_trap();
    }
    return 0;
}
