// End to end: arbitrary bytes from the instrument, cut into arbitrary polls, through the
// packet parser and both dispatch paths. The parser reads them through the
// library's FTDI device from a virtual chip on a simulated bus. Any failure
// must surface as a USBResult; nothing may crash, read out of bounds or leak.
#include <QByteArray>
#include <cstddef>
#include <cstdint>

#include "USBDevice.h"
#include "USBPacketProtocol.h"

// The fuzz build does not link the test support library; the scripted bridge
// is compiled in directly.
#include "../tests/support/ProtocolHarness.cpp"

namespace {

class SinkHandler : public USBPacketProtocol::IDirectPacketHandler
{
public:
    void requestFinished(const RequestEntry &, USBResult) override {}
    void packetError(USBResult, QPointer<QObject> &) override {}
    void packetReceived(int, QByteArray &data) override
    {
        // Consume the data the way a device may: take it over entirely.
        QByteArray taken;
        taken.swap(data);
        total += taken.size();
    }
    bool acceptsPacket(int id) override { return id == 0 || (id & 1); }

    long total = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    // First byte: low 4 bits + 1 is the poll size (16 means everything at
    // once), bit 4 selects the dispatch path without a direct handler.
    const uint8_t control = data[0];
    const int chunk = (control & 0x0F) == 0x0F ? int(size) : (control & 0x0F) + 1;
    const bool withHandler = !(control & 0x10);
    const QByteArray input(reinterpret_cast<const char *>(data + 1), int(size - 1));

    ProtocolHarness bridge;
    SinkHandler handler;
    USBPacketProtocol protocol;
    if (withHandler)
        protocol.setDirectPacketHandler(&handler);
    protocol.setDevice(bridge.openedDevice());

    for (int pos = 0; pos < input.size(); pos += chunk) {
        bridge.sendToHost(input.mid(pos, chunk));
        try {
            protocol.parsePackets();
        } catch (const USBResult &) {
        }
    }
    // Whatever is still announced but missing stays pending, never read past.
    try {
        protocol.parsePackets();
    } catch (const USBResult &) {
    }
    protocol.setDevice({});
    return 0;
}
